// Faults on purpose: each gives the status that the application would see
// from real hardware, leaves a line in the trace, and clears again; a fault
// set by another process hits a running one.
#include <kesta.h>
#include <veltra.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "simtest.h"
#include "vsim/cards.h"

namespace {

namespace fs = std::filesystem;
using simtest::setVariable;

// The request trace of this test program (CTest names it in
// VELTRA_SIM_TRACE; the simulator appends to it), from where it ended when
// the test began.
std::string wholeTrace() {
    std::ifstream file(FAULT_TRACE, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), {});
}
size_t traceStart = 0;
std::string trace() {
    return wholeTrace().substr(std::min(traceStart, wholeTrace().size()));
}

void arm(const std::string& text) {
    std::string problem;
    ASSERT_TRUE(vsim::applyFaults(text, problem)) << problem;
}

// Card 0 of the default machine, with no fault left behind.
class Faults : public ::testing::Test {
  protected:
    void SetUp() override {
        traceStart = wholeTrace().size();
        vsim::resetMachine();
        ASSERT_EQ(VELTRA_Open(0, &card_), VELTRA_SUCCESS);
    }
    void TearDown() override {
        vsim::clearFaults(vsim::kEveryCard);
        VELTRA_Close(card_);
        vsim::resetMachine();
    }
    uint32_t statusWord(int word) {
        VELTRA_DEVICE_STATUS s{};
        EXPECT_EQ(VELTRA_GetDeviceStatus(card_, 0, &s, nullptr), VELTRA_SUCCESS);
        const uint32_t words[] = {s.status1, s.status2, s.status3, s.status4, s.status5};
        return words[word];
    }

    VELTRA_HANDLE card_ = nullptr;
};

TEST_F(Faults, DmaTransferFailsOnceAfterItsCount) {
    std::vector<uint8_t> data(4096, 0x5A);
    arm("[[fault]]\ncard = 0\nkind = \"dma\"\nchannel = 1\nafter_transfers = 1\n");
    EXPECT_EQ(VELTRA_WriteDMA(card_, 0, 0, data.data(), data.size(), 0), VELTRA_SUCCESS)
        << "another channel";
    EXPECT_EQ(VELTRA_WriteDMA(card_, 1, 0, data.data(), data.size(), 0), VELTRA_SUCCESS);
    EXPECT_EQ(VELTRA_WriteDMA(card_, 1, 0, data.data(), data.size(), 0), VELTRA_HARDWARE_ERROR);
    EXPECT_EQ(statusWord(1), 1u) << "the DMA word";
    EXPECT_EQ(VELTRA_WriteDMA(card_, 1, 0, data.data(), data.size(), 0), VELTRA_SUCCESS)
        << "the fault fired once";
    EXPECT_NE(trace().find("fault card 0: DMA channel 1: the transfer of 4096 bytes failed"),
              std::string::npos);

    // Counted in bytes, on any channel, seen through a non-blocking transfer.
    arm("[[fault]]\ncard = 0\nkind = \"dma\"\nafter_bytes = 10000\n");
    EXPECT_EQ(VELTRA_ReadDMA(card_, 0, 0, data.data(), data.size(), 0), VELTRA_SUCCESS);
    EXPECT_EQ(VELTRA_ReadDMA(card_, 1, 0, data.data(), data.size(), 0), VELTRA_SUCCESS);
    OVERLAPPED overlapped{};
    overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    const VELTRA_STATUS started =
        VELTRA_StartReadDMA(card_, &overlapped, 0, 0, data.data(), data.size(), 0);
    ASSERT_TRUE(started == VELTRA_PENDING || started == VELTRA_HARDWARE_ERROR);
    if (started == VELTRA_PENDING) {
        EXPECT_EQ(VELTRA_FinishDMA(card_, &overlapped, 1), VELTRA_HARDWARE_ERROR);
    }
    CloseHandle(overlapped.hEvent);
}

// After N bytes, the transfer that moves byte N+1 fails; an empty transfer
// moves none and never fails. Faults of two channels are both kept.
TEST_F(Faults, ByteCountsFireOnTheByteAfterThemAndEachChannelKeepsItsFault) {
    std::vector<uint8_t> data(4096, 0x5A);
    arm("[[fault]]\ncard = 0\nkind = \"dma\"\nafter_bytes = 4096\n");
    EXPECT_EQ(VELTRA_WriteDMA(card_, 0, 0, data.data(), 4096, 0), VELTRA_SUCCESS);
    EXPECT_EQ(VELTRA_WriteDMA(card_, 0, 0, data.data(), 0, 0), VELTRA_SUCCESS) << "moves nothing";
    EXPECT_EQ(VELTRA_WriteDMA(card_, 1, 0, data.data(), 1, 0), VELTRA_HARDWARE_ERROR);
    EXPECT_EQ(VELTRA_WriteDMA(card_, 1, 0, data.data(), 1, 0), VELTRA_SUCCESS) << "spent";

    arm("[[fault]]\ncard = 0\nkind = \"dma\"\nafter_bytes = 0\n");
    EXPECT_EQ(vsim::describeFaults(), "card 0: dma after 0 bytes\n");
    EXPECT_EQ(VELTRA_ReadDMA(card_, 0, 0, data.data(), 0, 0), VELTRA_SUCCESS);
    EXPECT_EQ(VELTRA_ReadDMA(card_, 0, 0, data.data(), 1, 0), VELTRA_HARDWARE_ERROR);
    EXPECT_EQ(vsim::describeFaults(), "");

    arm("[[fault]]\ncard = 0\nkind = \"dma\"\nchannel = 0\nafter_transfers = 1\n");
    arm("[[fault]]\ncard = 0\nkind = \"dma\"\nchannel = 1\nafter_bytes = 8192\n");
    EXPECT_EQ(vsim::describeFaults(),
              "card 0: dma channel 0 after 1 transfers\ncard 0: dma channel 1 after 8192 bytes\n");
    EXPECT_EQ(VELTRA_WriteDMA(card_, 1, 0, data.data(), 4096, 0), VELTRA_SUCCESS);
    EXPECT_EQ(VELTRA_WriteDMA(card_, 0, 0, data.data(), 4096, 0), VELTRA_SUCCESS);
    EXPECT_EQ(VELTRA_WriteDMA(card_, 0, 0, data.data(), 4096, 0), VELTRA_HARDWARE_ERROR);
    EXPECT_EQ(VELTRA_WriteDMA(card_, 1, 0, data.data(), 4096, 0), VELTRA_SUCCESS);
    EXPECT_EQ(VELTRA_WriteDMA(card_, 1, 0, data.data(), 1, 0), VELTRA_HARDWARE_ERROR);
    EXPECT_EQ(vsim::describeFaults(), "");
}

TEST_F(Faults, RemovedCardFailsEveryRequestUntilItIsBack) {
    KESTA_HANDLE bridge = nullptr;
    ASSERT_EQ(KESTA_Open(0, 0, 0, &bridge), KESTA_SUCCESS);
    arm("[[fault]]\ncard = 0\nkind = \"removed\"\nafter_requests = 2\n");
    VELTRA_CARD_INFO info{};
    EXPECT_EQ(VELTRA_GetCardInfo(card_, &info), VELTRA_SUCCESS);
    uint64_t id = 0;
    EXPECT_EQ(KESTA_GetUniqueId(bridge, &id), KESTA_SUCCESS);
    EXPECT_EQ(VELTRA_GetCardInfo(card_, &info), VELTRA_UNEXPECTED_ERROR);
    EXPECT_EQ(KESTA_GetUniqueId(bridge, &id), KESTA_UNEXPECTED_ERROR);
    EXPECT_NE(trace().find("fault card 0: the card is removed"), std::string::npos);
    EXPECT_EQ(VELTRA_Close(card_), VELTRA_SUCCESS) << "a close still works";
    card_ = nullptr;
    // Only card 1 is left: it is the first card now, and there is no second.
    VELTRA_HANDLE other = nullptr;
    EXPECT_EQ(VELTRA_Open(1, &other), VELTRA_DEVICE_NOT_FOUND);
    KESTA_HANDLE otherBridge = nullptr;
    EXPECT_EQ(KESTA_Open(1, 0, 0, &otherBridge), KESTA_DEVICE_NOT_FOUND);
    ASSERT_EQ(VELTRA_Open(0, &other), VELTRA_SUCCESS);
    ASSERT_EQ(VELTRA_GetCardInfo(other, &info), VELTRA_SUCCESS);
    EXPECT_EQ(info.cardValue2, 0x8115u) << "card 1's board id";
    EXPECT_EQ(VELTRA_Close(other), VELTRA_SUCCESS);

    ASSERT_TRUE(vsim::clearFaults(0));
    ASSERT_EQ(VELTRA_Open(0, &card_), VELTRA_SUCCESS);
    EXPECT_EQ(VELTRA_GetCardInfo(card_, &info), VELTRA_SUCCESS);
    EXPECT_EQ(info.cardValue2, 0x7038u) << "card 0 is back, as the first card";
    ASSERT_EQ(VELTRA_Open(1, &other), VELTRA_SUCCESS);
    EXPECT_EQ(VELTRA_Close(other), VELTRA_SUCCESS);
    EXPECT_EQ(KESTA_Close(bridge), KESTA_SUCCESS);
}

// What is outstanding when the card goes ends as a removed device's
// requests end.
TEST_F(Faults, RemovalEndsOutstandingWaits) {
    OVERLAPPED wait{};
    wait.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ASSERT_EQ(VELTRA_StartNotificationWait(card_, &wait, 5), VELTRA_PENDING);
    arm("[[fault]]\ncard = 0\nkind = \"removed\"\n");
    EXPECT_EQ(VELTRA_FinishNotificationWait(card_, &wait, 1), VELTRA_UNEXPECTED_ERROR);
    CloseHandle(wait.hEvent);
}

TEST_F(Faults, FlashFailsInItsBlockAndNamesAnotherChip) {
    arm("[[fault]]\ncard = 0\nkind = \"flash-erase\"\noffset = 0x20000\n"
        "[[fault]]\ncard = 0\nkind = \"flash-program\"\noffset = \"256 KiB\"\n"
        "[[fault]]\ncard = 0\nkind = \"flash-id\"\nvendor = 0x1234\ndevice = 0x5678\n");
    EXPECT_EQ(VELTRA_EraseFlash(card_, 0, 0, 0, 0x20000), VELTRA_SUCCESS) << "another block";
    EXPECT_EQ(VELTRA_EraseFlash(card_, 0, 0, 0, 0x40000), VELTRA_HARDWARE_ERROR);
    EXPECT_EQ(statusWord(2), 1u) << "the flash word";
    const uint8_t data[16] = {1, 2, 3};
    EXPECT_EQ(VELTRA_WriteFlash(card_, 0, 0, 0x3FFF8, sizeof data, data), VELTRA_HARDWARE_ERROR)
        << "a write that reaches into the block at 0x40000";
    EXPECT_EQ(VELTRA_WriteFlash(card_, 0, 0, 0x20000, sizeof data, data), VELTRA_SUCCESS);
    VELTRA_FLASH_INFOA flash{};
    ASSERT_EQ(VELTRA_GetFlashInfoA(card_, 0, &flash), VELTRA_SUCCESS);
    EXPECT_STREQ(flash.name, "Vendor 0x1234 Device 0x5678");
    EXPECT_NE(trace().find("fault card 0: erasing flash bank 0 failed in the block at 0x20000"),
              std::string::npos);
    EXPECT_NE(trace().find("fault card 0: flash bank 0 reports vendor 0x1234 device 0x5678"),
              std::string::npos);

    ASSERT_TRUE(vsim::clearFaults(0));
    EXPECT_EQ(VELTRA_EraseFlash(card_, 0, 0, 0x20000, 0x20000), VELTRA_SUCCESS);
    ASSERT_EQ(VELTRA_GetFlashInfoA(card_, 0, &flash), VELTRA_SUCCESS);
    EXPECT_STREQ(flash.name, "Numonyx Axcell P30 (Top boot)");
}

TEST_F(Faults, ConfigurationClocksAndSensors) {
    const uint8_t image[] = {0xFF, 0xAA, 0x99, 0x55, 0x66, 0};
    arm("[[fault]]\ncard = 0\nkind = \"configure\"\n"
        "[[fault]]\ncard = 0\nkind = \"clock-unlock\"\nclock = 1\n"
        "[[fault]]\ncard = 0\nkind = \"sensor-alarm\"\nsensor = 0\n");
    EXPECT_EQ(VELTRA_ConfigureFromBuffer(card_, 0, 0, image, sizeof image), VELTRA_HARDWARE_ERROR);
    VELTRA_FPGA_INFOA fpga{};
    ASSERT_EQ(VELTRA_GetFpgaInfoA(card_, 0, &fpga), VELTRA_SUCCESS);
    EXPECT_EQ(fpga.attribute3, 0u) << "not configured";
    EXPECT_EQ(statusWord(0), 1u) << "the configuration word";
    double actual = 0;
    EXPECT_EQ(VELTRA_SetClockFrequency(card_, 1, 0, 300e6, &actual), VELTRA_HARDWARE_ERROR);
    VELTRA_SENSOR_VALUE reading{};
    ASSERT_EQ(VELTRA_ReadSensor(card_, 0, &reading), VELTRA_SUCCESS);
    EXPECT_DOUBLE_EQ(reading.doubleValue, 110.0) << "over the limit of 100 by a tenth";
    ASSERT_EQ(VELTRA_ReadSensor(card_, 3, &reading), VELTRA_SUCCESS);
    EXPECT_EQ(reading.value32, 0x3u) << "the alarm flags: any alarm, and sensor 0's";
    EXPECT_EQ(statusWord(4), 0x3u);
    const std::string lines = trace();
    EXPECT_NE(lines.find("fault card 0: FPGA 0 never reports that it is configured"),
              std::string::npos);
    EXPECT_NE(lines.find("fault card 0: clock 1 does not lock"), std::string::npos);
    EXPECT_NE(lines.find("fault card 0: sensor 0 reads over its limit"), std::string::npos);

    ASSERT_TRUE(vsim::clearFaults(0));
    ASSERT_EQ(VELTRA_ClearDeviceErrors(card_), VELTRA_SUCCESS);
    EXPECT_EQ(VELTRA_ConfigureFromBuffer(card_, 0, 0, image, sizeof image), VELTRA_SUCCESS);
    EXPECT_EQ(VELTRA_SetClockFrequency(card_, 1, 0, 300e6, &actual), VELTRA_SUCCESS);
    ASSERT_EQ(VELTRA_ReadSensor(card_, 0, &reading), VELTRA_SUCCESS);
    EXPECT_LT(reading.doubleValue, 50.0);
    EXPECT_EQ(statusWord(4), 0u);
}

TEST_F(Faults, SlowCard) {
    arm("[[fault]]\ncard = 0\nkind = \"slow\"\nbandwidth = \"16 MiB\"\nlatency_us = 3000\n");
    auto start = std::chrono::steady_clock::now();
    VELTRA_CARD_INFO info{};
    EXPECT_EQ(VELTRA_GetCardInfo(card_, &info), VELTRA_SUCCESS);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::microseconds(2900));
    std::vector<uint8_t> data(1 << 20);
    start = std::chrono::steady_clock::now();
    EXPECT_EQ(VELTRA_WriteDMA(card_, 0, 0, data.data(), data.size(), 0), VELTRA_SUCCESS);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(62))
        << "1 MiB at 16 MiB a second";
    // A latency below the system's sleep granularity (a millisecond on
    // Windows) is added too.
    arm("[[fault]]\ncard = 0\nkind = \"slow\"\nlatency_us = 100\n");
    start = std::chrono::steady_clock::now();
    for (int i = 0; i < 20; ++i)
        EXPECT_EQ(VELTRA_GetCardInfo(card_, &info), VELTRA_SUCCESS);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::microseconds(2000));
    ASSERT_TRUE(vsim::clearFaults(0));
    start = std::chrono::steady_clock::now();
    EXPECT_EQ(VELTRA_WriteDMA(card_, 0, 0, data.data(), data.size(), 0), VELTRA_SUCCESS);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(62));
}

TEST_F(Faults, TextThatCannotBeUsedArmsNothingAfterIt) {
    std::string problem;
    EXPECT_FALSE(vsim::applyFaults("[[fault]]\ncard = 0\nkind = \"dma\"\nblock = 3\n", problem));
    EXPECT_EQ(problem, "the faults:4: unknown key 'block' in [[fault]]");
    EXPECT_FALSE(vsim::applyFaults("[[fault]]\ncard = 5\nkind = \"configure\"\n", problem));
    EXPECT_EQ(problem, "the machine has no card 5");
    EXPECT_FALSE(
        vsim::applyFaults("[[fault]]\ncard = 0\nkind = \"sensor-alarm\"\nsensor = 9\n", problem));
    EXPECT_EQ(problem, "card 0 has no sensor 9");
    EXPECT_FALSE(
        vsim::applyFaults("[[fault]]\ncard = 0\nkind = \"clock-unlock\"\nclock = 0\n", problem));
    EXPECT_EQ(problem, "card 0 has no programmable clock 0") << "clock 0 is fixed";
    EXPECT_EQ(vsim::describeFaults(), "");
}

// The description's faults are armed with its state; a fault file named by
// VELTRA_SIM_FAULTS is armed by each process that starts with it.
TEST(FaultSources, DescriptionAndFaultFile) {
    const std::string description = simtest::scratchName("faulty") + ".toml";
    std::ofstream(description, std::ios::binary)
        << "[[card]]\n[[card.fpga]]\ntype = 260\n[[card.clock]]\nfrequency = 1000\n"
           "range = [1, 1000000]\nstep = 1\n[[card.fault]]\nkind = \"configure\"\n";
    const std::string faultFile = simtest::scratchName("faults") + ".toml";
    std::ofstream(faultFile, std::ios::binary)
        << "[[fault]]\ncard = 0\nkind = \"clock-unlock\"\nclock = 0\n";
    setVariable("VELTRA_SIM_MACHINE", description);
    setVariable("VELTRA_SIM_FAULTS", faultFile);
    vsim::resetMachine();
    EXPECT_EQ(vsim::describeFaults(),
              "card 0: configure (never finishes)\ncard 0: clock-unlock clock 0\n");
    VELTRA_HANDLE card = nullptr;
    ASSERT_EQ(VELTRA_Open(0, &card), VELTRA_SUCCESS);
    const uint8_t image[] = {0xAA, 0x99, 0x55, 0x66};
    EXPECT_EQ(VELTRA_ConfigureFromBuffer(card, 0, 0, image, sizeof image), VELTRA_HARDWARE_ERROR);
    EXPECT_EQ(VELTRA_SetClockFrequency(card, 0, 0, 2000, nullptr), VELTRA_HARDWARE_ERROR);
    EXPECT_EQ(VELTRA_Close(card), VELTRA_SUCCESS);
    setVariable("VELTRA_SIM_FAULTS", "");
    setVariable("VELTRA_SIM_MACHINE", "");
    vsim::resetMachine();
    // A description's fault that does not fit its card is refused with the file.
    std::ofstream(description, std::ios::binary)
        << "[[card]]\n[[card.sensor]]\ndescription = \"x\"\n[[card.fault]]\n"
           "kind = \"sensor-alarm\"\nsensor = 3\n";
    std::string problem;
    EXPECT_FALSE(vsim::checkMachineDescription(description, problem));
    EXPECT_EQ(problem, description + ":4: the card has no sensor 3");
    fs::remove(description);
    fs::remove(faultFile);
}

// The tool arms a fault from a terminal: the running process's next transfer
// fails; the tool clears it and the transfer after works.
TEST(FaultSources, ToolHitsARunningProcess) {
    const std::string folder = fs::absolute(simtest::scratchName("fault-state")).string();
    fs::remove_all(folder);
    setVariable("VELTRA_SIM_STATE", folder);
    vsim::resetMachine();
    VELTRA_HANDLE card = nullptr;
    ASSERT_EQ(VELTRA_Open(0, &card), VELTRA_SUCCESS);
    std::vector<uint8_t> data(4096);
    ASSERT_EQ(VELTRA_WriteDMA(card, 0, 0, data.data(), data.size(), 0), VELTRA_SUCCESS);
    const std::string faultFile =
        fs::absolute(simtest::scratchName("dma-fault") + ".toml").string();
    std::ofstream(faultFile, std::ios::binary) << "[[fault]]\ncard = 0\nkind = \"dma\"\n";
    int status = -1;
    EXPECT_EQ(simtest::runProgram(VELTRA_TOOL, "sim fault \"" + faultFile + "\"", status),
              "armed; the faults now:\ncard 0: dma after 0 transfers\n");
    EXPECT_EQ(status, 0);
    EXPECT_EQ(VELTRA_WriteDMA(card, 0, 0, data.data(), data.size(), 0), VELTRA_HARDWARE_ERROR);
    ASSERT_EQ(simtest::runProgram(VELTRA_TOOL, "sim fault \"" + faultFile + "\"", status).empty(),
              false);
    EXPECT_EQ(simtest::runProgram(VELTRA_TOOL, "sim clear-faults 0", status),
              "card 0: no faults\n");
    EXPECT_EQ(VELTRA_WriteDMA(card, 0, 0, data.data(), data.size(), 0), VELTRA_SUCCESS);
    EXPECT_EQ(VELTRA_Close(card), VELTRA_SUCCESS);
    setVariable("VELTRA_SIM_STATE", "private");
    vsim::resetMachine();
    std::error_code error;
    fs::remove_all(folder, error);
    fs::remove(faultFile, error);
}

}  // namespace
