// The layout of a machine's store: a header with the small state words of
// every card, then each card's regions. Every process that uses the machine
// maps the same bytes, so the words are lock-free atomics, and changes that
// must be made together take the store's lock.
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

#include "machine/description.h"
#include "machine/store.h"

namespace vsim::model {

static_assert(std::atomic<uint32_t>::is_always_lock_free &&
                  std::atomic<int64_t>::is_always_lock_free,
              "state words are shared between processes");

// The bridge's reconfiguration (IPROG) slots.
struct Iprog {
    uint32_t state;  // kIprogIdle, kIprogScheduled, kIprogAborted
    uint32_t flags;
    uint64_t address;
    uint32_t value;
    uint32_t reserved;
};

// A DMA fault: one per channel, and one for any channel.
inline constexpr uint32_t kDmaFaultSlots = 17;
inline constexpr uint32_t kAnyChannelSlot = kDmaFaultSlots - 1;
struct DmaFault {
    std::atomic<uint32_t> armed;
    std::atomic<uint32_t> countsBytes;  // 1: `left` counts bytes, 0: transfers
    std::atomic<uint64_t> left;         // before the failing transfer
};

// The faults armed on a card; a power cycle leaves them. Counters change
// under the store's lock; the flags are read without it.
struct FaultState {
    std::atomic<uint32_t> armed;         // bit per FaultSpec::Kind
    DmaFault dma[kDmaFaultSlots];        // by channel; the last for any channel
    std::atomic<uint32_t> removed;       // the card is gone
    std::atomic<uint32_t> removals;      // times it went
    std::atomic<uint64_t> requestsLeft;  // before it goes
    std::atomic<uint32_t> flashBank[2];  // erase, program
    std::atomic<uint64_t> flashOffset[2];
    std::atomic<uint32_t> flashIdBank;
    std::atomic<uint32_t> flashId;         // vendor << 16 | device
    std::atomic<uint64_t> sensorsAlarmed;  // bit per sensor
    std::atomic<uint32_t> clocksUnlocked;  // bit per clock
    std::atomic<uint64_t> bandwidth;
    std::atomic<uint64_t> latencyNs;
};

// What a card holds besides its memories; all of it but the faults is lost
// at power-off.
struct CardState {
    FaultState faults;
    std::atomic<uint32_t> configured[kMaxFpgas];
    std::atomic<int64_t> clocks[kMaxClocks];  // Hz
    std::atomic<uint32_t> errors[5];          // the device-error words
    std::atomic<uint32_t> readings;           // sensor readings taken
    std::atomic<uint32_t> interrupt;          // the bridge's interrupt is raised
    std::atomic<uint64_t> sensorsSet;         // bit n: sensor n reads sensorValue[n]
    std::atomic<int64_t> sensorValue[64];     // 32.32 fixed point
    Iprog iprog[2];                           // under the store's lock
    // The process whose design model hears of writes through mappings of
    // each watched window (thisProcess(); 0: none yet).
    std::atomic<uint64_t> windowWatcher[kMaxWindows];
    // A flash erase or program is changing the flash: set and cleared under
    // the machine's lock, so that whoever takes the lock and finds it set
    // knows that the process that changed the flash ended half-way.
    std::atomic<uint32_t> flashChanging;
};

// Where each memory of a card lies in the store.
struct CardLayout {
    uint64_t cardMemory = 0;
    std::vector<uint64_t> windows;  // card-memory windows share cardMemory
    // Per watched window (0 for the others): the window's bytes as its
    // design model last heard of them, shared by every process.
    std::vector<uint64_t> watchShadows;
    std::vector<uint64_t> commonBuffers;
    std::vector<uint64_t> flash;
    uint64_t vpd = 0;
};

// Notifications raised on the machine, so that a doorbell rung in one process
// ends the waits of every process: the last kNoticeRing of them, in order.
inline constexpr size_t kNoticeRing = 256;
inline constexpr size_t kMaxWatchers = 64;
struct Notice {
    std::atomic<uint32_t> sequence;  // its place in the count plus one, written last
    std::atomic<uint32_t> card;
    std::atomic<uint32_t> notification;
    std::atomic<uint32_t> origin;  // the watcher that raised it, which has seen it
};
struct Notices {
    std::atomic<uint32_t> count;  // raised so far; under the store's lock
    Notice ring[kNoticeRing];
    std::atomic<uint32_t> watchers[kMaxWatchers];  // Windows: whom to wake
};

struct StateHeader {
    uint64_t magic;
    uint32_t layoutVersion;
    uint32_t cards;
    uint64_t fingerprint;  // of the description the store was made from
    uint64_t size;
    alignas(16) unsigned char lockWord[64];  // Linux: the robust mutex
    std::atomic<uint32_t> ready;             // set once the store is filled in
    CardState card[kMaxCards];
    Notices notices;
};

inline constexpr uint64_t kStateMagic = 0x5441545345534D56ull;  // "VMSESTAT"
inline constexpr uint32_t kLayoutVersion = 7;

// Lays the machine's cards out; returns the store's size.
uint64_t layOut(const MachineDescription& machine, std::vector<CardLayout>& layouts);

// Power-on state of a card: FPGAs unconfigured, clocks at their power-on
// frequency, the device-status words as described, IPROG slots idle.
void powerOn(CardState& state, const CardConfig& config);

// A change of card `card`'s flash that its process never ended (it died
// holding the machine's lock, or the system went down): the device status
// reports a flash error, as the real card reports an interrupted flash
// operation, and the trace says so. Under the machine's lock.
void reportInterruptedFlashChange(CardState& state, uint32_t card);

}  // namespace vsim::model
