// Device interfaces and overlapped device I/O, with the simulated driver below
// DeviceIoControl, behave as on Windows.
#include <windows.h>
#include <setupapi.h>

#include <gtest/gtest.h>

#include <cstring>
#include <new>
#include <stdexcept>
#include <thread>

#include "simtest.h"

namespace {

using simtest::kVeltraGuid;

constexpr DWORD kCode = 0x222004 + 8 * 30;
constexpr DWORD kCancel = 0x222808;

class DeviceIo : public testing::Test {
  protected:
    void SetUp() override {
        device_ = machine_.add(vsim::kVeltraInterface);
        handle_ = CreateFileA(machine_.path(0).c_str(), FILE_READ_DATA | FILE_WRITE_DATA,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OVERLAPPED, nullptr);
        ASSERT_NE(handle_, INVALID_HANDLE_VALUE);
        event_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        overlapped_.hEvent = event_;
    }
    void TearDown() override {
        if (handle_ != INVALID_HANDLE_VALUE)
            CloseHandle(handle_);
        CloseHandle(event_);
    }

    simtest::PlatformScope platform_;
    simtest::ScriptedMachine machine_;
    std::shared_ptr<vsim::ScriptedDevice> device_;
    HANDLE handle_ = INVALID_HANDLE_VALUE;
    HANDLE event_ = nullptr;
    OVERLAPPED overlapped_{};
};

TEST_F(DeviceIo, OpenPassesAccessShareAndFlagsToTheDriver) {
    const auto opens = device_->opens();
    ASSERT_EQ(opens.size(), 1u);
    EXPECT_EQ(opens[0].access, 3u);
    EXPECT_EQ(opens[0].share, 3u);
    EXPECT_EQ(opens[0].flags & FILE_FLAG_OVERLAPPED, static_cast<DWORD>(FILE_FLAG_OVERLAPPED));
}

TEST_F(DeviceIo, CompletedAtOnceWritesTheReplyOverTheBuffer) {
    device_->queue(vsim::Answer::replyWith(vsim::Bytes().put<uint32_t>(0, 0xCAFEF00D)));
    uint32_t buffer[2] = {0x11111111, 0x22222222};
    DWORD bytes = 0;
    ASSERT_TRUE(DeviceIoControl(handle_, kCode, buffer, 8, buffer, 8, &bytes, &overlapped_));
    EXPECT_EQ(buffer[0], 0xCAFEF00Du);
    EXPECT_EQ(buffer[1], 0x22222222u) << "only the reply's bytes come back";
    EXPECT_EQ(WaitForSingleObject(event_, 0), WAIT_OBJECT_0) << "the event is signalled";
    DWORD transferred = 99;
    EXPECT_TRUE(GetOverlappedResult(handle_, &overlapped_, &transferred, FALSE));
    EXPECT_EQ(transferred, 4u);

    const auto requests = device_->requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].code, kCode);
    EXPECT_EQ(requests[0].inSize, 8u);
    EXPECT_EQ(requests[0].outSize, 8u);
    EXPECT_EQ(simtest::field<uint32_t>(requests[0].input, 4), 0x22222222u);
    EXPECT_EQ(requests[0].thread, GetCurrentThreadId());
}

TEST_F(DeviceIo, PendingRequestCompletesThroughTheOverlapped) {
    device_->queue(vsim::Answer::pend());
    uint32_t buffer = 5;
    DWORD bytes = 0;
    SetEvent(event_);
    EXPECT_FALSE(DeviceIoControl(handle_, kCode, &buffer, 4, &buffer, 4, &bytes, &overlapped_));
    ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    EXPECT_EQ(WaitForSingleObject(event_, 0), static_cast<DWORD>(WAIT_TIMEOUT))
        << "the system resets the event when the request starts";

    DWORD transferred = 0;
    SetLastError(0);
    EXPECT_FALSE(GetOverlappedResult(handle_, &overlapped_, &transferred, FALSE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_INCOMPLETE));
    EXPECT_EQ(buffer, 5u);

    std::thread driver([&] {
        Sleep(20);
        device_->completeNext(vsim::kSuccess, vsim::Bytes().put<uint32_t>(0, 77));
    });
    EXPECT_TRUE(GetOverlappedResult(handle_, &overlapped_, &transferred, TRUE));
    driver.join();
    EXPECT_EQ(transferred, 4u);
    EXPECT_EQ(buffer, 77u) << "a buffered reply is copied back on completion";
    EXPECT_TRUE(GetOverlappedResult(handle_, &overlapped_, &transferred, FALSE))
        << "a completed OVERLAPPED reports again without waiting";
}

TEST_F(DeviceIo, PendingRequestWithoutEventIsWaitedForOnTheHandle) {
    device_->queue(vsim::Answer::pend());
    OVERLAPPED plain{};
    DWORD bytes = 0;
    EXPECT_FALSE(DeviceIoControl(handle_, kCode, nullptr, 0, nullptr, 0, &bytes, &plain));
    ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    std::thread driver([&] {
        Sleep(20);
        device_->completeNext(vsim::driverError(0x113));
    });
    SetLastError(0);
    EXPECT_FALSE(GetOverlappedResult(handle_, &plain, &bytes, TRUE));
    const DWORD error = GetLastError();
    driver.join();
    EXPECT_EQ(error, 0xE0000113u);
}

TEST_F(DeviceIo, DriverErrorWithBit29ReachesGetLastErrorUnchanged) {
    for (DWORD error : {0xE0000105u, 0xE000ABCDu, 0xE0000000u}) {
        device_->queue(vsim::Answer::fail(error));
        DWORD bytes = 0;
        SetLastError(0);
        EXPECT_FALSE(DeviceIoControl(handle_, kCode, nullptr, 0, nullptr, 0, &bytes, &overlapped_));
        EXPECT_EQ(GetLastError(), error);
    }
}

// What a driver throws ends its request, never the process.
TEST_F(DeviceIo, ADriverThatThrowsFailsTheRequestAndTheProcessGoesOn) {
    device_->queue(
        vsim::Answer::run([](vsim::IoRequest&) -> vsim::Outcome { throw std::bad_alloc(); }));
    device_->queue(vsim::Answer::run([](vsim::IoRequest& rq) -> vsim::Outcome {
        rq.pend();
        throw std::runtime_error("a fault of the driver");
    }));
    DWORD bytes = 0;
    SetLastError(0);
    EXPECT_FALSE(DeviceIoControl(handle_, kCode, nullptr, 0, nullptr, 0, &bytes, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
    EXPECT_FALSE(DeviceIoControl(handle_, kCode, nullptr, 0, nullptr, 0, &bytes, &overlapped_));
    if (GetLastError() == static_cast<DWORD>(ERROR_IO_PENDING)) {
        SetLastError(0);
        EXPECT_FALSE(GetOverlappedResult(handle_, &overlapped_, &bytes, TRUE));
    }
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_FUNCTION));
    device_->queue(vsim::Answer::replyWith({1, 2, 3, 4}));
    uint8_t reply[4] = {};
    EXPECT_TRUE(DeviceIoControl(handle_, kCode, nullptr, 0, reply, 4, &bytes, nullptr));
    EXPECT_EQ(reply[3], 4);
}

TEST_F(DeviceIo, SystemErrorsOfTheDriverComeBackAsThemselves) {
    for (DWORD error :
         {static_cast<DWORD>(ERROR_ACCESS_DENIED), static_cast<DWORD>(ERROR_INVALID_PARAMETER),
          static_cast<DWORD>(ERROR_OPERATION_ABORTED)}) {
        device_->queue(vsim::Answer::pend());
        DWORD bytes = 0;
        EXPECT_FALSE(DeviceIoControl(handle_, kCode, nullptr, 0, nullptr, 0, &bytes, &overlapped_));
        ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
        device_->completeNext(error);
        SetLastError(0);
        EXPECT_FALSE(GetOverlappedResult(handle_, &overlapped_, &bytes, TRUE));
        EXPECT_EQ(GetLastError(), error);
    }
}

TEST_F(DeviceIo, CancelRequestAbortsThePendingRequestsOfItsHandle) {
    device_->queue(vsim::Answer::pend());
    device_->queue(vsim::Answer::pend());
    OVERLAPPED first{}, second{};
    first.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    second.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    DWORD bytes = 0;
    EXPECT_FALSE(DeviceIoControl(handle_, kCode, nullptr, 0, nullptr, 0, &bytes, &first));
    EXPECT_FALSE(DeviceIoControl(handle_, kCode, nullptr, 0, nullptr, 0, &bytes, &second));
    EXPECT_TRUE(DeviceIoControl(handle_, kCancel, nullptr, 0, nullptr, 0, &bytes, &overlapped_));
    for (OVERLAPPED* ov : {&first, &second}) {
        SetLastError(0);
        EXPECT_FALSE(GetOverlappedResult(handle_, ov, &bytes, TRUE));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
        CloseHandle(ov->hEvent);
    }
}

TEST_F(DeviceIo, ClosingTheHandleAbortsItsPendingRequests) {
    device_->queue(vsim::Answer::pend());
    DWORD bytes = 0;
    EXPECT_FALSE(DeviceIoControl(handle_, kCode, nullptr, 0, nullptr, 0, &bytes, &overlapped_));
    ASSERT_TRUE(CloseHandle(handle_));
    HANDLE closed = handle_;
    handle_ = INVALID_HANDLE_VALUE;
    EXPECT_EQ(WaitForSingleObject(event_, 5000), WAIT_OBJECT_0);
    EXPECT_FALSE(GetOverlappedResult(closed, &overlapped_, &bytes, FALSE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    EXPECT_EQ(device_->openHandles(), 0u);
}

TEST_F(DeviceIo, InvalidHandleFailsWithErrorInvalidHandle) {
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    DWORD bytes = 0;
    for (HANDLE h : {static_cast<HANDLE>(nullptr), reinterpret_cast<HANDLE>(0x4321), event}) {
        SetLastError(0);
        EXPECT_FALSE(DeviceIoControl(h, kCode, nullptr, 0, nullptr, 0, &bytes, &overlapped_));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    }
    CloseHandle(event);
}

TEST_F(DeviceIo, OpeningAPathThatIsNotThereFails) {
    HANDLE h = CreateFileA("\\\\?\\root#vsim_nothing#0000#{00000000-0000-0000-0000-000000000000}",
                           FILE_READ_DATA, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OVERLAPPED, nullptr);
    EXPECT_EQ(h, INVALID_HANDLE_VALUE);
    EXPECT_NE(GetLastError(), 0u);
}

class SetupApi : public testing::Test {
  protected:
    simtest::ScriptedMachine machine_;
};

TEST_F(SetupApi, EnumeratesMembersInOrderAndEndsWithNoMoreItems) {
    machine_.add(vsim::kVeltraInterface);
    machine_.add(vsim::kKestaInterface);
    machine_.add(vsim::kVeltraInterface);
    HDEVINFO set =
        SetupDiGetClassDevsA(&kVeltraGuid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    ASSERT_NE(set, INVALID_HANDLE_VALUE);
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof data;
    const std::string expected[] = {machine_.path(0), machine_.path(2)};
    for (DWORD i = 0; i < 2; ++i) {
        ASSERT_TRUE(SetupDiEnumDeviceInterfaces(set, nullptr, &kVeltraGuid, i, &data));
        EXPECT_EQ(std::memcmp(&data.InterfaceClassGuid, &kVeltraGuid, sizeof(GUID)), 0);
        DWORD size = 0;
        SetLastError(0);
        EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailA(set, &data, nullptr, 0, &size, nullptr));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
        EXPECT_EQ(size, 4 + expected[i].size() + 1);
        std::vector<char> buffer(size);
        auto* detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(buffer.data());
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
        EXPECT_EQ(detail->cbSize, 8u);
        ASSERT_TRUE(SetupDiGetDeviceInterfaceDetailA(set, &data, detail, size, nullptr, nullptr));
        EXPECT_EQ(std::string(detail->DevicePath), expected[i]);
    }
    SetLastError(0);
    EXPECT_FALSE(SetupDiEnumDeviceInterfaces(set, nullptr, &kVeltraGuid, 2, &data));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
    SetLastError(0xDEAD);
    EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
    EXPECT_EQ(GetLastError(), 0u) << "a success clears the last error";
}

TEST_F(SetupApi, RejectsAWrongStructureSize) {
    machine_.add(vsim::kVeltraInterface);
    HDEVINFO set =
        SetupDiGetClassDevsA(&kVeltraGuid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof data - 1;
    SetLastError(0);
    EXPECT_FALSE(SetupDiEnumDeviceInterfaces(set, nullptr, &kVeltraGuid, 0, &data));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_USER_BUFFER));
    SetupDiDestroyDeviceInfoList(set);
}

// The handle value of a failed SetupDiGetClassDevsA is refused by every call
// that takes a set.
TEST_F(SetupApi, RefusesTheHandleOfAFailedQuery) {
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof data;
    DWORD size = 0;
    const auto bad = static_cast<HDEVINFO>(INVALID_HANDLE_VALUE);
    SetLastError(0);
    EXPECT_FALSE(SetupDiEnumDeviceInterfaces(bad, nullptr, &kVeltraGuid, 0, &data));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    SetLastError(0);
    EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailA(bad, &data, nullptr, 0, &size, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    SetLastError(0);
    EXPECT_FALSE(SetupDiDestroyDeviceInfoList(bad));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST(DefaultMachine, HasTwoCardsWithBothInterfaces) {
    vsim::resetMachine();
    for (const GUID* guid : {&simtest::kVeltraGuid, &simtest::kKestaGuid}) {
        EXPECT_FALSE(simtest::interfacePath(*guid, 0).empty());
        EXPECT_FALSE(simtest::interfacePath(*guid, 1).empty());
        EXPECT_TRUE(simtest::interfacePath(*guid, 2).empty());
    }
}

}  // namespace
