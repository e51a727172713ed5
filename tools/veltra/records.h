// The records a card reports through the library, and what the package's
// driver means by their values (the library passes them on as the driver
// fills them).
#pragma once

#include <veltra.h>

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "output.h"

namespace tool {

class Card;

constexpr uint64_t kWindowPrefetchable = 1, kWindowCardMemory = 2, kWindowDoorbell = 4,
                   kWindowRegisters = 8;
constexpr uint32_t kSensorInteger = 0, kSensorFixed = 1, kSensorFlags = 2;

VELTRA_CARD_INFO_EX cardInfo(const Card& card);
std::string driverVersion(const Card& card);
std::vector<VELTRA_WINDOW_INFO> windows(const Card& card);
std::vector<VELTRA_FPGA_INFOA> fpgas(const Card& card);
std::vector<VELTRA_SENSOR_INFOA> sensors(const Card& card);
// "memory", "card memory", "doorbell", "registers".
std::string windowKind(uint64_t attributes);
// The first window whose attributes have all of `with` and none of
// `without`; -1 if there is none.
int findWindow(const std::vector<VELTRA_WINDOW_INFO>& windows, uint64_t with, uint64_t without);

// What identifies a card, in plain words (`list`, `info`, `query`).
json identity(const Card& card);

// One sensor reading: its value, its text with the unit, its limits in the
// unit, and its state against them ("ok", "LOW", "HIGH", "ALARM", or "-"
// without limits).
struct SensorReading {
    double value = 0;
    std::string text, state;
    bool limited = false;
    double low = 0, high = 0;
    bool ok() const { return state == "ok" || state == "-"; }
};
SensorReading readSensor(const Card& card, uint32_t index, const VELTRA_SENSOR_INFOA& info);
// A reading as JSON: value (to the sensor's resolution), unit, limits, state.
json readingJson(const VELTRA_SENSOR_INFOA& info, const SensorReading& reading);
// A unit of the package's driver by its code: "C", "V", "RPM", "" for none,
// "unit N" for a code it does not name; the suffix has a space before it.
std::string unitName(uint32_t unit);
std::string unitSuffix(uint32_t unit);
// The sensors that alarm bits 1 and up of a flags word name (bit 1 + n is
// sensor n): "FPGA die temperature (C)", ..., or "" if none.
std::string alarmedSensors(uint32_t flags, const std::vector<VELTRA_SENSOR_INFOA>& list);

// The DMA channels of a card, as many as its information counts.
std::vector<uint32_t> dmaChannels(const Card& card);
// The card memory DMA reaches from local address 0: the size of the window
// that shows it, or 1 MiB if no window says.
uint64_t cardMemorySize(const Card& card);

// The VPD's size (found by reading), some of its bytes, and its record as
// text: up to the first NUL or erased (0xFF) byte.
uint64_t vpdSize(const Card& card);
std::vector<uint8_t> readVpd(const Card& card, uint64_t offset, uint64_t length);
std::string recordText(const std::vector<uint8_t>& data);

// The five words of a card's device status, and whether any error is set.
struct DeviceStatus {
    uint32_t word[5] = {};
    bool any = false;
};
DeviceStatus deviceStatus(const Card& card);

// The clocks a card reports, Hz.
std::vector<double> clocks(const Card& card);

// A flash chip: its index, size, main block size, bus width and name.
struct Chip {
    uint32_t index = 0;
    uint64_t size = 0, blockSize = 0, busWidth = 0;
    std::string name;
};
Chip chipOf(const Card& card, uint32_t index);
// "flash 0 of card 1".
std::string chipName(const Card& card, const Chip& chip);
// A Failure unless the range lies in the chip.
void checkChipRange(const Card& card, const Chip& chip, uint64_t offset, uint64_t length);
// A block of a chip, as the driver reports the block holding an offset.
struct Block {
    uint64_t start = 0, size = 0;
    uint32_t flags = 0;  // bit 0: a parameter block
    bool parameter() const { return (flags & 1) != 0; }
    uint64_t end() const { return start + size; }
};
Block blockAt(const Card& card, const Chip& chip, uint64_t offset);
// Reads the chip from `offset` into `into`, at most 1 MiB per request.
void readFlash(const Card& card, const Chip& chip, uint64_t offset, std::span<uint8_t> into);
// The chip's blocks from offset 0 to its end as runs of equal blocks.
struct BlockRun {
    Block first;
    uint64_t count;
};
std::vector<BlockRun> blockRuns(const Card& card, const Chip& chip);

}  // namespace tool
