#include "records.h"

#include <algorithm>
#include <cmath>

#include "cards.h"
#include "errors.h"
#include "text.h"

namespace tool {

VELTRA_CARD_INFO_EX cardInfo(const Card& card) {
    VELTRA_CARD_INFO_EX info{};
    check(VELTRA_GetCardInfoEx(card.handle(), &info),
          "cannot read the information of " + card.name());
    return info;
}

std::string driverVersion(const Card& card) {
    VELTRA_VERSION_INFO version{};
    check(VELTRA_GetVersionInfo(card.handle(), &version),
          "cannot read the versions of " + card.name());
    return format("%u.%u.%u", version.driverMajor, version.driverMinor, version.driverBugfix);
}

std::vector<VELTRA_WINDOW_INFO> windows(const Card& card) {
    const uint32_t count = card.info().windowCount;
    std::vector<VELTRA_WINDOW_INFO> result(count);
    for (uint32_t index = 0; index < count; ++index)
        check(VELTRA_GetWindowInfo(card.handle(), index, &result[index]),
              format("cannot read window %u of %s", index, card.name().c_str()));
    return result;
}

std::vector<VELTRA_FPGA_INFOA> fpgas(const Card& card) {
    const uint32_t count = card.info().cardValue4;
    std::vector<VELTRA_FPGA_INFOA> result(count);
    for (uint32_t index = 0; index < count; ++index)
        check(VELTRA_GetFpgaInfoA(card.handle(), index, &result[index]),
              format("cannot read the information of FPGA %u of %s", index, card.name().c_str()));
    return result;
}

// The driver reports no count of sensors: they are read until the index
// it refuses.
std::vector<VELTRA_SENSOR_INFOA> sensors(const Card& card) {
    std::vector<VELTRA_SENSOR_INFOA> result;
    for (uint32_t index = 0; index < 256; ++index) {
        VELTRA_SENSOR_INFOA info{};
        const VELTRA_STATUS status = VELTRA_GetSensorInfoA(card.handle(), index, &info);
        if (status == VELTRA_INVALID_INDEX)
            break;
        check(status,
              format("cannot read the information of sensor %u of %s", index, card.name().c_str()));
        result.push_back(info);
    }
    return result;
}

std::string windowKind(uint64_t attributes) {
    return (attributes & kWindowCardMemory)  ? "card memory"
           : (attributes & kWindowDoorbell)  ? "doorbell"
           : (attributes & kWindowRegisters) ? "registers"
                                             : "memory";
}

int findWindow(const std::vector<VELTRA_WINDOW_INFO>& windows, uint64_t with, uint64_t without) {
    for (size_t index = 0; index < windows.size(); ++index) {
        const uint64_t attributes = windows[index].windowValue3;
        if ((attributes & with) == with && (attributes & without) == 0)
            return static_cast<int>(index);
    }
    return -1;
}

json identity(const Card& card) {
    const VELTRA_CARD_INFO_EX info = cardInfo(card);
    json list = json::array();
    for (const auto& f : fpgas(card))
        list.push_back({{"name", text(f.name)}, {"configured", f.attribute3 != 0}});
    const std::vector<std::string> paths = interfacePaths();
    return {{"boardId", info.cardValue2},
            {"revision", info.cardValue0},
            {"serial", serialText(info.cardValue3)},
            {"pcie", {{"width", info.cardValue10}, {"generation", info.cardValue11}}},
            {"fpgas", list},
            {"driver", driverVersion(card)},
            {"path", card.index() < paths.size() ? paths[card.index()] : ""}};
}

std::string unitName(uint32_t unit) {
    static const char* const kUnits[] = {"", "C", "V", "RPM"};
    return unit < 4 ? kUnits[unit] : format("unit %u", unit);
}

std::string unitSuffix(uint32_t unit) {
    const std::string name = unitName(unit);
    return name.empty() ? name : " " + name;
}

namespace {

// Limits in thousandths of the unit; none when both are 0, and none for a
// flags word, which is in alarm when any bit is set.
void judge(SensorReading& reading, const VELTRA_SENSOR_INFOA& info) {
    reading.low = static_cast<int32_t>(info.attribute4) / 1000.0;
    reading.high = static_cast<int32_t>(info.attribute5) / 1000.0;
    reading.limited = info.attribute1 != kSensorFlags && (reading.low != 0 || reading.high != 0);
    if (info.attribute1 == kSensorFlags)
        reading.state = reading.value != 0 ? "ALARM" : "ok";
    else if (!reading.limited)
        reading.state = "-";
    else if (reading.value < reading.low)
        reading.state = "LOW";
    else if (reading.value > reading.high)
        reading.state = "HIGH";
    else
        reading.state = "ok";
}

}  // namespace

SensorReading readSensor(const Card& card, uint32_t index, const VELTRA_SENSOR_INFOA& info) {
    VELTRA_SENSOR_VALUE value{};
    check(VELTRA_ReadSensor(card.handle(), index, &value),
          format("cannot read sensor %u of %s", index, card.name().c_str()));
    SensorReading reading;
    const std::string unit = unitSuffix(info.attribute3);
    if (info.attribute1 == kSensorFlags) {
        reading.value = value.value32;
        reading.text = hex(value.value32, 8);
    } else if (info.attribute1 == kSensorFixed) {
        // Fixed point, shown to the thousandth its limits are given in.
        reading.value = std::round(value.doubleValue * 1000) / 1000;
        reading.text = format("%.3f%s", value.doubleValue, unit.c_str());
    } else {
        reading.value = value.value32;
        reading.text = format("%u%s", value.value32, unit.c_str());
    }
    judge(reading, info);
    return reading;
}

json readingJson(const VELTRA_SENSOR_INFOA& info, const SensorReading& reading) {
    json limits = nullptr;
    if (reading.limited)
        limits = {{"low", reading.low}, {"high", reading.high}};
    return {{"value", reading.value},
            {"unit", unitName(info.attribute3)},
            {"nominal", std::round(info.attribute2 * 1000) / 1000},
            {"limits", limits},
            {"state", reading.state}};
}

std::string alarmedSensors(uint32_t flags, const std::vector<VELTRA_SENSOR_INFOA>& list) {
    std::string names;
    for (uint32_t bit = 1; bit < 32; ++bit)
        if ((flags & (1u << bit)) != 0 && bit - 1 < list.size())
            names += (names.empty() ? "" : ", ") + text(list[bit - 1].description);
    return names;
}

std::vector<uint32_t> dmaChannels(const Card& card) {
    std::vector<uint32_t> channels;
    const uint32_t count = card.info().cardValue7;
    for (uint32_t channel = 0; channel < count; ++channel)
        channels.push_back(channel);
    return channels;
}

uint64_t cardMemorySize(const Card& card) {
    const auto all = windows(card);
    const int window = findWindow(all, kWindowCardMemory, 0);
    return window < 0 ? uint64_t{1} << 20 : all[static_cast<size_t>(window)].windowValue0;
}

uint64_t vpdSize(const Card& card) {
    // The driver refuses a range past the end: the size is the first offset
    // that cannot be read.
    uint8_t byte = 0;
    const VELTRA_STATUS first = VELTRA_ReadVPD(card.handle(), 0, 0, 1, &byte);
    if (first == VELTRA_INVALID_REGION)
        return 0;
    check(first, "cannot read the VPD of " + card.name());
    uint64_t good = 1, bad = uint64_t{1} << 32;
    while (bad - good > 1) {
        const uint64_t middle = good + (bad - good) / 2;
        const VELTRA_STATUS status = VELTRA_ReadVPD(card.handle(), 0, middle - 1, 1, &byte);
        if (status == VELTRA_SUCCESS)
            good = middle;
        else if (status == VELTRA_INVALID_REGION)
            bad = middle;
        else
            check(status, "cannot read the VPD of " + card.name());
    }
    return good;
}

std::vector<uint8_t> readVpd(const Card& card, uint64_t offset, uint64_t length) {
    std::vector<uint8_t> data(length);
    check(VELTRA_ReadVPD(card.handle(), 0, offset, length, data.data()),
          format("cannot read %s of VPD at %s from %s", sizeText(length).c_str(),
                 hex(offset).c_str(), card.name().c_str()));
    return data;
}

std::string recordText(const std::vector<uint8_t>& data) {
    std::string record;
    for (uint8_t byte : data) {
        if (byte == 0 || byte == 0xFF)
            break;
        record += static_cast<char>(byte);
    }
    return record;
}

std::vector<double> clocks(const Card& card) {
    const uint32_t count = card.info().cardValue9;
    std::vector<double> frequencies(count);
    for (uint32_t index = 0; index < count; ++index)
        check(VELTRA_GetClockFrequency(card.handle(), index, &frequencies[index]),
              format("cannot read clock %u of %s", index, card.name().c_str()));
    return frequencies;
}

DeviceStatus deviceStatus(const Card& card) {
    VELTRA_DEVICE_STATUS s{};
    uint32_t any = 0;
    check(VELTRA_GetDeviceStatus(card.handle(), 0, &s, &any),
          "cannot read the device status of " + card.name());
    return {{s.status1, s.status2, s.status3, s.status4, s.status5}, any != 0};
}

Chip chipOf(const Card& card, uint32_t index) {
    VELTRA_FLASH_INFOA info{};
    const VELTRA_STATUS status = VELTRA_GetFlashInfoA(card.handle(), index, &info);
    if (status == VELTRA_INVALID_INDEX)
        throw Failure(format("%s has no flash %u", card.name().c_str(), index));
    check(status,
          format("cannot read the information of flash %u of %s", index, card.name().c_str()));
    return {index, info.attribute1, info.attribute2, info.attribute3, text(info.name)};
}

std::string chipName(const Card& card, const Chip& chip) {
    return format("flash %u of %s", chip.index, card.name().c_str());
}

void checkChipRange(const Card& card, const Chip& chip, uint64_t offset, uint64_t length) {
    if (offset > chip.size || length > chip.size - offset)
        throw Failure(format("%s from %s passes the end of %s (%s, ending at %s)",
                             sizeText(length).c_str(), hex(offset).c_str(),
                             chipName(card, chip).c_str(), sizeText(chip.size).c_str(),
                             hex(chip.size).c_str()));
}

Block blockAt(const Card& card, const Chip& chip, uint64_t offset) {
    VELTRA_FLASH_BLOCK_INFO info{};
    check(VELTRA_GetFlashBlockInfo(card.handle(), chip.index, offset, &info),
          format("cannot read the flash block at %s", hex(offset).c_str()));
    if (info.attribute2 == 0 || offset < info.attribute1 ||
        offset - info.attribute1 >= info.attribute2)
        throw Failure(format("%s reports a block at %s that does not hold %s",
                             chipName(card, chip).c_str(), hex(info.attribute1).c_str(),
                             hex(offset).c_str()));
    return {info.attribute1, info.attribute2, info.attribute3};
}

void readFlash(const Card& card, const Chip& chip, uint64_t offset, std::span<uint8_t> into) {
    constexpr uint64_t kPiece = uint64_t{1} << 20;
    for (uint64_t done = 0; done < into.size();) {
        const uint64_t piece = std::min<uint64_t>(kPiece, into.size() - done);
        check(VELTRA_ReadFlash(card.handle(), chip.index, 0, offset + done, piece,
                               into.data() + done),
              format("cannot read %s at %s", chipName(card, chip).c_str(),
                     hex(offset + done).c_str()));
        done += piece;
    }
}

std::vector<BlockRun> blockRuns(const Card& card, const Chip& chip) {
    std::vector<BlockRun> runs;
    for (uint64_t offset = 0; offset < chip.size;) {
        const Block block = blockAt(card, chip, offset);
        if (!runs.empty() && runs.back().first.size == block.size &&
            runs.back().first.flags == block.flags)
            ++runs.back().count;
        else
            runs.push_back({block, 1});
        offset = block.end();
    }
    return runs;
}

}  // namespace tool
