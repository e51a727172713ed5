// The recovery file of a flash update: written and flushed to the disk
// before the first block is erased, it holds what the update must not lose
// (what the erased blocks hold outside the range, which only the card had)
// and where the new data comes from (the input file, by path, size and
// hash). `veltra flash recover` finishes an update from it, whatever
// stopped the update (an interrupt, a kill, a crash, a card that went away).
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "errors.h"

namespace tool {

struct Recovery {
    uint32_t serial = 0;  // of the card
    uint32_t flash = 0;
    uint64_t eraseStart = 0, eraseEnd = 0;  // the blocks the update erases
    uint64_t offset = 0, length = 0;        // the new data's range
    uint64_t dataHash = 0;                  // of the new data
    std::string input;                      // the file the new data is the start of
    std::vector<uint8_t> head, tail;        // what the blocks hold before and after the range
};

// A hash of bytes, to know the input again (not against an adversary).
uint64_t hashBytes(std::span<const uint8_t> bytes);

// Where the recovery file of an update of the card with `serial` from
// `input` goes: next to the input, or in `folder` when one is given.
std::string recoveryPath(const std::string& input, uint32_t serial, const std::string& folder);

// Writes it whole and flushes it to the disk (a Failure if it cannot), or
// reads it back (a Failure if it is not a whole recovery file).
// A file that is not a whole recovery file: cut short, or not one at all.
struct DamagedRecovery : Failure {
    using Failure::Failure;
};

void writeRecovery(const std::string& path, const Recovery& recovery);
// A Failure if the file cannot be read or is of another version; a
// DamagedRecovery if it is not a whole recovery file.
Recovery readRecovery(const std::string& path);

// A path as the system resolves it, for a file named in a message or a note.
std::string absolutePath(const std::string& path);

}  // namespace tool
