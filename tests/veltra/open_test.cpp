// Opening and closing cards.
#include <thread>

#include "veltra_fixture.h"

namespace {

class Open : public testing::Test {
  protected:
    simtest::PlatformScope platform_;
    simtest::ScriptedMachine machine_;
};

TEST_F(Open, IndexAtOrPastTheCardCountIsNotFoundWithoutATrace) {
    machine_.add(vsim::kVeltraInterface);
    machine_.add(vsim::kKestaInterface);
    VELTRA_HANDLE card = reinterpret_cast<VELTRA_HANDLE>(0x1234);
    EXPECT_EQ(VELTRA_Open(1, &card), VELTRA_DEVICE_NOT_FOUND);
    EXPECT_EQ(VELTRA_Open(0xFFFFFFFF, &card), VELTRA_DEVICE_NOT_FOUND);
    EXPECT_EQ(card, reinterpret_cast<VELTRA_HANDLE>(0x1234)) << "phCard is written on success only";
    EXPECT_EQ(simtest::debugText(), "");
}

TEST_F(Open, OpensForOverlappedReadAndWriteOrReadOnly) {
    auto device = machine_.add(vsim::kVeltraInterface);
    VELTRA_HANDLE card = nullptr;
    ASSERT_EQ(VELTRA_Open(0, &card), VELTRA_SUCCESS);
    EXPECT_EQ(VELTRA_Close(card), VELTRA_SUCCESS);
    ASSERT_EQ(VELTRA_OpenEx(0, 1, 0, &card), VELTRA_SUCCESS);
    EXPECT_EQ(VELTRA_Close(card), VELTRA_SUCCESS);
    const auto opens = device->opens();
    ASSERT_EQ(opens.size(), 2u);
    EXPECT_EQ(opens[0].access, static_cast<uint32_t>(FILE_READ_DATA | FILE_WRITE_DATA));
    EXPECT_EQ(opens[1].access, static_cast<uint32_t>(FILE_READ_DATA));
    for (const auto& open : opens) {
        EXPECT_EQ(open.share, static_cast<uint32_t>(FILE_SHARE_READ | FILE_SHARE_WRITE));
        EXPECT_EQ(open.flags, static_cast<uint32_t>(FILE_FLAG_OVERLAPPED));
    }
    EXPECT_EQ(device->openHandles(), 0u);
}

TEST_F(Open, NullOutputPointerOpensNothing) {
    auto device = machine_.add(vsim::kVeltraInterface);
    EXPECT_EQ(VELTRA_Open(0, nullptr), VELTRA_NULL_POINTER);
    EXPECT_EQ(VELTRA_OpenEx(0, 0, 1, nullptr), VELTRA_NULL_POINTER);
    EXPECT_TRUE(device->opens().empty());
}

TEST_F(Open, DeviceRefusingAccessGivesAccessDenied) {
    auto device = machine_.add(vsim::kVeltraInterface);
    device->failOpen(ERROR_ACCESS_DENIED);
    VELTRA_HANDLE card = nullptr;
    EXPECT_EQ(VELTRA_Open(0, &card), VELTRA_ACCESS_DENIED);
    EXPECT_EQ(card, nullptr);
    EXPECT_EQ(simtest::debugText(),
              kCheckedBuild ? "*** wdmOpenDevice: Failed to open device: 5(0x5)\n" : "");
}

// Every failure on the way from the device information set to the open
// handle, with its status and its trace line (checked build only).
TEST_F(Open, EachFailureOnTheOpenPathHasItsStatusAndTrace) {
    machine_.add(vsim::kVeltraInterface);
    struct Case {
        const char* call;
        unsigned nth;
        DWORD error;
        VELTRA_STATUS status;
        const char* trace;
    };
    const Case cases[] = {
        {"SetupDiGetClassDevsA", 1, ERROR_INVALID_PARAMETER, VELTRA_DEVICE_NOT_FOUND, ""},
        {"SetupDiEnumDeviceInterfaces", 1, ERROR_NO_MORE_ITEMS, VELTRA_DEVICE_NOT_FOUND, ""},
        {"SetupDiEnumDeviceInterfaces", 1, ERROR_INVALID_USER_BUFFER, VELTRA_UNEXPECTED_ERROR,
         "*** wdmOpenDevice: Failed to enumerate device interfaces: 1784(0x6f8)\n"},
        {"SetupDiGetDeviceInterfaceDetailA", 1, ERROR_INVALID_PARAMETER, VELTRA_UNEXPECTED_ERROR,
         "*** wdmOpenDevice: Failed to get device interface detail size: 87(0x57)\n"},
        {"HeapAlloc", 1, ERROR_NOT_ENOUGH_MEMORY, VELTRA_NO_MEMORY,
         "*** wdmOpenDevice: Failed to allocate device interface detail buffer: 8(0x8)\n"},
        {"SetupDiGetDeviceInterfaceDetailA", 2, ERROR_INVALID_USER_BUFFER, VELTRA_UNEXPECTED_ERROR,
         "*** wdmOpenDevice: Failed to get device interface detail data: 1784(0x6f8)"},
        {"CreateFileA", 1, ERROR_ACCESS_DENIED, VELTRA_ACCESS_DENIED,
         "*** wdmOpenDevice: Failed to open device: 5(0x5)\n"},
        {"CreateFileA", 1, ERROR_FILE_NOT_FOUND, VELTRA_UNEXPECTED_ERROR,
         "*** wdmOpenDevice: Failed to open device: 2(0x2)\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.call) + " #" + std::to_string(c.nth));
        vsimClearDebugOutput();
        vsimFailNthCall(c.call, c.nth, c.error);
        VELTRA_HANDLE card = nullptr;
        EXPECT_EQ(VELTRA_Open(0, &card), c.status);
        EXPECT_EQ(card, nullptr);
        EXPECT_EQ(simtest::debugTextWithoutThreadLines(), kCheckedBuild ? c.trace : "");
        vsimClearFaults();
    }
    // A success afterwards shows that every failure path cleaned up.
    VELTRA_HANDLE card = nullptr;
    ASSERT_EQ(VELTRA_Open(0, &card), VELTRA_SUCCESS);
    EXPECT_EQ(VELTRA_Close(card), VELTRA_SUCCESS);
}

TEST_F(Open, OpenFlagsGoToTheDriverOnlyWithBitZero) {
    auto device = machine_.add(vsim::kVeltraInterface);
    for (uint32_t flags : {0u, 0x2u, 0xFFFFFFFEu}) {
        VELTRA_HANDLE card = nullptr;
        ASSERT_EQ(VELTRA_OpenEx(0, 0, flags, &card), VELTRA_SUCCESS);
        EXPECT_EQ(device->requestCount(), 0u) << flags;
        VELTRA_Close(card);
        device->clearRequests();
    }

    VELTRA_HANDLE card = nullptr;
    ASSERT_EQ(VELTRA_OpenEx(0, 0, 0x80000001u, &card), VELTRA_SUCCESS);
    const auto requests = device->requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].code, 0x2220F4u);
    EXPECT_EQ(requests[0].inSize, 4u);
    EXPECT_EQ(requests[0].outSize, 0u);
    EXPECT_EQ(simtest::field<uint32_t>(requests[0].input, 0), 0x80000001u);
    VELTRA_Close(card);
}

TEST_F(Open, RefusedOpenFlagsCloseTheNewHandleAndLeaveTheOutputAlone) {
    auto device = machine_.add(vsim::kVeltraInterface);
    device->onCode(0x2220F4, vsim::Answer::fail(vsim::driverError(VELTRA_INVALID_FLAG)));
    VELTRA_HANDLE card = reinterpret_cast<VELTRA_HANDLE>(0x5678);
    EXPECT_EQ(VELTRA_OpenEx(0, 0, 3, &card), VELTRA_INVALID_FLAG);
    EXPECT_EQ(card, reinterpret_cast<VELTRA_HANDLE>(0x5678));
    EXPECT_EQ(device->openHandles(), 0u);
}

TEST_F(Open, ClosingAValueThatIsNotAnOpenHandleIsInvalidHandle) {
    machine_.add(vsim::kVeltraInterface);
    VELTRA_HANDLE card = nullptr;
    ASSERT_EQ(VELTRA_Open(0, &card), VELTRA_SUCCESS);
    EXPECT_EQ(VELTRA_Close(card), VELTRA_SUCCESS);
    EXPECT_EQ(VELTRA_Close(card), VELTRA_INVALID_HANDLE);
    EXPECT_EQ(VELTRA_Close(nullptr), VELTRA_INVALID_HANDLE);
    EXPECT_EQ(VELTRA_Close(reinterpret_cast<VELTRA_HANDLE>(0x7FFF0000)), VELTRA_INVALID_HANDLE);
}

// VELTRA_Close asks the handle for the card's information before it closes
// it (IOCTL_VELTRA_GET_CARD_INFO_EX, 0x2220FC): an object that takes no
// such request (ERROR_NOT_SUPPORTED, ERROR_INVALID_FUNCTION) is not a card
// and stays open for its owner; a card that fails the request otherwise (it
// went away, the device failed) is still a card, and is closed.
TEST_F(Open, CloseClosesWhatAnswersAsACardOnly) {
    auto device = machine_.add(vsim::kVeltraInterface);
    const struct {
        uint32_t error;
        VELTRA_STATUS closed;
        size_t openAfter;
    } rows[] = {
        {ERROR_NOT_SUPPORTED, VELTRA_INVALID_HANDLE, 1},
        {ERROR_INVALID_FUNCTION, VELTRA_INVALID_HANDLE, 1},
        {1617, VELTRA_SUCCESS, 0},  // ERROR_DEVICE_REMOVED
        {31, VELTRA_SUCCESS, 0},    // ERROR_GEN_FAILURE
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.error);
        device->onCode(0x2220FC, vsim::Answer::fail(row.error));
        VELTRA_HANDLE card = nullptr;
        ASSERT_EQ(VELTRA_Open(0, &card), VELTRA_SUCCESS);
        EXPECT_EQ(VELTRA_Close(card), row.closed);
        EXPECT_EQ(device->openHandles(), row.openAfter);
        if (row.openAfter != 0) {
            EXPECT_TRUE(CloseHandle(card));
        }
    }
}

TEST(DefaultMachine, OpensBothCardsAndNotAThird) {
    vsim::resetMachine();
    for (uint32_t index : {0u, 1u}) {
        VELTRA_HANDLE card = nullptr;
        ASSERT_EQ(VELTRA_Open(index, &card), VELTRA_SUCCESS) << index;
        EXPECT_EQ(VELTRA_Close(card), VELTRA_SUCCESS);
    }
    VELTRA_HANDLE card = nullptr;
    EXPECT_EQ(VELTRA_Open(2, &card), VELTRA_DEVICE_NOT_FOUND);
}

}  // namespace
