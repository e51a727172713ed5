// The veltra tool as an operator runs it: one process per command, on the
// default simulated machine of a state folder of the test's own, so that
// what one command changes the next one sees. On Windows each command is
// veltra.exe with --sim.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bitstream_writer.h"
#include "tool_fixture.h"

namespace {

using namespace tooltest;

// A shell word that holds `text` as it is, on either platform's shell.
std::string quoted(const std::string& text) {
#if defined(_WIN32)
    return "\"" + text + "\"";
#else
    return "'" + text + "'";
#endif
}

const char* const kPath0 = R"(\\?\root#vsim_veltra#0000#{4a8924e1-a143-44c2-8ec1-64ec73f90f96})";
const char* const kPath1 = R"(\\?\root#vsim_veltra#0001#{4a8924e1-a143-44c2-8ec1-64ec73f90f96})";

TEST_F(Tool, ListsEveryCardAndSelectsOneByIndexSerialOrPath) {
    EXPECT_EQ(ok("list"),
              "card 0  board 0x7038 revision 2 serial 0x00A1B2C3  PCIe x8 gen 3  FPGA "
              "7vx690tffg1157 (not configured)  driver 2.1.3  path " +
                  std::string(kPath0) +
                  "\n"
                  "card 1  board 0x8115 revision 3 serial 0x00A1B2C4  PCIe x8 gen 3  FPGA "
                  "ku115flvb2104 (not configured)  driver 2.1.3  path " +
                  kPath1 + "\n");
    const json list = okJson("list --json");
    EXPECT_EQ(list["schemaVersion"], 1);
    const json& cards = list["cards"];
    ASSERT_EQ(cards.size(), 2u);
    EXPECT_EQ(cards[1]["card"], 1);
    EXPECT_EQ(cards[1]["boardId"], 0x8115);
    EXPECT_EQ(cards[1]["revision"], 3);
    EXPECT_EQ(cards[1]["serial"], "0x00A1B2C4");
    EXPECT_EQ(cards[1]["pcie"], json::parse(R"({"width": 8, "generation": 3})"));
    EXPECT_EQ(cards[1]["fpgas"],
              json::parse(R"([{"name": "ku115flvb2104", "configured": false}])"));
    EXPECT_EQ(cards[1]["driver"], "2.1.3");
    EXPECT_EQ(cards[1]["path"], kPath1);

    // The same card by its index, its serial and its path; a serial no card
    // has, and an index with another card's serial expected, are refused.
    EXPECT_EQ(ok("bridge id -c 1"), "0x56450000A1B2C443\n");
    EXPECT_EQ(ok("bridge id -c serial:0x00A1B2C4"), "0x56450000A1B2C443\n");
    EXPECT_EQ(ok("bridge id -c " + quoted(kPath1)), "0x56450000A1B2C443\n");
    EXPECT_EQ(okJson("info -c serial:0xA1B2C3 --json")["card"], 0);
    Outcome run = veltra("clock set -c serial:0x00A1B2C5 --clock 1 200MHz");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err,
              "veltra: no card has serial 0x00A1B2C5 (the cards: 0x00A1B2C3, 0x00A1B2C4)\n");
    run = veltra("clock set -c 0 --expect-serial 0x00A1B2C4 --clock 1 200MHz");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err,
              "veltra: card 0 has serial 0x00A1B2C3, not 0x00A1B2C4 as --expect-serial says; "
              "nothing changed\n");
    EXPECT_EQ(ok("clock get -c 0 --clock 1"), "clock 1: 250.000 MHz\n") << "nothing changed";
}

TEST_F(Tool, InfoShowsEverythingTheLibraryTells) {
    EXPECT_EQ(ok("info -c 0"),
              "card 0\n  library 1.4.16, driver 2.1.3\n  serial 0x00A1B2C3, path " +
                  std::string(kPath0) + "\n" + R"(card information
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
    EXPECT_EQ(keys, (std::vector<std::string>{"schemaVersion", "card", "identity", "version",
                                              "cardInfo", "windows", "commonBuffers", "banks",
                                              "modules", "fpgas", "flash", "vpd", "clocks",
                                              "sensors", "deviceStatus", "pendingUpdate"}));
    EXPECT_TRUE(info["pendingUpdate"].is_null());
    json identity = json::parse(R"({"boardId": 33045, "revision": 3, "serial": "0x00A1B2C4",
        "pcie": {"width": 8, "generation": 3},
        "fpgas": [{"name": "ku115flvb2104", "configured": false}], "driver": "2.1.3"})");
    identity["path"] = kPath1;
    EXPECT_EQ(info["identity"], identity) << "the same as list --json";
    EXPECT_EQ(info["version"], json::parse(R"({"library": "1.4.16", "driver": "2.1.3"})"));
    EXPECT_EQ(info["cardInfo"],
              json::parse(R"({"cardValue0": 3, "reserved1": 0, "cardValue2": 33045,
        "cardValue3": 10597060, "cardValue4": 1, "cardValue5": 1, "cardValue6": 1, "cardValue7": 2,
        "windowCount": 3, "cardValue9": 2, "cardValue10": 8, "cardValue11": 3, "reserved12": 0})"));
    ASSERT_EQ(info["windows"].size(), 3u);
    EXPECT_EQ(info["windows"][1]["windowValue0"], 32u << 20);
    EXPECT_EQ(info["windows"][1]["windowValue1"], "0xFC000000") << "addresses are hexadecimal text";
    EXPECT_EQ(info["commonBuffers"].size(), 1u);
    EXPECT_EQ(info["commonBuffers"][0]["key"], "0xCB000101");
    ASSERT_EQ(info["banks"].size(), 1u);
    EXPECT_EQ(info["banks"][0]["bankValue0"], "0x0");
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
    // A reading carries its unit and limits, rounded to the sensor's
    // resolution (the thousandth its limits are given in).
    EXPECT_EQ(info["sensors"][1]["unit"], "V");
    EXPECT_EQ(info["sensors"][1]["limits"], json::parse(R"({"low": 0.9, "high": 1.0})"));
    const double volts = info["sensors"][1]["value"].get<double>();
    EXPECT_EQ(volts, std::round(volts * 1000) / 1000) << volts;
    EXPECT_TRUE(info["sensors"][3]["limits"].is_null()) << "a flags word has no limits";
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

    // Anything that does not begin as a .bit file does is not one.
    const std::string text = file("notes.bit");
    writeBytes(text, std::vector<uint8_t>(4096, 'x'));
    run = veltra("program -c 0 " + text);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err,
              "veltra: " + text +
                  " is not a Xilinx .bit file (it does not begin with the .bit preamble)\n");

    // The vendor's tools write the part in its long form: it fits the FPGA
    // of that device and package. --dry-run checks and changes nothing.
    const std::string longForm = file("long.bit");
    ok("sim bitstream " + longForm + " --part xcku115-flvb2104-2-e --size 64K");
    EXPECT_EQ(ok("program -c 1 --dry-run " + longForm),
              longForm +
                  ": design sample_top, built 2026/12/07 08:00:00\n"
                  "it fits FPGA 0 of card 1 (ku115flvb2104): nothing changed (--dry-run)\n");
    // A preamble of another length and a long field of an unknown tag: the
    // library reads such a header, and so does the tool.
    const std::string odd = file("odd.bit");
    bitstream::Writer()
        .preamble(std::vector<uint8_t>(3000, 0xF0))
        .field(0x10, std::vector<uint8_t>(65535, 1))
        .design("odd_top")
        .part("xcku115-flvb2104-2-e")
        .date("2026/12/08")
        .time("09:30:00")
        .data(std::vector<uint8_t>(4096, 0))
        .writeTo(odd);
    EXPECT_EQ(ok("program -c 1 --dry-run " + odd),
              odd +
                  ": design odd_top, built 2026/12/08 09:30:00\n"
                  "it fits FPGA 0 of card 1 (ku115flvb2104): nothing changed (--dry-run)\n");
    json cards = okJson("list --json")["cards"];
    EXPECT_EQ(cards[0]["fpgas"][0]["configured"], false);
    EXPECT_EQ(cards[1]["fpgas"][0]["configured"], false);

    EXPECT_TRUE(
        std::regex_match(ok("program -c 0 " + design),
                         std::regex(design +
                                    ": design sample_top, built 2026/12/07 08:00:00\n"
                                    "configured FPGA 0 of card 0 \\(7vx690tffg1157\\) from " +
                                    design +
                                    ": 1 MiB in [0-9.]+ (s|ms|us) \\([0-9.]+ "
                                    "[KMG]iB/s\\)\n")));
    ok("program -c 1 " + longForm);
    // The next process finds them configured; the bridge saw it finish.
    cards = okJson("list --json")["cards"];
    EXPECT_EQ(cards[0]["fpgas"][0]["configured"], true);
    EXPECT_EQ(cards[1]["fpgas"][0]["configured"], true);
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
    EXPECT_FALSE(fs::exists(recoveryOf(second)))
        << "the recovery file goes once the update is verified";

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
    EXPECT_EQ(okJson("clock get -c 0 --json"),
              json::parse(R"({"schemaVersion": 1, "card": 0, "clocks": [{"index": 0,
                  "frequency": 1.0e8}, {"index": 1, "frequency": 1.5625e8}]})"));
    Outcome run = veltra("clock set -c 0 --clock 1 0.9GHz");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err,
              "veltra: cannot set clock 1 of card 0 to 900.000 MHz: VELTRA_INVALID_FREQUENCY "
              "(The frequency was invalid); clock 1 takes 10.000 MHz to 800.000 MHz\n");

    EXPECT_EQ(ok("vpd write -c 1 --yes --offset 0x1000 --text \"OWNER=lab-3\\nRACK=7\""),
              "wrote 18 bytes of VPD at 0x1000 on card 1\n");
    EXPECT_EQ(ok("vpd read -c 1 --offset 0x1000 --length 18"), "OWNER=lab-3\nRACK=7");
    run = veltra("vpd write -c 1 --offset 8190 --text 1234");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "veltra: 4 bytes at 0x1FFE does not fit in the VPD of card 1 (8 KiB)\n");
    // A text is the whole record: nothing of the longer one before it stays.
    EXPECT_NE(ok("vpd read -c 1").find("SERIAL="), std::string::npos);
    ok("vpd write -c 1 --yes --text \"VPD1\\nX=1\\n\"");
    EXPECT_EQ(ok("vpd read -c 1"), "VPD1\nX=1\n");
    EXPECT_EQ(ok("vpd read -c 1 --offset 0x1000 --length 4"), "") << "erased to the end";

    const json readings = okJson("sensors --json")["readings"];
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
    run = veltra("reg write -c 0 3 0x100 1 2");
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.err,
              "veltra reg write: reg write takes one VALUE, not 2 (1 2) (see veltra reg "
              "write --help)\n");
    run = veltra("reg read -c 0 3 0x40000");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err,
              "veltra: cannot read window 3 of card 0 at 0x40000: VELTRA_INVALID_REGION (The "
              "offset and/or length parameter(s) were invalid)\n");

    // The bridge device.
    EXPECT_EQ(ok("bridge id -c 1"), "0x56450000A1B2C443\n");
    EXPECT_EQ(okJson("bridge id -c 1 --json"),
              json::parse(R"({"schemaVersion": 1, "card": 1, "uniqueId": "0x56450000A1B2C443"})"));
    EXPECT_EQ(ok("bridge prodtest -c 1"),
              "production test of card 1: date 20261108, station 3, passes 1, retries 1, program "
              "0x00010203, checksum 0x5A5A0001\n");
    EXPECT_EQ(ok("bridge iprog schedule -c 0 --slot 1 --address 0x400000 --golden --value 7"),
              "IPROG slot 1 of card 0 scheduled from 0x00400000 (flags 0x2)\n");
    EXPECT_EQ(okJson("bridge iprog status -c 0 --json"), json::parse(R"({"schemaVersion": 1,
        "card": 0, "slots": [
        {"slot": 0, "state": 0, "stateName": "idle", "address": "0x0", "value": 0},
        {"slot": 1, "state": 1, "stateName": "scheduled", "address": "0x400000", "value": 7}]})"));
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

    // Each figure is a JSON line of its own, as it is measured; a channel
    // that faults keeps the figures of the others, and the test fails.
    fault("[[fault]]\ncard = 1\nkind = \"dma\"\nchannel = 1\nafter_transfers = 2\n");
    const Outcome test = veltra("dma test -c 1 --time 0.01 --json");
    EXPECT_EQ(test.status, 1);
    EXPECT_EQ(test.err,
              "veltra: DMA from card memory on channel 1 of card 1 failed: "
              "VELTRA_HARDWARE_ERROR (A hardware error occurred)\n");
    std::vector<uint64_t> sizes;
    std::vector<json> lines;
    std::istringstream in(test.out);
    for (std::string line; std::getline(in, line);)
        lines.push_back(json::parse(line));
    ASSERT_EQ(lines.size(), 6u) << test.out;
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(lines[i]["schemaVersion"], 1);
        EXPECT_EQ(lines[i]["channel"], 0);
        sizes.push_back(lines[i]["bandwidth"]["size"].get<uint64_t>());
        EXPECT_GT(lines[i]["bandwidth"]["writeBytesPerSecond"].get<double>(), 0);
    }
    EXPECT_EQ(sizes, (std::vector<uint64_t>{4096, 65536, 1048576, 16777216}));
    EXPECT_EQ(lines[4]["latency"]["size"], 64);
    EXPECT_GT(lines[4]["latency"]["readSeconds"].get<double>(), 0);
    EXPECT_EQ(lines[5]["channel"], 1);
    EXPECT_EQ(lines[5]["error"],
              "DMA from card memory on channel 1 of card 1 failed: "
              "VELTRA_HARDWARE_ERROR (A hardware error occurred)");
    ok("status -c 1 --clear --no-fail");
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
    EXPECT_EQ(okJson("status -c 1 --json")["cards"][0]["anyError"], false);

    // A read that fails leaves the file that was there as it was.
    writeBytes(back, {'k', 'e', 'e', 'p'});
    fault("[[fault]]\ncard = 1\nkind = \"dma\"\nafter_bytes = 1048576\n");
    run = veltra("dma read -c 1 --local 0 --length 3M --file " + back);
    EXPECT_EQ(run.status, 1);
    EXPECT_TRUE(readText(back) == "keep") << "the file holds " << readText(back).size() << " bytes";
    EXPECT_EQ(std::count_if(fs::directory_iterator("."), fs::directory_iterator(),
                            [&back](const fs::directory_entry& e) {
                                return e.path().filename().string().rfind("." + back, 0) == 0;
                            }),
              0)
        << "no temporary file is left";
}

// Checks of validate, status and sensors fail the command (exit 1) on what
// a monitor must see: a device error, a reading out of its limits or in
// alarm, a link other than the one expected.
TEST_F(Tool, ValidateStatusAndSensorsFailOnWhatIsWrong) {
    std::string out = ok("validate -c 0");
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 15) << out;
    EXPECT_NE(out.find("  PASS  DMA loopback, channel 1 "), std::string::npos) << out;
    EXPECT_NE(out.find("  PASS  notification round trip "), std::string::npos) << out;
    EXPECT_NE(
        out.find("  PASS  flash chip identity        Numonyx Axcell P30 (Top boot), 64 MiB\n"),
        std::string::npos)
        << out;
    EXPECT_NE(out.find("  PASS  PCIe link                  x8 gen 3\n"), std::string::npos) << out;
    EXPECT_TRUE(out.size() > 30 && out.substr(out.size() - 30) == "1 card, 13 checks: all passed\n")
        << out;
    const json checks = okJson("validate -c 1 --json --expect-link x8g3");
    EXPECT_EQ(checks["result"], "PASS");
    std::vector<std::string> ids;
    for (const json& c : checks["cards"][0]["checks"])
        ids.push_back(c["id"].get<std::string>());
    EXPECT_EQ(ids, (std::vector<std::string>{"open", "info", "memory-mapped", "memory-unmapped",
                                             "dma-channels", "dma-loopback-0", "dma-loopback-1",
                                             "notification", "sensors", "flash-id", "pcie-link",
                                             "bridge", "device-status"}));
    Outcome run = veltra("validate -c 1 --json --expect-link x16g4");
    EXPECT_EQ(run.status, 1);
    const json linkFailed = json::parse(run.out);
    EXPECT_EQ(linkFailed["result"], "FAIL");
    EXPECT_EQ(linkFailed["cards"][0]["checks"][10]["detail"],
              "x8 gen 3, not the x16 gen 4 expected");

    // Configuration data without the sync word never finishes configuring:
    // the card records a failed configuration.
    const std::string broken = file("broken.bit");
    ok("sim bitstream --no-sync-word " + broken);
    run = veltra("program -c 0 " + broken);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "veltra: cannot configure FPGA 0 of card 0 from " + broken +
                           ": VELTRA_HARDWARE_ERROR (A hardware error occurred)\n");
    run = veltra("validate");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "veltra: validate: 1 of 26 checks failed\n");
    EXPECT_NE(run.out.find("  FAIL  device status              device errors 0x00000001 "
                           "0x00000000 0x00000000 0x00000000 0x00000000 (see veltra status)\n"),
              std::string::npos)
        << run.out;
    EXPECT_EQ(veltra("status -c 1").status, 0) << "card 1 has no error";
    run = veltra("status -c 0 --clear");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "veltra: 1 card reported device errors (now cleared)\n");
    EXPECT_EQ(run.out,
              "card 0: device errors (now cleared)\n"
              "  status1  configuration  0x00000001  a configuration failed\n"
              "  status2  DMA            0x00000000\n"
              "  status3  flash          0x00000000\n"
              "  status4  bus            0x00000000\n"
              "  status5  sensor         0x00000000\n");
    EXPECT_EQ(okJson("status -c 0 --json")["cards"][0]["anyError"], false);
    ok("validate");

    // A sensor alarm names its sensor, in status and in sensors.
    fault("[[fault]]\ncard = 0\nkind = \"sensor-alarm\"\nsensor = 0\n");
    run = veltra("sensors -c 0");
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.out.find("HIGH\n"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("0x00000003  ALARM: FPGA die temperature (C)\n"), std::string::npos)
        << run.out;
    EXPECT_EQ(run.err, "veltra: card 0: FPGA die temperature (C) is HIGH (and 1 more)\n");
    EXPECT_EQ(veltra("sensors -c 0 --no-fail").status, 0);
    run = veltra("status -c 0");
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.out.find("  status5  sensor         0x00000003  a sensor alarm: FPGA die "
                           "temperature (C)\n"),
              std::string::npos)
        << run.out;
    EXPECT_EQ(veltra("status -c 0 --no-fail").status, 0);

    run = veltra("validate -c 5");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err,
              "veltra: cannot open card 5: VELTRA_DEVICE_NOT_FOUND (Failed to open the "
              "device with specified CardID)\n");
}

// The monitoring forms keep going when a card goes away and comes back:
// its rows say gone meanwhile, and the command fails at the end.
TEST_F(Tool, QueryAndWatchedSensorsOutliveACardThatGoesAndComesBack) {
    EXPECT_EQ(ok("query --fields card,serial,fpga.0.name,sensor.3.state,status.any,clock.1 "
                 "--noheader"),
              "0,0x00A1B2C3,7vx690tffg1157,ok,false,250000000.0\n"
              "1,0x00A1B2C4,ku115flvb2104,ok,false,250000000.0\n");
    const std::string header = ok("query -c 1 --fields timestamp,serial,sensor.0.name");
    EXPECT_TRUE(std::regex_match(header, std::regex("timestamp,serial,sensor.0.name\n"
                                                    "20[0-9-]+T[0-9:.]+Z,0x00A1B2C4,FPGA die "
                                                    "temperature \\(C\\)\n")))
        << header;
    const json line = okJson("query -c 0 --format json --fields serial,sensor.1,sensor.1.unit");
    EXPECT_EQ(line["schemaVersion"], 1);
    EXPECT_EQ(line["serial"], "0x00A1B2C3");
    EXPECT_EQ(line["sensor.1.unit"], "V");
    EXPECT_NEAR(line["sensor.1"].get<double>(), 0.95, 0.01);

    // Card 0 goes after a few requests of the watch; card 1 goes on.
    const std::string out = file("watch.txt"), err = file("watch-err.txt");
    {
        Running watch("query -l 0.2 --count 20 --format json --fields card,serial,state", out, err);
        auto lines = [&out] {
            const std::string text = readText(out);
            return std::count(text.begin(), text.end(), '\n');
        };
        ASSERT_TRUE(eventually([&] { return lines() >= 2; }));
        fault("[[fault]]\ncard = 0\nkind = \"removed\"\n");
        ASSERT_TRUE(eventually([&] { return readText(out).find("gone") != std::string::npos; }));
        ok("sim clear-faults 0");
        EXPECT_EQ(watch.wait(), 1);
    }
    std::vector<std::string> states[2];
    std::istringstream in(readText(out));
    for (std::string text; std::getline(in, text);) {
        const json row = json::parse(text);
        const int card = row["serial"] == "0x00A1B2C3" ? 0 : 1;
        states[card].push_back(row["state"].get<std::string>());
    }
    ASSERT_EQ(states[0].size(), 20u);
    EXPECT_EQ(states[0].front(), "ok");
    EXPECT_NE(std::find(states[0].begin(), states[0].end(), "gone"), states[0].end());
    EXPECT_EQ(states[0].back(), "ok") << "it came back";
    EXPECT_EQ(states[1], std::vector<std::string>(20, "ok"));
    EXPECT_EQ(withoutCarriageReturns(readText(err)),
              "veltra: a card went away while it was queried\n");

    // With every card gone there is nothing to list: a failure, with why.
    fault("[[fault]]\ncard = 0\nkind = \"removed\"\n[[fault]]\ncard = 1\nkind = \"removed\"\n");
    Outcome run = veltra("list --json");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(json::parse(run.out), json::parse(R"({"schemaVersion": 1, "cards": []})"));
    EXPECT_EQ(run.err,
              "veltra: no cards: no card is present: the simulated cards are removed (see "
              "veltra sim faults)\n");
    run = veltra("info");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err,
              "veltra: no cards: no card is present: the simulated cards are removed (see "
              "veltra sim faults)\n");
}

// Every JSON document begins with its schema version.
TEST_F(Tool, EveryJsonOutputHasItsSchemaVersion) {
    for (const char* command : {"list --json", "info --json", "info -c 0 --json",
                                "flash info -c 0 --json", "clock get -c 1 --json", "sensors --json",
                                "status --json", "validate -c 0 --json", "bridge id -c 0 --json",
                                "bridge prodtest -c 0 --json", "bridge iprog status -c 0 --json"}) {
        const json document = okJson(command);
        ASSERT_TRUE(document.is_object()) << command;
        EXPECT_EQ(document.begin().key(), "schemaVersion") << command;
        EXPECT_EQ(document["schemaVersion"], 1) << command;
    }
}

TEST_F(Tool, UsageErrorsExitWithTwo) {
    struct Case {
        const char* arguments;
        const char* message;
    } cases[] = {
        {"list --bogus", "veltra list: unknown option --bogus (see veltra list --help)\n"},
        {"list --jsn",
         "veltra list: unknown option --jsn: did you mean --json? (see veltra list --help)\n"},
        {"flash write -c 0 --yes --fil image.bin",
         "veltra flash write: unknown option --fil: did you mean --file? (see veltra flash "
         "write --help)\n"},
        {"sensors -x", "veltra sensors: unknown option -x (see veltra sensors --help)\n"},
        {"flsh info -c 0",
         "veltra: unknown command 'flsh': did you mean flash? (the commands: list, info, program, "
         "flash, vpd, clock, sensors, status, reg, dma, validate, bridge, sim, query, exporter, "
         "metrics, help) (see veltra --help)\n"},
        {"query --fields card,sensr.0",
         "veltra query: unknown field 'sensr.0': did you mean sensor.N? (veltra query "
         "--help-fields lists them) (see veltra query --help)\n"},
        {"query --fields card,sensor.4294967296",
         "veltra query: unknown field 'sensor.4294967296': no sensor has that number (see "
         "veltra query --help)\n"},
        {"sim power-cycle 0 --expect-serial 0x100A1B2C3",
         "veltra sim power-cycle: --expect-serial: a serial has 32 bits (see veltra sim "
         "power-cycle --help)\n"},
        {"list extra",
         "veltra list: The following argument was not expected: extra (see veltra list "
         "--help)\n"},
        {"frobnicate",
         "veltra: unknown command 'frobnicate' (the commands: list, info, program, flash, "
         "vpd, clock, sensors, status, reg, dma, validate, bridge, sim, query, exporter, metrics, "
         "help) (see veltra --help)\n"},
        {"exporter --interval 5",
         "veltra exporter: --interval is how often --textfile writes; it needs --textfile (see "
         "veltra exporter --help)\n"},
        {"exporter --listen 127.0.0.1",
         "veltra exporter: --listen: '127.0.0.1' is not ADDRESS:PORT (see veltra exporter "
         "--help)\n"},
        {"exporter --listen [::1]:65536",
         "veltra exporter: --listen: port 65536 is not a port (see veltra exporter --help)\n"},
        {"metrics -c 0 -c serial:0x100000000",
         "veltra metrics: --card serial:0x100000000: a serial has 32 bits (see veltra metrics "
         "--help)\n"},
        {"flash",
         "veltra flash: a command is needed (one of: info, read, write, erase, verify, recover) "
         "(see "
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
    // A path that starts with a slash is a path, on Windows too.
    const Outcome run = veltra("flash verify -c 0 --file /no/such/image.bin");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "veltra: cannot open /no/such/image.bin: No such file or directory\n");
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
        EXPECT_EQ(json::parse(out)["cards"].size(), 2u) << out;
    }
}

}  // namespace
