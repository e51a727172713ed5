// A simulated machine as its description file gives it: the cards, each with
// its fixed properties and what its state holds at power-on.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "card/config.h"

namespace vsim::model {

struct MachineDescription {
    std::string name;  // names the machine's state folder
    std::vector<CardConfig> cards;
    uint64_t fingerprint = 0;  // of the text: a changed description gets a fresh state
    // The description file's full path ("" for the built-in machine): two
    // files of one name keep their states apart.
    std::string origin;
};

// The limits of one card, so that its state has a fixed layout.
inline constexpr size_t kMaxCards = 16;
inline constexpr size_t kMaxFpgas = 8;
inline constexpr size_t kMaxClocks = 16;
inline constexpr size_t kMaxWindows = 64;

// Reads a description written in TOML. On failure, returns false and sets
// `error` to one line: "SOURCE:LINE: what is wrong". `source` names the text
// in messages; `fallbackName` is the machine's name if it gives none.
bool parseMachineDescription(std::string_view text, const std::string& source,
                             const std::string& fallbackName, MachineDescription& machine,
                             std::string& error);

// Reads a fault file: [[fault]] entries, each with its `card` and `kind`
// (the keys of [[card.fault]] in a description). Failures as above.
bool parseFaults(std::string_view text, const std::string& source, std::vector<FaultSpec>& faults,
                 std::string& error);

// "0x1f": a number as the simulator's messages write it.
std::string hexText(uint64_t value);

// The default machine's description, built into the simulator.
std::string_view defaultMachineText();

}  // namespace vsim::model
