// Faults on purpose: armed in a card's shared state by the machine
// description, a fault file, a test or the tool, and consulted by the
// driver's answers. Each leaves a line in the request trace when it is armed
// and when it fires.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>

#include "card/card.h"
#include "core/trace.h"
#include "card/dma_engine.h"
#include "machine/description.h"
#include "machine/state_layout.h"
#include "card/notifications.h"

namespace vsim::model {
namespace {

using Kind = FaultSpec::Kind;

uint32_t bit(Kind kind) {
    return 1u << static_cast<uint32_t>(kind);
}

uint32_t dmaSlot(uint32_t channel) {
    return channel == FaultSpec::kAnyChannel ? kAnyChannelSlot : channel;
}

FaultSpec dmaFaultOf(const DmaFault& d, uint32_t slot) {
    FaultSpec f;
    f.channel = slot == kAnyChannelSlot ? FaultSpec::kAnyChannel : slot;
    f.countsBytes = d.countsBytes.load() != 0;
    (f.countsBytes ? f.afterBytes : f.afterTransfers) = d.left.load();
    return f;
}

// Whether a transfer of `length` bytes is the one a DMA fault fails: after
// N transfers, the N+1st; after N bytes, the first that moves its N+1st byte
// (an empty transfer moves none and never fails).
bool dmaFaultFires(const DmaFault& d, uint64_t length) {
    const uint64_t left = d.left.load();
    return d.countsBytes.load() ? length > left : left == 0;
}

// A good transfer counts against the fault.
void dmaFaultCounts(DmaFault& d, uint64_t length) {
    const uint64_t left = d.left.load();
    d.left.store(d.countsBytes.load() ? left - length : left - 1);
}

// The fault as one line, in the words of a fault file.
std::string describe(const FaultSpec& f) {
    switch (f.kind) {
        case Kind::Dma:
            return std::string("dma") +
                   (f.channel == FaultSpec::kAnyChannel ? ""
                                                        : " channel " + std::to_string(f.channel)) +
                   (f.countsBytes ? " after " + std::to_string(f.afterBytes) + " bytes"
                                  : " after " + std::to_string(f.afterTransfers) + " transfers");
        case Kind::Removed:
            return "removed after " + std::to_string(f.afterRequests) + " requests";
        case Kind::FlashErase:
        case Kind::FlashProgram:
            return std::string(f.kind == Kind::FlashErase ? "flash-erase" : "flash-program") +
                   " bank " + std::to_string(f.bank) + " at " + hexText(f.offset);
        case Kind::FlashId:
            return "flash-id bank " + std::to_string(f.bank) + " vendor " + hexText(f.vendor) +
                   " device " + hexText(f.device);
        case Kind::Configure:
            return "configure (never finishes)";
        case Kind::SensorAlarm:
            return "sensor-alarm sensor " + std::to_string(f.index);
        case Kind::ClockUnlock:
            return "clock-unlock clock " + std::to_string(f.index);
        case Kind::Slow:
            return "slow bandwidth " + std::to_string(f.bandwidth) + " latency " +
                   std::to_string(f.latencyNs / 1000) + " us";
    }
    return "?";
}

}  // namespace

void Card::note(const std::string& text) const {
    if (trace::on())
        trace::note("fault card " + std::to_string(index) + ": " + text);
}

bool Card::arm(const FaultSpec& f, std::string& problem) {
    if (const std::string misfit = faultMisfit(config, f); !misfit.empty()) {
        problem = "card " + std::to_string(index) + " " + misfit;
        return false;
    }
    FaultState& s = state_.faults;
    {
        auto guard = lockMachine();
        switch (f.kind) {
            case Kind::Dma: {
                // A fault per channel: arming a channel again replaces its fault.
                DmaFault& d = s.dma[dmaSlot(f.channel)];
                d.countsBytes.store(f.countsBytes ? 1 : 0);
                d.left.store(f.countsBytes ? f.afterBytes : f.afterTransfers);
                d.armed.store(1);
                break;
            }
            case Kind::Removed:
                s.requestsLeft.store(f.afterRequests);
                s.removed.store(f.afterRequests == 0 ? 1 : 0);
                break;
            case Kind::FlashErase:
            case Kind::FlashProgram: {
                const int which = f.kind == Kind::FlashErase ? 0 : 1;
                s.flashBank[which].store(f.bank);
                s.flashOffset[which].store(f.offset);
                break;
            }
            case Kind::FlashId:
                s.flashIdBank.store(f.bank);
                s.flashId.store(uint32_t{f.vendor} << 16 | f.device);
                break;
            case Kind::Configure:
                break;
            case Kind::SensorAlarm:
                s.sensorsAlarmed.fetch_or(uint64_t{1} << f.index);
                raiseErrorBits(DeviceError::Sensor, 1u | (f.index < 31 ? 2u << f.index : 0u));
                break;
            case Kind::ClockUnlock:
                s.clocksUnlocked.fetch_or(1u << f.index);
                break;
            case Kind::Slow:
                s.bandwidth.store(f.bandwidth);
                s.latencyNs.store(f.latencyNs);
                break;
        }
        s.armed.fetch_or(bit(f.kind));
    }
    note("armed " + describe(f));
    if (f.kind == Kind::Removed && f.afterRequests == 0)
        goneNow();
    return true;
}

// The card goes: what this process has outstanding on it ends as a removed
// device's requests end.
void Card::goneNow() {
    state_.faults.removals.fetch_add(1);
    note("the card is removed");
    endOutstanding();
}

// Once per removal, in each process that sees it.
void Card::endOutstanding() {
    const uint32_t removals = state_.faults.removals.load();
    if (removalsSeen_.exchange(removals) == removals)
        return;
    notifications_->endWaits(kErrorDeviceRemoved);
    dma_->endQueued(kErrorDeviceRemoved);
}

void Card::clearFaults() {
    FaultState& s = state_.faults;
    {
        auto guard = lockMachine();
        s.armed.store(0);
        for (DmaFault& d : s.dma)
            d.armed.store(0);
        s.removed.store(0);
        s.sensorsAlarmed.store(0);
        s.clocksUnlocked.store(0);
        s.bandwidth.store(0);
        s.latencyNs.store(0);
    }
    note("cleared every fault");
}

std::string Card::describeFaults() const {
    const FaultState& s = state_.faults;
    const uint32_t armed = s.armed.load();
    std::string lines;
    auto line = [&](const std::string& text) {
        lines += "card " + std::to_string(index) + ": " + text + "\n";
    };
    if (armed & bit(Kind::Dma)) {
        for (uint32_t slot = 0; slot < kDmaFaultSlots; ++slot)
            if (s.dma[slot].armed.load())
                line(describe(dmaFaultOf(s.dma[slot], slot)));
    }
    if (armed & bit(Kind::Removed))
        line(s.removed.load()
                 ? "removed"
                 : "removed after " + std::to_string(s.requestsLeft.load()) + " requests");
    for (Kind kind : {Kind::FlashErase, Kind::FlashProgram}) {
        if (armed & bit(kind)) {
            const int which = kind == Kind::FlashErase ? 0 : 1;
            FaultSpec f;
            f.kind = kind;
            f.bank = s.flashBank[which].load();
            f.offset = s.flashOffset[which].load();
            line(describe(f));
        }
    }
    if (armed & bit(Kind::FlashId)) {
        FaultSpec f;
        f.kind = Kind::FlashId;
        f.bank = s.flashIdBank.load();
        f.vendor = static_cast<uint16_t>(s.flashId.load() >> 16);
        f.device = static_cast<uint16_t>(s.flashId.load());
        line(describe(f));
    }
    if (armed & bit(Kind::Configure))
        line(describe(FaultSpec{Kind::Configure}));
    for (uint32_t i = 0; i < 64; ++i)
        if (s.sensorsAlarmed.load() & (uint64_t{1} << i))
            line("sensor-alarm sensor " + std::to_string(i));
    for (uint32_t i = 0; i < 32; ++i)
        if (s.clocksUnlocked.load() & (1u << i))
            line("clock-unlock clock " + std::to_string(i));
    if (armed & bit(Kind::Slow)) {
        FaultSpec f;
        f.kind = Kind::Slow;
        f.bandwidth = s.bandwidth.load();
        f.latencyNs = s.latencyNs.load();
        line(describe(f));
    }
    return lines;
}

namespace {

// A request's added latency. Windows sleeps in whole milliseconds (a sleep
// of 20 us is none at all): a shorter latency is waited out, yielding.
void waitFor(std::chrono::nanoseconds latency) {
#if defined(_WIN32)
    if (latency < std::chrono::milliseconds(2)) {
        const auto until = std::chrono::steady_clock::now() + latency;
        while (std::chrono::steady_clock::now() < until)
            std::this_thread::yield();
        return;
    }
#endif
    std::this_thread::sleep_for(latency);
}

}  // namespace

uint32_t Card::requestFault() {
    FaultState& s = state_.faults;
    const uint32_t armed = s.armed.load(std::memory_order_relaxed);
    if ((armed & (bit(Kind::Removed) | bit(Kind::Slow))) == 0)
        return kSuccess;
    if (armed & bit(Kind::Slow)) {
        if (const uint64_t latency = s.latencyNs.load())
            waitFor(std::chrono::nanoseconds(latency));
    }
    if ((armed & bit(Kind::Removed)) == 0)
        return kSuccess;
    if (s.removed.load()) {
        endOutstanding();
        return kErrorDeviceRemoved;
    }
    bool goes = false;
    {
        auto guard = lockMachine();
        if (s.removed.load())
            return kErrorDeviceRemoved;
        const uint64_t left = s.requestsLeft.load();
        if (left <= 1) {
            s.removed.store(1);
            goes = true;
        }
        s.requestsLeft.store(left == 0 ? 0 : left - 1);
    }
    if (goes)
        goneNow();
    return kSuccess;
}

bool Card::removed() const {
    return (state_.faults.armed.load() & bit(Kind::Removed)) && state_.faults.removed.load();
}

// The faults of the transfer's channel and of any channel each judge it; a
// transfer that one of them fails moves nothing, and counts against neither.
bool Card::dmaFault(uint32_t channel, uint64_t length) {
    FaultState& s = state_.faults;
    if ((s.armed.load(std::memory_order_relaxed) & bit(Kind::Dma)) == 0)
        return false;
    bool fires = false;
    {
        auto guard = lockMachine();
        DmaFault* judges[2] = {channel < kAnyChannelSlot ? &s.dma[channel] : nullptr,
                               &s.dma[kAnyChannelSlot]};
        for (DmaFault* judge : judges)
            if (judge != nullptr && judge->armed.load() && dmaFaultFires(*judge, length)) {
                judge->armed.store(0);
                fires = true;
            }
        if (!fires)
            for (DmaFault* judge : judges)
                if (judge != nullptr && judge->armed.load())
                    dmaFaultCounts(*judge, length);
        if (std::none_of(std::begin(s.dma), std::end(s.dma),
                         [](const DmaFault& d) { return d.armed.load() != 0; }))
            s.armed.fetch_and(~bit(Kind::Dma));
    }
    if (fires) {
        raiseError(DeviceError::Dma);
        note("DMA channel " + std::to_string(channel) + ": the transfer of " +
             std::to_string(length) + " bytes failed");
    }
    return fires;
}

bool Card::flashFault(bool erase, uint32_t bank, uint64_t offset, uint64_t length) {
    const FaultState& s = state_.faults;
    const Kind kind = erase ? Kind::FlashErase : Kind::FlashProgram;
    if ((s.armed.load() & bit(kind)) == 0)
        return false;
    const int which = erase ? 0 : 1;
    if (s.flashBank[which].load() != bank || length == 0)
        return false;
    // The failing block: the one that holds the armed offset.
    const FlashBlock failing = flashBlockAt(config.flash[bank], s.flashOffset[which].load());
    if (offset >= failing.start + failing.size || offset + length <= failing.start)
        return false;
    raiseError(DeviceError::Flash);
    note(std::string(erase ? "erasing" : "programming") + " flash bank " + std::to_string(bank) +
         " failed in the block at " + hexText(failing.start));
    return true;
}

bool Card::flashIdFault(uint32_t bank, uint16_t& vendor, uint16_t& device) const {
    const FaultState& s = state_.faults;
    if ((s.armed.load() & bit(Kind::FlashId)) == 0 || s.flashIdBank.load() != bank)
        return false;
    vendor = static_cast<uint16_t>(s.flashId.load() >> 16);
    device = static_cast<uint16_t>(s.flashId.load());
    note("flash bank " + std::to_string(bank) + " reports vendor " + hexText(vendor) + " device " +
         hexText(device));
    return true;
}

bool Card::configureFault(uint32_t fpga) {
    if ((state_.faults.armed.load() & bit(Kind::Configure)) == 0)
        return false;
    note("FPGA " + std::to_string(fpga) + " never reports that it is configured");
    return true;
}

bool Card::sensorAlarm(uint32_t sensor) {
    if ((state_.faults.sensorsAlarmed.load() & (uint64_t{1} << sensor)) == 0)
        return false;
    // The alarm bits: bit 0 for any alarm, bit 1 + n for sensor n.
    note("sensor " + std::to_string(sensor) + " reads over its limit");
    raiseErrorBits(DeviceError::Sensor, 1u | (sensor < 31 ? 2u << sensor : 0u));
    return true;
}

bool Card::clockFault(uint32_t clock) {
    if ((state_.faults.clocksUnlocked.load() & (1u << clock)) == 0)
        return false;
    note("clock " + std::to_string(clock) + " does not lock");
    return true;
}

uint64_t Card::dmaBandwidth() const {
    const FaultState& s = state_.faults;
    const uint64_t slow =
        (s.armed.load(std::memory_order_relaxed) & bit(Kind::Slow)) != 0 ? s.bandwidth.load() : 0;
    if (slow == 0)
        return config.dmaBandwidth;
    return config.dmaBandwidth == 0 ? slow : std::min(config.dmaBandwidth, slow);
}

}  // namespace vsim::model
