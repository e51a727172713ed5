// A model of the user's FPGA design behind the simulated card: the example
// design end to end, the events a model hears and what it can do, and models
// that cannot be used.
#include <veltra.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "simtest.h"
#include "vsim/cards.h"

namespace {

using simtest::setVariable;

std::string binFolder() {
#if defined(_WIN32)
    return simtest::programFolder();
#else
    return BIN_FOLDER;
#endif
}

// A machine with one card: window 0 the model's log, 1 card memory, 2 the
// doorbell, 3 and 4 watched registers; one sensor.
std::string description(const std::string& library, const std::string& argument) {
    return "[[card]]\n"
           "card_memory = \"1 MiB\"\n"
           "model = { library = '" +
           library + "', argument = '" + argument +
           "', watch_interval_us = 100 }\n"
           "[[card.fpga]]\npart = \"7vx690tffg1157\"\ntype = 260\nfamily = 7\n"
           "[[card.window]]\nkind = \"memory\"\nsize = \"64 KiB\"\n"
           "[[card.window]]\nkind = \"card-memory\"\nsize = \"1 MiB\"\n"
           "[[card.window]]\nkind = \"doorbell\"\nsize = 4096\n"
           "[[card.window]]\nkind = \"registers\"\nsize = 4096\nwatch = true\n"
           "[[card.window]]\nkind = \"registers\"\nsize = 4096\nwatch = true\n"
           "[[card.sensor]]\ndescription = \"Die (C)\"\ndatatype = \"fixed\"\nunit = "
           "\"celsius\"\nreading = { constant = 45.0 }\n";
}

// The request trace of this test program, which CTest names in
// VELTRA_SIM_TRACE (the simulator opens it once per process).
std::string wholeTrace() {
    std::ifstream file(MODEL_TRACE, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), {});
}
// The trace from where it ended when the test began (the simulator appends).
size_t traceStart = 0;
std::string trace() {
    return wholeTrace().substr(std::min(traceStart, wholeTrace().size()));
}

size_t count(const std::string& text, const std::string& part) {
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++n;
    return n;
}

// Sets up the machine of `description` for the test's life.
class ModelMachine : public ::testing::Test {
  protected:
    void SetUp() override { traceStart = wholeTrace().size(); }
    void use(const std::string& library, const std::string& argument) {
        path_ = binFolder() + simtest::scratchName("model") + ".toml";
        std::ofstream(path_, std::ios::binary) << description(library, argument);
        setVariable("VELTRA_SIM_MACHINE", path_);
        vsim::resetMachine();
    }
    void TearDown() override {
        setVariable("VELTRA_SIM_MACHINE", "");
        vsim::resetMachine();
        std::remove(path_.c_str());
    }
    // The model's log so far.
    static std::string log(VELTRA_HANDLE card) {
        char text[4096] = {};
        EXPECT_EQ(VELTRA_Read(card, 0, 0, 0, sizeof text - 1, text), VELTRA_SUCCESS);
        return text;
    }

    std::string path_;
};

const uint8_t kImage[] = {0xFF, 0xFF, 0xAA, 0x99, 0x55, 0x66, 'd', 'e', 's', 'i', 'g', 'n'};

TEST(ExampleDesign, ComputesThroughEveryPath) {
    setVariable("VELTRA_SIM_MACHINE", binFolder() + "vector_add.toml");
    int status = -1;
#if defined(_WIN32)
    const std::string program = "vector_add";  // from the test program's folder
#else
    const std::string program = binFolder() + "vector_add";
#endif
    const std::string output = simtest::runProgram(program, "", status);
    setVariable("VELTRA_SIM_MACHINE", "");
    EXPECT_EQ(status, 0) << output;
    EXPECT_NE(output.find("VELTRA_Write and the doorbell: C = A + B, RESULT 0xc3270000: right"),
              std::string::npos)
        << output;
    EXPECT_NE(output.find("a mapping of the registers: C = A + B, RESULT 0x43270000: right"),
              std::string::npos)
        << output;
    EXPECT_NE(output.find("as the design counted it: 786432 bytes"), std::string::npos) << output;
}

TEST_F(ModelMachine, HearsEachEventAndActsOnTheCard) {
    use(binFolder() + "recording_model", "record");
    ASSERT_EQ(vsim::machineProblem(), "");
    VELTRA_HANDLE card = nullptr;
    ASSERT_EQ(VELTRA_Open(0, &card), VELTRA_SUCCESS);
    ASSERT_EQ(VELTRA_ConfigureFromBuffer(card, 0, 0, kImage, sizeof kImage), VELTRA_SUCCESS);
    uint32_t value = 5;
    ASSERT_EQ(VELTRA_Write(card, 3, 0, 0x10, 4, &value), VELTRA_SUCCESS);
    ASSERT_EQ(VELTRA_Read(card, 3, 0, 0x20, 4, &value), VELTRA_SUCCESS);
    EXPECT_EQ(value, 0x600Du) << "the model brought the register up to date before the read";
    uint8_t data[4096] = {};
    ASSERT_EQ(VELTRA_WriteDMA(card, 1, 0, data, sizeof data, 0x1000), VELTRA_SUCCESS);
    ASSERT_EQ(VELTRA_ReadDMA(card, 0, 0, data, 256, 0x2000), VELTRA_SUCCESS);
    ASSERT_EQ(VELTRA_Unconfigure(card, 0, 0), VELTRA_SUCCESS);
    EXPECT_EQ(log(card),
              "configure 0 12\n"
              "write 3 0x10 4\n"
              "read 3 0x20 4\n"
              "dma 1 in 0x1000 4096\n"
              "dma 0 out 0x2000 256\n"
              "unconfigure 0\n");

    // The doorbell: the model hears the write and the ring, sets a sensor
    // and a status bit, and raises a notification of its own.
    OVERLAPPED wait{};
    wait.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ASSERT_EQ(VELTRA_StartNotificationWait(card, &wait, 78), VELTRA_PENDING);
    value = 77;
    ASSERT_EQ(VELTRA_Write(card, 2, 0, 0, 4, &value), VELTRA_SUCCESS);
    EXPECT_EQ(VELTRA_FinishNotificationWait(card, &wait, 1), VELTRA_SUCCESS);
    CloseHandle(wait.hEvent);
    VELTRA_SENSOR_VALUE reading{};
    ASSERT_EQ(VELTRA_ReadSensor(card, 0, &reading), VELTRA_SUCCESS);
    EXPECT_DOUBLE_EQ(reading.doubleValue, 99.5);
    VELTRA_DEVICE_STATUS deviceStatus{};
    ASSERT_EQ(VELTRA_GetDeviceStatus(card, 0, &deviceStatus, nullptr), VELTRA_SUCCESS);
    EXPECT_EQ(deviceStatus.status5, 0x2u) << "the sensor word";
    EXPECT_NE(log(card).find("unconfigure 0\nwrite 2 0x0 4\ndoorbell 77\n"), std::string::npos)
        << log(card);
    EXPECT_NE(trace().find("model card 0: the alarm went off"), std::string::npos) << trace();

    // A write through a mapping of a watched window reaches the model as a
    // write of the changed words, once.
    void* base = nullptr;
    ASSERT_EQ(VELTRA_MapWindow(card, 3, 0, 4096, &base), VELTRA_SUCCESS);
    static_cast<volatile uint64_t*>(base)[0x40 / 8] = 0x0100000012345678ull;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (log(card).find("write 3 0x40 8\n") == std::string::npos &&
           std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const std::string afterMapping = log(card);
    EXPECT_NE(afterMapping.find("doorbell 77\nwrite 3 0x40 8\n"), std::string::npos)
        << afterMapping;
    EXPECT_EQ(afterMapping.find("write 3 0x40 8\n"), afterMapping.rfind("write 3 0x40 8\n"))
        << "reported once";
    EXPECT_EQ(VELTRA_UnmapWindow(card, base), VELTRA_SUCCESS);

    // A power cycle: the model hears it; the sensor reads as described again.
    ASSERT_TRUE(vsim::powerCycle(0));
    EXPECT_EQ(log(card), "power\n");
    ASSERT_EQ(VELTRA_ReadSensor(card, 0, &reading), VELTRA_SUCCESS);
    EXPECT_DOUBLE_EQ(reading.doubleValue, 45.0);

    // The model refuses a configuration: the FPGA stays unconfigured.
    const uint8_t refused[] = {0xAA, 0x99, 0x55, 0x66, 'r', 'e', 'f', 'u', 's', 'e'};
    EXPECT_EQ(VELTRA_ConfigureFromBuffer(card, 0, 0, refused, sizeof refused),
              VELTRA_HARDWARE_ERROR);
    VELTRA_FPGA_INFOA fpga{};
    ASSERT_EQ(VELTRA_GetFpgaInfoA(card, 0, &fpga), VELTRA_SUCCESS);
    EXPECT_EQ(fpga.attribute3, 0u) << "not configured";
    EXPECT_NE(trace().find("model card 0: refused the configuration of FPGA 0 (1)"),
              std::string::npos);
    EXPECT_EQ(VELTRA_Close(card), VELTRA_SUCCESS);
}

// Reads a word of window 0 until it is `expected` (or five seconds pass).
uint32_t settledWord(VELTRA_HANDLE card, uint64_t offset, uint32_t expected) {
    uint32_t value = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    do {
        EXPECT_EQ(VELTRA_Read(card, 0, 0, offset, 4, &value), VELTRA_SUCCESS);
        if (value == expected)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    } while (std::chrono::steady_clock::now() < deadline);
    return value;
}

// On a machine that two processes share, each event reaches one model: a
// write through a mapping of a watched window that both processes have
// mapped is heard by the process that watches it, and when that process
// ends, by the other; a request is heard by the process that made it.
TEST_F(ModelMachine, OneProcessHearsEachEventOfASharedMachine) {
    const std::string folder = simtest::scratchName("model-state");
    setVariable("VELTRA_SIM_STATE", folder);
    use(binFolder() + "recording_model", "record");
    constexpr uint64_t kStarts = 0xF000, kPeerMapped = 0xF004;
    VELTRA_HANDLE card = nullptr;
    ASSERT_EQ(VELTRA_Open(0, &card), VELTRA_SUCCESS);
    uint32_t zero = 0;
    ASSERT_EQ(VELTRA_Write(card, 0, 0, kStarts, 4, &zero), VELTRA_SUCCESS);
    ASSERT_EQ(VELTRA_Write(card, 0, 0, kPeerMapped, 4, &zero), VELTRA_SUCCESS);
    // Another process watches other registers all along, which this process
    // maps first: asking after that watcher must not delay this process in
    // taking over the first registers when their watcher ends.
    int keeperStatus = -1;
    std::thread keeper(
        [&] { simtest::runProgram(MACHINE_PEER, "map-hold 0 4 4000", keeperStatus); });
    ASSERT_EQ(settledWord(card, kPeerMapped, 1), 1u) << "the keeper maps its registers";
    ASSERT_EQ(VELTRA_Write(card, 0, 0, kPeerMapped, 4, &zero), VELTRA_SUCCESS);
    void* kept = nullptr;
    ASSERT_EQ(VELTRA_MapWindow(card, 4, 0, 4096, &kept), VELTRA_SUCCESS);
    int peerStatus = -1;
    std::thread peer([&] { simtest::runProgram(MACHINE_PEER, "map-hold 0 3 1500", peerStatus); });
    ASSERT_EQ(settledWord(card, kPeerMapped, 1), 1u) << "the peer maps the registers and watches";
    void* base = nullptr;
    ASSERT_EQ(VELTRA_MapWindow(card, 3, 0, 4096, &base), VELTRA_SUCCESS);
    auto* start = static_cast<volatile uint32_t*>(base);
    *start = 1;
    EXPECT_EQ(settledWord(card, kStarts, 1), 1u);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(settledWord(card, kStarts, 1), 1u) << "heard by one process";

    peer.join();
    EXPECT_EQ(peerStatus, 0);
    *start = 2;  // the peer has ended: this process watches now
    const auto written = std::chrono::steady_clock::now();
    EXPECT_EQ(settledWord(card, kStarts, 2), 2u);
    EXPECT_LT(std::chrono::steady_clock::now() - written, std::chrono::seconds(1))
        << "taken over within about 50 ms";
    EXPECT_EQ(count(trace(),
                    "model card 0: takes over watching window 3 from a process that "
                    "ended"),
              1u)
        << trace();
    uint32_t again = 3;
    ASSERT_EQ(VELTRA_Write(card, 3, 0, 0, 4, &again), VELTRA_SUCCESS);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(settledWord(card, kStarts, 3), 3u) << "a request is heard once, by its process";
    EXPECT_EQ(VELTRA_UnmapWindow(card, base), VELTRA_SUCCESS);
    EXPECT_EQ(VELTRA_UnmapWindow(card, kept), VELTRA_SUCCESS);
    keeper.join();
    EXPECT_EQ(keeperStatus, 0);
    EXPECT_EQ(VELTRA_Close(card), VELTRA_SUCCESS);
    setVariable("VELTRA_SIM_STATE", "private");
    vsim::resetMachine();
    std::error_code error;
    std::filesystem::remove_all(folder, error);
}

// A model that cannot be used: the reason on the machine (and stderr), a
// line in the trace at each configuration, which fails as hardware that
// never finishes configuring does; everything else works.
TEST_F(ModelMachine, UnusableModelsAreReportedAndConfigurationFails) {
    const struct {
        std::string library, argument, reason;
    } cases[] = {
        {binFolder() + "no_such_model", "", "cannot be loaded"},
#if defined(_WIN32)
        {binFolder() + "veltra", "", "has no entry point vsimModelOpen"},
#else
        {BIN_FOLDER "../lib/libveltra", "", "has no entry point vsimModelOpen"},
#endif
        {binFolder() + "recording_model", "fail", "vsimModelOpen failed with 5"},
        {binFolder() + "recording_model", "old", "gave no callbacks of version 1"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.reason);
        use(c.library, c.argument);
        const std::string problem = vsim::machineProblem();
        EXPECT_EQ(problem.rfind("card 0: the model ", 0), 0u) << problem;
        EXPECT_NE(problem.find(c.reason), std::string::npos) << problem;
        EXPECT_NE(problem.find("its FPGAs will not configure"), std::string::npos) << problem;
        const size_t traced = count(trace(), "; FPGA 0 does not configure");
        VELTRA_HANDLE card = nullptr;
        ASSERT_EQ(VELTRA_Open(0, &card), VELTRA_SUCCESS);
        EXPECT_EQ(VELTRA_ConfigureFromBuffer(card, 0, 0, kImage, sizeof kImage),
                  VELTRA_HARDWARE_ERROR);
        VELTRA_DEVICE_STATUS deviceStatus{};
        ASSERT_EQ(VELTRA_GetDeviceStatus(card, 0, &deviceStatus, nullptr), VELTRA_SUCCESS);
        EXPECT_EQ(deviceStatus.status1, 1u) << "the configuration word";
        uint32_t value = 1;
        EXPECT_EQ(VELTRA_Write(card, 3, 0, 0, 4, &value), VELTRA_SUCCESS);
        EXPECT_EQ(VELTRA_Close(card), VELTRA_SUCCESS);
        const std::string lines = trace();
        EXPECT_EQ(count(lines, "; FPGA 0 does not configure"), traced + 1) << lines;
        EXPECT_NE(lines.find("model card 0: the model "), std::string::npos) << lines;
    }
}

}  // namespace
