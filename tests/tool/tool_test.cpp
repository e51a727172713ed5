// The veltra tool as an operator runs it: one process per command, on the
// default simulated machine of a state folder of the test's own, so that
// what one command changes the next one sees. On Windows each command runs
// through vsim-run.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <string>
#include <vector>

#include "simtest.h"

namespace {

namespace fs = std::filesystem;
// Objects keep their keys in the order the tool prints them.
using json = nlohmann::ordered_json;

struct Outcome {
    int status = -1;
    std::string out, err;
};

std::string readText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void writeBytes(const std::string& path, const std::vector<uint8_t>& data) {
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(data.data()),
               static_cast<std::streamsize>(data.size()));
}

std::vector<uint8_t> readBytes(const std::string& path) {
    const std::string text = readText(path);
    return std::vector<uint8_t>(text.begin(), text.end());
}

std::vector<uint8_t> pattern(size_t length, uint8_t seed) {
    std::vector<uint8_t> data(length);
    for (size_t i = 0; i < length; ++i)
        data[i] = static_cast<uint8_t>(i * 7 + seed + (i >> 9));
    return data;
}

class Tool : public ::testing::Test {
  protected:
    void SetUp() override {
        folder_ = fs::absolute(simtest::scratchName("tool-state")).string();
        fs::remove_all(folder_);
        simtest::setVariable("VELTRA_SIM_STATE", folder_);
    }
    void TearDown() override {
        simtest::setVariable("VELTRA_SIM_STATE", "private");
        std::error_code error;
        fs::remove_all(folder_, error);
        for (const std::string& file : files_)
            fs::remove(file, error);
    }

    // A file name of this test process, removed at the end.
    std::string file(const std::string& base) {
        files_.push_back(simtest::scratchName(base));
        return files_.back();
    }

    Outcome veltra(const std::string& arguments) {
        const std::string errors = file("veltra-stderr.txt");
        Outcome run;
        run.out = simtest::runProgram(VELTRA_TOOL, arguments + " 2>" + errors, run.status);
        // Text written to a file on Windows ends its lines with CR LF.
        for (char ch : readText(errors))
            if (ch != '\r')
                run.err += ch;
        return run;
    }

    // Commands that change a card's flash or VPD ask first at a terminal
    // (which the test programs' standard input is, under Wine): the tests
    // answer with --yes, as scripts do.

    // A command that must succeed; its standard output.
    std::string ok(const std::string& arguments) {
        const Outcome run = veltra(arguments);
        EXPECT_EQ(run.status, 0) << "veltra " << arguments << "\n" << run.err;
        EXPECT_EQ(run.err, "") << "veltra " << arguments;
        return run.out;
    }

    json okJson(const std::string& arguments) {
        const std::string out = ok(arguments);
        try {
            return json::parse(out);
        } catch (const json::exception& error) {
            ADD_FAILURE() << "veltra " << arguments << ": not JSON (" << error.what()
                          << "): " << out;
            return json();
        }
    }

    std::string folder_;
    std::vector<std::string> files_;
};

TEST_F(Tool, ListsEveryCard) {
    EXPECT_EQ(
        ok("list"),
        "card 0  board 0x7038 revision 2 serial 0x00A1B2C3  PCIe x8 gen 3  FPGA 7vx690tffg1157 "
        "(not configured)  driver 2.1.3\n"
        "card 1  board 0x8115 revision 3 serial 0x00A1B2C4  PCIe x8 gen 3  FPGA ku115flvb2104 "
        "(not configured)  driver 2.1.3\n");
    const json cards = okJson("list --json");
    ASSERT_EQ(cards.size(), 2u);
    EXPECT_EQ(cards[1]["card"], 1);
    EXPECT_EQ(cards[1]["boardId"], 0x8115);
    EXPECT_EQ(cards[1]["revision"], 3);
    EXPECT_EQ(cards[1]["serial"], 0x00A1B2C4);
    EXPECT_EQ(cards[1]["pcie"], json::parse(R"({"width": 8, "generation": 3})"));
    EXPECT_EQ(cards[1]["fpgas"],
              json::parse(R"([{"name": "ku115flvb2104", "configured": false}])"));
    EXPECT_EQ(cards[1]["driver"], "2.1.3");
}

TEST_F(Tool, InfoShowsEverythingTheLibraryTells) {
    EXPECT_EQ(ok("info -c 0"), R"(card 0
  library 1.4.16, driver 2.1.3
card information
  cardValue0   2            board revision
  reserved1    0
  cardValue2   0x7038       board id
  cardValue3   0x00A1B2C3   serial number
  cardValue4   1            FPGAs
  cardValue5   1            flash banks
  cardValue6   2            memory banks
  cardValue7   2            DMA channels
  windowCount  4            windows
  cardValue9   2            clock generators
  cardValue10  8            PCIe link width
  cardValue11  3            PCIe generation
  reserved12   0
windows
  0  1 MiB     at bus 0xF0000000, local 0x0  (memory, prefetchable)
  1  64 MiB    at bus 0xF4000000, local 0x0  (card memory, prefetchable)
  2  4 KiB     at bus 0xF0100000, local 0x80000000  (doorbell)
  3  256 KiB   at bus 0xF0200000, local 0x90000000  (memory, prefetchable)
common buffers
  0  key 0xCB000000, value 0x100000000
  1  key 0xCB000001, value 0x100100000
memory banks
  0  2 GiB at 0x0, 2400 MT/s, 72 bits, 2 ranks, CL 17, vendor 0x2C, ECC
  1  2 GiB at 0x80000000, 2400 MT/s, 72 bits, 2 ranks, CL 17, vendor 0x2C, ECC
modules
  0  VELTRA QSFP28-100G-SR4, serial VS0000A101, revision A1, 35.50 C, 100000 Mb/s
  1  VELTRA QSFP28-100G-SR4, serial VS0000A102, revision A1, 36.25 C, 100000 Mb/s
FPGAs
  0  7vx690tffg1157 (7VX690T FFG1157, speed -2, temperature I, IDCODE 0x03691093), not configured
flash
  0  Numonyx Axcell P30 (Top boot), 64 MiB, x16
     from 0x0: 511 blocks of 128 KiB
     from 0x3FE0000: 4 parameter blocks of 32 KiB
VPD
  8 KiB
  VPD1
  MODEL=VELTRA V690 Accelerator
  SERIAL=VS7038A1B2C3
  REVISION=2
clocks
  0  100.000 MHz
  1  250.000 MHz
sensors
  0  FPGA die temperature (C)    nominal 45 C, limits 0 to 100 C
  1  VCCINT supply voltage (V)   nominal 0.95 V, limits 0.9 to 1 V
  2  Fan speed (RPM)             nominal 4200 RPM, limits 1000 to 10000 RPM
  3  Alarm flags                 nominal 0
device status
  0x00000000 0x00000000 0x00000000 0x00000000 0x00000000  (no errors)
)");

    // The JSON form: one schema, each record's values under their field names.
    const json info = okJson("info -c 1 --json");
    std::vector<std::string> keys;
    for (const auto& item : info.items())
        keys.push_back(item.key());
    EXPECT_EQ(keys, (std::vector<std::string>{"card", "version", "cardInfo", "windows",
                                              "commonBuffers", "banks", "modules", "fpgas", "flash",
                                              "vpd", "clocks", "sensors", "deviceStatus"}));
    EXPECT_EQ(info["version"], json::parse(R"({"library": "1.4.16", "driver": "2.1.3"})"));
    EXPECT_EQ(info["cardInfo"],
              json::parse(R"({"cardValue0": 3, "reserved1": 0, "cardValue2": 33045,
        "cardValue3": 10597060, "cardValue4": 1, "cardValue5": 1, "cardValue6": 1, "cardValue7": 2,
        "windowCount": 3, "cardValue9": 2, "cardValue10": 8, "cardValue11": 3, "reserved12": 0})"));
    ASSERT_EQ(info["windows"].size(), 3u);
    EXPECT_EQ(info["windows"][1]["windowValue0"], 32u << 20);
    EXPECT_EQ(info["windows"][1]["windowValue1"], 0xFC000000u);
    EXPECT_EQ(info["commonBuffers"].size(), 1u);
    EXPECT_EQ(info["commonBuffers"][0]["key"], 0xCB000101u);
    ASSERT_EQ(info["banks"].size(), 1u);
    EXPECT_EQ(info["banks"][0]["bankValue1"], uint64_t{4} << 30);
    EXPECT_EQ(info["banks"][0]["bankValue2"], 2666);
    ASSERT_EQ(info["modules"].size(), 1u);
    EXPECT_EQ(info["modules"][0]["moduleText1"], "SFP28-25G-LR");
    EXPECT_EQ(info["modules"][0]["moduleFixed"], 41.0);
    ASSERT_EQ(info["fpgas"].size(), 1u);
    EXPECT_EQ(info["fpgas"][0]["name"], "ku115flvb2104");
    EXPECT_EQ(info["fpgas"][0]["typeCode"], 326);
    EXPECT_EQ(info["fpgas"][0]["family"], 8);
    EXPECT_EQ(info["fpgas"][0]["attribute3"], 0);
    EXPECT_EQ(info["flash"], json::parse(R"([{"index": 0, "name": "Vendor 0x0020 Device 0x227E",
        "attribute1": 33554432, "attribute2": 131072, "attribute3": 16,
        "blocks": [{"attribute1": 0, "attribute2": 131072, "attribute3": 0, "count": 256}]}])"));
    EXPECT_EQ(info["vpd"]["size"], 8192);
    EXPECT_EQ(info["vpd"]["text"].get<std::string>().rfind("VPD1\n", 0), 0u);
    EXPECT_EQ(
        info["clocks"],
        json::parse(R"([{"index": 0, "frequency": 1.0e8}, {"index": 1, "frequency": 2.5e8}])"));
    ASSERT_EQ(info["sensors"].size(), 4u);
    EXPECT_EQ(info["sensors"][2]["description"], "Fan speed (RPM)");
    EXPECT_EQ(info["sensors"][2]["attribute1"], 0);
    EXPECT_EQ(info["sensors"][2]["attribute3"], 3);
    EXPECT_EQ(info["deviceStatus"], json::parse(R"({"status1": 0, "status2": 0, "status3": 0,
        "status4": 0, "status5": 0, "anyError": false})"));
}

TEST_F(Tool, ProgramChecksTheFileBeforeTheCard) {
    const std::string design = file("design.bit");
    EXPECT_EQ(
        ok("sim bitstream " + design),
        "wrote " + design + ": a design for 7vx690tffg1157 with 1 MiB of configuration data\n");

    // A design for another part changes nothing.
    Outcome run = veltra("program -c 1 " + design);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "veltra: " + design +
                           " is built for 7vx690tffg1157; FPGA 0 of card 1 is a ku115flvb2104\n");
    EXPECT_EQ(run.out, "");

    const std::string cut = file("cut.bit");
    const std::vector<uint8_t> whole = readBytes(design);
    writeBytes(cut, std::vector<uint8_t>(whole.begin(), whole.begin() + 100));
    run = veltra("program -c 0 " + cut);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err,
              "veltra: " + cut +
                  " is not a usable bitstream, its header is damaged or the file is "
                  "truncated: VELTRA_INVALID_BITSTREAM (The bitstream file was corrupt)\n");

    // Cut inside the configuration data: the header still loads.
    const std::string short_ = file("short.bit");
    writeBytes(short_, std::vector<uint8_t>(whole.begin(), whole.end() - 4096));
    run = veltra("program -c 0 " + short_);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "veltra: " + short_ +
                           " is truncated: its header announces 1048576 bytes of configuration "
                           "data, the file holds 1044480\n");

    run = veltra("program -c 0 no-such-design.bit");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err,
              "veltra: cannot open no-such-design.bit: VELTRA_FILE_NOT_FOUND (Failed to "
              "open the specified bitstream file)\n");

    run = veltra("program -c 5 " + design);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err,
              "veltra: cannot open card 5: VELTRA_DEVICE_NOT_FOUND (Failed to open the "
              "device with specified CardID)\n");

    json cards = okJson("list --json");
    EXPECT_EQ(cards[0]["fpgas"][0]["configured"], false);
    EXPECT_EQ(cards[1]["fpgas"][0]["configured"], false);

    EXPECT_TRUE(std::regex_match(
        ok("program -c 0 " + design),
        std::regex("configured FPGA 0 of card 0 \\(7vx690tffg1157\\) from " + design +
                   ": 1 MiB in [0-9.]+ (s|ms|us) \\([0-9.]+ "
                   "[KMG]iB/s\\)\n")));
    // The next process finds it configured; the bridge saw it finish.
    cards = okJson("list --json");
    EXPECT_EQ(cards[0]["fpgas"][0]["configured"], true);
    EXPECT_EQ(cards[1]["fpgas"][0]["configured"], false);
    EXPECT_EQ(ok("bridge irq -c 0"), "card 0: an interrupt was pending and is serviced\n");
    EXPECT_EQ(ok("bridge irq -c 0"), "card 0: no interrupt pending\n");
}

TEST_F(Tool, FlashWriteKeepsWhatItsBlocksHoldOutsideTheRange) {
    const std::string first = file("first.bin"), second = file("second.bin"),
                      back = file("back.bin");
    const std::vector<uint8_t> a = pattern(256 << 10, 1), b = pattern(1000, 99);
    writeBytes(first, a);
    writeBytes(second, b);

    EXPECT_TRUE(std::regex_match(
        ok("flash write -c 0 --yes --file " + first),
        std::regex("wrote " + first + " to flash 0 of card 0 at 0x0 and verified it in .*\n")));
    // 1000 bytes in the middle of the first 128 KiB block: the block is
    // erased whole, and what it held around them is written back.
    ok("flash write -c 0 --offset 0x100 --no-verify --yes --file " + second);

    // Verify is a command of its own, in another process.
    EXPECT_TRUE(std::regex_match(
        ok("flash verify -c 0 --offset 0x100 --file " + second),
        std::regex("flash 0 of card 0 matches " + second + " \\(1000 bytes at 0x100\\) in .*\n")));
    std::vector<uint8_t> expected = a;
    std::copy(b.begin(), b.end(), expected.begin() + 0x100);
    size_t differing = 0, firstDifference = 0;
    for (size_t i = 0; i < a.size(); ++i)
        if (a[i] != expected[i] && differing++ == 0)
            firstDifference = i;
    Outcome run = veltra("flash verify -c 0 --file " + first);
    EXPECT_EQ(run.status, 1);
    char message[256];
    std::snprintf(message, sizeof message, ": %zu of 262144 bytes differ, the first at 0x%zX\n",
                  differing, firstDifference);
    EXPECT_EQ(run.err, "veltra: flash 0 of card 0 differs from " + first + message);

    ok("flash read -c 0 --length 256K --file " + back);
    EXPECT_TRUE(readBytes(back) == expected);

    // Ranges are checked against the chip before anything is erased.
    run = veltra("flash write -c 0 --offset 64M --file " + second);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err,
              "veltra: 1000 bytes from 0x4000000 passes the end of flash 0 of card 0 (64 MiB, "
              "ending at 0x4000000)\n");
    run = veltra("flash read -c 0 --offset 63M --length 2M --file " + back);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err,
              "veltra: 2 MiB from 0x3F00000 passes the end of flash 0 of card 0 (64 MiB, "
              "ending at 0x4000000)\n");
    run = veltra("flash write -c 0 --yes --file no-such-image.bin");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "veltra: cannot open no-such-image.bin: No such file or directory\n");
    run = veltra("flash info -c 5");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err,
              "veltra: cannot open card 5: VELTRA_DEVICE_NOT_FOUND (Failed to open the "
              "device with specified CardID)\n");

    // Without a terminal to ask at, only --yes lets a command change the
    // flash.
    run = veltra("flash erase -c 0 --length 128K");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err,
              "veltra: this changes the card: give --yes to go ahead without a terminal "
              "to ask at; nothing changed\n");
    run = veltra("flash erase -c 0 --offset 0x100 --length 128K");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err,
              "veltra: 0x100 is not the start of a block of flash 0 of card 0 (the block "
              "holding it starts at 0x0 and is 128 KiB)\n");
    run = veltra("flash erase -c 0 --length 100K");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err,
              "veltra: 0x19000 is not the end of a block of flash 0 of card 0 (the block "
              "holding it ends at 0x20000)\n");
    ok("flash verify -c 0 --offset 0x100 --file " + second);

    EXPECT_EQ(ok("flash info -c 0"),
              "flash 0 of card 0: Numonyx Axcell P30 (Top boot), 64 MiB in 128 KiB blocks, x16\n"
              "  0x00000000 to 0x03FE0000: 511 blocks of 128 KiB\n"
              "  0x03FE0000 to 0x04000000: 4 parameter blocks of 32 KiB\n");
    // The top of card 0's chip is four 32 KiB parameter blocks.
    const json chip = okJson("flash info -c 0 --json");
    EXPECT_EQ(chip["blocks"], json::parse(R"([
        {"start": 0, "size": 131072, "parameter": false, "count": 511},
        {"start": 66977792, "size": 32768, "parameter": true, "count": 4}])"));
    EXPECT_TRUE(
        std::regex_match(ok("flash erase -c 0 --offset 0x3FF0000 --length 32K -y"),
                         std::regex("erased 32 KiB of flash 0 of card 0 from 0x3FF0000 in .*\n")));
}

TEST_F(Tool, BoardServices) {
    EXPECT_EQ(ok("clock set -c 0 --clock 1 156.25MHz"), "clock 1 of card 0 runs at 156.250 MHz\n");
    EXPECT_EQ(ok("clock get -c 0 --clock 1"), "clock 1: 156.250 MHz\n");
    EXPECT_EQ(
        okJson("clock get -c 0 --json"),
        json::parse(R"([{"index": 0, "frequency": 1.0e8}, {"index": 1, "frequency": 1.5625e8}])"));
    Outcome run = veltra("clock set -c 0 --clock 1 0.9GHz");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err,
              "veltra: cannot set clock 1 of card 0 to 900.000 MHz: VELTRA_INVALID_FREQUENCY "
              "(The frequency was invalid)\n");

    EXPECT_EQ(ok("vpd write -c 1 --yes --offset 0x1000 --text \"OWNER=lab-3\\nRACK=7\""),
              "wrote 18 bytes of VPD at 0x1000 on card 1\n");
    EXPECT_EQ(ok("vpd read -c 1 --offset 0x1000 --length 18"), "OWNER=lab-3\nRACK=7");
    run = veltra("vpd write -c 1 --offset 8190 --text 1234");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "veltra: 4 bytes at 0x1FFE does not fit in the VPD of card 1 (8 KiB)\n");

    const json readings = okJson("sensors --json");
    ASSERT_EQ(readings.size(), 8u);
    EXPECT_EQ(readings[4]["card"], 1);
    EXPECT_EQ(readings[4]["description"], "FPGA die temperature (C)");
    EXPECT_EQ(readings[4]["unit"], "C");
    for (const json& reading : readings)
        EXPECT_EQ(reading["state"], "ok") << reading.dump();

    // Registers, with and without a mapping, in any width.
    EXPECT_EQ(ok("reg write -c 0 3 0x100 0x12345678"), "");
    EXPECT_EQ(ok("reg read -c 0 3 0x100 --mapped"), "0x12345678\n");
    EXPECT_EQ(ok("reg write -c 0 3 0x102 0xBEEF --width 16 --mapped"), "");
    EXPECT_EQ(ok("reg read -c 0 3 0x100"), "0xBEEF5678\n");
    EXPECT_EQ(ok("reg read -c 0 3 0x100 --width 64"), "0x00000000BEEF5678\n");
    run = veltra("reg read -c 0 3 0x1FFFC --width 64");
    EXPECT_EQ(run.status, 2);
    run = veltra("reg read -c 0 3 0x40000");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err,
              "veltra: cannot read window 3 of card 0 at 0x40000: VELTRA_INVALID_REGION (The "
              "offset and/or length parameter(s) were invalid)\n");

    // The bridge device.
    EXPECT_EQ(ok("bridge id -c 1"), "0x56450000A1B2C443\n");
    EXPECT_EQ(ok("bridge prodtest -c 1"),
              "production test of card 1: date 20261108, station 3, passes 1, retries 1, program "
              "0x00010203, checksum 0x5A5A0001\n");
    EXPECT_EQ(ok("bridge iprog schedule -c 0 --slot 1 --address 0x400000 --golden --value 7"),
              "IPROG slot 1 of card 0 scheduled from 0x00400000 (flags 0x2)\n");
    EXPECT_EQ(okJson("bridge iprog status -c 0 --json"), json::parse(R"([
        {"slot": 0, "state": 0, "stateName": "idle", "address": 0, "value": 0},
        {"slot": 1, "state": 1, "stateName": "scheduled", "address": 4194304, "value": 7}])"));
    EXPECT_EQ(ok("bridge iprog abort -c 0 --slot 1"), "IPROG slot 1 of card 0 aborted\n");
    run = veltra("bridge iprog abort -c 0 --slot 1");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err,
              "veltra: cannot abort IPROG slot 1 of card 0: KESTA_WRONG_MODE (The device was "
              "not in the proper mode)\n");
}

TEST_F(Tool, DmaMovesFilesAndMeasuresWithoutChangingCardMemory) {
    const std::string data = file("dma.bin"), back = file("dma-back.bin");
    const std::vector<uint8_t> bytes = pattern(3 << 20, 5);
    writeBytes(data, bytes);
    EXPECT_TRUE(std::regex_match(
        ok("dma write -c 1 --channel 1 --local 0x1000 --file " + data),
        std::regex("wrote " + data + " to card memory at 0x1000 of card 1 in .*\n")));
    ok("dma read -c 1 --local 0x1000 --length 3M --file " + back);
    EXPECT_TRUE(readBytes(back) == bytes);

    const json test = okJson("dma test -c 1 --time 0.01 --json");
    ASSERT_EQ(test["channels"].size(), 2u);
    for (const json& channel : test["channels"]) {
        std::vector<uint64_t> sizes;
        for (const json& row : channel["bandwidth"]) {
            sizes.push_back(row["size"].get<uint64_t>());
            EXPECT_GT(row["writeBytesPerSecond"].get<double>(), 0);
            EXPECT_GT(row["readBytesPerSecond"].get<double>(), 0);
        }
        EXPECT_EQ(sizes, (std::vector<uint64_t>{4096, 65536, 1048576, 16777216}));
        EXPECT_EQ(channel["latency"]["size"], 64);
        EXPECT_GT(channel["latency"]["readSeconds"].get<double>(), 0);
    }
    ok("dma read -c 1 --local 0x1000 --length 3M --file " + back);
    EXPECT_TRUE(readBytes(back) == bytes);

    // Ranges outside card memory are refused before anything moves: the
    // card records no DMA fault.
    Outcome run = veltra("dma read -c 1 --local 32M --length 16 --file " + back);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err,
              "veltra: the range of 16 bytes at 0x2000000 lies outside the card memory of "
              "card 1 (32 MiB)\n");
    run = veltra("dma write -c 1 --local 31M --file " + data);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err,
              "veltra: the range of 3 MiB at 0x1F00000 lies outside the card memory of "
              "card 1 (32 MiB)\n");
    EXPECT_EQ(okJson("status -c 1 --json")[0]["anyError"], false);
}

TEST_F(Tool, ValidateFailsOnADeviceErrorUntilItIsCleared) {
    std::string out = ok("validate -c 0");
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 13) << out;
    EXPECT_NE(out.find("  PASS  DMA loopback, channel 1 "), std::string::npos) << out;
    EXPECT_NE(out.find("  PASS  notification round trip "), std::string::npos) << out;
    EXPECT_TRUE(out.size() > 30 && out.substr(out.size() - 30) == "1 card, 11 checks: all passed\n")
        << out;

    // Configuration data without the sync word never finishes configuring:
    // the card records a failed configuration.
    const std::string broken = file("broken.bit");
    ok("sim bitstream --no-sync-word " + broken);
    Outcome run = veltra("program -c 0 " + broken);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "veltra: cannot configure FPGA 0 of card 0 from " + broken +
                           ": VELTRA_HARDWARE_ERROR (A hardware error occurred)\n");
    run = veltra("validate");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "veltra: validate: 1 of 22 checks failed\n");
    EXPECT_NE(run.out.find("  FAIL  device status              device errors 0x00000001 "
                           "0x00000000 0x00000000 0x00000000 0x00000000 (see veltra status)\n"),
              std::string::npos)
        << run.out;
    EXPECT_EQ(ok("status -c 0 --clear"),
              "card 0: device errors (now cleared)\n"
              "  status1  configuration  0x00000001  a configuration failed\n"
              "  status2  DMA            0x00000000\n"
              "  status3  flash          0x00000000\n"
              "  status4  bus            0x00000000\n"
              "  status5  sensor         0x00000000\n");
    EXPECT_EQ(okJson("status -c 0 --json")[0]["anyError"], false);
    ok("validate");

    run = veltra("validate -c 5");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err,
              "veltra: cannot open card 5: VELTRA_DEVICE_NOT_FOUND (Failed to open the "
              "device with specified CardID)\n");
}

TEST_F(Tool, UsageErrorsExitWithTwo) {
    struct Case {
        const char* arguments;
        const char* message;
    } cases[] = {
        {"list --bogus",
         "veltra list: The following argument was not expected: --bogus (see veltra "
         "list --help)\n"},
        {"list extra",
         "veltra list: The following argument was not expected: extra (see veltra list "
         "--help)\n"},
        {"frobnicate",
         "veltra: unknown command 'frobnicate' (the commands: list, info, program, flash, "
         "vpd, clock, sensors, status, reg, dma, validate, bridge, sim, help) (see "
         "veltra --help)\n"},
        {"flash",
         "veltra flash: a command is needed (one of: info, read, write, erase, verify) (see "
         "veltra flash --help)\n"},
        {"program design.bit", "veltra program: --card is required (see veltra program --help)\n"},
        {"flash read -c 0",
         "veltra flash read: --file is required (see veltra flash read --help)\n"},
        {"info -c seven",
         "veltra info: --card: 'seven' is not a number (see veltra info --help)\n"},
        {"clock set -c 0 --clock 1 156.25MHz 2",
         "veltra clock set: The following argument was not "
         "expected: 2 (see veltra clock set --help)\n"},
        {"clock set -c 0 --clock 1 156.25Mhzz",
         "veltra clock set: FREQ: '156.25Mhzz' has an unknown "
         "unit (use Hz, kHz, MHz or GHz) (see veltra clock set "
         "--help)\n"},
        {"reg write -c 0 0 0x10 0x1FF --width 8",
         "veltra reg write: 0x1FF does not fit in 8 bits (see "
         "veltra reg write --help)\n"},
    };
    for (const Case& c : cases) {
        const Outcome run = veltra(c.arguments);
        EXPECT_EQ(run.status, 2) << c.arguments;
        EXPECT_EQ(run.err, c.message) << c.arguments;
        EXPECT_EQ(run.out, "") << c.arguments;
    }
    EXPECT_EQ(veltra("").status, 2);
    EXPECT_EQ(ok("--version").rfind("veltra 1.4.16", 0), 0u);
    const std::string help = ok("help flash write");
    EXPECT_NE(help.find("Usage: veltra flash write [OPTIONS]"), std::string::npos) << help;
    EXPECT_NE(help.find("--no-verify"), std::string::npos) << help;
    EXPECT_EQ(ok("flash write --help"), help);
}

// --sim may stand anywhere on the command line: on Windows it attaches the
// simulated driver without the launcher.
TEST_F(Tool, SimAnywhereOnTheCommandLine) {
#if defined(_WIN32)
    const std::string program = "\"" + simtest::programFolder() + "veltra.exe\"";
#else
    const std::string program = VELTRA_TOOL;
#endif
    int status = -1;
    for (const char* arguments : {" list --sim --json", " --sim list --json"}) {
        const std::string out = simtest::runCommand(program + arguments, status);
        EXPECT_EQ(status, 0) << arguments;
        EXPECT_EQ(json::parse(out).size(), 2u) << out;
    }
}

}  // namespace
