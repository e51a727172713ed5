// The cards a monitoring loop watches (`sensors --watch`, `query -l`): those
// there are when it starts, or the one named, each known by its serial. A
// card that goes away is reported gone and taken up again when it comes
// back; the others go on.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "cards.h"

namespace tool {

class Watched {
  public:
    explicit Watched(const CardChoice& choice);

    // One round: `present` for each card there is (a Failure while it reads
    // the card counts as the card going away), `gone` for each that is not,
    // with the index it last had.
    void round(const std::function<void(const Card&)>& present,
               const std::function<void(uint32_t serial, uint32_t index)>& gone);
    // Whether any card went away at any round.
    bool anyLost() const { return lost_; }

  private:
    struct Entry {
        uint32_t serial = 0, index = 0;
        std::optional<Card> card;
    };
    void reopen(Entry& entry);

    std::vector<Entry> entries_;
    bool lost_ = false;
};

}  // namespace tool
