// A card as its machine description sets it out: the fixed properties that
// the driver reports, what its sensors read, its design model and the faults
// armed when its state is made.
#pragma once

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

namespace vsim::model {

struct WindowConfig {
    uint64_t size;
    uint64_t busAddress;    // where the window sits on the PCI Express bus
    uint64_t localAddress;  // its base in the card's local address space
    uint64_t attributes;    // kWindowPrefetchable, kWindowCardMemory
    bool watched;           // the design model hears of writes through a mapping
};
inline constexpr uint64_t kWindowPrefetchable = 0x1;
inline constexpr uint64_t kWindowCardMemory = 0x2;  // the window shows the card memory
inline constexpr uint64_t kWindowDoorbell = 0x4;    // a write to offset 0 raises a notification
inline constexpr uint64_t kWindowRegisters = 0x8;   // the registers of the design in an FPGA

struct BankConfig {
    uint64_t base;
    uint64_t size;
    uint64_t rateMts;  // transfer rate, MT/s
    uint16_t dataWidth;
    uint16_t ranks;
    uint32_t casLatency;
    uint32_t vendor;
    bool ecc;
};

struct ModuleConfig {
    std::string vendor, part, serial, revision;
    int16_t temperatureWhole;
    uint16_t temperatureFraction;  // 1/65536
    uint32_t value0, value1;
    bool present;
};

struct FpgaConfig {
    std::string part;   // e.g. "7vx690tffg1157", for people; the codes are what the driver reports
    uint32_t typeCode;  // indexes the libraries' device-name table
    uint32_t family;    // selects the package-name style
    uint32_t packageCode;  // letters in bits 31-24 and 23-16, pin count in 15-0
    uint32_t speedGrade;
    uint32_t idcode;              // the JTAG identifier
    std::string speedText;        // e.g. "-2"
    std::string temperatureText;  // e.g. "I" (industrial)
};

// A bank of parallel NOR flash: uniform main blocks, and a few smaller
// parameter blocks at the top or the bottom (or none).
struct FlashConfig {
    uint16_t vendor;
    uint16_t device;
    uint64_t size;
    uint64_t blockSize;
    uint64_t parameterBlockSize;
    uint32_t parameterBlocks;
    bool parametersAtTop;
    uint32_t busWidth;  // bits
};

// A block of a flash bank, and the block that holds `offset` (which lies
// inside the bank).
inline constexpr uint32_t kParameterBlock = 0x1;  // block flag: a parameter block
struct FlashBlock {
    uint64_t start;
    uint64_t size;
    uint32_t flags;
};
FlashBlock flashBlockAt(const FlashConfig& flash, uint64_t offset);

struct ClockConfig {
    bool programmable;
    int64_t frequency;  // Hz, at power-on
    int64_t minimum;    // programmable range, Hz
    int64_t maximum;
    int64_t step;  // the generator's resolution, Hz
};

// A number in 32.32 fixed point, as sensor readings travel.
inline int64_t fixed32(double value) {
    return std::llround(value * 4294967296.0);
}

// What a sensor reads, in 32.32 fixed point: a constant, a ramp (from + step
// * (n mod steps) at the n-th reading of the card), noise around a level, or
// the card's sensor status word.
struct SensorReading {
    enum class Kind { Constant, Ramp, Noise, Alarms } kind = Kind::Constant;
    int64_t value = 0;   // the constant, the ramp's start, the noise's level
    int64_t step = 0;    // the ramp's step, the noise's amplitude
    uint32_t steps = 1;  // the ramp's length
};

struct SensorConfig {
    std::string description;
    uint32_t datatype;  // 0 integer, 1 fixed point, 2 flags
    uint32_t unit;      // 0 none, 1 degrees Celsius, 2 volts, 3 revolutions per minute
    int16_t nominalWhole;
    uint16_t nominalFraction;  // 1/65536
    uint32_t lowerLimit;       // thousandths of the unit
    uint32_t upperLimit;
    SensorReading reading;
};

struct CommonBufferConfig {
    uint64_t size;
    uint64_t key;
    uint64_t busAddress;
};

struct BridgeConfig {
    uint64_t uniqueId;
    uint32_t testDate;  // production test, YYYYMMDD
    uint8_t testStation, testPasses, testRetries;
    uint32_t testProgram;
    uint32_t testChecksum;
    uint64_t flashSize;  // IPROG addresses lie below it
};

// The model of the design in the card's FPGAs (vsim_model.h).
struct ModelConfig {
    std::string library;  // as the description names it; empty: no model
    std::string folder;   // the description's, for a relative library name
    std::string argument;
    uint32_t watchIntervalUs = 1000;  // how often watched windows are compared
};

// A failure set on purpose, as real cards fail. It is armed in the card's
// shared state, so a fault set by one process hits every process.
struct FaultSpec {
    enum class Kind {
        Dma,           // a DMA transfer ends with a hardware error
        Removed,       // the card is gone: requests and opens fail until it is re-inserted
        FlashErase,    // erasing a block fails
        FlashProgram,  // programming a block fails
        FlashId,       // the flash chip reports another identifier
        Configure,     // configuration never finishes
        SensorAlarm,   // a sensor reads over its upper limit and raises the alarm bits
        ClockUnlock,   // a clock generator refuses to lock
        Slow,          // DMA bandwidth and request latency
    };
    static constexpr uint32_t kAnyChannel = 0xFFFFFFFF;
    Kind kind = Kind::Dma;
    uint32_t card = 0;
    uint32_t channel = kAnyChannel;   // Dma
    uint64_t afterTransfers = 0;      // Dma: good transfers before the failing one
    bool countsBytes = false;         // Dma: counts bytes moved instead of transfers
    uint64_t afterBytes = 0;          // Dma: bytes moved before the failing transfer
    uint64_t afterRequests = 0;       // Removed: requests answered first
    uint32_t bank = 0;                // Flash*
    uint64_t offset = 0;              // FlashErase, FlashProgram: in the failing block
    uint16_t vendor = 0, device = 0;  // FlashId
    uint32_t index = 0;               // SensorAlarm: the sensor; ClockUnlock: the clock
    uint64_t bandwidth = 0;           // Slow: bytes a second per DMA channel (0: unchanged)
    uint64_t latencyNs = 0;           // Slow: added to every request
};

struct CardConfig;
// Why a fault does not fit a card ("has no sensor 9"), or "".
std::string faultMisfit(const CardConfig& card, const FaultSpec& fault);

struct CardConfig {
    BridgeConfig bridge;
    ModelConfig model;
    std::vector<FaultSpec> faults;  // armed when the card's state is made
    uint16_t driverVersion[3];      // what the driver reports
    uint32_t boardId;
    uint32_t revision;
    uint32_t serial;
    uint32_t dmaChannels;
    uint64_t dmaBandwidth;  // bytes per second a channel moves, 0: as fast as memory
    uint64_t dmaLatencyNs;  // before a transfer's data moves
    uint32_t pcieLinkWidth;
    uint32_t pcieLinkSpeed;
    uint64_t cardMemorySize;  // the memory that DMA reaches, shown by one window
    std::vector<FpgaConfig> fpgas;
    std::vector<FlashConfig> flash;
    uint64_t vpdSize;
    std::string vpdRecord;     // what the VPD holds at power-on
    uint32_t deviceStatus[5];  // the device-error words at power-on
    std::vector<ClockConfig> clocks;
    std::vector<SensorConfig> sensors;
    std::vector<WindowConfig> windows;
    std::vector<BankConfig> banks;
    std::vector<ModuleConfig> modules;
    std::vector<CommonBufferConfig> commonBuffers;
};

}  // namespace vsim::model
