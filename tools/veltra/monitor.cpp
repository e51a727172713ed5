#include "monitor.h"

#include "errors.h"
#include "records.h"

namespace tool {

Watched::Watched(const CardChoice& choice) {
    for (Card& card : choice.openEach()) {
        Entry& entry = entries_.emplace_back();
        entry.serial = card.serial();
        entry.index = card.index();
        entry.card.emplace(std::move(card));
    }
}

// A card that came back may have another index: it is found by its serial.
void Watched::reopen(Entry& entry) {
    for (uint32_t index = 0;; ++index) {
        try {
            std::optional<Card> card = Card::tryOpen(index);
            if (!card.has_value())
                return;
            if (card->serial() != entry.serial)
                continue;
            entry.index = index;
            entry.card.emplace(std::move(*card));
            return;
        } catch (const Failure&) {
        }
    }
}

void Watched::round(const std::function<void(const Card&)>& present,
                    const std::function<void(uint32_t serial, uint32_t index)>& gone) {
    for (Entry& entry : entries_) {
        if (!entry.card.has_value())
            reopen(entry);
        if (entry.card.has_value()) {
            try {
                cardInfo(*entry.card);  // a card that went away answers no more
                present(*entry.card);
                continue;
            } catch (const Failure&) {
                entry.card.reset();
            }
        }
        lost_ = true;
        gone(entry.serial, entry.index);
    }
}

}  // namespace tool
