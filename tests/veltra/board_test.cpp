// Board services: the records sent and the conversions made, against a
// scripted device; and the default machine's flash, VPD, clocks, sensors and
// device status end to end.
#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "bitstream_writer.h"
#include "veltra_fixture.h"

namespace {

using Board = ScriptedCard;

constexpr uint32_t code(uint32_t request) {
    return 0x222004 + 8 * request;
}

vsim::Answer flashInfoReply(uint16_t vendor, uint16_t device) {
    return vsim::Answer::replyWith(vsim::Bytes(32)
                                       .put<uint64_t>(0, 111)
                                       .put<uint64_t>(8, 222)
                                       .put<uint64_t>(16, 333)
                                       .put<uint16_t>(24, vendor)
                                       .put<uint16_t>(26, device));
}

// Every chip of the name table, and pairs outside it.
TEST_F(Board, FlashChipsAreNamedFromTheTable) {
    const struct {
        uint16_t vendor, device;
        const char* name;
    } cases[] = {
        {0x0089, 0x0016, "Intel 28F320J3A"},
        {0x0089, 0x0017, "Intel 28F640J3A"},
        {0x0089, 0x0018, "Intel 28F128J3A"},
        {0x0089, 0x0099, "Micron 28F008B"},
        {0x0089, 0x8803, "Intel 28F256K3"},
        {0x0089, 0x88B0, "Micron MT28GU01GAAA1E"},
        {0x0089, 0x8919, "Intel 28F256P30"},
        {0x0089, 0x891C, "Intel 28F256P30"},
        {0x0089, 0x8960, "Numonyx Axcell P30 (Top boot)"},
        {0x0089, 0x8962, "Numonyx Axcell P30 (Top boot)"},
        {0x0089, 0x8961, "Numonyx Axcell P30 (Bot boot)"},
        {0x0089, 0x8963, "Numonyx Axcell P30 (Bot boot)"},
        {0x0089, 0x8999, "Numonyx Axcell P30 (Symm bl)"},
        {0x0089, 0x899A, "Numonyx Axcell P30 (Symm bl)"},
        {0x00BF, 0x00D9, "SST 39VF016Q"},
        {0x0089, 0x1234, "Vendor 0x0089 Device 0x1234"},
        {0x00BF, 0x00DA, "Vendor 0x00BF Device 0x00DA"},
        {0xFFFF, 0xABCD, "Vendor 0xFFFF Device 0xABCD"},
    };
    for (const auto& c : cases) {
        device_->queue(flashInfoReply(c.vendor, c.device));
        VELTRA_FLASH_INFOA info;
        ASSERT_EQ(VELTRA_GetFlashInfoA(card_, 3, &info), VELTRA_SUCCESS);
        EXPECT_STREQ(info.name, c.name);
        EXPECT_EQ(info.attribute1, 111u);
        EXPECT_EQ(info.attribute2, 222u);
        EXPECT_EQ(info.attribute3, 333u);
        device_->queue(flashInfoReply(c.vendor, c.device));
        VELTRA_FLASH_INFOW wide;
        ASSERT_EQ(VELTRA_GetFlashInfoW(card_, 3, &wide), VELTRA_SUCCESS);
        EXPECT_EQ(narrowOf(wide.name), c.name);
        EXPECT_EQ(wide.attribute3, 333u);
    }
    const auto request = lastRequest();
    EXPECT_EQ(request.code, code(17));
    EXPECT_EQ(request.inSize, 4u);
    EXPECT_EQ(request.outSize, 32u);
    EXPECT_EQ(simtest::field<uint32_t>(request.input, 0), 3u);
}

TEST_F(Board, FlashRecordsCarryIndexAndFlagsFirst) {
    uint8_t buffer[16];
    ASSERT_EQ(VELTRA_ReadFlash(card_, 1, 2, 0x30, 16, buffer), VELTRA_SUCCESS);
    auto r = lastRequest();
    EXPECT_EQ(r.code, code(15));
    EXPECT_EQ(r.inSize, 32u);
    EXPECT_EQ(simtest::field<uint32_t>(r.input, 0), 1u);
    EXPECT_EQ(simtest::field<uint32_t>(r.input, 4), 2u);
    EXPECT_EQ(simtest::field<uint64_t>(r.input, 8), 0x30u);
    EXPECT_EQ(simtest::field<uint64_t>(r.input, 16), 16u);
    EXPECT_EQ(simtest::field<uint64_t>(r.input, 24), reinterpret_cast<uintptr_t>(buffer));
    ASSERT_EQ(VELTRA_WriteFlash(card_, 1, 2, 0x30, 16, buffer), VELTRA_SUCCESS);
    EXPECT_EQ(lastRequest().code, code(16));
    ASSERT_EQ(VELTRA_EraseFlash(card_, 4, 5, 0x20000, 0x40000), VELTRA_SUCCESS);
    r = lastRequest();
    EXPECT_EQ(r.code, code(14));
    EXPECT_EQ(r.inSize, 24u);
    EXPECT_EQ(simtest::field<uint64_t>(r.input, 16), 0x40000u);
    ASSERT_EQ(VELTRA_SyncFlash(card_, 6, 7), VELTRA_SUCCESS);
    r = lastRequest();
    EXPECT_EQ(r.code, code(36));
    EXPECT_EQ(r.inSize, 8u);
    EXPECT_EQ(simtest::field<uint32_t>(r.input, 4), 7u);

    device_->clearRequests();
    EXPECT_EQ(VELTRA_ReadFlash(card_, 0, 0, 0, 16, nullptr), VELTRA_NULL_POINTER);
    EXPECT_EQ(VELTRA_WriteFlash(card_, 0, 0, 0, 16, nullptr), VELTRA_NULL_POINTER);
    EXPECT_EQ(device_->requestCount(), 0u);
    EXPECT_EQ(VELTRA_ReadFlash(card_, 0, 0, 0, 0, nullptr), VELTRA_SUCCESS);
    EXPECT_EQ(device_->requestCount(), 1u) << "length 0 with no buffer is sent";
    // Erase and sync take no buffer and check nothing: never a NULL pointer.
    device_->onCode(code(14), vsim::Answer::fail(vsim::driverError(VELTRA_INVALID_REGION)));
    EXPECT_EQ(VELTRA_EraseFlash(card_, 0, 0, 1, 0), VELTRA_INVALID_REGION);
    EXPECT_EQ(VELTRA_SyncFlash(card_, 0, 0), VELTRA_SUCCESS);
}

TEST_F(Board, FlashBlockInfoRecord) {
    EXPECT_EQ(VELTRA_GetFlashBlockInfo(card_, 0, 0, nullptr), VELTRA_NULL_POINTER);
    device_->queue(vsim::Answer::replyWith(
        vsim::Bytes(24).put<uint64_t>(0, 0x3FE0000).put<uint64_t>(8, 0x8000).put<uint32_t>(16, 1)));
    VELTRA_FLASH_BLOCK_INFO info;
    ASSERT_EQ(VELTRA_GetFlashBlockInfo(card_, 2, 0x3FE8000, &info), VELTRA_SUCCESS);
    EXPECT_EQ(info.attribute1, 0x3FE0000u);
    EXPECT_EQ(info.attribute2, 0x8000u);
    EXPECT_EQ(info.attribute3, 1u);
    const auto r = lastRequest();
    EXPECT_EQ(r.code, code(18));
    EXPECT_EQ(r.inSize, 16u);
    EXPECT_EQ(r.outSize, 24u);
    EXPECT_EQ(simtest::field<uint64_t>(r.input, 0), 0x3FE8000u);
    EXPECT_EQ(simtest::field<uint32_t>(r.input, 8), 2u);
}

// Note the VPD record's order: the 64-bit fields first, the flags last.
TEST_F(Board, VpdRecordPutsTheFlagsLast) {
    uint8_t buffer[4];
    ASSERT_EQ(VELTRA_ReadVPD(card_, 0xF1, 0x10, 4, buffer), VELTRA_SUCCESS);
    const auto r = lastRequest();
    EXPECT_EQ(r.code, code(25));
    EXPECT_EQ(r.inSize, 32u);
    EXPECT_EQ(simtest::field<uint64_t>(r.input, 0), 0x10u);
    EXPECT_EQ(simtest::field<uint64_t>(r.input, 8), 4u);
    EXPECT_EQ(simtest::field<uint64_t>(r.input, 16), reinterpret_cast<uintptr_t>(buffer));
    EXPECT_EQ(simtest::field<uint32_t>(r.input, 24), 0xF1u);
    ASSERT_EQ(VELTRA_WriteVPD(card_, 0, 0, 4, buffer), VELTRA_SUCCESS);
    EXPECT_EQ(lastRequest().code, code(26));
    device_->clearRequests();
    EXPECT_EQ(VELTRA_ReadVPD(card_, 0, 0, 16, nullptr), VELTRA_NULL_POINTER);
    EXPECT_EQ(device_->requestCount(), 0u);
    EXPECT_EQ(VELTRA_ReadVPD(card_, 0, 0, 0, nullptr), VELTRA_SUCCESS);
    EXPECT_EQ(device_->requestCount(), 1u);
}

TEST_F(Board, GetClockFrequencySendsBeforeCheckingItsPointer) {
    device_->onCode(code(8), vsim::Answer::replyWith(vsim::Bytes().put<int64_t>(0, -156250000)));
    double frequency = 0;
    ASSERT_EQ(VELTRA_GetClockFrequency(card_, 1, &frequency), VELTRA_SUCCESS);
    EXPECT_EQ(frequency, -156250000.0);
    EXPECT_EQ(lastRequest().inSize, 4u);
    EXPECT_EQ(lastRequest().outSize, 8u);
    device_->clearRequests();
    EXPECT_EQ(VELTRA_GetClockFrequency(card_, 1, nullptr), VELTRA_NULL_POINTER);
    EXPECT_EQ(device_->requestCount(), 1u) << "the request was made first";
    device_->onCode(code(8), vsim::Answer::fail(vsim::driverError(VELTRA_INVALID_INDEX)));
    EXPECT_EQ(VELTRA_GetClockFrequency(card_, 9, nullptr), VELTRA_INVALID_INDEX)
        << "its failure wins";
}

// Frequencies go as a 64-bit integer, truncated toward zero. Beyond +-9.0e18
// and NaN the conversion would be undefined: refused, nothing sent.
TEST_F(Board, SetClockFrequencyConvertsWhatItCanAndRefusesTheRest) {
    device_->onCode(code(9), vsim::Answer::replyWith(vsim::Bytes().put<int64_t>(0, 156250000)));
    const struct {
        double frequency;
        int64_t sent;
    } sent[] = {{100000000.7, 100000000},
                {9.0e18, 9000000000000000000},
                {-9.0e18, -9000000000000000000},
                {-2.9, -2},
                {0.0, 0},
                {-0.0, 0}};
    for (const auto& c : sent) {
        double actual = 0;
        ASSERT_EQ(VELTRA_SetClockFrequency(card_, 1, 0x5, c.frequency, &actual), VELTRA_SUCCESS)
            << c.frequency;
        const auto r = lastRequest();
        EXPECT_EQ(r.code, code(9));
        EXPECT_EQ(r.inSize, 16u);
        EXPECT_EQ(r.outSize, 8u);
        EXPECT_EQ(simtest::field<uint32_t>(r.input, 0), 1u);
        EXPECT_EQ(simtest::field<uint32_t>(r.input, 4), 0x5u);
        EXPECT_EQ(simtest::field<int64_t>(r.input, 8), c.sent) << c.frequency;
        EXPECT_EQ(actual, 156250000.0);
    }
    device_->clearRequests();
    const double refused[] = {9.1e18, -9.1e18, std::numeric_limits<double>::quiet_NaN(),
                              std::numeric_limits<double>::infinity(),
                              -std::numeric_limits<double>::infinity()};
    for (double f : refused) {
        double actual = 42;
        EXPECT_EQ(VELTRA_SetClockFrequency(card_, 1, 0, f, &actual), VELTRA_INVALID_FREQUENCY) << f;
        EXPECT_EQ(actual, 42);
    }
    EXPECT_EQ(device_->requestCount(), 0u);
    EXPECT_EQ(VELTRA_SetClockFrequency(card_, 1, 0, 1e6, nullptr), VELTRA_SUCCESS)
        << "no store, no failure";
    device_->onCode(code(9), vsim::Answer::fail(vsim::driverError(VELTRA_NOT_SUPPORTED)));
    double actual = 7;
    EXPECT_EQ(VELTRA_SetClockFrequency(card_, 0, 0, 1e6, &actual), VELTRA_NOT_SUPPORTED);
    EXPECT_EQ(actual, 7);
}

vsim::Answer sensorReading(uint32_t value, uint32_t fraction, uint32_t datatype) {
    return vsim::Answer::replyWith(vsim::Bytes(12)
                                       .put<uint32_t>(0, value)
                                       .put<uint32_t>(4, fraction)
                                       .put<uint32_t>(8, datatype));
}

TEST_F(Board, SensorReadingsByDatatype) {
    VELTRA_SENSOR_VALUE value;
    EXPECT_EQ(VELTRA_ReadSensor(card_, 0, nullptr), VELTRA_NULL_POINTER);
    EXPECT_EQ(device_->requestCount(), 0u);

    device_->queue(sensorReading(static_cast<uint32_t>(-2), 0x80000000u, 1));
    ASSERT_EQ(VELTRA_ReadSensor(card_, 0, &value), VELTRA_SUCCESS);
    EXPECT_DOUBLE_EQ(value.doubleValue, -1.5);
    device_->queue(sensorReading(3, 0x40000000u, 1));
    ASSERT_EQ(VELTRA_ReadSensor(card_, 0, &value), VELTRA_SUCCESS);
    EXPECT_DOUBLE_EQ(value.doubleValue, 3.25);
    EXPECT_EQ(lastRequest().code, code(35));
    EXPECT_EQ(lastRequest().outSize, 12u);

    for (uint32_t datatype : {0u, 2u, 3u}) {
        std::memset(&value, 0xEE, sizeof value);
        device_->queue(sensorReading(0x12345678, 0x9999, datatype));
        ASSERT_EQ(VELTRA_ReadSensor(card_, 0, &value), VELTRA_SUCCESS);
        EXPECT_EQ(value.value32, 0x12345678u);
        uint8_t bytes[8];
        std::memcpy(bytes, &value, 8);
        EXPECT_EQ(bytes[4], 0xEE) << "4 bytes written";
    }
    std::memset(&value, 0xEE, sizeof value);
    device_->queue(sensorReading(1, 2, 4));
    EXPECT_EQ(VELTRA_ReadSensor(card_, 0, &value), VELTRA_UNEXPECTED_ERROR);
    EXPECT_EQ(value.value32, 0xEEEEEEEEu) << "untouched";
}

TEST_F(Board, SensorInformationRecord) {
    EXPECT_EQ(VELTRA_GetSensorInfoA(card_, 0, nullptr), VELTRA_NULL_POINTER);
    EXPECT_EQ(VELTRA_GetSensorInfoW(card_, 0, nullptr), VELTRA_NULL_POINTER);
    EXPECT_EQ(device_->requestCount(), 0u);
    // A description that fills its 28 bytes without a terminator.
    const auto reply = vsim::Bytes(48)
                           .text(0, std::string(28, 'D'), 28)
                           .put<uint32_t>(28, 0x11)
                           .put<int16_t>(32, -1)
                           .put<uint16_t>(34, 0x8000)
                           .put<uint32_t>(36, 0x33)
                           .put<uint32_t>(40, 0x44)
                           .put<uint32_t>(44, 0x55);
    device_->onCode(code(33), vsim::Answer::replyWith(reply));
    VELTRA_SENSOR_INFOA info;
    std::memset(&info, 0xEE, sizeof info);
    ASSERT_EQ(VELTRA_GetSensorInfoA(card_, 2, &info), VELTRA_SUCCESS);
    EXPECT_EQ(std::string(info.description), std::string(27, 'D')) << "kept inside its field";
    EXPECT_EQ(info.attribute1, 0x11u);
    EXPECT_DOUBLE_EQ(info.attribute2, -0.5);
    EXPECT_EQ(info.attribute3, 0x33u);
    EXPECT_EQ(info.attribute4, 0x44u);
    EXPECT_EQ(info.attribute5, 0x55u);
    EXPECT_EQ(info.padding52, 0u) << "zero-filled first";
    EXPECT_EQ(lastRequest().outSize, 48u);

    VELTRA_SENSOR_INFOW wide;
    for (auto& c : wide.description)
        c = 0x1111;
    ASSERT_EQ(VELTRA_GetSensorInfoW(card_, 2, &wide), VELTRA_SUCCESS);
    EXPECT_EQ(narrowOf(wide.description), std::string(27, 'D'));
    EXPECT_DOUBLE_EQ(wide.attribute2, -0.5);
    EXPECT_EQ(wide.attribute5, 0x55u);
}

TEST_F(Board, DeviceStatusWordsAndAnyError) {
    EXPECT_EQ(VELTRA_GetDeviceStatus(card_, 0, nullptr, nullptr), VELTRA_NULL_POINTER);
    EXPECT_EQ(device_->requestCount(), 0u);
    vsim::Bytes words(20);
    for (int i = 0; i < 5; ++i)
        words.put<uint32_t>(4 * i, 0x100u + i);
    device_->queue(vsim::Answer::replyWith(words));
    VELTRA_DEVICE_STATUS status;
    std::memset(&status, 0xEE, sizeof status);
    uint32_t any = 9;
    ASSERT_EQ(VELTRA_GetDeviceStatus(card_, 0x7, &status, &any), VELTRA_SUCCESS);
    EXPECT_EQ(status.status1, 0x100u);
    EXPECT_EQ(status.status2, 0x101u);
    EXPECT_EQ(status.status3, 0x102u);
    EXPECT_EQ(status.reserved[0] | status.reserved[1] | status.reserved[2], 0u);
    EXPECT_EQ(status.status4, 0x103u);
    EXPECT_EQ(status.status5, 0x104u);
    EXPECT_EQ(any, 1u);
    EXPECT_EQ(lastRequest().code, code(41));
    EXPECT_EQ(lastRequest().inSize, 4u);
    EXPECT_EQ(lastRequest().outSize, 20u);
    EXPECT_EQ(simtest::field<uint32_t>(lastRequest().input, 0), 0x7u);

    device_->queue(vsim::Answer::replyWith(vsim::Bytes(20)));
    ASSERT_EQ(VELTRA_GetDeviceStatus(card_, 0, &status, &any), VELTRA_SUCCESS);
    EXPECT_EQ(any, 0u);
    device_->queue(vsim::Answer::replyWith(vsim::Bytes(20).put<uint32_t>(16, 1)));
    ASSERT_EQ(VELTRA_GetDeviceStatus(card_, 0, &status, &any), VELTRA_SUCCESS);
    EXPECT_EQ(any, 1u) << "word 5 alone";
    ASSERT_EQ(VELTRA_GetDeviceStatus(card_, 0, &status, nullptr), VELTRA_SUCCESS);

    ASSERT_EQ(VELTRA_ClearDeviceErrors(card_), VELTRA_SUCCESS);
    EXPECT_EQ(lastRequest().code, code(42));
    EXPECT_EQ(lastRequest().inSize, 0u);
    EXPECT_EQ(lastRequest().outSize, 0u);
}

// The default machine's board services, end to end.
class DefaultBoard : public testing::Test {
  protected:
    void SetUp() override {
        vsim::resetMachine();
        ASSERT_EQ(VELTRA_Open(0, &card_), VELTRA_SUCCESS);
    }
    void TearDown() override { VELTRA_Close(card_); }
    VELTRA_HANDLE card_ = nullptr;
};

TEST_F(DefaultBoard, FlashBehavesAsNorFlash) {
    VELTRA_FLASH_INFOA info;
    ASSERT_EQ(VELTRA_GetFlashInfoA(card_, 0, &info), VELTRA_SUCCESS);
    EXPECT_STREQ(info.name, "Numonyx Axcell P30 (Top boot)");
    EXPECT_EQ(info.attribute1, 64ull << 20);
    EXPECT_EQ(info.attribute2, 128u << 10);
    const uint64_t block = 5 * (128 << 10);
    std::vector<uint8_t> data(1000), back(1000);
    ASSERT_EQ(VELTRA_EraseFlash(card_, 0, 0, block, 128 << 10), VELTRA_SUCCESS);
    ASSERT_EQ(VELTRA_ReadFlash(card_, 0, 0, block, back.size(), back.data()), VELTRA_SUCCESS);
    EXPECT_EQ(back, std::vector<uint8_t>(1000, 0xFF)) << "erased";
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<uint8_t>(0xF0 | i);
    ASSERT_EQ(VELTRA_WriteFlash(card_, 0, 0, block, data.size(), data.data()), VELTRA_SUCCESS);
    ASSERT_EQ(VELTRA_ReadFlash(card_, 0, 0, block, back.size(), back.data()), VELTRA_SUCCESS);
    EXPECT_EQ(back, data);
    // A second write without an erase can only clear bits.
    std::vector<uint8_t> second(1000, 0x3C);
    ASSERT_EQ(VELTRA_WriteFlash(card_, 0, 0, block, second.size(), second.data()), VELTRA_SUCCESS);
    ASSERT_EQ(VELTRA_ReadFlash(card_, 0, 0, block, back.size(), back.data()), VELTRA_SUCCESS);
    for (size_t i = 0; i < back.size(); ++i)
        ASSERT_EQ(back[i], data[i] & 0x3C) << i;
    ASSERT_EQ(VELTRA_EraseFlash(card_, 0, 0, block, 128 << 10), VELTRA_SUCCESS);
    ASSERT_EQ(VELTRA_ReadFlash(card_, 0, 0, block, back.size(), back.data()), VELTRA_SUCCESS);
    EXPECT_EQ(back, std::vector<uint8_t>(1000, 0xFF));
    EXPECT_EQ(VELTRA_SyncFlash(card_, 0, 0), VELTRA_SUCCESS);
}

TEST_F(DefaultBoard, FlashGeometryAndItsVerdicts) {
    const uint64_t size = 64ull << 20;
    VELTRA_FLASH_BLOCK_INFO block;
    ASSERT_EQ(VELTRA_GetFlashBlockInfo(card_, 0, 0x12345, &block), VELTRA_SUCCESS);
    EXPECT_EQ(block.attribute1, 0u);
    EXPECT_EQ(block.attribute2, 128u << 10);
    EXPECT_EQ(block.attribute3, 0u);
    ASSERT_EQ(VELTRA_GetFlashBlockInfo(card_, 0, size - 1, &block), VELTRA_SUCCESS);
    EXPECT_EQ(block.attribute1, size - (32 << 10)) << "four 32 KiB parameter blocks at the top";
    EXPECT_EQ(block.attribute2, 32u << 10);
    EXPECT_EQ(block.attribute3, 1u);
    EXPECT_EQ(VELTRA_EraseFlash(card_, 0, 0, size - (32 << 10), 32 << 10), VELTRA_SUCCESS);
    EXPECT_EQ(VELTRA_EraseFlash(card_, 0, 0, 4096, 128 << 10), VELTRA_INVALID_REGION)
        << "not block-aligned";
    EXPECT_EQ(VELTRA_EraseFlash(card_, 0, 0, 0, 100), VELTRA_INVALID_REGION);
    EXPECT_EQ(VELTRA_EraseFlash(card_, 0, 0, size, 128 << 10), VELTRA_INVALID_REGION)
        << "past the end";
    uint8_t byte;
    EXPECT_EQ(VELTRA_ReadFlash(card_, 0, 0, size, 1, &byte), VELTRA_INVALID_REGION);
    EXPECT_EQ(VELTRA_ReadFlash(card_, 1, 0, 0, 1, &byte), VELTRA_INVALID_INDEX);
    EXPECT_EQ(VELTRA_SyncFlash(card_, 1, 0), VELTRA_INVALID_INDEX);
    VELTRA_HANDLE card1 = nullptr;
    ASSERT_EQ(VELTRA_Open(1, &card1), VELTRA_SUCCESS);
    VELTRA_FLASH_INFOA info;
    ASSERT_EQ(VELTRA_GetFlashInfoA(card1, 0, &info), VELTRA_SUCCESS);
    EXPECT_STREQ(info.name, "Vendor 0x0020 Device 0x227E");
    VELTRA_Close(card1);
}

TEST_F(DefaultBoard, VpdHoldsItsRecordAndTakesWrites) {
    char record[64] = {};
    ASSERT_EQ(VELTRA_ReadVPD(card_, 0, 0, sizeof record - 1, record), VELTRA_SUCCESS);
    EXPECT_EQ(std::string(record).rfind("VPD1\nMODEL=VELTRA V690 Accelerator\n", 0), 0u);
    const char update[] = "NOTE";
    ASSERT_EQ(VELTRA_WriteVPD(card_, 0, 8000, 4, update), VELTRA_SUCCESS);
    char back[4];
    ASSERT_EQ(VELTRA_ReadVPD(card_, 0, 8000, 4, back), VELTRA_SUCCESS);
    EXPECT_EQ(std::memcmp(back, update, 4), 0);
    EXPECT_EQ(VELTRA_ReadVPD(card_, 0, 8190, 4, back), VELTRA_INVALID_REGION);
}

TEST_F(DefaultBoard, ClocksAndTheirRanges) {
    double frequency = 0;
    ASSERT_EQ(VELTRA_GetClockFrequency(card_, 0, &frequency), VELTRA_SUCCESS);
    EXPECT_EQ(frequency, 100e6);
    EXPECT_EQ(VELTRA_SetClockFrequency(card_, 0, 0, 125e6, nullptr), VELTRA_NOT_SUPPORTED);
    double actual = 0;
    ASSERT_EQ(VELTRA_SetClockFrequency(card_, 1, 0, 156.25e6, &actual), VELTRA_SUCCESS);
    EXPECT_EQ(actual, 156250000.0);
    ASSERT_EQ(VELTRA_SetClockFrequency(card_, 1, 0, 100001499.0, &actual), VELTRA_SUCCESS);
    EXPECT_EQ(actual, 100001000.0) << "the nearest multiple of 1 kHz";
    ASSERT_EQ(VELTRA_SetClockFrequency(card_, 1, 0, 100001500.0, &actual), VELTRA_SUCCESS);
    EXPECT_EQ(actual, 100002000.0);
    ASSERT_EQ(VELTRA_GetClockFrequency(card_, 1, &frequency), VELTRA_SUCCESS);
    EXPECT_EQ(frequency, 100002000.0);
    EXPECT_EQ(VELTRA_SetClockFrequency(card_, 1, 0, 9.999e6, nullptr), VELTRA_INVALID_FREQUENCY);
    EXPECT_EQ(VELTRA_SetClockFrequency(card_, 1, 0, 800.001e6, nullptr), VELTRA_INVALID_FREQUENCY);
    EXPECT_EQ(VELTRA_SetClockFrequency(card_, 1, 0, -5e6, nullptr), VELTRA_INVALID_FREQUENCY);
    EXPECT_EQ(VELTRA_SetClockFrequency(card_, 2, 0, 100e6, nullptr), VELTRA_INVALID_INDEX);
    EXPECT_EQ(VELTRA_GetClockFrequency(card_, 2, &frequency), VELTRA_INVALID_INDEX);
}

TEST_F(DefaultBoard, SensorsOfEachDatatype) {
    VELTRA_SENSOR_INFOA info;
    VELTRA_SENSOR_VALUE first, second;
    ASSERT_EQ(VELTRA_GetSensorInfoA(card_, 0, &info), VELTRA_SUCCESS);
    EXPECT_STREQ(info.description, "FPGA die temperature (C)");
    EXPECT_EQ(info.attribute1, 1u) << "fixed point";
    ASSERT_EQ(VELTRA_ReadSensor(card_, 0, &first), VELTRA_SUCCESS);
    ASSERT_EQ(VELTRA_ReadSensor(card_, 0, &second), VELTRA_SUCCESS);
    EXPECT_GE(first.doubleValue, 45.0);
    EXPECT_LT(first.doubleValue, 46.0);
    EXPECT_NE(first.doubleValue, second.doubleValue) << "readings move a little";
    ASSERT_EQ(VELTRA_ReadSensor(card_, 1, &first), VELTRA_SUCCESS);
    EXPECT_NEAR(first.doubleValue, 0.95, 0.01);
    ASSERT_EQ(VELTRA_GetSensorInfoA(card_, 2, &info), VELTRA_SUCCESS);
    EXPECT_EQ(info.attribute1, 0u) << "integer";
    ASSERT_EQ(VELTRA_ReadSensor(card_, 2, &first), VELTRA_SUCCESS);
    EXPECT_GE(first.value32, 4200u);
    EXPECT_LE(first.value32, 4260u);
    ASSERT_EQ(VELTRA_GetSensorInfoA(card_, 3, &info), VELTRA_SUCCESS);
    EXPECT_EQ(info.attribute1, 2u) << "flags";
    ASSERT_EQ(VELTRA_ReadSensor(card_, 3, &first), VELTRA_SUCCESS);
    EXPECT_EQ(first.value32, 0u);
    EXPECT_EQ(VELTRA_ReadSensor(card_, 4, &first), VELTRA_INVALID_INDEX);
}

TEST_F(DefaultBoard, FailedConfigurationIsADeviceErrorUntilCleared) {
    VELTRA_DEVICE_STATUS status;
    uint32_t any = 9;
    ASSERT_EQ(VELTRA_ClearDeviceErrors(card_), VELTRA_SUCCESS);
    ASSERT_EQ(VELTRA_GetDeviceStatus(card_, 0, &status, &any), VELTRA_SUCCESS);
    EXPECT_EQ(any, 0u);
    const auto noSync = bitstream::configurationData(512, false);
    EXPECT_EQ(VELTRA_ConfigureFromBuffer(card_, 0, 0, noSync.data(), noSync.size()),
              VELTRA_HARDWARE_ERROR);
    ASSERT_EQ(VELTRA_GetDeviceStatus(card_, 0, &status, &any), VELTRA_SUCCESS);
    EXPECT_EQ(any, 1u);
    EXPECT_EQ(status.status1, 1u) << "the configuration word";
    ASSERT_EQ(VELTRA_ClearDeviceErrors(card_), VELTRA_SUCCESS);
    ASSERT_EQ(VELTRA_GetDeviceStatus(card_, 0, &status, &any), VELTRA_SUCCESS);
    EXPECT_EQ(any, 0u);
    EXPECT_EQ(VELTRA_GetDeviceStatus(card_, 1, &status, &any), VELTRA_INVALID_FLAG);
}

}  // namespace
