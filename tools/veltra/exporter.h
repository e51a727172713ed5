// The cards as Prometheus sees them. A scrape lists the cards, reads each on
// a thread of its own (one per card position, which keeps its card open
// from scrape to scrape and opens it again when it went away) and writes
// the text exposition format, version 0.0.4. A card that does not answer
// within the timeout is reported down while the others are reported; a
// scrape that comes while a card is being read waits for that reading
// instead of reading the card a second time.
//
// A card's series are known by its serial, which stays when the indexes
// shift as cards come and go; its index is a label of veltra_card_info
// alone (and of a card whose serial was never read). A card that was seen
// and is down, or no longer listed, keeps its veltra_card_info as it was
// last read, so that queries that join on it go on working.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "cards.h"

namespace tool::exporter {

// A metric family: its name, type and help text (its # HELP line).
struct Metric {
    const char* name;
    const char* type;  // "gauge", "counter"
    const char* help;
};
std::span<const Metric> metrics();

// What a scrape found: the cards the host lists, and those that answered.
struct Census {
    size_t listed = 0, up = 0;
};

class Fleet {
  public:
    // The cards the selections name (every card without one), each given at
    // most `timeout` per scrape: a reading that takes longer is not
    // reported, however it ends. `say` is told, a line each, when a card
    // goes down and when it comes back.
    Fleet(std::vector<Selection> selections, std::chrono::milliseconds timeout,
          std::function<void(const std::string&)> say = {});
    ~Fleet();
    Fleet(const Fleet&) = delete;
    Fleet& operator=(const Fleet&) = delete;

    // The exposition as the cards are now. Safe from several threads.
    std::string scrape(Census* census = nullptr);
    // Whether a card is still being read (one that did not answer in time):
    // its thread is then left to end by itself when the fleet goes, inside
    // a library call, so a process that ends should end without running
    // its exit handlers (std::_Exit).
    bool reading();

  private:
    struct Worker;
    struct Reading;
    bool selected(uint32_t index, const std::string& path, std::optional<uint32_t> serial) const;
    bool bySerial() const;

    const std::vector<Selection> selections_;
    const std::chrono::milliseconds timeout_;
    const std::function<void(const std::string&)> say_;
    std::mutex mutex_;  // what follows
    std::vector<std::shared_ptr<Worker>> workers_;
    // A card seen: its index and veltra_card_info line as last read.
    struct Known {
        uint32_t index;
        std::string info;
    };
    std::map<uint32_t, Known> known_;  // by serial
    // Whether each card (by its labels) was up at the last scrape.
    std::map<std::string, bool> wasUp_;
    // veltra_scrape_errors_total by a card's labels and the status.
    std::map<std::array<std::string, 2>, uint64_t> errors_;
};

}  // namespace tool::exporter
