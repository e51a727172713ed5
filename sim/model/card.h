// One simulated card: its fixed properties and its state, shared by every
// handle opened on its VELTRA and KESTA interfaces.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "memory.h"
#include "work_queue.h"

namespace vsim::model {

struct WindowConfig {
    uint64_t size;
    uint64_t busAddress;    // where the window sits on the PCI Express bus
    uint64_t localAddress;  // its base in the card's local address space
    uint64_t attributes;    // kWindowPrefetchable, kWindowCardMemory
};
inline constexpr uint64_t kWindowPrefetchable = 0x1;
inline constexpr uint64_t kWindowCardMemory = 0x2;  // the window shows the card memory
inline constexpr uint64_t kWindowDoorbell = 0x4;    // a write to offset 0 raises a notification

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
    uint32_t typeCode;     // indexes the libraries' device-name table
    uint32_t family;       // selects the package-name style
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

struct ClockConfig {
    bool programmable;
    int64_t frequency;  // Hz, at power-on
    int64_t minimum;    // programmable range, Hz
    int64_t maximum;
    int64_t step;  // the generator's resolution, Hz
};

enum class SensorKind { Temperature, Voltage, Fan, Alarms };

struct SensorConfig {
    SensorKind kind;
    std::string description;
    uint32_t datatype;  // 0 integer, 1 fixed point, 2 flags
    uint32_t unit;      // 0 none, 1 degrees Celsius, 2 volts, 3 revolutions per minute
    int16_t nominalWhole;
    uint16_t nominalFraction;  // 1/65536
    uint32_t lowerLimit;       // thousandths of the unit
    uint32_t upperLimit;
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

struct CardConfig {
    BridgeConfig bridge;
    uint32_t boardId;
    uint32_t revision;
    uint32_t serial;
    uint32_t dmaChannels;
    uint32_t pcieLinkWidth;
    uint32_t pcieLinkSpeed;
    uint64_t cardMemorySize;  // the memory that DMA reaches, shown by one window
    std::vector<FpgaConfig> fpgas;
    std::vector<FlashConfig> flash;
    std::string vpdRecord;  // what the VPD holds at power-on
    std::vector<ClockConfig> clocks;
    std::vector<SensorConfig> sensors;
    std::vector<WindowConfig> windows;
    std::vector<BankConfig> banks;
    std::vector<ModuleConfig> modules;
    std::vector<CommonBufferConfig> commonBuffers;
};

inline constexpr uint64_t kVpdSize = 8192;

// Device-error status words (bit 0 of each): a configuration failed, a DMA
// transfer faulted, a flash operation failed, a bus error, a sensor alarm.
enum class DeviceError { Configuration, Dma, Flash, Bus, Sensor };

// The driver's version, as it reports it.
inline constexpr uint16_t kDriverVersion[3] = {2, 1, 3};
// The largest region one mapping may cover.
inline constexpr uint64_t kMaxMappingLength = 16ull << 20;

class DmaEngine;
class Notifications;

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

class Card {
  public:
    Card(uint32_t index, CardConfig config);
    ~Card();
    Card(const Card&) = delete;
    Card& operator=(const Card&) = delete;

    const uint32_t index;
    const CardConfig config;

    // The memory behind window `w`, and the common buffers.
    Memory& windowMemory(size_t w) { return *windowMemory_[w]; }
    Memory& commonBuffer(size_t b) { return *commonBuffers_[b]; }
    Memory& cardMemory() { return *cardMemory_; }

    // The bridge's interrupt: raised when an FPGA finishes configuring (and by
    // notifications), taken by the interrupt service request.
    void raiseInterrupt() { interrupt_.store(true); }
    bool takeInterrupt() { return interrupt_.exchange(false); }

    // The bridge's reconfiguration (IPROG) slots.
    struct Iprog {
        uint32_t state = 0;  // kIprogIdle, kIprogScheduled, kIprogAborted
        uint64_t address = 0;
        uint32_t flags = 0;
        uint32_t value = 0;
    };
    std::mutex iprogLock;
    Iprog iprog[2];

    // Flash bank `b`. Stored inverted, so that memory that was never touched
    // reads as erased (all ones) without ever being written.
    Memory& flashMemory(size_t b) { return *flash_[b]; }
    Memory& vpd() { return *vpd_; }
    std::atomic<int64_t>& clockFrequency(size_t c) { return clocks_[c]; }
    uint32_t nextReading() { return readings_.fetch_add(1); }

    void raiseError(DeviceError e) { errors_[static_cast<int>(e)].fetch_or(1); }
    uint32_t errorWord(int w) const { return errors_[w].load(); }
    void clearErrors() {
        for (auto& e : errors_)
            e.store(0);
    }

    // Whether each FPGA holds a configuration.
    bool configured(size_t fpga) const { return configured_[fpga].load(); }
    void setConfigured(size_t fpga, bool value) { configured_[fpga].store(value); }

    // The DMA channels, which move data between host memory and card memory.
    DmaEngine& dma() { return *dma_; }
    LockedBuffers& lockedBuffers() { return lockedBuffers_; }
    Notifications& notifications() { return *notifications_; }
    // The driver's own context, for work after a request's answer.
    WorkQueue& driverQueue() { return driverQueue_; }

  private:
    std::shared_ptr<Memory> cardMemory_;
    std::vector<std::shared_ptr<Memory>> windowMemory_;
    std::vector<std::unique_ptr<Memory>> commonBuffers_;
    std::unique_ptr<std::atomic<bool>[]> configured_;
    std::atomic<bool> interrupt_{false};
    std::vector<std::unique_ptr<Memory>> flash_;
    std::unique_ptr<Memory> vpd_;
    std::unique_ptr<std::atomic<int64_t>[]> clocks_;
    std::atomic<uint32_t> readings_{0};
    std::atomic<uint32_t> errors_[5] = {};
    LockedBuffers lockedBuffers_;
    std::unique_ptr<Notifications> notifications_;
    std::unique_ptr<DmaEngine> dma_;  // its threads stop before the memory goes
    WorkQueue driverQueue_;           // last: its work ends before anything else goes
};

inline constexpr uint32_t kIprogIdle = 0;
inline constexpr uint32_t kIprogScheduled = 1;
inline constexpr uint32_t kIprogAborted = 2;

}  // namespace vsim::model
