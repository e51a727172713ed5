// One simulated card at run time: its configuration, its memories in the
// machine's store and its state words, shared by every handle opened on its
// VELTRA and KESTA interfaces.
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

#include "card/config.h"
#include "card/locked_buffers.h"
#include "machine/machine_lock.h"
#include "machine/store.h"

namespace vsim::model {

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

struct CardState;
struct CardLayout;

class Card {
  public:
    // Card `index` of a machine whose memories and state words are in
    // `store`, laid out as `layout` says, and whose lock is `lock`.
    Card(uint32_t index, CardConfig config, std::shared_ptr<Store> store,
         std::shared_ptr<MachineLock> lock, CardState& state, const CardLayout& layout);
    ~Card();
    Card(const Card&) = delete;
    Card& operator=(const Card&) = delete;

    const uint32_t index;
    const CardConfig config;

    // The memory behind window `w`, and the common buffers.
    Region& windowMemory(size_t w) { return windowMemory_[w]; }
    Region& commonBuffer(size_t b) { return commonBuffers_[b]; }
    Region& cardMemory() { return cardMemory_; }
    // A watched window's bytes as its design model last heard of them (empty
    // for a window that is not watched); change it under lockMachine().
    Region& watchShadow(size_t w) { return watchShadows_[w]; }
    // The process whose design model hears of writes through mappings of
    // watched window `w`.
    std::atomic<uint64_t>& windowWatcher(size_t w);

    // The bridge's interrupt: raised when an FPGA finishes configuring (and by
    // notifications), taken by the interrupt service request.
    void raiseInterrupt();
    bool takeInterrupt();

    // The bridge's reconfiguration (IPROG) slots; use them under lockMachine().
    Iprog& iprog(size_t slot);
    // The machine's lock (not the card's: it is the one lock of the whole
    // machine), held while the guard lives: for changes that must be made
    // together, as every process using the machine sees them.
    MachineLock::Guard lockMachine() { return MachineLock::Guard(*lock_); }

    // Flash bank `b`. Stored inverted, so that memory that was never touched
    // reads as erased (all ones) without ever being written.
    Region& flashMemory(size_t b) { return flash_[b]; }
    // An erase or program of the flash, under lockMachine(): begun, ended.
    void beginFlashChange();
    void endFlashChange();
    // Whether a flash change is begun: by a live process, or by one that
    // ended half-way (which the next holder of lockMachine() reports).
    bool flashChangeBegun() const;
    // Writes the flash bank's bytes, or the VPD's, through to the state
    // file, so that they outlive a crash of the system.
    void syncFlash(size_t b);
    void syncVpd();
    Region& vpd() { return vpd_; }
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
    std::shared_ptr<MachineLock> lock_;
    CardState& state_;
    Region cardMemory_;
    std::vector<Region> windowMemory_;
    std::vector<Region> watchShadows_;
    std::vector<Region> commonBuffers_;
    std::vector<Region> flash_;
    Region vpd_;
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
