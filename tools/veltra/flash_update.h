// A flash update that survives accidents. It erases exactly the blocks the
// range touches (the chip's own layout), keeps what those blocks hold
// outside the range, and writes block by block; before the first erase the
// recovery file holds everything the update needs that only memory would
// otherwise hold, and the card's note names it, and an interrupt waits until
// the block being written is whole again. `flash write` and `flash recover`
// are both this.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "recovery.h"

namespace tool {

class Card;
class CardLock;
struct Chip;

struct FlashUpdate {
    uint64_t offset = 0;
    std::span<const uint8_t> data;
    bool verify = true;
    bool showProgress = false;
    // The file the data is the start of, recorded in the recovery file.
    std::string input;
    // The folder of the recovery file, or "" for none (a machine that ends
    // with this process); and the card as `flash recover` should name it.
    std::string recoveryFolder;
    std::string selection;
};

// Writes the data, a range of the chip that is checked already and not
// empty: returns the seconds taken.
double updateFlash(const Card& card, const Chip& chip, const CardLock& lock,
                   const FlashUpdate& update);

// Bytes of the chip from `offset` that differ from `data`: how many, the
// first.
struct FlashComparison {
    uint64_t differing = 0, first = 0;
};
FlashComparison compareFlash(const Card& card, const Chip& chip, uint64_t offset,
                             std::span<const uint8_t> data, bool showProgress);

struct Recover {
    std::string recoveryFile;  // wherever the file is now
    std::string input;         // a copy of the new image, or "" for the file the update read
    std::string selection;
    bool yes = false;
    bool showProgress = false;
};

// Finishes the card's pending update from its recovery file, with the data
// of its input file (which must not have changed). Returns what it did, in
// words.
std::string recoverFlash(const Card& card, const CardLock& lock, const Recover& recover);

// Ends the card's pending update without finishing it (after asking).
// Returns what it did, in words.
std::string abandonUpdate(const Card& card, const CardLock& lock, bool yes);

}  // namespace tool
