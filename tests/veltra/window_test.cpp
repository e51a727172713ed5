// Window information, reads and writes without a mapping, common buffers,
// and the checks that the mapping exports make before the driver sees them.
#include <cstring>
#include <vector>

#include "veltra_fixture.h"

namespace {

using Windows = ScriptedCard;

constexpr uint32_t code(uint32_t request) {
    return 0x222004 + 8 * request;
}

TEST_F(Windows, WindowInfoCopiesTheFiveValues) {
    EXPECT_EQ(VELTRA_GetWindowInfo(card_, 0, nullptr), VELTRA_NULL_POINTER);
    EXPECT_EQ(device_->requestCount(), 0u);
    vsim::Bytes reply;
    for (int i = 0; i < 5; ++i)
        reply.put<uint64_t>(8 * i, 0x1000000000ull * (i + 1) + i);
    device_->queue(vsim::Answer::replyWith(reply));
    VELTRA_WINDOW_INFO info;
    ASSERT_EQ(VELTRA_GetWindowInfo(card_, 3, &info), VELTRA_SUCCESS);
    EXPECT_EQ(info.windowValue0, 0x1000000000ull);
    EXPECT_EQ(info.windowValue4, 0x5000000004ull);
    const auto request = lastRequest();
    EXPECT_EQ(request.code, code(5));
    EXPECT_EQ(request.inSize, 4u);
    EXPECT_EQ(request.outSize, 40u);
    EXPECT_EQ(simtest::field<uint32_t>(request.input, 0), 3u);
}

// Reads and writes check nothing: whatever the arguments, the record goes.
TEST_F(Windows, ReadAndWriteSendTheirRecordWhateverTheArguments) {
    uint8_t buffer[8];
    struct {
        VELTRA_STATUS (*call)(VELTRA_HANDLE, uint32_t, uint32_t, uint64_t, uint64_t, void*);
        uint32_t code;
    } calls[] = {{VELTRA_Read, code(12)}, {VELTRA_Write, code(13)}};
    for (const auto& c : calls) {
        for (void* b : {static_cast<void*>(buffer), static_cast<void*>(nullptr)}) {
            device_->clearRequests();
            ASSERT_EQ(c.call(card_, 7, 0xF1, 0xFFFFFFFFFFFFFFFFull, 0, b), VELTRA_SUCCESS);
            const auto request = lastRequest();
            EXPECT_EQ(request.code, c.code);
            EXPECT_EQ(request.inSize, 32u);
            EXPECT_EQ(request.outSize, 0u);
            EXPECT_EQ(simtest::field<uint32_t>(request.input, 0), 7u);
            EXPECT_EQ(simtest::field<uint32_t>(request.input, 4), 0xF1u);
            EXPECT_EQ(simtest::field<uint64_t>(request.input, 8), 0xFFFFFFFFFFFFFFFFull);
            EXPECT_EQ(simtest::field<uint64_t>(request.input, 16), 0u);
            EXPECT_EQ(simtest::field<uint64_t>(request.input, 24), reinterpret_cast<uintptr_t>(b));
        }
    }
}

TEST_F(Windows, CommonBufferCountAndValuesInTheirOrder) {
    EXPECT_EQ(VELTRA_GetCommonBufferCount(card_, nullptr), VELTRA_NULL_POINTER);
    EXPECT_EQ(device_->requestCount(), 0u);
    device_->queue(vsim::Answer::replyWith(vsim::Bytes().put<uint32_t>(0, 3)));
    uint32_t count = 0;
    ASSERT_EQ(VELTRA_GetCommonBufferCount(card_, &count), VELTRA_SUCCESS);
    EXPECT_EQ(count, 3u);
    EXPECT_EQ(lastRequest().code, code(39));
    EXPECT_EQ(lastRequest().outSize, 4u);

    const auto reply = vsim::Bytes().put<uint64_t>(0, 0x4B4559ull).put<uint64_t>(8, 0xB005ull);
    device_->onCode(code(40), vsim::Answer::replyWith(reply));
    uint64_t value = 0, key = 0;
    ASSERT_EQ(VELTRA_GetCommonBuffer(card_, 2, &value, &key), VELTRA_SUCCESS);
    EXPECT_EQ(value, 0xB005ull) << "the third parameter gets the second reply value";
    EXPECT_EQ(key, 0x4B4559ull);
    EXPECT_EQ(simtest::field<uint32_t>(lastRequest().input, 0), 2u);
    EXPECT_EQ(lastRequest().outSize, 16u);
    device_->clearRequests();
    EXPECT_EQ(VELTRA_GetCommonBuffer(card_, 0, nullptr, nullptr), VELTRA_SUCCESS);
    EXPECT_EQ(device_->requestCount(), 1u) << "sent even with both outputs NULL";

    device_->onCode(code(40), vsim::Answer::fail(vsim::driverError(VELTRA_INVALID_INDEX)));
    value = key = 9;
    EXPECT_EQ(VELTRA_GetCommonBuffer(card_, 5, &value, &key), VELTRA_INVALID_INDEX);
    EXPECT_EQ(value, 9u);
    EXPECT_EQ(key, 9u);
}

// The range check comes first, then the pointer, then the card information
// (a request on every call), then the window index; only then a map request.
TEST_F(Windows, MapWindowChecksInItsOrder) {
    device_->onCode(code(1), vsim::Answer::replyWith(vsim::Bytes(36).put<uint32_t>(28, 4)));
    void* base = reinterpret_cast<void*>(0x77);
    EXPECT_EQ(VELTRA_MapWindow(card_, 0, 0, 0, nullptr), VELTRA_INVALID_REGION);
    EXPECT_EQ(VELTRA_MapWindow(card_, 0, 0xFFFFFFFFFFFFFFFFull, 1, &base), VELTRA_INVALID_REGION);
    EXPECT_EQ(VELTRA_MapWindow(card_, 0, 1, 0xFFFFFFFFFFFFFFFFull, &base), VELTRA_INVALID_REGION);
    EXPECT_EQ(VELTRA_MapWindow(card_, 0, 0, 16, nullptr), VELTRA_NULL_POINTER);
    EXPECT_EQ(device_->requestCount(), 0u);

    EXPECT_EQ(VELTRA_MapWindow(card_, 4, 0, 16, &base), VELTRA_INVALID_INDEX);
    EXPECT_EQ(VELTRA_MapWindow(card_, 0xFFFFFFFF, 0, 16, &base), VELTRA_INVALID_INDEX);
    auto requests = device_->requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].code, code(1));
    EXPECT_EQ(requests[1].code, code(1));

    // 2^64 - 2 with length 1 ends below 2^64: on to the driver.
    device_->clearRequests();
    device_->onCode(0x22280E, vsim::Answer::fail(vsim::driverError(1)));
    EXPECT_EQ(VELTRA_MapWindow(card_, 3, 0xFFFFFFFFFFFFFFFEull, 1, &base), VELTRA_INVALID_REGION);
    requests = device_->requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[1].code, 0x22280Eu);
    EXPECT_EQ(requests[1].inSize, 24u);
    EXPECT_EQ(requests[1].outSize, 8u);
    EXPECT_EQ(simtest::field<uint32_t>(requests[1].input, 0), 3u);
    EXPECT_EQ(simtest::field<uint64_t>(requests[1].input, 8), 0xFFFFFFFFFFFFFFFEull);
    EXPECT_EQ(simtest::field<uint64_t>(requests[1].input, 16), 1u);
    EXPECT_NE(requests[1].thread, GetCurrentThreadId()) << "the worker sends it";
    EXPECT_EQ(base, reinterpret_cast<void*>(0x77)) << "written on success only";

    EXPECT_EQ(VELTRA_MapWindow(reinterpret_cast<VELTRA_HANDLE>(0x4321), 0, 0, 16, &base),
              VELTRA_INVALID_HANDLE);
}

// The small codes of a failed map become statuses.
TEST_F(Windows, MapFailuresTranslate) {
    device_->onCode(code(1), vsim::Answer::replyWith(vsim::Bytes(36).put<uint32_t>(28, 4)));
    const struct {
        DWORD error;
        VELTRA_STATUS status;
    } cases[] = {
        {vsim::driverError(1), VELTRA_INVALID_REGION},
        {vsim::driverError(2), VELTRA_INVALID_INDEX},
        {vsim::driverError(3), VELTRA_NO_MEMORY},
        {vsim::driverError(4), VELTRA_REGION_TOO_LARGE},
        {vsim::driverError(5), VELTRA_ACCESS_DENIED},
        {vsim::driverError(6), VELTRA_UNEXPECTED_ERROR},
        {vsim::driverError(271), VELTRA_UNEXPECTED_ERROR},
        {ERROR_INVALID_HANDLE, VELTRA_INVALID_HANDLE},
        {ERROR_OPERATION_ABORTED, VELTRA_CANCELLED},
        {ERROR_ACCESS_DENIED, VELTRA_UNEXPECTED_ERROR},
    };
    for (const auto& c : cases) {
        device_->onCode(0x22280E, vsim::Answer::fail(c.error));
        void* base = nullptr;
        EXPECT_EQ(VELTRA_MapWindow(card_, 0, 0, 4096, &base), c.status) << std::hex << c.error;
    }
}

// The driver must leave a map request pending; one that completes at once
// is an unexpected answer, and nothing of it stays behind.
TEST_F(Windows, MapCompletedAtOnceIsUnexpectedAndLeavesNothing) {
    device_->onCode(code(1), vsim::Answer::replyWith(vsim::Bytes(36).put<uint32_t>(28, 4)));
    const size_t pipes = vsimCountObjects("pipe");
    const size_t events = vsimCountObjects("event");
    void* base = nullptr;
    EXPECT_EQ(VELTRA_MapWindow(card_, 0, 0, 4096, &base), VELTRA_UNEXPECTED_ERROR);
    EXPECT_EQ(base, nullptr);
    EXPECT_EQ(vsimCountObjects("pipe"), pipes) << "the worker stopped again";
    EXPECT_EQ(vsimCountObjects("event"), events);
    EXPECT_EQ(VELTRA_UnmapWindow(card_, reinterpret_cast<void*>(0x1000)), VELTRA_INVALID_HANDLE);
}

TEST_F(Windows, MapCommonBufferFindsTheFirstBufferWithTheKey) {
    EXPECT_EQ(VELTRA_MapCommonBuffer(card_, 1, 0, 16, nullptr), VELTRA_NULL_POINTER);
    EXPECT_EQ(device_->requestCount(), 0u);

    const uint64_t keys[] = {0xA, 0xB, 0xB};
    device_->onCode(code(40), vsim::Answer::run([&keys](vsim::IoRequest& rq) {
                        const uint32_t index = rq.in<uint32_t>(0);
                        if (index >= 3)
                            return vsim::Outcome::failure(vsim::driverError(VELTRA_INVALID_INDEX));
                        rq.out<uint64_t>(0, keys[index]);
                        return vsim::Outcome::success(16);
                    }));
    device_->onCode(0x22280E, vsim::Answer::fail(vsim::driverError(4)));
    void* base = nullptr;
    EXPECT_EQ(VELTRA_MapCommonBuffer(card_, 0xB, 0, 0, &base), VELTRA_REGION_TOO_LARGE)
        << "length 0 still goes to the driver";
    auto requests = device_->requests();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(requests[2].code, 0x22280Eu);
    EXPECT_EQ(simtest::field<uint32_t>(requests[2].input, 0), 0x10000001u)
        << "the first buffer with the key";

    device_->clearRequests();
    EXPECT_EQ(VELTRA_MapCommonBuffer(card_, 0xC, 0, 16, &base), VELTRA_INVALID_REGION);
    EXPECT_EQ(device_->requestCount(), 4u) << "every buffer, then the index past the last";

    device_->onCode(code(40), vsim::Answer::fail(vsim::driverError(VELTRA_HARDWARE_ERROR)));
    EXPECT_EQ(VELTRA_MapCommonBuffer(card_, 0xA, 0, 16, &base), VELTRA_UNEXPECTED_ERROR);
    device_->onCode(code(40), vsim::Answer::fail(ERROR_INVALID_HANDLE));
    EXPECT_EQ(VELTRA_MapCommonBuffer(card_, 0xA, 0, 16, &base), VELTRA_INVALID_HANDLE);
}

TEST_F(Windows, UnmapOfNullIsRefused) {
    EXPECT_EQ(VELTRA_UnmapWindow(card_, nullptr), VELTRA_NULL_POINTER);
    EXPECT_EQ(VELTRA_UnmapCommonBuffer(card_, nullptr), VELTRA_NULL_POINTER);
    EXPECT_EQ(reinterpret_cast<void*>(&VELTRA_UnmapCommonBuffer),
              reinterpret_cast<void*>(&VELTRA_UnmapWindow));
}

}  // namespace
