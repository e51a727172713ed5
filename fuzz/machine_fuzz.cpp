// libFuzzer target: the machine description loader on any text. It never
// throws or crashes; a text it refuses leaves the machine as it was and gives
// one line naming the source; a machine it accepts keeps every limit that
// the simulator relies on.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "machine/description.h"

namespace {

void check(bool condition, int line) {
    if (!condition) {
        std::fprintf(stderr, "machine_fuzz.cpp:%d: a requirement failed\n", line);
        std::abort();
    }
}
#define require(condition) check(condition, __LINE__)

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace vsim::model;
    MachineDescription machine;
    machine.name = "untouched";
    std::string error;
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    if (!parseMachineDescription(text, "fuzz.toml", "fuzz", machine, error)) {
        require(machine.name == "untouched" && machine.cards.empty());
        require(error.rfind("fuzz.toml:", 0) == 0 && error.find('\n') == std::string::npos);
        return 0;
    }
    require(error.empty() && !machine.name.empty() && machine.cards.size() <= kMaxCards);
    for (const CardConfig& c : machine.cards) {
        require(c.fpgas.size() <= kMaxFpgas && c.clocks.size() <= kMaxClocks);
        require(c.vpdSize != 0 && c.vpdRecord.size() <= c.vpdSize);
        for (const WindowConfig& w : c.windows)
            require(w.size != 0 &&
                    (!(w.attributes & kWindowCardMemory) || w.size <= c.cardMemorySize));
        for (const FlashConfig& f : c.flash) {
            const uint64_t parameters = f.parameterBlockSize * f.parameterBlocks;
            require(f.blockSize != 0 && parameters <= f.size &&
                    (f.size - parameters) % f.blockSize == 0);
        }
        for (const ClockConfig& k : c.clocks)
            require(!k.programmable ||
                    (k.step > 0 && k.minimum <= k.frequency && k.frequency <= k.maximum));
        for (const SensorConfig& s : c.sensors)
            require(s.reading.steps != 0 && s.description.size() <= 27);
    }
    return 0;
}
