// One simulated card: its fixed properties and its state, shared by every
// handle opened on its VELTRA and KESTA interfaces.
#pragma once

#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "memory.h"

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

// Device-error status words (bit 0 of each): a configuration failed, a DMA
// transfer faulted, a flash operation failed, a bus error, a sensor alarm.
enum class DeviceError { Configuration, Dma, Flash, Bus, Sensor };

// The largest region one mapping may cover.
inline constexpr uint64_t kMaxMappingLength = 16ull << 20;

class DesignModel;
class DmaEngine;
class Notifications;
class NoticeBoard;
struct Iprog;

// Host buffers locked for DMA, by the handle the driver issued for each.
class LockedBuffers {
  public:
    struct Buffer {
        const void* owner;  // the device handle that locked it
        uint8_t* base;
        uint64_t length;
    };
    // Returns the new handle.
    uint32_t lock(const void* owner, uint8_t* base, uint64_t length);
    // These return a driver status code, or 0.
    uint32_t unlock(const void* owner, uint32_t handle);
    uint32_t find(const void* owner, uint32_t handle, Buffer& buffer) const;
    // A device handle closes: the buffers it locked are released.
    void release(const void* owner);

  private:
    // Whether `owner` may use the buffer found (with the lock held).
    uint32_t verdict(const void* owner, std::map<uint32_t, Buffer>::const_iterator found) const;

    mutable std::mutex lock_;
    std::map<uint32_t, Buffer> buffers_;
    uint32_t next_ = 1;
};

struct CardState;
struct CardLayout;

class Card {
  public:
    // Card `index` of a machine whose memories and state words are in
    // `store`, laid out as `layout` says.
    Card(uint32_t index, CardConfig config, std::shared_ptr<Store> store, CardState& state,
         const CardLayout& layout);
    ~Card();
    Card(const Card&) = delete;
    Card& operator=(const Card&) = delete;

    const uint32_t index;
    const CardConfig config;

    // The memory behind window `w`, and the common buffers.
    Memory& windowMemory(size_t w) { return windowMemory_[w]; }
    Memory& commonBuffer(size_t b) { return commonBuffers_[b]; }
    Memory& cardMemory() { return cardMemory_; }
    // A watched window's bytes as its design model last heard of them (empty
    // for a window that is not watched); change it under lockState().
    Memory& watchShadow(size_t w) { return watchShadows_[w]; }
    // The process whose design model hears of writes through mappings of
    // watched window `w`.
    std::atomic<uint64_t>& windowWatcher(size_t w);

    // The bridge's interrupt: raised when an FPGA finishes configuring (and by
    // notifications), taken by the interrupt service request.
    void raiseInterrupt();
    bool takeInterrupt();

    // The bridge's reconfiguration (IPROG) slots; use them under lockState().
    Iprog& iprog(size_t slot);
    // The machine's lock, held while the guard lives: for changes that must
    // be made together, as every process using the machine sees them.
    class Guard {
      public:
        explicit Guard(Store& store) : store_(store) { store_.lock(); }
        ~Guard() { store_.unlock(); }
        Guard(const Guard&) = delete;
        Guard& operator=(const Guard&) = delete;

      private:
        Store& store_;
    };
    Guard lockState() { return Guard(*store_); }

    // Flash bank `b`. Stored inverted, so that memory that was never touched
    // reads as erased (all ones) without ever being written.
    Memory& flashMemory(size_t b) { return flash_[b]; }
    Memory& vpd() { return vpd_; }
    std::atomic<int64_t>& clockFrequency(size_t c);
    uint32_t nextReading();

    void raiseError(DeviceError e);
    void raiseErrorBits(DeviceError e, uint32_t bits);
    // A sensor that reads a set value (32.32 fixed point) until power-off.
    void setSensor(size_t sensor, int64_t value);
    bool sensorSet(size_t sensor, int64_t& value) const;
    uint32_t errorWord(int w) const;
    void clearErrors();

    // Whether each FPGA holds a configuration.
    bool configured(size_t fpga) const;
    void setConfigured(size_t fpga, bool value);

    // Switches the card off and on: the FPGAs lose their configuration, the
    // windows, card memory and common buffers their contents, the clocks and
    // status words go back to their power-on values; flash and VPD keep theirs.
    void powerCycle();

    // The DMA channels, which move data between host memory and card memory.
    DmaEngine& dma() { return *dma_; }
    LockedBuffers& lockedBuffers() { return lockedBuffers_; }
    Notifications& notifications() { return *notifications_; }
    // The model of the design in the card's FPGAs.
    DesignModel& design() { return *design_; }

    // Faults on purpose. arm() checks the fault against the card (false and
    // the reason if it does not fit) and leaves a line in the trace.
    bool arm(const FaultSpec& fault, std::string& problem);
    void clearFaults();
    // The faults armed, one line each ("" if none).
    std::string describeFaults() const;
    // What the driver's answers consult; each leaves a trace line when its
    // fault fires. requestFault() comes first for every request: a Win32
    // error (the card is gone) or 0, after the latency of a slow card.
    uint32_t requestFault();
    bool removed() const;
    bool dmaFault(uint32_t channel, uint64_t length);
    bool flashFault(bool erase, uint32_t bank, uint64_t offset, uint64_t length);
    bool flashIdFault(uint32_t bank, uint16_t& vendor, uint16_t& device) const;
    bool configureFault(uint32_t fpga);
    bool sensorAlarm(uint32_t sensor);
    bool clockFault(uint32_t clock);
    // Bytes a second a DMA channel moves now (0: as fast as memory).
    uint64_t dmaBandwidth() const;
    // Raises a notification, as the doorbell does, in every process using
    // the machine.
    void raiseNotification(uint32_t notification);
    void setNoticeBoard(std::shared_ptr<NoticeBoard> board) { noticeBoard_ = std::move(board); }

  private:
    void note(const std::string& text) const;  // a fault's line in the trace
    void goneNow();
    void endOutstanding();
    std::atomic<uint32_t> removalsSeen_{0};  // by this process

    std::shared_ptr<Store> store_;
    CardState& state_;
    Memory cardMemory_;
    std::vector<Memory> windowMemory_;
    std::vector<Memory> watchShadows_;
    std::vector<Memory> commonBuffers_;
    std::vector<Memory> flash_;
    Memory vpd_;
    LockedBuffers lockedBuffers_;
    std::unique_ptr<Notifications> notifications_;
    std::shared_ptr<NoticeBoard> noticeBoard_;  // a shared machine's
    std::unique_ptr<DesignModel> design_;       // outlives the DMA threads that call it
    std::unique_ptr<DmaEngine> dma_;            // its threads stop before the memory goes
};

inline constexpr uint32_t kIprogIdle = 0;
inline constexpr uint32_t kIprogScheduled = 1;
inline constexpr uint32_t kIprogAborted = 2;

}  // namespace vsim::model
