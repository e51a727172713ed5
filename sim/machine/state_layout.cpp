#include "machine/state_layout.h"

#include "card/card.h"
#include "core/trace.h"

namespace vsim::model {

uint64_t layOut(const MachineDescription& machine, std::vector<CardLayout>& layouts) {
    auto align = [](uint64_t value) {
        return (value + kRegionAlignment - 1) / kRegionAlignment * kRegionAlignment;
    };
    uint64_t end = align(sizeof(StateHeader));
    auto place = [&](uint64_t size) {
        const uint64_t at = end;
        end = align(end + size);
        return at;
    };
    layouts.clear();
    for (const CardConfig& c : machine.cards) {
        CardLayout l;
        l.cardMemory = place(c.cardMemorySize);
        for (const WindowConfig& w : c.windows)
            l.windows.push_back((w.attributes & kWindowCardMemory) ? l.cardMemory : place(w.size));
        for (const WindowConfig& w : c.windows)
            l.watchShadows.push_back(w.watched ? place(w.size) : 0);
        for (const CommonBufferConfig& b : c.commonBuffers)
            l.commonBuffers.push_back(place(b.size));
        for (const FlashConfig& f : c.flash)
            l.flash.push_back(place(f.size));
        l.vpd = place(c.vpdSize);
        layouts.push_back(std::move(l));
    }
    return end;
}

void reportInterruptedFlashChange(CardState& state, uint32_t card) {
    if (state.flashChanging.load(std::memory_order_relaxed) == 0 ||
        state.flashChanging.exchange(0) == 0)
        return;
    state.errors[static_cast<int>(DeviceError::Flash)].fetch_or(1);
    trace::note("card " + std::to_string(card) +
                ": a flash erase or program was interrupted (its process ended while it changed "
                "the flash); the device status reports a flash error");
}

void powerOn(CardState& state, const CardConfig& config) {
    for (auto& c : state.configured)
        c.store(0);
    for (size_t i = 0; i < config.clocks.size(); ++i)
        state.clocks[i].store(config.clocks[i].frequency);
    for (size_t w = 0; w < 5; ++w)
        state.errors[w].store(config.deviceStatus[w]);
    state.interrupt.store(0);
    state.sensorsSet.store(0);
    for (auto& slot : state.iprog)
        slot = {};
}

}  // namespace vsim::model
