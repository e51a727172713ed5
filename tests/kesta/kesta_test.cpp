// The KESTA library: status texts, opening, and the bridge services, against
// a scripted device and the default machine.
#include <kesta.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "simtest.h"

// Whether the program tests the checked (tracing) build: this file is
// compiled once for both programs, and each program's variant.cpp says.
bool kestaTestsCheckedBuild();

namespace {

const bool kCheckedBuild = kestaTestsCheckedBuild();

constexpr uint32_t code(uint32_t request) {
    return 0x222004 + 8 * request;
}

std::string narrowOf(const WCHAR* wide) {
    std::string text;
    for (; *wide != 0; ++wide)
        text += static_cast<char>(*wide);
    return text;
}

struct StatusRow {
    KESTA_STATUS header;  // the header's constant
    KESTA_STATUS code;
    const char* name;
    const char* message;
};

// Every status of the bridge API with its name and message.
const StatusRow kStatuses[] = {
    {KESTA_SUCCESS, 0, "KESTA_SUCCESS", "No error"},
    {KESTA_INTERNAL_ERROR, 512, "KESTA_INTERNAL_ERROR", "An error in the API logic was detected"},
    {KESTA_UNEXPECTED_ERROR, 513, "KESTA_UNEXPECTED_ERROR", "An unexpected error occurred"},
    {KESTA_BAD_DRIVER, 514, "KESTA_BAD_DRIVER", "The driver may be incorrectly installed"},
    {KESTA_NO_MEMORY, 515, "KESTA_NO_MEMORY",
     "Could not allocate memory required to complete operation"},
    {KESTA_ACCESS_DENIED, 516, "KESTA_ACCESS_DENIED",
     "Caller does not have permission to perform the operation"},
    {KESTA_DEVICE_NOT_FOUND, 517, "KESTA_DEVICE_NOT_FOUND",
     "Failed to open the device with specified CardID"},
    {KESTA_HARDWARE_ERROR, 518, "KESTA_HARDWARE_ERROR", "A hardware error occurred"},
    {KESTA_INVALID_BUFFER, 519, "KESTA_INVALID_BUFFER", "The supplied buffer was invalid"},
    {KESTA_INVALID_FLAG, 520, "KESTA_INVALID_FLAG", "A flag was invalid or not recognized"},
    {KESTA_INVALID_HANDLE, 521, "KESTA_INVALID_HANDLE", "The device handle was invalid"},
    {KESTA_INVALID_INDEX, 522, "KESTA_INVALID_INDEX", "The index parameter was invalid"},
    {KESTA_INVALID_REGION, 523, "KESTA_INVALID_REGION",
     "The offset and/or length parameter(s) were invalid"},
    {KESTA_NULL_POINTER, 524, "KESTA_NULL_POINTER",
     "A NULL pointer was passed where NULL was illegal"},
    {KESTA_CANCELLED, 525, "KESTA_CANCELLED", "The operation was cancelled"},
    {KESTA_RESOURCE_LIMIT, 526, "KESTA_RESOURCE_LIMIT", "A resource limit was reached"},
    {KESTA_REGION_TOO_LARGE, 527, "KESTA_REGION_TOO_LARGE",
     "The region is too large for a single operation"},
    {KESTA_DATATYPE_MISMATCH, 528, "KESTA_DATATYPE_MISMATCH",
     "The datatype did not match that of the sensor"},
    {KESTA_WRONG_MODE, 529, "KESTA_WRONG_MODE", "The device was not in the proper mode"},
    {KESTA_NOT_SUPPORTED, 530, "KESTA_NOT_SUPPORTED",
     "The operation is not supported for this device"},
    {KESTA_INVALID_PARAMETER, 531, "KESTA_INVALID_PARAMETER", "A parameter had an illegal value"},
};

TEST(KestaStatusText, EveryCodeHasItsNameAndMessage) {
    for (const auto& row : kStatuses) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(row.header, row.code);
        EXPECT_STREQ(KESTA_GetStatusStringA(row.code, 1), row.name);
        EXPECT_STREQ(KESTA_GetStatusStringA(row.code, 0), row.message);
        EXPECT_EQ(narrowOf(KESTA_GetStatusStringW(row.code, 2)), row.name);
        EXPECT_EQ(narrowOf(KESTA_GetStatusStringW(row.code, 0)), row.message);
    }
    EXPECT_STREQ(KESTA_GetStatusStringA(256, 0), "Unknown status code 256(0x100)")
        << "a VELTRA code";
    EXPECT_STREQ(KESTA_GetStatusStringA(511, 0), "Unknown status code 511(0x1ff)");
    EXPECT_STREQ(KESTA_GetStatusStringA(532, 1), "Unknown status code 532(0x214)");
    EXPECT_EQ(narrowOf(KESTA_GetStatusStringW(4294967295u, 1)),
              "Unknown status code 4294967295(0xffffffff)");
}

// The wide export returns one buffer, rewritten by its next call.
TEST(KestaStatusText, WideTextIsOneBufferRewrittenByTheNextCall) {
    const WCHAR* first = KESTA_GetStatusStringW(0, 1);
    EXPECT_EQ(narrowOf(first), "KESTA_SUCCESS");
    const WCHAR* second = KESTA_GetStatusStringW(521, 1);
    EXPECT_EQ(second, first);
    EXPECT_EQ(narrowOf(first), "KESTA_INVALID_HANDLE");
}

TEST(KestaStatusText, ThreadsNeverSeeEachOthersText) {
    std::atomic<int> mixed{0};
    auto hammer = [&mixed](KESTA_STATUS base) {
        for (KESTA_STATUS i = 0; i < 20000; ++i) {
            const KESTA_STATUS c = base + i % 40;
            const std::string expected = KESTA_GetStatusStringA(c, 1);
            if (narrowOf(KESTA_GetStatusStringW(c, 1)) != expected)
                ++mixed;
        }
    };
    std::thread a(hammer, 500u), b(hammer, 100000u);
    a.join();
    b.join();
    EXPECT_EQ(mixed.load(), 0);
}

// A text stays readable after the thread that asked for it has ended.
TEST(KestaStatusText, TextOfAnEndedThreadStaysReadable) {
    const char* narrow = nullptr;
    const WCHAR* wide = nullptr;
    std::thread([&] {
        narrow = KESTA_GetStatusStringA(777, 0);
        wide = KESTA_GetStatusStringW(521, 1);
    }).join();
    for (int i = 0; i < 8; ++i)
        std::thread([] {
            KESTA_Close(nullptr);
            KESTA_GetStatusStringA(999, 0);
            KESTA_GetStatusStringW(999, 0);
        }).join();
    EXPECT_STREQ(narrow, "Unknown status code 777(0x309)");
    EXPECT_EQ(narrowOf(wide), "KESTA_INVALID_HANDLE");
}

class KestaOpen : public testing::Test {
  protected:
    simtest::PlatformScope platform_;
    simtest::ScriptedMachine machine_;
};

TEST_F(KestaOpen, NotFoundAccessDeniedAndTheOpenFlags) {
    auto veltra = machine_.add(vsim::kVeltraInterface);
    auto device = machine_.add(vsim::kKestaInterface);
    KESTA_HANDLE card = nullptr;
    EXPECT_EQ(KESTA_Open(0, 0, 0, nullptr), KESTA_NULL_POINTER);
    EXPECT_EQ(KESTA_Open(1, 0, 0, &card), KESTA_DEVICE_NOT_FOUND);

    ASSERT_EQ(KESTA_Open(0, 1, 0, &card), KESTA_SUCCESS);
    EXPECT_EQ(device->requestCount(), 0u) << "flags 0 send nothing";
    EXPECT_EQ(device->opens().back().access, static_cast<uint32_t>(FILE_READ_DATA));
    EXPECT_EQ(KESTA_Close(card), KESTA_SUCCESS);
    EXPECT_EQ(KESTA_Close(card), KESTA_INVALID_HANDLE);

    ASSERT_EQ(KESTA_Open(0, 0, 0x101, &card), KESTA_SUCCESS);
    auto requests = device->requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].code, code(2));
    EXPECT_EQ(requests[0].inSize, 4u);
    EXPECT_EQ(simtest::field<uint32_t>(requests[0].input, 0), 0x101u);
    KESTA_Close(card);

    device->onCode(code(2), vsim::Answer::fail(vsim::driverError(KESTA_INVALID_FLAG)));
    KESTA_HANDLE untouched = reinterpret_cast<KESTA_HANDLE>(0x99);
    EXPECT_EQ(KESTA_Open(0, 0, 3, &untouched), KESTA_INVALID_FLAG);
    EXPECT_EQ(untouched, reinterpret_cast<KESTA_HANDLE>(0x99));
    EXPECT_EQ(device->openHandles(), 0u);

    device->failOpen(ERROR_ACCESS_DENIED);
    EXPECT_EQ(KESTA_Open(0, 0, 0, &card), KESTA_ACCESS_DENIED);
    EXPECT_EQ(veltra->opens().size(), 0u) << "the KESTA library opens its own interface";
}

// The detail buffer of the device path cannot be allocated.
TEST_F(KestaOpen, OpenThatRunsOutOfMemoryIsNoMemory) {
    auto device = machine_.add(vsim::kKestaInterface);
    KESTA_HANDLE card = reinterpret_cast<KESTA_HANDLE>(0x77);
    vsimFailCallsOnThread("HeapAlloc", GetCurrentThreadId(), ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(KESTA_Open(0, 0, 0, &card), 515u);
    vsimClearFaults();
    EXPECT_EQ(card, reinterpret_cast<KESTA_HANDLE>(0x77));
    EXPECT_EQ(device->opens().size(), 0u);
    ASSERT_EQ(KESTA_Open(0, 0, 0, &card), KESTA_SUCCESS);
    KESTA_Close(card);
}

class Bridge : public testing::Test {
  protected:
    void SetUp() override {
        device_ = machine_.add(vsim::kKestaInterface);
        ASSERT_EQ(KESTA_Open(0, 0, 0, &card_), KESTA_SUCCESS);
        vsimClearDebugOutput();
    }
    void TearDown() override { KESTA_Close(card_); }
    vsim::RecordedRequest last() { return device_->requests().back(); }

    simtest::PlatformScope platform_;
    simtest::ScriptedMachine machine_;
    std::shared_ptr<vsim::ScriptedDevice> device_;
    KESTA_HANDLE card_ = nullptr;
};

TEST_F(Bridge, UniqueIdHalvesGoToTheirOffsets) {
    EXPECT_EQ(KESTA_GetUniqueId(card_, nullptr), KESTA_NULL_POINTER);
    EXPECT_EQ(device_->requestCount(), 0u);
    device_->queue(vsim::Answer::replyWith(
        vsim::Bytes().put<uint32_t>(0, 0x11223344).put<uint32_t>(4, 0x55667788)));
    uint64_t id = 0;
    ASSERT_EQ(KESTA_GetUniqueId(card_, &id), KESTA_SUCCESS);
    EXPECT_EQ(id, 0x5566778811223344ull);
    EXPECT_EQ(last().code, code(5));
    EXPECT_EQ(last().outSize, 8u);
    device_->queue(vsim::Answer::fail(vsim::driverError(KESTA_HARDWARE_ERROR)));
    EXPECT_EQ(KESTA_GetUniqueId(card_, &id), KESTA_HARDWARE_ERROR);
    EXPECT_EQ(id, 0x5566778811223344ull);
}

TEST_F(Bridge, ProductionTestRecordIsZeroedAndFilled) {
    EXPECT_EQ(KESTA_GetProdTestInfo(card_, nullptr), KESTA_NULL_POINTER);
    device_->queue(vsim::Answer::replyWith(vsim::Bytes(16)
                                               .put<uint32_t>(0, 0xA0A0A0A0)
                                               .put<uint8_t>(4, 1)
                                               .put<uint8_t>(5, 2)
                                               .put<uint8_t>(6, 3)
                                               .put<uint8_t>(7, 0xFF)
                                               .put<uint32_t>(8, 0xB0B0B0B0)
                                               .put<uint32_t>(12, 0xC0C0C0C0)));
    KESTA_PROD_TEST_INFO info;
    std::memset(&info, 0xEE, sizeof info);
    ASSERT_EQ(KESTA_GetProdTestInfo(card_, &info), KESTA_SUCCESS);
    EXPECT_EQ(info.testValue0, 0xA0A0A0A0u);
    EXPECT_EQ(info.testByte0, 1);
    EXPECT_EQ(info.testByte1, 2);
    EXPECT_EQ(info.testByte2, 3);
    EXPECT_EQ(info.reserved, 0);
    EXPECT_EQ(info.testValue1, 0xB0B0B0B0u);
    EXPECT_EQ(info.testValue2, 0xC0C0C0C0u);
    EXPECT_EQ(last().code, code(3));
    EXPECT_EQ(last().inSize, 0u);
    EXPECT_EQ(last().outSize, 16u);
}

// How the Win32 error of a request becomes a KESTA status, at once and
// after the request pended.
TEST_F(Bridge, ErrorsTranslateToKestaStatuses) {
    const struct {
        DWORD error;
        KESTA_STATUS status;
    } cases[] = {
        {vsim::driverError(522), 522},
        {vsim::driverError(0x4321), 0x4321},  // passed on even when unknown
        // Bit 29 with a zero status is still a failure: no reply came back.
        {vsim::driverError(0), 513},
        {ERROR_OPERATION_ABORTED, 525},
        {ERROR_INVALID_HANDLE, 521},
        {ERROR_ACCESS_DENIED, 513},
        {ERROR_INVALID_FUNCTION, 513},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.error);
        uint64_t id = 0x1234;
        device_->queue(vsim::Answer::fail(c.error));
        EXPECT_EQ(KESTA_GetUniqueId(card_, &id), c.status);
        device_->queue(vsim::Answer::pend());
        std::thread driver([&] {
            while (device_->pendingCount() == 0)
                Sleep(1);
            device_->completeNext(c.error);
        });
        EXPECT_EQ(KESTA_GetUniqueId(card_, &id), c.status) << "after pending";
        driver.join();
        EXPECT_EQ(id, 0x1234u) << "untouched on failure";
    }
    EXPECT_EQ(KESTA_ServiceIRQ(reinterpret_cast<KESTA_HANDLE>(0x999), nullptr), 521u);
}

TEST_F(Bridge, OptionalOutputsStillSendTheRequest) {
    device_->onCode(code(4), vsim::Answer::replyWith(vsim::Bytes().put<uint32_t>(0, 5)));
    EXPECT_EQ(KESTA_ServiceIRQ(card_, nullptr), KESTA_SUCCESS);
    uint32_t serviced = 9;
    EXPECT_EQ(KESTA_ServiceIRQ(card_, &serviced), KESTA_SUCCESS);
    EXPECT_EQ(serviced, 1u) << "any nonzero reply is 1";
    EXPECT_EQ(last().outSize, 4u);

    device_->onCode(code(8), vsim::Answer::replyWith(vsim::Bytes()
                                                         .put<uint64_t>(0, 0xADD0ADD0ull)
                                                         .put<uint32_t>(8, 7)
                                                         .put<uint32_t>(12, 0x77)));
    EXPECT_EQ(KESTA_StatusIPROG(card_, 1, nullptr, nullptr, nullptr), KESTA_SUCCESS);
    uint32_t status = 0, value = 0;
    uint64_t address = 0;
    ASSERT_EQ(KESTA_StatusIPROG(card_, 1, &status, &address, &value), KESTA_SUCCESS);
    EXPECT_EQ(status, 7u);
    EXPECT_EQ(address, 0xADD0ADD0ull);
    EXPECT_EQ(value, 0x77u);
    EXPECT_EQ(last().code, code(8));
    EXPECT_EQ(last().inSize, 4u);
    EXPECT_EQ(last().outSize, 16u);
    EXPECT_EQ(simtest::field<uint32_t>(last().input, 0), 1u);
    EXPECT_EQ(device_->requestCount(), 4u);

    device_->onCode(code(8), vsim::Answer::fail(vsim::driverError(KESTA_INVALID_INDEX)));
    device_->onCode(code(4), vsim::Answer::fail(vsim::driverError(KESTA_HARDWARE_ERROR)));
    status = value = 42;
    EXPECT_EQ(KESTA_StatusIPROG(card_, 9, &status, &address, &value), KESTA_INVALID_INDEX);
    EXPECT_EQ(KESTA_ServiceIRQ(card_, &serviced), KESTA_HARDWARE_ERROR);
    EXPECT_EQ(status, 42u);
    EXPECT_EQ(serviced, 1u);
}

TEST_F(Bridge, IprogRecords) {
    ASSERT_EQ(KESTA_ScheduleIPROG(card_, 3, 0x5, 0x0123456789ull, 0xFEED), KESTA_SUCCESS);
    auto request = last();
    EXPECT_EQ(request.code, code(7));
    EXPECT_EQ(request.inSize, 24u);
    EXPECT_EQ(request.outSize, 0u);
    EXPECT_EQ(simtest::field<uint64_t>(request.input, 0), 0x0123456789ull);
    EXPECT_EQ(simtest::field<uint32_t>(request.input, 8), 3u);
    EXPECT_EQ(simtest::field<uint32_t>(request.input, 12), 0x5u);
    EXPECT_EQ(simtest::field<uint32_t>(request.input, 16), 0xFEEDu);
    ASSERT_EQ(KESTA_AbortIPROG(card_, 6), KESTA_SUCCESS);
    request = last();
    EXPECT_EQ(request.code, code(6));
    EXPECT_EQ(request.inSize, 4u);
    EXPECT_EQ(simtest::field<uint32_t>(request.input, 0), 6u);
}

TEST(KestaTraces, TheSharedLayersLinesWordForWord) {
    vsimClearDebugOutput();
    HANDLE thread = CreateThread(
        nullptr, 0, [](LPVOID) -> DWORD { return 0; }, nullptr, 0, nullptr);
    ASSERT_EQ(WaitForSingleObject(thread, 10000), WAIT_OBJECT_0);
    CloseHandle(thread);
    EXPECT_EQ(simtest::debugText(), kCheckedBuild ? "wdmDllMain(VELTRA): DLL_THREAD_ATTACH start\n"
                                                    "wdmDllMain(VELTRA): DLL_THREAD_ATTACH done\n"
                                                    "wdmDllMain(VELTRA): DLL_THREAD_DETACH start\n"
                                                    "wdmDllMain(VELTRA): DLL_THREAD_DETACH done\n"
                                                  : "");
}

// The default machine's bridges, end to end.
class DefaultBridges : public testing::Test {
  protected:
    void SetUp() override {
        vsim::resetMachine();
        ASSERT_EQ(KESTA_Open(0, 0, 0, &card0_), KESTA_SUCCESS);
        ASSERT_EQ(KESTA_Open(1, 0, 0, &card1_), KESTA_SUCCESS);
    }
    void TearDown() override {
        KESTA_Close(card0_);
        KESTA_Close(card1_);
    }
    KESTA_HANDLE card0_ = nullptr;
    KESTA_HANDLE card1_ = nullptr;
};

TEST_F(DefaultBridges, EachCardHasItsOwnIdentifier) {
    uint64_t a = 0, b = 0;
    ASSERT_EQ(KESTA_GetUniqueId(card0_, &a), KESTA_SUCCESS);
    ASSERT_EQ(KESTA_GetUniqueId(card1_, &b), KESTA_SUCCESS);
    EXPECT_NE(a, b);
    EXPECT_NE(a, 0u);
    KESTA_PROD_TEST_INFO info;
    ASSERT_EQ(KESTA_GetProdTestInfo(card0_, &info), KESTA_SUCCESS);
    EXPECT_EQ(info.testValue0, 20261107u);
}

TEST_F(DefaultBridges, IprogIsScheduledQueriedAndAborted) {
    uint32_t state = 9;
    uint64_t address = 0;
    uint32_t value = 0;
    ASSERT_EQ(KESTA_StatusIPROG(card0_, 0, &state, &address, &value), KESTA_SUCCESS);
    EXPECT_EQ(state, 0u) << "idle";
    EXPECT_EQ(KESTA_AbortIPROG(card0_, 0), KESTA_WRONG_MODE) << "nothing to abort";
    ASSERT_EQ(KESTA_ScheduleIPROG(card0_, 0, 0x1, 0x00400000, 0xABCD), KESTA_SUCCESS);
    EXPECT_EQ(KESTA_ScheduleIPROG(card0_, 0, 0x1, 0x00800000, 0), KESTA_WRONG_MODE)
        << "already scheduled";
    ASSERT_EQ(KESTA_StatusIPROG(card0_, 0, &state, &address, &value), KESTA_SUCCESS);
    EXPECT_EQ(state, 1u);
    EXPECT_EQ(address, 0x00400000u);
    EXPECT_EQ(value, 0xABCDu);
    ASSERT_EQ(KESTA_AbortIPROG(card0_, 0), KESTA_SUCCESS);
    ASSERT_EQ(KESTA_StatusIPROG(card0_, 0, &state, nullptr, nullptr), KESTA_SUCCESS);
    EXPECT_EQ(state, 2u) << "aborted";
    EXPECT_EQ(KESTA_ScheduleIPROG(card0_, 2, 0, 0, 0), KESTA_INVALID_INDEX);
    EXPECT_EQ(KESTA_ScheduleIPROG(card0_, 1, 0x4, 0, 0), KESTA_INVALID_FLAG);
    EXPECT_EQ(KESTA_ScheduleIPROG(card0_, 1, 0, 1ull << 30, 0), KESTA_INVALID_PARAMETER);
    EXPECT_EQ(KESTA_StatusIPROG(card1_, 5, &state, nullptr, nullptr), KESTA_INVALID_INDEX);
}

TEST_F(DefaultBridges, InterruptIsServicedOnce) {
    uint32_t serviced = 9;
    ASSERT_EQ(KESTA_ServiceIRQ(card0_, &serviced), KESTA_SUCCESS);
    EXPECT_EQ(serviced, 0u);
}

}  // namespace
