// The recovery file of a flash update: written and flushed to the disk
// before the first block is erased, it holds what the update must not lose
// (what the erased blocks hold outside the range, which only the card had)
// and where the new data comes from (the input file, by path, size and
// SHA-256). `veltra flash recover` finishes an update from it, whatever
// stopped the update (an interrupt, a kill, a crash, a card that went away).
//
// Recovery files live in a folder only their user may write (the card's
// note of the update names the file by path, size and SHA-256, and its
// generation), and one is trusted only once it passes the checks of
// readTrustedFile: nobody else can plant one or change it.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "errors.h"
#include "sha256.h"

namespace tool {

struct Recovery {
    uint32_t serial = 0;  // of the card
    uint32_t flash = 0;
    uint64_t generation = 0;                // the card's update it belongs to
    uint64_t eraseStart = 0, eraseEnd = 0;  // the blocks the update erases
    uint64_t offset = 0, length = 0;        // the new data's range
    Digest data{};                          // SHA-256 of the new data
    std::string input;                      // the file the new data is the start of
    std::vector<uint8_t> head, tail;        // what the blocks hold before and after the range
};

// Where the recovery file of an update of the card (`key`: its serial, and
// on Windows its simulated machine) from `input` goes in `folder`.
std::string recoveryPath(const std::string& input, const std::string& key,
                         const std::string& folder);

// A file that is not a whole recovery file: cut short, or not one at all.
struct DamagedRecovery : Failure {
    using Failure::Failure;
};

// The bytes of a recovery file, and what they say. `encodeRecovery` and
// `decodeRecovery` are each other's inverse; decoding throws a Failure for
// a file of another version and a DamagedRecovery for one that is not
// whole.
std::vector<uint8_t> encodeRecovery(const Recovery& recovery);
Recovery decodeRecovery(std::span<const uint8_t> bytes, const std::string& path);

}  // namespace tool
