// FPGA information with its device and package names, and configuration.
#include <cstring>
#include <map>
#include <sstream>
#include <string>

#include "bitstream_writer.h"
#include "veltra_fixture.h"

namespace {

using bitstream::Writer;

constexpr uint32_t code(uint32_t request) {
    return 0x222004 + 8 * request;
}

uint32_t packageCode(char first, char second, uint32_t pins) {
    return (uint32_t{static_cast<uint8_t>(first)} << 24) |
           (uint32_t{static_cast<uint8_t>(second)} << 16) | pins;
}

// The driver's answer to an FPGA information request.
vsim::Answer fpgaReply(uint32_t typeCode, uint32_t family, uint32_t package,
                       const char* text1 = "-2", const char* text2 = "I", uint8_t attribute3 = 0) {
    return vsim::Answer::replyWith(vsim::Bytes(40)
                                       .put<uint32_t>(0, typeCode)
                                       .put<uint32_t>(4, family)
                                       .put<uint32_t>(8, 0xA1)
                                       .put<uint32_t>(12, package)
                                       .put<uint32_t>(16, 0xA2)
                                       .text(20, text1, 8)
                                       .text(28, text2, 8)
                                       .put<uint8_t>(36, attribute3));
}

using Fpga = ScriptedCard;

TEST_F(Fpga, NamesFromTheTypeCodeAndThePackage) {
    const struct {
        uint32_t typeCode, family, package;
        const char *name, *device, *packageName;
    } cases[] = {
        {260, 7, packageCode('F', 'F', 1157), "7vx690tffg1157", "7VX690T", "FFG1157"},
        {14, 7, packageCode('F', 'F', 1157), "unknown14ffg1157", "UNKNOWN14", "FFG1157"},
        {347, 7, packageCode('f', 'f', 1), "unknown347ffg1", "UNKNOWN347", "FFG1"},
        {348, 6, packageCode('F', 'F', 1136), "unknown15cff1136", "UNKNOWN15C", "FF1136"},
        {0xFFFFFFFF, 6, packageCode('F', 'F', 1136), "unknownffffffffff1136", "UNKNOWNFFFFFFFF",
         "FF1136"},
        {326, 8, packageCode('L', 'B', 2104), "ku115flvb2104", "KU115", "FLVB2104"},
        {323, 8, packageCode('F', 'A', 1156), "ku060ffva1156", "KU060", "FFVA1156"},
        {323, 8, packageCode('l', 'A', 2104), "ku060flga2104", "KU060", "FLGA2104"},
        {103, 4, packageCode('F', 'F', 1148), "4vlx80ff1148", "4VLX80", "FF1148"},
        {73, 2, packageCode('F', 'G', 65535), "2vp70fg65535", "2VP70", "FG65535"},
        // Letters outside ASCII stay as they are, and are not lower-case letters.
        {339, 8, packageCode('\xC4', '\xE4', 12),
         "vu440f\xC4v\xE4"
         "12",
         "VU440",
         "F\xC4V\xE4"
         "12"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        device_->queue(fpgaReply(c.typeCode, c.family, c.package));
        VELTRA_FPGA_INFOA info;
        std::memset(&info, 0x7E, sizeof info);
        ASSERT_EQ(VELTRA_GetFpgaInfoA(card_, 0, &info), VELTRA_SUCCESS);
        EXPECT_STREQ(info.name, c.name);
        EXPECT_STREQ(info.deviceName, c.device);
        EXPECT_STREQ(info.packageName, c.packageName);
        EXPECT_EQ(info.typeCode, c.typeCode);
        EXPECT_EQ(info.family, c.family);
        EXPECT_EQ(info.packageCode, c.package);
        EXPECT_EQ(info.name[31], 0) << "the record is zeroed first";
    }
}

// The device-name table, every entry, as its list of named devices gives it:
// "index name" pairs; every other index below 348 is "unknown" and the index.
constexpr const char* kNamedDevices =
    "0 xc4085xl, 1 xc40150xv, 2 xc40200xv, 3 xc40250xv, 4 v1000, 5 v400, 6 v600, 7 v800, 8 v2000e, "
    "9 v1000e, 10 v1600e, 11 v3200e, 12 v812e, 13 v405e\n"
    "32 2v1000, 33 2v1500, 34 2v2000, 35 2v3000, 36 2v4000, 37 2v6000, 38 2v8000, 39 2v10000\n"
    "64 2vp2, 65 2vp4, 66 2vp7, 67 2vp20, 68 2vp30, 69 2vp40, 70 2vp50, 71 2vp100, 72 2vp125, 73 "
    "2vp70\n"
    "96 4vlx15, 97 4vlx25, 98 4vlx40, 99 4vlx60, 100 4vlx100, 101 4vlx160, 102 4vlx200, 103 "
    "4vlx80, 104 4vsx25, 105 4vsx35, 106 4vsx55\n"
    "112 4vfx12, 113 4vfx20, 114 4vfx40, 115 4vfx60, 116 4vfx100, 117 4vfx140\n"
    "128 5vlx30, 129 5vlx50, 130 5vlx85, 131 5vlx110, 132 5vlx220, 133 5vlx330\n"
    "136 5vlx30t, 137 5vlx50t, 138 5vlx85t, 139 5vlx110t, 140 5vlx330t, 141 5vlx220t, 142 "
    "5vlx155t\n"
    "144 5vsx35t, 145 5vsx50t, 146 5vsx95t, 147 5vsx240t\n"
    "152 5vfx100t, 153 5vfx130t, 154 5vfx200t, 155 5vfx30t, 156 5vfx70t\n"
    "160 6vlx760\n"
    "168 6vlx75t, 169 6vlx130t, 170 6vlx195t, 171 6vlx240t, 172 6vlx365t, 173 6vlx550t\n"
    "176 6vsx315t, 177 6vsx475t\n"
    "184 6vhx250t, 185 6vhx255t, 186 6vhx380t, 187 6vhx565t\n"
    "224 7a100t, 225 7a200t, 226 7a350t\n"
    "232 7k70t, 233 7k160t, 234 7k325t, 235 7k355t, 236 7k410t, 237 7k420t, 238 7k480t\n"
    "248 7v585t, 249 7v1500t, 250 7v2000t\n"
    "256 7vx330t, 257 7vx415t, 258 7vx485t, 259 7vx550t, 260 7vx690t, 261 7vx980t, 262 7vx1140t\n"
    "272 7vh290t, 273 7vh580t, 274 7vh870t\n"
    "288 7z010, 289 7z015, 290 7z020, 291 7z030, 292 7z045, 293 7z100\n"
    "321 ku035, 322 ku040, 323 ku060, 324 ku075, 325 ku100, 326 ku115\n"
    "333 vu065, 334 vu080, 335 vu095, 336 vu125, 337 vu145, 338 vu160, 339 vu440\n";

TEST_F(Fpga, EveryTypeCodeOfTheTableHasItsDeviceName) {
    std::map<uint32_t, std::string> named;
    std::istringstream list(kNamedDevices);
    uint32_t index = 0;
    std::string name;
    while (list >> index >> name) {
        if (name.back() == ',')
            name.pop_back();
        named[index] = name;
    }
    ASSERT_EQ(named.size(), 126u);
    for (uint32_t typeCode = 0; typeCode < 348; ++typeCode) {
        const std::string expected =
            named.count(typeCode) ? named[typeCode] : "unknown" + std::to_string(typeCode);
        device_->queue(fpgaReply(typeCode, 7, packageCode('F', 'F', 1157)));
        VELTRA_FPGA_INFOA info;
        ASSERT_EQ(VELTRA_GetFpgaInfoA(card_, 0, &info), VELTRA_SUCCESS);
        EXPECT_EQ(info.name, expected + "ffg1157") << typeCode;
    }
}

TEST_F(Fpga, RecordCarriesTheDriversValuesAndTexts) {
    EXPECT_EQ(VELTRA_GetFpgaInfoA(card_, 0, nullptr), VELTRA_NULL_POINTER);
    EXPECT_EQ(VELTRA_GetFpgaInfoW(card_, 0, nullptr), VELTRA_NULL_POINTER);
    EXPECT_EQ(device_->requestCount(), 0u);
    // text2 fills its eight bytes without a terminator.
    device_->queue(fpgaReply(260, 7, packageCode('F', 'F', 1157), "-2L", "ABCDEFGH", 0xFE));
    VELTRA_FPGA_INFOA info;
    ASSERT_EQ(VELTRA_GetFpgaInfoA(card_, 9, &info), VELTRA_SUCCESS);
    EXPECT_EQ(info.attribute1, 0xA1u);
    EXPECT_EQ(info.attribute2, 0xA2u);
    EXPECT_STREQ(info.text1, "-2L");
    EXPECT_STREQ(info.text2, "ABCDEFG") << "kept inside its field";
    EXPECT_EQ(info.attribute3, 0xFEu) << "the byte, zero-extended";
    const auto request = lastRequest();
    EXPECT_EQ(request.code, code(3));
    EXPECT_EQ(request.inSize, 4u);
    EXPECT_EQ(request.outSize, 40u);
    EXPECT_EQ(simtest::field<uint32_t>(request.input, 0), 9u);

    device_->queue(vsim::Answer::fail(vsim::driverError(VELTRA_INVALID_INDEX)));
    std::memset(&info, 0x7E, sizeof info);
    EXPECT_EQ(VELTRA_GetFpgaInfoA(card_, 1, &info), VELTRA_INVALID_INDEX);
    EXPECT_EQ(info.typeCode, 0x7E7E7E7Eu) << "untouched on failure";
}

// The wide form ends every text with NUL and leaves the caller's characters
// after each terminator as they were.
TEST_F(Fpga, WideFormKeepsTheCharactersAfterEachTerminator) {
    device_->queue(fpgaReply(260, 7, packageCode('F', 'F', 1157)));
    VELTRA_FPGA_INFOW info;
    for (auto& c : info.name)
        c = 0x2222;
    for (auto& c : info.text1)
        c = 0x3333;
    for (auto& c : info.deviceName)
        c = 0x4444;
    ASSERT_EQ(VELTRA_GetFpgaInfoW(card_, 0, &info), VELTRA_SUCCESS);
    EXPECT_EQ(narrowOf(info.name), "7vx690tffg1157");
    EXPECT_EQ(info.name[15], 0x2222);
    EXPECT_EQ(info.name[31], 0);
    EXPECT_EQ(narrowOf(info.deviceName), "7VX690T");
    EXPECT_EQ(info.deviceName[8], 0x4444);
    EXPECT_EQ(info.deviceName[15], 0);
    EXPECT_EQ(narrowOf(info.packageName), "FFG1157");
    EXPECT_EQ(narrowOf(info.text1), "-2");
    EXPECT_EQ(info.text1[3], 0x3333);
    EXPECT_EQ(info.text1[7], 0);
    EXPECT_EQ(info.typeCode, 260u);
    EXPECT_EQ(info.packageCode, packageCode('F', 'F', 1157));
    EXPECT_EQ(info.attribute2, 0xA2u);
}

TEST_F(Fpga, ConfigureFromBufferSendsAddressAndLength) {
    uint8_t data[16] = {};
    ASSERT_EQ(VELTRA_ConfigureFromBuffer(card_, 2, 0x30, data, 0x100000000ull), VELTRA_SUCCESS);
    auto request = lastRequest();
    EXPECT_EQ(request.code, code(7));
    EXPECT_EQ(request.inSize, 24u);
    EXPECT_EQ(request.outSize, 0u);
    EXPECT_EQ(simtest::field<uint32_t>(request.input, 0), 2u);
    EXPECT_EQ(simtest::field<uint32_t>(request.input, 4), 0x30u);
    EXPECT_EQ(simtest::field<uint64_t>(request.input, 8), reinterpret_cast<uintptr_t>(data));
    EXPECT_EQ(simtest::field<uint64_t>(request.input, 16), 0x100000000ull);

    device_->clearRequests();
    EXPECT_EQ(VELTRA_ConfigureFromBuffer(card_, 0, 0, nullptr, 0), VELTRA_SUCCESS);
    EXPECT_EQ(device_->requestCount(), 1u) << "length 0 with no buffer is sent";
    EXPECT_EQ(VELTRA_ConfigureFromBuffer(card_, 0, 0, nullptr, 1), VELTRA_NULL_POINTER);
    EXPECT_EQ(device_->requestCount(), 1u);

    ASSERT_EQ(VELTRA_Unconfigure(card_, 5, 0x7), VELTRA_SUCCESS);
    request = lastRequest();
    EXPECT_EQ(request.code, code(27));
    EXPECT_EQ(request.inSize, 8u);
    EXPECT_EQ(simtest::field<uint32_t>(request.input, 0), 5u);
    EXPECT_EQ(simtest::field<uint32_t>(request.input, 4), 0x7u);
}

class ConfigureFromFile : public ScriptedCard {
  protected:
    void SetUp() override {
        ScriptedCard::SetUp();
        device_->onCode(code(3), fpgaReply(260, 7, packageCode('F', 'F', 1157)));
    }
    void TearDown() override {
        DeleteFileA(path_);
        ScriptedCard::TearDown();
    }
    // Sends of the configure request so far.
    size_t configures() {
        size_t n = 0;
        for (const auto& r : device_->requests())
            n += r.code == code(7) ? 1 : 0;
        return n;
    }
    const std::string pathName_ = simtest::scratchName("configure_test") + ".bit";
    const char* path_ = pathName_.c_str();
};

TEST_F(ConfigureFromFile, MatchingFileIsConfiguredByAddressAndFreed) {
    const auto data = bitstream::configurationData(4096);
    ASSERT_TRUE(Writer::standard("7VX690TFFG1157", data).writeTo(path_));
    // The driver reads the data during the request.
    std::vector<uint8_t> seen;
    device_->onCode(code(7), vsim::Answer::run([&seen](vsim::IoRequest& rq) {
                        const auto* at = reinterpret_cast<const uint8_t*>(
                            static_cast<uintptr_t>(rq.in<uint64_t>(8)));
                        seen.assign(at, at + rq.in<uint64_t>(16));
                        return vsim::Outcome::success();
                    }));
    const size_t blocks = vsimCountObjects("heapblock");
    EXPECT_EQ(VELTRA_ConfigureFromFileA(card_, 0, 0, path_), VELTRA_SUCCESS);
    EXPECT_EQ(seen, data);
    const std::vector<WCHAR> wide(path_, path_ + std::strlen(path_) + 1);
    EXPECT_EQ(VELTRA_ConfigureFromFileW(card_, 0, 0, wide.data()), VELTRA_SUCCESS);
    EXPECT_EQ(configures(), 2u);
    EXPECT_EQ(vsimCountObjects("heapblock"), blocks);
}

TEST_F(ConfigureFromFile, FileForAnotherPartIsAMismatchAndConfiguresNothing) {
    ASSERT_TRUE(
        Writer::standard("7vx485tffg1157", bitstream::configurationData(100)).writeTo(path_));
    EXPECT_EQ(VELTRA_ConfigureFromFileA(card_, 0, 0, path_), VELTRA_FPGA_MISMATCH);
    const std::vector<WCHAR> wide(path_, path_ + std::strlen(path_) + 1);
    EXPECT_EQ(VELTRA_ConfigureFromFileW(card_, 0, 0, wide.data()), VELTRA_FPGA_MISMATCH);
    EXPECT_EQ(configures(), 0u);
}

// The vendor's tools and the open toolchain write the part in its long form:
// family prefix, dashes, speed and temperature grades. The same device and
// package matches in any of those forms; another device or package does not.
TEST_F(ConfigureFromFile, LongFormsOfThePartMatchAndOtherDevicesDoNot) {
    const struct {
        uint32_t typeCode, family, package;
        const char* part;
        VELTRA_STATUS expected;
    } cases[] = {
        {260, 7, packageCode('F', 'F', 1157), "xc7vx690tffg1157-2", VELTRA_SUCCESS},
        {260, 7, packageCode('F', 'F', 1157), "XC7VX690T-FFG1157-2L-E", VELTRA_SUCCESS},
        {260, 7, packageCode('F', 'F', 1157), "xc7vx690tffg1157-1-i", VELTRA_SUCCESS},
        {260, 7, packageCode('F', 'F', 1157), "xc7vx690t-ffg1157-2lv", VELTRA_SUCCESS},
        {260, 7, packageCode('F', 'F', 1157), "xc7vx485tffg1157-2", VELTRA_FPGA_MISMATCH},
        {260, 7, packageCode('F', 'F', 1157), "xc7vx690tffg1761-2", VELTRA_FPGA_MISMATCH},
        {260, 7, packageCode('F', 'F', 1157), "7vx690tffg1157x", VELTRA_FPGA_MISMATCH},
        {323, 8, packageCode('F', 'A', 1156), "xcku060-ffva1156-2-e", VELTRA_SUCCESS},
        {323, 8, packageCode('F', 'A', 1156), "xcku040-ffva1156-2-e", VELTRA_FPGA_MISMATCH},
        {326, 8, packageCode('L', 'B', 2104), "xcku115-flvb2104-1-c", VELTRA_SUCCESS},
        {326, 8, packageCode('L', 'B', 2104), "xcku115-flva2104-1-c", VELTRA_FPGA_MISMATCH},
        {103, 4, packageCode('F', 'F', 1148), "xc4vlx80-ff1148-10", VELTRA_SUCCESS},
    };
    const std::vector<WCHAR> wide(path_, path_ + std::strlen(path_) + 1);
    size_t expectedConfigures = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.part);
        device_->onCode(code(3), fpgaReply(c.typeCode, c.family, c.package));
        ASSERT_TRUE(Writer::standard(c.part, bitstream::configurationData(64)).writeTo(path_));
        EXPECT_EQ(VELTRA_ConfigureFromFileA(card_, 0, 0, path_), c.expected);
        EXPECT_EQ(VELTRA_ConfigureFromFileW(card_, 0, 0, wide.data()), c.expected);
        expectedConfigures += c.expected == VELTRA_SUCCESS ? 2 : 0;
        EXPECT_EQ(configures(), expectedConfigures);
    }
    // The object keeps the part as the file writes it.
    VELTRA_BITSTREAMA* loaded = nullptr;
    ASSERT_TRUE(Writer::standard("xcku060-ffva1156-2-e", {1}).writeTo(path_));
    ASSERT_EQ(VELTRA_LoadBitstreamA(path_, &loaded), VELTRA_SUCCESS);
    EXPECT_STREQ(loaded->fpgaName, "xcku060-ffva1156-2-e");
    VELTRA_UnloadBitstreamA(loaded);
}

// The file's problems are found before the card handle is used at all.
TEST_F(ConfigureFromFile, LoadFailuresComeFirstEvenOnABadHandle) {
    const VELTRA_HANDLE bad = reinterpret_cast<VELTRA_HANDLE>(0x2468);
    ASSERT_TRUE(Writer::writeFile(path_, {0, 9, 1, 2, 3}));
    EXPECT_EQ(VELTRA_ConfigureFromFileA(bad, 0, 0, nullptr), VELTRA_NULL_POINTER);
    EXPECT_EQ(VELTRA_ConfigureFromFileA(bad, 0, 0, "no_such_file.bit"), VELTRA_FILE_NOT_FOUND);
    EXPECT_EQ(VELTRA_ConfigureFromFileA(bad, 0, 0, path_), VELTRA_INVALID_BITSTREAM);
    ASSERT_TRUE(Writer::standard("7vx690tffg1157", {1, 2, 3}).writeTo(path_));
    vsimFailNthCall("HeapAlloc", 1, ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(VELTRA_ConfigureFromFileA(bad, 0, 0, path_), VELTRA_NO_MEMORY);
    vsimClearFaults();
    EXPECT_EQ(VELTRA_ConfigureFromFileA(bad, 0, 0, path_), VELTRA_INVALID_HANDLE)
        << "then the card";
    EXPECT_EQ(device_->requestCount(), 0u);
}

TEST_F(ConfigureFromFile, FpgaInformationFailureIsReturned) {
    ASSERT_TRUE(Writer::standard("7vx690tffg1157", {1}).writeTo(path_));
    device_->onCode(code(3), vsim::Answer::fail(vsim::driverError(VELTRA_INVALID_INDEX)));
    EXPECT_EQ(VELTRA_ConfigureFromFileA(card_, 4, 0, path_), VELTRA_INVALID_INDEX);
    EXPECT_EQ(configures(), 0u);
}

// The default machine's FPGAs, end to end.
class DefaultFpgas : public testing::Test {
  protected:
    void SetUp() override {
        vsim::resetMachine();
        ASSERT_EQ(VELTRA_Open(0, &card0_), VELTRA_SUCCESS);
        ASSERT_EQ(VELTRA_Open(1, &card1_), VELTRA_SUCCESS);
    }
    void TearDown() override {
        VELTRA_Close(card0_);
        VELTRA_Close(card1_);
        DeleteFileA(path_);
    }
    bool configured(VELTRA_HANDLE card) {
        VELTRA_FPGA_INFOA info;
        EXPECT_EQ(VELTRA_GetFpgaInfoA(card, 0, &info), VELTRA_SUCCESS);
        return info.attribute3 == 1;
    }
    VELTRA_HANDLE card0_ = nullptr;
    VELTRA_HANDLE card1_ = nullptr;
    const std::string pathName_ = simtest::scratchName("default_fpga_test") + ".bit";
    const char* path_ = pathName_.c_str();
};

TEST_F(DefaultFpgas, NameThemselves) {
    VELTRA_FPGA_INFOA info;
    ASSERT_EQ(VELTRA_GetFpgaInfoA(card0_, 0, &info), VELTRA_SUCCESS);
    EXPECT_STREQ(info.name, "7vx690tffg1157");
    ASSERT_EQ(VELTRA_GetFpgaInfoA(card1_, 0, &info), VELTRA_SUCCESS);
    EXPECT_STREQ(info.name, "ku115flvb2104");
    EXPECT_EQ(VELTRA_GetFpgaInfoA(card0_, 1, &info), VELTRA_INVALID_INDEX);
}

TEST_F(DefaultFpgas, ConfigureUnconfigureAndRefuseDataWithoutSync) {
    ASSERT_TRUE(
        Writer::standard("7vx690tffg1157", bitstream::configurationData(65536)).writeTo(path_));
    EXPECT_FALSE(configured(card0_));
    ASSERT_EQ(VELTRA_ConfigureFromFileA(card0_, 0, 0, path_), VELTRA_SUCCESS);
    EXPECT_TRUE(configured(card0_));
    EXPECT_EQ(VELTRA_ConfigureFromFileA(card1_, 0, 0, path_), VELTRA_FPGA_MISMATCH);
    EXPECT_FALSE(configured(card1_));
    EXPECT_EQ(VELTRA_Unconfigure(card0_, 0, 0), VELTRA_SUCCESS);
    EXPECT_FALSE(configured(card0_));
    EXPECT_EQ(VELTRA_Unconfigure(card0_, 0, 1), VELTRA_INVALID_FLAG);
    EXPECT_EQ(VELTRA_Unconfigure(card0_, 3, 0), VELTRA_INVALID_INDEX);

    const auto noSync = bitstream::configurationData(4096, false);
    EXPECT_EQ(VELTRA_ConfigureFromBuffer(card0_, 0, 0, noSync.data(), noSync.size()),
              VELTRA_HARDWARE_ERROR);
    EXPECT_FALSE(configured(card0_));
    VELTRA_BITSTREAMA* loaded = nullptr;
    ASSERT_EQ(VELTRA_LoadBitstreamA(path_, &loaded), VELTRA_SUCCESS);
    EXPECT_EQ(VELTRA_ConfigureFromBuffer(card0_, 0, 0, loaded->data, loaded->length),
              VELTRA_SUCCESS);
    EXPECT_EQ(VELTRA_ConfigureFromBuffer(card0_, 0, 2, loaded->data, loaded->length),
              VELTRA_INVALID_FLAG);
    VELTRA_UnloadBitstreamA(loaded);
    EXPECT_TRUE(configured(card0_));
}

}  // namespace
