// The device-control transport, seen through the exports that use it.
#include <thread>

#include "veltra_fixture.h"

namespace {

using Transport = ScriptedCard;

TEST_F(Transport, RequestCompletedAtOnceSucceeds) {
    EXPECT_EQ(VELTRA_Cancel(card_), VELTRA_SUCCESS);
    const auto request = lastRequest();
    EXPECT_EQ(request.code, 0x222808u);
    EXPECT_EQ(request.inSize, 0u);
    EXPECT_EQ(request.outSize, 0u);
    EXPECT_EQ(request.thread, GetCurrentThreadId());
}

TEST_F(Transport, PendingRequestIsWaitedFor) {
    device_->queue(vsim::Answer::pend());
    std::thread driver([this] {
        while (device_->pendingCount() == 0)
            Sleep(1);
        Sleep(10);
        device_->completeNext(vsim::kSuccess);
    });
    EXPECT_EQ(VELTRA_Cancel(card_), VELTRA_SUCCESS);
    driver.join();

    device_->queue(vsim::Answer::pend());
    std::thread failing([this] {
        while (device_->pendingCount() == 0)
            Sleep(1);
        device_->completeNext(vsim::driverError(VELTRA_HARDWARE_ERROR));
    });
    EXPECT_EQ(VELTRA_Cancel(card_), VELTRA_HARDWARE_ERROR);
    failing.join();
}

// How Win32 errors of a request become statuses.
TEST_F(Transport, ErrorsTranslateToStatuses) {
    const struct {
        DWORD error;
        VELTRA_STATUS status;
    } cases[] = {
        {vsim::driverError(VELTRA_INVALID_INDEX), VELTRA_INVALID_INDEX},
        {vsim::driverError(0x1234), 0x1234},  // passed on even when unknown
        {vsim::driverError(0xFFFF), 0xFFFF},
        // A driver error with a zero status is still a failure: no reply
        // came back, so it must not read as success.
        {vsim::driverError(0), VELTRA_UNEXPECTED_ERROR},
        {ERROR_OPERATION_ABORTED, VELTRA_CANCELLED},
        {ERROR_INVALID_HANDLE, VELTRA_INVALID_HANDLE},
        {ERROR_ACCESS_DENIED, VELTRA_UNEXPECTED_ERROR},
        {ERROR_INVALID_FUNCTION, VELTRA_UNEXPECTED_ERROR},
    };
    for (const auto& c : cases) {
        device_->queue(vsim::Answer::fail(c.error));
        EXPECT_EQ(VELTRA_Cancel(card_), c.status) << std::hex << c.error;
        device_->queue(vsim::Answer::pend());
        std::thread driver([&] {
            while (device_->pendingCount() == 0)
                Sleep(1);
            device_->completeNext(c.error);
        });
        EXPECT_EQ(VELTRA_Cancel(card_), c.status) << "after pending, " << std::hex << c.error;
        driver.join();
    }
}

TEST_F(Transport, ValueThatIsNotAHandleIsInvalidHandle) {
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    for (VELTRA_HANDLE bad :
         {static_cast<VELTRA_HANDLE>(nullptr), reinterpret_cast<VELTRA_HANDLE>(0x999),
          static_cast<VELTRA_HANDLE>(event)})
        EXPECT_EQ(VELTRA_Cancel(bad), VELTRA_INVALID_HANDLE);
    CloseHandle(event);
}

// Finishing an operation that the caller started on its own OVERLAPPED.
TEST_F(Transport, FinishReportsPendingSuccessAndFailure) {
    OVERLAPPED ov{};
    ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    DWORD bytes = 0;
    device_->queue(vsim::Answer::pend());
    ASSERT_FALSE(DeviceIoControl(card_, 0x2220E4, nullptr, 0, nullptr, 0, &bytes, &ov));
    EXPECT_EQ(VELTRA_FinishDMA(card_, &ov, 0), VELTRA_PENDING);
    EXPECT_EQ(VELTRA_FinishNotificationWait(card_, &ov, 0), VELTRA_PENDING);
    device_->completeNext(vsim::kSuccess);
    EXPECT_EQ(VELTRA_FinishDMA(card_, &ov, 1), VELTRA_SUCCESS);
    EXPECT_EQ(VELTRA_FinishNotificationWait(card_, &ov, 0), VELTRA_SUCCESS);

    device_->queue(vsim::Answer::pend());
    ASSERT_FALSE(DeviceIoControl(card_, 0x2220E4, nullptr, 0, nullptr, 0, &bytes, &ov));
    EXPECT_EQ(VELTRA_Cancel(card_), VELTRA_SUCCESS);
    EXPECT_EQ(VELTRA_FinishDMA(card_, &ov, 1), VELTRA_CANCELLED);
    CloseHandle(ov.hEvent);
}

TEST_F(Transport, FinishWithoutAnOverlappedIsANullPointer) {
    EXPECT_EQ(VELTRA_FinishDMA(card_, nullptr, 1), VELTRA_NULL_POINTER);
    EXPECT_EQ(VELTRA_FinishNotificationWait(card_, nullptr, 0), VELTRA_NULL_POINTER);
}

TEST(Exports, FinishNotificationWaitIsTheSameEntryPointAsFinishDma) {
    EXPECT_EQ(reinterpret_cast<void*>(&VELTRA_FinishNotificationWait),
              reinterpret_cast<void*>(&VELTRA_FinishDMA));
}

}  // namespace
