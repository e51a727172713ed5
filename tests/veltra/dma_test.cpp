// DMA transfers, buffer locking, notifications and cancellation: the records
// the exports send (against a scripted device) and the simulated card's DMA
// engine and notifications end to end.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <thread>
#include <vector>

#include "veltra_fixture.h"
#include "vsim/cards.h"

namespace {

constexpr uint32_t code(uint32_t request) {
    return 0x222004 + 8 * request;
}

// An OVERLAPPED with its own manual-reset event, as an application keeps one
// per operation.
struct Overlapped : OVERLAPPED {
    Overlapped() : OVERLAPPED{} { hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr); }
    ~Overlapped() { CloseHandle(hEvent); }
    Overlapped(const Overlapped&) = delete;
    Overlapped& operator=(const Overlapped&) = delete;
};

// One member of the family, called with fixed arguments: channel 3, flags
// 0x51, host side H (a buffer address, a bus address or a buffer handle with
// offset 0x0FF5E7), length 0x1234567 and local address L. `start` is NULL
// for the waiting forms.
struct Form {
    const char* name;
    uint32_t request;
    enum Host { Buffer, Locked, Bus } host;
    bool wide;  // a 64-bit local address
    std::function<VELTRA_STATUS(VELTRA_HANDLE, LPOVERLAPPED, uint64_t host, uint64_t local)> call;
    bool starts;
};

void* ptr(uint64_t value) {
    return reinterpret_cast<void*>(static_cast<uintptr_t>(value));
}

constexpr uint32_t kChannel = 3, kFlags = 0x51;
constexpr uint64_t kOffset = 0x0FF5E7, kLength = 0x1234567;

std::vector<Form> allForms() {
    using H = VELTRA_HANDLE;
    using O = LPOVERLAPPED;
    using U = uint64_t;
    const auto u32 = [](U v) { return static_cast<uint32_t>(v); };
    return {
        {"ReadDMA", 21, Form::Buffer, false,
         [=](H c, O, U h, U l) {
             return VELTRA_ReadDMA(c, kChannel, kFlags, ptr(h), kLength, u32(l));
         },
         false},
        {"ReadDMAEx", 21, Form::Buffer, true,
         [=](H c, O, U h, U l) {
             return VELTRA_ReadDMAEx(c, kChannel, kFlags, ptr(h), kLength, l);
         },
         false},
        {"WriteDMA", 22, Form::Buffer, false,
         [=](H c, O, U h, U l) {
             return VELTRA_WriteDMA(c, kChannel, kFlags, ptr(h), kLength, u32(l));
         },
         false},
        {"WriteDMAEx", 22, Form::Buffer, true,
         [=](H c, O, U h, U l) {
             return VELTRA_WriteDMAEx(c, kChannel, kFlags, ptr(h), kLength, l);
         },
         false},
        {"ReadDMALocked", 23, Form::Locked, false,
         [=](H c, O, U h, U l) {
             return VELTRA_ReadDMALocked(c, kChannel, kFlags, u32(h), kOffset, kLength, u32(l));
         },
         false},
        {"ReadDMALockedEx", 23, Form::Locked, true,
         [=](H c, O, U h, U l) {
             return VELTRA_ReadDMALockedEx(c, kChannel, kFlags, u32(h), kOffset, kLength, l);
         },
         false},
        {"WriteDMALocked", 24, Form::Locked, false,
         [=](H c, O, U h, U l) {
             return VELTRA_WriteDMALocked(c, kChannel, kFlags, u32(h), kOffset, kLength, u32(l));
         },
         false},
        {"WriteDMALockedEx", 24, Form::Locked, true,
         [=](H c, O, U h, U l) {
             return VELTRA_WriteDMALockedEx(c, kChannel, kFlags, u32(h), kOffset, kLength, l);
         },
         false},
        {"ReadDMABus", 37, Form::Bus, true,
         [=](H c, O, U h, U l) { return VELTRA_ReadDMABus(c, kChannel, kFlags, h, l, kLength); },
         false},
        {"WriteDMABus", 38, Form::Bus, true,
         [=](H c, O, U h, U l) { return VELTRA_WriteDMABus(c, kChannel, kFlags, h, l, kLength); },
         false},
        {"StartReadDMA", 21, Form::Buffer, false,
         [=](H c, O o, U h, U l) {
             return VELTRA_StartReadDMA(c, o, kChannel, kFlags, ptr(h), kLength, u32(l));
         },
         true},
        {"StartReadDMAEx", 21, Form::Buffer, true,
         [=](H c, O o, U h, U l) {
             return VELTRA_StartReadDMAEx(c, o, kChannel, kFlags, ptr(h), kLength, l);
         },
         true},
        {"StartWriteDMA", 22, Form::Buffer, false,
         [=](H c, O o, U h, U l) {
             return VELTRA_StartWriteDMA(c, o, kChannel, kFlags, ptr(h), kLength, u32(l));
         },
         true},
        {"StartWriteDMAEx", 22, Form::Buffer, true,
         [=](H c, O o, U h, U l) {
             return VELTRA_StartWriteDMAEx(c, o, kChannel, kFlags, ptr(h), kLength, l);
         },
         true},
        {"StartReadDMALocked", 23, Form::Locked, false,
         [=](H c, O o, U h, U l) {
             return VELTRA_StartReadDMALocked(c, o, kChannel, kFlags, u32(h), kOffset, kLength,
                                              u32(l));
         },
         true},
        {"StartReadDMALockedEx", 23, Form::Locked, true,
         [=](H c, O o, U h, U l) {
             return VELTRA_StartReadDMALockedEx(c, o, kChannel, kFlags, u32(h), kOffset, kLength,
                                                l);
         },
         true},
        {"StartWriteDMALocked", 24, Form::Locked, false,
         [=](H c, O o, U h, U l) {
             return VELTRA_StartWriteDMALocked(c, o, kChannel, kFlags, u32(h), kOffset, kLength,
                                               u32(l));
         },
         true},
        {"StartWriteDMALockedEx", 24, Form::Locked, true,
         [=](H c, O o, U h, U l) {
             return VELTRA_StartWriteDMALockedEx(c, o, kChannel, kFlags, u32(h), kOffset, kLength,
                                                 l);
         },
         true},
        {"StartReadDMABus", 37, Form::Bus, true,
         [=](H c, O o, U h, U l) {
             return VELTRA_StartReadDMABus(c, o, kChannel, kFlags, h, l, kLength);
         },
         true},
        {"StartWriteDMABus", 38, Form::Bus, true,
         [=](H c, O o, U h, U l) {
             return VELTRA_StartWriteDMABus(c, o, kChannel, kFlags, h, l, kLength);
         },
         true},
    };
}

using DmaRecords = ScriptedCard;

TEST_F(DmaRecords, EveryFormSendsItsRecord) {
    const uint64_t hosts[] = {0x00007FF612345678ull, 0, 0xFFFFFFFFull};
    for (const Form& f : allForms()) {
        SCOPED_TRACE(f.name);
        // A plain form stores its 32-bit local address zero-extended.
        const uint64_t local = f.wide ? 0xFEDCBA9876543210ull : 0xFFFFFFFFull;
        for (uint64_t host : hosts) {
            device_->clearRequests();
            Overlapped ov;
            ASSERT_EQ(f.call(card_, &ov, host, local), VELTRA_SUCCESS);
            const auto rq = lastRequest();
            EXPECT_EQ(rq.code, code(f.request));
            EXPECT_EQ(rq.inSize, f.host == Form::Locked ? 40u : 32u);
            EXPECT_EQ(rq.outSize, 0u);
            EXPECT_EQ(simtest::field<uint32_t>(rq.input, 0), kChannel);
            EXPECT_EQ(simtest::field<uint32_t>(rq.input, 4), kFlags);
            EXPECT_EQ(simtest::field<uint64_t>(rq.input, 16), kLength);
            EXPECT_EQ(simtest::field<uint64_t>(rq.input, 24), local);
            if (f.host == Form::Locked) {
                EXPECT_EQ(simtest::field<uint64_t>(rq.input, 8), kOffset);
                EXPECT_EQ(simtest::field<uint32_t>(rq.input, 32), static_cast<uint32_t>(host));
            } else {
                EXPECT_EQ(simtest::field<uint64_t>(rq.input, 8), host);
            }
            // A Start that the driver completed at once has finished.
            if (f.starts) {
                EXPECT_EQ(VELTRA_FinishDMA(card_, &ov, 0), VELTRA_SUCCESS);
            }
        }
    }
}

TEST_F(DmaRecords, PlainAndExFormsSendTheSameRecord) {
    auto forms = allForms();
    for (size_t i = 0; i < forms.size(); ++i) {
        if (forms[i].wide || forms[i].host == Form::Bus)
            continue;
        const Form& plain = forms[i];
        const Form& ex = forms[i + 1];
        SCOPED_TRACE(plain.name);
        Overlapped a, b;
        device_->clearRequests();
        ASSERT_EQ(plain.call(card_, &a, 0x1234, 0x89ABCDEF), VELTRA_SUCCESS);
        ASSERT_EQ(ex.call(card_, &b, 0x1234, 0x89ABCDEF), VELTRA_SUCCESS);
        const auto sent = device_->requests();
        ASSERT_EQ(sent.size(), 2u);
        EXPECT_EQ(sent[0].code, sent[1].code);
        ASSERT_EQ(sent[0].input.size(), sent[1].input.size());
        // Every field; the locked record's last 4 bytes are reserved.
        const size_t fields = std::min<size_t>(sent[0].input.size(), 36);
        EXPECT_EQ(std::vector<uint8_t>(sent[0].input.begin(), sent[0].input.begin() + fields),
                  std::vector<uint8_t>(sent[1].input.begin(), sent[1].input.begin() + fields));
    }
}

// The Bus forms take (busAddress B, localAddress L, length N) and send B at
// 8, N at 16 and L at 24.
TEST_F(DmaRecords, BusFormsPutTheirLastTwoArgumentsInRecordOrder) {
    Overlapped ov;
    ASSERT_EQ(VELTRA_WriteDMABus(card_, 1, 0, 0xB0B0ull, 0x1111ull, 0x2222ull), VELTRA_SUCCESS);
    auto rq = lastRequest();
    EXPECT_EQ(simtest::field<uint64_t>(rq.input, 8), 0xB0B0ull);
    EXPECT_EQ(simtest::field<uint64_t>(rq.input, 16), 0x2222ull);
    EXPECT_EQ(simtest::field<uint64_t>(rq.input, 24), 0x1111ull);
    ASSERT_EQ(VELTRA_StartReadDMABus(card_, &ov, 1, 0, 0xB0B0ull, 0x1111ull, 0x2222ull),
              VELTRA_SUCCESS);
    rq = lastRequest();
    EXPECT_EQ(simtest::field<uint64_t>(rq.input, 16), 0x2222ull);
    EXPECT_EQ(simtest::field<uint64_t>(rq.input, 24), 0x1111ull);
}

// Without an OVERLAPPED a Start export would issue an overlapped request
// that nothing can complete: it refuses, and sends nothing.
TEST_F(DmaRecords, StartAndFinishWithoutOverlappedSendNothing) {
    for (const Form& f : allForms()) {
        if (!f.starts)
            continue;
        SCOPED_TRACE(f.name);
        EXPECT_EQ(f.call(card_, nullptr, 0x1000, 0), VELTRA_NULL_POINTER);
    }
    EXPECT_EQ(VELTRA_StartNotificationWait(card_, nullptr, 1), VELTRA_NULL_POINTER);
    EXPECT_EQ(VELTRA_FinishDMA(card_, nullptr, 1), VELTRA_NULL_POINTER);
    EXPECT_EQ(VELTRA_FinishNotificationWait(card_, nullptr, 0), VELTRA_NULL_POINTER);
    EXPECT_EQ(device_->requestCount(), 0u);
}

TEST_F(DmaRecords, PendingStartFinishesWhenTheDriverCompletesIt) {
    device_->onCode(code(22), vsim::Answer::pend());
    uint8_t data[16] = {};
    Overlapped ov;
    ASSERT_EQ(VELTRA_StartWriteDMA(card_, &ov, 0, 0, data, sizeof data, 0), VELTRA_PENDING);
    EXPECT_EQ(VELTRA_FinishDMA(card_, &ov, 0), VELTRA_PENDING);
    EXPECT_EQ(VELTRA_FinishDMA(card_, &ov, 0), VELTRA_PENDING);
    EXPECT_EQ(device_->pendingCount(), 1u) << "polling leaves it running";
    ASSERT_TRUE(device_->completeNext());
    EXPECT_EQ(VELTRA_FinishDMA(card_, &ov, 1), VELTRA_SUCCESS);

    // A driver status at the end comes back unchanged; so does one at once.
    ASSERT_EQ(VELTRA_StartWriteDMA(card_, &ov, 0, 0, data, sizeof data, 0), VELTRA_PENDING);
    ASSERT_TRUE(device_->completeNext(vsim::driverError(VELTRA_INVALID_LOCAL_REGION)));
    EXPECT_EQ(VELTRA_FinishDMA(card_, &ov, 1), VELTRA_INVALID_LOCAL_REGION);
    device_->queue(vsim::Answer::fail(vsim::driverError(VELTRA_NOT_OWNER)));
    EXPECT_EQ(VELTRA_StartWriteDMALocked(card_, &ov, 0, 0, 9, 0, 1, 0), VELTRA_NOT_OWNER);

    // The notification wait is the same kind of operation.
    device_->onCode(code(28), vsim::Answer::pend());
    ASSERT_EQ(VELTRA_StartNotificationWait(card_, &ov, 0xABCD1234), VELTRA_PENDING);
    EXPECT_EQ(lastRequest().code, code(28));
    EXPECT_EQ(lastRequest().inSize, 4u);
    EXPECT_EQ(simtest::field<uint32_t>(lastRequest().input, 0), 0xABCD1234u);
    EXPECT_EQ(VELTRA_FinishNotificationWait(card_, &ov, 0), VELTRA_PENDING);
    ASSERT_TRUE(device_->completeNext());
    EXPECT_EQ(VELTRA_FinishNotificationWait(card_, &ov, 1), VELTRA_SUCCESS);
}

TEST_F(DmaRecords, ScriptedCancelEndsOperationsAsCancelled) {
    device_->onCode(code(21), vsim::Answer::pend());
    device_->onCode(code(28), vsim::Answer::pend());
    uint8_t data[4];
    Overlapped transfer, wait;
    ASSERT_EQ(VELTRA_StartReadDMA(card_, &transfer, 0, 0, data, 4, 0), VELTRA_PENDING);
    ASSERT_EQ(VELTRA_StartNotificationWait(card_, &wait, 7), VELTRA_PENDING);
    ASSERT_EQ(VELTRA_Cancel(card_), VELTRA_SUCCESS);
    EXPECT_EQ(VELTRA_FinishDMA(card_, &transfer, 1), VELTRA_CANCELLED);
    EXPECT_EQ(VELTRA_FinishNotificationWait(card_, &wait, 1), VELTRA_CANCELLED);
}

TEST_F(DmaRecords, LockSendsItsRecordAndStoresTheHandleOnSuccessOnly) {
    EXPECT_EQ(VELTRA_Lock(card_, ptr(0x1000), 64, nullptr), VELTRA_NULL_POINTER);
    EXPECT_EQ(VELTRA_Lock(card_, nullptr, 0, nullptr), VELTRA_NULL_POINTER);
    EXPECT_EQ(device_->requestCount(), 0u);

    device_->queue(vsim::Answer::replyWith(vsim::Bytes().put<uint32_t>(0, 0xC0FFEE01)));
    uint32_t handle = 0;
    ASSERT_EQ(VELTRA_Lock(card_, ptr(0x7FF000001000ull), 0x123456789ull, &handle), VELTRA_SUCCESS);
    EXPECT_EQ(handle, 0xC0FFEE01u);
    auto rq = lastRequest();
    EXPECT_EQ(rq.code, code(19));
    EXPECT_EQ(rq.inSize, 16u);
    EXPECT_EQ(rq.outSize, 4u);
    EXPECT_EQ(simtest::field<uint64_t>(rq.input, 0), 0x7FF000001000ull);
    EXPECT_EQ(simtest::field<uint64_t>(rq.input, 8), 0x123456789ull);

    // A NULL buffer or a length of 0 is the driver's to judge.
    device_->queue(vsim::Answer::fail(vsim::driverError(VELTRA_INVALID_BUFFER)));
    EXPECT_EQ(VELTRA_Lock(card_, nullptr, 0, &handle), VELTRA_INVALID_BUFFER);
    EXPECT_EQ(handle, 0xC0FFEE01u) << "untouched on failure";
    EXPECT_EQ(simtest::field<uint64_t>(lastRequest().input, 0), 0u);

    device_->queue(vsim::Answer::fail(vsim::driverError(VELTRA_INVALID_BUFFER_HANDLE)));
    EXPECT_EQ(VELTRA_Unlock(card_, 0xDEAD), VELTRA_INVALID_BUFFER_HANDLE);
    rq = lastRequest();
    EXPECT_EQ(rq.code, code(20));
    EXPECT_EQ(rq.inSize, 4u);
    EXPECT_EQ(rq.outSize, 0u);
    EXPECT_EQ(simtest::field<uint32_t>(rq.input, 0), 0xDEADu);
}

TEST_F(DmaRecords, EventRegistrationPutsTheEventFirst) {
    const HANDLE event = ptr(0x0000012345678ABCull);
    struct {
        VELTRA_STATUS (*call)(VELTRA_HANDLE, uint32_t, HANDLE);
        uint32_t request;
    } calls[] = {{VELTRA_RegisterWin32Event, 10}, {VELTRA_UnregisterWin32Event, 11}};
    for (const auto& c : calls) {
        ASSERT_EQ(c.call(card_, 0x55AA, event), VELTRA_SUCCESS);
        const auto rq = lastRequest();
        EXPECT_EQ(rq.code, code(c.request));
        EXPECT_EQ(rq.inSize, 16u);
        EXPECT_EQ(rq.outSize, 0u);
        EXPECT_EQ(simtest::field<uint64_t>(rq.input, 0), 0x0000012345678ABCull);
        EXPECT_EQ(simtest::field<uint32_t>(rq.input, 8), 0x55AAu);
    }
}

// ---------------------------------------------------------------------------
// The default machine's card 0: 64 MiB of card memory at local address 0,
// shown by window 1; two DMA channels; common buffer 0 (1 MiB) on the bus.

class Dma : public testing::Test {
  protected:
    void SetUp() override {
        vsim::resetMachine();
        ASSERT_EQ(VELTRA_Open(0, &card_), VELTRA_SUCCESS);
        ASSERT_EQ(VELTRA_Open(0, &other_), VELTRA_SUCCESS);
    }
    void TearDown() override {
        vsim::pauseDmaChannel(0, 0, false);
        vsim::pauseDmaChannel(0, 1, false);
        if (card_ != nullptr)
            VELTRA_Close(card_);
        if (other_ != nullptr)
            VELTRA_Close(other_);
    }
    // Card memory as window 1 shows it.
    std::vector<uint8_t> cardMemory(uint64_t local, size_t length) {
        std::vector<uint8_t> data(length);
        EXPECT_EQ(VELTRA_Read(card_, 1, 0, local, length, data.data()), VELTRA_SUCCESS);
        return data;
    }
    static std::vector<uint8_t> pattern(size_t length, uint8_t seed) {
        std::vector<uint8_t> data(length);
        for (size_t i = 0; i < length; ++i)
            data[i] = static_cast<uint8_t>(seed + i * 7 + (i >> 8));
        return data;
    }

    simtest::PlatformScope platform_;
    VELTRA_HANDLE card_ = nullptr;
    VELTRA_HANDLE other_ = nullptr;
};

TEST_F(Dma, CallerBufferRoundTripsThroughCardMemory) {
    const auto data = pattern(12345, 3);
    ASSERT_EQ(VELTRA_WriteDMA(card_, 0, 0, data.data(), data.size(), 0x1001), VELTRA_SUCCESS);
    EXPECT_EQ(cardMemory(0x1001, data.size()), data);
    std::vector<uint8_t> back(data.size() + 2, 0xEE);
    ASSERT_EQ(VELTRA_ReadDMAEx(card_, 1, 0, back.data() + 1, data.size(), 0x1001), VELTRA_SUCCESS);
    EXPECT_EQ(std::vector<uint8_t>(back.begin() + 1, back.end() - 1), data);
    EXPECT_EQ(back.front(), 0xEE);
    EXPECT_EQ(back.back(), 0xEE) << "nothing beyond the length";

    // The reverse: what the window wrote, DMA reads; a mapping sees DMA data.
    const auto more = pattern(777, 90);
    ASSERT_EQ(
        VELTRA_Write(card_, 1, 0, (64 << 20) - 777, more.size(), const_cast<uint8_t*>(more.data())),
        VELTRA_SUCCESS);
    std::vector<uint8_t> got(777);
    ASSERT_EQ(VELTRA_ReadDMA(card_, 0, 0, got.data(), got.size(), (64 << 20) - 777),
              VELTRA_SUCCESS);
    EXPECT_EQ(got, more) << "the very end of card memory";
    void* base = nullptr;
    ASSERT_EQ(VELTRA_MapWindow(card_, 1, 0x1000, 0x10000, &base), VELTRA_SUCCESS);
    EXPECT_EQ(std::memcmp(static_cast<uint8_t*>(base) + 1, data.data(), 1000), 0);
    ASSERT_EQ(VELTRA_UnmapWindow(card_, base), VELTRA_SUCCESS);

    // Nothing to move is a transfer like any other.
    EXPECT_EQ(VELTRA_WriteDMA(card_, 0, 0, nullptr, 0, 64 << 20), VELTRA_SUCCESS);
}

TEST_F(Dma, LockedBufferRoundTripsAtAnOffset) {
    auto buffer = pattern(40000, 11);
    uint32_t handle = 0;
    ASSERT_EQ(VELTRA_Lock(card_, buffer.data(), buffer.size(), &handle), VELTRA_SUCCESS);
    ASSERT_EQ(VELTRA_WriteDMALocked(card_, 1, 0, handle, 7, 30001, 0x20003), VELTRA_SUCCESS);
    EXPECT_EQ(cardMemory(0x20003, 30001),
              std::vector<uint8_t>(buffer.begin() + 7, buffer.begin() + 7 + 30001));
    const auto expected = buffer;
    std::fill(buffer.begin(), buffer.end(), 0);
    ASSERT_EQ(VELTRA_ReadDMALockedEx(card_, 0, 0, handle, 9, 30001, 0x20003), VELTRA_SUCCESS);
    EXPECT_EQ(std::vector<uint8_t>(buffer.begin() + 9, buffer.begin() + 9 + 30001),
              std::vector<uint8_t>(expected.begin() + 7, expected.begin() + 7 + 30001));
    EXPECT_EQ(buffer[8], 0);
    EXPECT_EQ(buffer[9 + 30001], 0);
    // The whole buffer, to its last byte, is in range.
    EXPECT_EQ(VELTRA_ReadDMALocked(card_, 0, 0, handle, 0, buffer.size(), 0), VELTRA_SUCCESS);
    EXPECT_EQ(VELTRA_ReadDMALocked(card_, 0, 0, handle, buffer.size(), 0, 0), VELTRA_SUCCESS);
    EXPECT_EQ(VELTRA_Unlock(card_, handle), VELTRA_SUCCESS);
}

TEST_F(Dma, BusAddressReachesTheCommonBuffers) {
    uint64_t bus = 0, key = 0;
    ASSERT_EQ(VELTRA_GetCommonBuffer(card_, 0, &bus, &key), VELTRA_SUCCESS);
    void* mapped = nullptr;
    ASSERT_EQ(VELTRA_MapCommonBuffer(card_, key, 0, 1 << 20, &mapped), VELTRA_SUCCESS);
    auto* host = static_cast<uint8_t*>(mapped);
    const auto data = pattern(4097, 40);
    std::memcpy(host + 0x333, data.data(), data.size());
    ASSERT_EQ(VELTRA_WriteDMABus(card_, 0, 0, bus + 0x333, 0x50001, data.size()), VELTRA_SUCCESS);
    EXPECT_EQ(cardMemory(0x50001, data.size()), data);
    ASSERT_EQ(VELTRA_ReadDMABus(card_, 1, 0, bus + 0x80000, 0x50001, data.size()), VELTRA_SUCCESS);
    EXPECT_EQ(std::memcmp(host + 0x80000, data.data(), data.size()), 0);
    // The last byte of the buffer is reachable; one more is not.
    EXPECT_EQ(VELTRA_ReadDMABus(card_, 0, 0, bus + (1 << 20) - 1, 0, 1), VELTRA_SUCCESS);
    EXPECT_EQ(VELTRA_ReadDMABus(card_, 0, 0, bus + (1 << 20) - 1, 0, 2), VELTRA_INVALID_REGION);
    ASSERT_EQ(VELTRA_UnmapCommonBuffer(card_, mapped), VELTRA_SUCCESS);

    // The second common buffer lies right after the first on the bus.
    uint64_t bus1 = 0;
    ASSERT_EQ(VELTRA_GetCommonBuffer(card_, 1, &bus1, &key), VELTRA_SUCCESS);
    EXPECT_EQ(VELTRA_WriteDMABus(card_, 0, 0, bus1 + 10, 0, 100), VELTRA_SUCCESS);
    EXPECT_EQ(VELTRA_WriteDMABus(card_, 0, 0, bus - 1, 0, 1), VELTRA_INVALID_REGION);
}

TEST_F(Dma, DriverVerdicts) {
    uint8_t data[64] = {};
    EXPECT_EQ(VELTRA_WriteDMA(card_, 2, 0, data, 64, 0), VELTRA_INVALID_INDEX);
    EXPECT_EQ(VELTRA_WriteDMA(card_, 0, 1, data, 64, 0), VELTRA_INVALID_FLAG);
    EXPECT_EQ(VELTRA_WriteDMAEx(card_, 0, 0, data, 64, (64 << 20) - 63),
              VELTRA_INVALID_LOCAL_REGION);
    EXPECT_EQ(VELTRA_WriteDMAEx(card_, 0, 0, data, 64, 0xFFFFFFFFFFFFFFF0ull),
              VELTRA_INVALID_LOCAL_REGION)
        << "a range that wraps around";
    EXPECT_EQ(VELTRA_ReadDMA(card_, 0, 0, nullptr, 64, 0), VELTRA_INVALID_BUFFER);

    // A faulted transfer shows in the device status (word 2: DMA).
    VELTRA_DEVICE_STATUS status;
    ASSERT_EQ(VELTRA_GetDeviceStatus(card_, 0, &status, nullptr), VELTRA_SUCCESS);
    EXPECT_EQ(status.status2, 1u);

    // Locking: handles belong to the device handle that locked the buffer.
    uint32_t handle = 0, others = 0;
    EXPECT_EQ(VELTRA_Lock(card_, nullptr, 64, &handle), VELTRA_INVALID_BUFFER);
    EXPECT_EQ(VELTRA_Lock(card_, data, 0, &handle), VELTRA_INVALID_BUFFER);
    ASSERT_EQ(VELTRA_Lock(card_, data, sizeof data, &handle), VELTRA_SUCCESS);
    ASSERT_EQ(VELTRA_Lock(other_, data, sizeof data, &others), VELTRA_SUCCESS);
    EXPECT_NE(handle, others);
    EXPECT_EQ(VELTRA_ReadDMALocked(card_, 0, 0, others, 0, 8, 0), VELTRA_NOT_OWNER);
    EXPECT_EQ(VELTRA_Unlock(card_, others), VELTRA_NOT_OWNER);
    EXPECT_EQ(VELTRA_ReadDMALocked(card_, 0, 0, handle + others + 100, 0, 8, 0),
              VELTRA_INVALID_BUFFER_HANDLE);
    EXPECT_EQ(VELTRA_ReadDMALocked(card_, 0, 0, handle, 1, 64, 0), VELTRA_INVALID_REGION);
    EXPECT_EQ(VELTRA_ReadDMALocked(card_, 0, 0, handle, 65, 0, 0), VELTRA_INVALID_REGION);
    EXPECT_EQ(VELTRA_ReadDMALocked(card_, 0, 0, handle, 0xFFFFFFFFFFFFFFFFull, 2, 0),
              VELTRA_INVALID_REGION)
        << "offset plus length wraps";
    EXPECT_EQ(VELTRA_Unlock(card_, handle), VELTRA_SUCCESS);
    EXPECT_EQ(VELTRA_Unlock(card_, handle), VELTRA_INVALID_BUFFER_HANDLE);
    EXPECT_EQ(VELTRA_WriteDMALocked(card_, 0, 0, handle, 0, 8, 0), VELTRA_INVALID_BUFFER_HANDLE);

    // Closing a handle releases the buffers it locked.
    ASSERT_EQ(VELTRA_Close(other_), VELTRA_SUCCESS);
    other_ = nullptr;
    ASSERT_EQ(VELTRA_Open(0, &other_), VELTRA_SUCCESS);
    EXPECT_EQ(VELTRA_Unlock(other_, others), VELTRA_INVALID_BUFFER_HANDLE);
}

TEST_F(Dma, PausedChannelHoldsTransfersInProgress) {
    const auto data = pattern(5000, 77);
    const auto before = cardMemory(0x9000, data.size());
    ASSERT_TRUE(vsim::pauseDmaChannel(0, 0, true));
    Overlapped ov;
    ASSERT_EQ(VELTRA_StartWriteDMA(card_, &ov, 0, 0, data.data(), data.size(), 0x9000),
              VELTRA_PENDING);
    EXPECT_EQ(VELTRA_FinishDMA(card_, &ov, 0), VELTRA_PENDING);
    EXPECT_EQ(cardMemory(0x9000, data.size()), before) << "held before it moves anything";

    // The other channel runs on meanwhile.
    uint8_t byte = 0x5A;
    EXPECT_EQ(VELTRA_WriteDMA(card_, 1, 0, &byte, 1, 0x100), VELTRA_SUCCESS);
    EXPECT_EQ(VELTRA_FinishDMA(card_, &ov, 0), VELTRA_PENDING);

    ASSERT_TRUE(vsim::pauseDmaChannel(0, 0, false));
    EXPECT_EQ(VELTRA_FinishDMA(card_, &ov, 1), VELTRA_SUCCESS);
    EXPECT_EQ(cardMemory(0x9000, data.size()), data);
    EXPECT_FALSE(vsim::pauseDmaChannel(0, 2, true));
    EXPECT_FALSE(vsim::pauseDmaChannel(5, 0, true));
}

// A blocking transfer returns once its data has moved and not before, on a
// thread whose event its previous request left set; and a started transfer
// whose caller never waits for it moves all the same.
TEST_F(Dma, TransfersEndWhenTheirDataHasMoved) {
    const auto data = pattern(3000, 21);
    ASSERT_NE(cardMemory(0xA000, data.size()), data);
    ASSERT_TRUE(vsim::pauseDmaChannel(0, 0, true));
    std::atomic<bool> returned{false};
    VELTRA_STATUS first = VELTRA_SUCCESS, blocked = VELTRA_SUCCESS;
    std::thread caller([&] {
        uint8_t byte = 0x33;
        first = VELTRA_WriteDMA(card_, 1, 0, &byte, 1, 0x100);
        blocked = VELTRA_WriteDMA(card_, 0, 0, data.data(), data.size(), 0xA000);
        returned = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_FALSE(returned.load()) << "returned while its channel was held";
    EXPECT_NE(cardMemory(0xA000, data.size()), data);
    ASSERT_TRUE(vsim::pauseDmaChannel(0, 0, false));
    caller.join();
    EXPECT_EQ(first, VELTRA_SUCCESS);
    EXPECT_EQ(blocked, VELTRA_SUCCESS);
    EXPECT_EQ(cardMemory(0xA000, data.size()), data);

    const auto more = pattern(5000, 99);
    Overlapped ov;
    ASSERT_EQ(VELTRA_StartWriteDMA(card_, &ov, 0, 0, more.data(), more.size(), 0xC000),
              VELTRA_PENDING);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    VELTRA_STATUS status = VELTRA_PENDING;
    while (status == VELTRA_PENDING && std::chrono::steady_clock::now() < deadline) {
        status = VELTRA_FinishDMA(card_, &ov, 0);
        std::this_thread::yield();
    }
    EXPECT_EQ(status, VELTRA_SUCCESS) << "never polled with a wait, it still ends";
    EXPECT_EQ(cardMemory(0xC000, more.size()), more);
}

// Transfers on one channel run in order; they may be finished in any order.
TEST_F(Dma, ManyOutstandingTransfersFinishInAnyOrder) {
    constexpr int kCount = 24;
    std::vector<std::vector<uint8_t>> blocks;
    for (int i = 0; i < kCount; ++i)
        blocks.push_back(pattern(1000 + i, static_cast<uint8_t>(i)));
    std::vector<Overlapped> ovs(kCount);
    ASSERT_TRUE(vsim::pauseDmaChannel(0, 0, true));
    ASSERT_TRUE(vsim::pauseDmaChannel(0, 1, true));
    for (int i = 0; i < kCount; ++i) {
        // All write at 0x40000 on channel 0, each to its own place on channel 1.
        const uint32_t channel = i % 2;
        const uint32_t local = channel == 0 ? 0x40000 : 0x80000 + 0x1000 * i;
        ASSERT_EQ(VELTRA_StartWriteDMA(card_, &ovs[i], channel, 0, blocks[i].data(),
                                       blocks[i].size(), local),
                  VELTRA_PENDING);
    }
    ASSERT_TRUE(vsim::pauseDmaChannel(0, 0, false));
    ASSERT_TRUE(vsim::pauseDmaChannel(0, 1, false));
    for (int i = kCount - 1; i >= 0; --i)
        ASSERT_EQ(VELTRA_FinishDMA(card_, &ovs[i], 1), VELTRA_SUCCESS) << i;
    const auto& last = blocks[kCount - 2];  // the last one on channel 0
    EXPECT_EQ(cardMemory(0x40000, last.size()), last);
    for (int i = 1; i < kCount; i += 2)
        EXPECT_EQ(cardMemory(0x80000 + 0x1000 * i, blocks[i].size()), blocks[i]) << i;
}

TEST_F(Dma, CancelEndsTheHandlesOperationsOnly) {
    EXPECT_EQ(VELTRA_Cancel(card_), VELTRA_CANCEL_FAILED) << "nothing outstanding";
    const auto data = pattern(3000, 5);
    const auto before = cardMemory(0x30000, data.size());
    ASSERT_TRUE(vsim::pauseDmaChannel(0, 0, true));
    Overlapped first, second, wait, others;
    ASSERT_EQ(VELTRA_StartWriteDMA(card_, &first, 0, 0, data.data(), data.size(), 0x30000),
              VELTRA_PENDING);
    ASSERT_EQ(VELTRA_StartWriteDMAEx(card_, &second, 0, 0, data.data(), data.size(), 0x30000),
              VELTRA_PENDING);
    ASSERT_EQ(VELTRA_StartNotificationWait(card_, &wait, 3), VELTRA_PENDING);
    ASSERT_EQ(VELTRA_StartWriteDMA(other_, &others, 0, 0, data.data(), data.size(), 0x38000),
              VELTRA_PENDING);

    ASSERT_EQ(VELTRA_Cancel(card_), VELTRA_SUCCESS);
    EXPECT_EQ(VELTRA_FinishDMA(card_, &first, 1), VELTRA_CANCELLED);
    EXPECT_EQ(VELTRA_FinishDMA(card_, &second, 0), VELTRA_CANCELLED);
    EXPECT_EQ(VELTRA_FinishNotificationWait(card_, &wait, 1), VELTRA_CANCELLED);
    EXPECT_EQ(VELTRA_Cancel(card_), VELTRA_CANCEL_FAILED) << "all of it ended";
    EXPECT_EQ(cardMemory(0x30000, data.size()), before) << "cancelled before moving";

    EXPECT_EQ(VELTRA_FinishDMA(other_, &others, 0), VELTRA_PENDING) << "the other handle's";
    ASSERT_TRUE(vsim::pauseDmaChannel(0, 0, false));
    EXPECT_EQ(VELTRA_FinishDMA(other_, &others, 1), VELTRA_SUCCESS);
    EXPECT_EQ(cardMemory(0x38000, data.size()), data);
}

// A handle that closes with transfers outstanding ends them: nothing moves
// into or out of the caller's memory after the close.
TEST_F(Dma, CloseEndsOutstandingTransfers) {
    auto data = pattern(2000, 9);
    ASSERT_TRUE(vsim::pauseDmaChannel(0, 1, true));
    Overlapped ov;
    ASSERT_EQ(VELTRA_StartReadDMA(other_, &ov, 1, 0, data.data(), data.size(), 0), VELTRA_PENDING);
    ASSERT_EQ(VELTRA_Close(other_), VELTRA_SUCCESS);
    other_ = nullptr;
    EXPECT_EQ(WaitForSingleObject(ov.hEvent, 10000), WAIT_OBJECT_0);
    ASSERT_TRUE(vsim::pauseDmaChannel(0, 1, false));
    uint8_t byte = 0;
    ASSERT_EQ(VELTRA_ReadDMA(card_, 1, 0, &byte, 1, 0), VELTRA_SUCCESS) << "the channel runs on";
    EXPECT_EQ(data, pattern(2000, 9));
}

TEST_F(Dma, BlockingTransfersFromSeveralThreadsOnOneHandle) {
    constexpr int kThreads = 4, kRounds = 250;
    std::vector<std::thread> threads;
    std::vector<int> failures(kThreads, 0);
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int r = 0; r < kRounds; ++r) {
                const auto data = pattern(4096 + 13 * r, static_cast<uint8_t>(t * 50 + r));
                const uint32_t local = 0x100000 * (t + 1);
                std::vector<uint8_t> back(data.size());
                if (VELTRA_WriteDMA(card_, t % 2, 0, data.data(), data.size(), local) !=
                        VELTRA_SUCCESS ||
                    VELTRA_ReadDMA(card_, (t + 1) % 2, 0, back.data(), back.size(), local) !=
                        VELTRA_SUCCESS ||
                    back != data)
                    ++failures[t];
            }
        });
    }
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(failures, std::vector<int>(kThreads, 0));
}

// Notifications: the doorbell (offset 0 of window 2) raises the notification
// whose number is written there.
class Notifications : public Dma {
  protected:
    void ring(uint32_t notification) {
        ASSERT_EQ(VELTRA_Write(card_, 2, 0, 0, 4, &notification), VELTRA_SUCCESS);
    }
};

TEST_F(Notifications, DoorbellEndsWaitsAndSignalsRegisteredEvents) {
    Overlapped five, six, fiveOther;
    ASSERT_EQ(VELTRA_StartNotificationWait(card_, &five, 5), VELTRA_PENDING);
    ASSERT_EQ(VELTRA_StartNotificationWait(card_, &six, 6), VELTRA_PENDING);
    ASSERT_EQ(VELTRA_StartNotificationWait(other_, &fiveOther, 5), VELTRA_PENDING);
    EXPECT_EQ(VELTRA_FinishNotificationWait(card_, &five, 0), VELTRA_PENDING);
    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    ASSERT_EQ(VELTRA_RegisterWin32Event(card_, 5, event), VELTRA_SUCCESS);

    ring(5);
    EXPECT_EQ(VELTRA_FinishNotificationWait(card_, &five, 1), VELTRA_SUCCESS);
    EXPECT_EQ(VELTRA_FinishNotificationWait(other_, &fiveOther, 1), VELTRA_SUCCESS)
        << "every handle's wait for it";
    EXPECT_EQ(VELTRA_FinishNotificationWait(card_, &six, 0), VELTRA_PENDING);
    EXPECT_EQ(WaitForSingleObject(event, 10000), WAIT_OBJECT_0);

    // A write elsewhere in the window, or a short one, rings nothing.
    uint32_t six32 = 6;
    ASSERT_EQ(VELTRA_Write(card_, 2, 0, 4, 4, &six32), VELTRA_SUCCESS);
    ASSERT_EQ(VELTRA_Write(card_, 2, 0, 0, 2, &six32), VELTRA_SUCCESS);
    EXPECT_EQ(VELTRA_FinishNotificationWait(card_, &six, 0), VELTRA_PENDING);
    ASSERT_TRUE(vsim::raiseNotification(0, 6));
    EXPECT_EQ(VELTRA_FinishNotificationWait(card_, &six, 1), VELTRA_SUCCESS);

    // Each raise signals again, until the event is unregistered.
    ring(5);
    EXPECT_EQ(WaitForSingleObject(event, 10000), WAIT_OBJECT_0);
    ASSERT_EQ(VELTRA_UnregisterWin32Event(card_, 5, event), VELTRA_SUCCESS);
    ring(5);
    EXPECT_EQ(WaitForSingleObject(event, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    CloseHandle(event);
}

TEST_F(Notifications, RegistrationVerdicts) {
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ASSERT_EQ(VELTRA_RegisterWin32Event(card_, 1, event), VELTRA_SUCCESS);
    EXPECT_EQ(VELTRA_RegisterWin32Event(card_, 1, event), VELTRA_BUSY);
    EXPECT_EQ(VELTRA_RegisterWin32Event(card_, 2, event), VELTRA_SUCCESS) << "another notification";
    EXPECT_EQ(VELTRA_RegisterWin32Event(other_, 1, event), VELTRA_SUCCESS) << "another handle";
    EXPECT_EQ(VELTRA_UnregisterWin32Event(card_, 3, event), VELTRA_CANCEL_FAILED);
    EXPECT_EQ(VELTRA_UnregisterWin32Event(card_, 1, event), VELTRA_SUCCESS);
    EXPECT_EQ(VELTRA_UnregisterWin32Event(card_, 1, event), VELTRA_CANCEL_FAILED);

    HANDLE mutex = CreateMutexA(nullptr, FALSE, nullptr);
    EXPECT_EQ(VELTRA_RegisterWin32Event(card_, 1, mutex), VELTRA_INVALID_HANDLE);
    EXPECT_EQ(VELTRA_RegisterWin32Event(card_, 1, nullptr), VELTRA_INVALID_HANDLE);
    CloseHandle(mutex);

    // A device handle that closes takes its registrations with it.
    ASSERT_EQ(VELTRA_Close(other_), VELTRA_SUCCESS);
    other_ = nullptr;
    ring(2);
    EXPECT_EQ(WaitForSingleObject(event, 10000), WAIT_OBJECT_0);
    ASSERT_TRUE(ResetEvent(event));
    ring(1);
    EXPECT_EQ(WaitForSingleObject(event, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    CloseHandle(event);
}

}  // namespace
