// The cards as Prometheus sees them. A scrape lists the cards, reads each on
// a thread of its own (one per card position, which keeps its card open
// from scrape to scrape and opens it again when it went away) and writes
// the text exposition format, version 0.0.4. A card that does not answer
// within the timeout is reported down while the others are reported; a
// scrape that comes while a card is being read waits for that reading
// instead of reading the card a second time.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
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

class Fleet {
  public:
    // The cards the selections name (every card without one), each given at
    // most `timeout` per scrape.
    Fleet(std::vector<Selection> selections, std::chrono::milliseconds timeout);
    ~Fleet();
    Fleet(const Fleet&) = delete;
    Fleet& operator=(const Fleet&) = delete;

    // The exposition as the cards are now. Safe from several threads.
    std::string scrape();
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
    std::mutex mutex_;  // what follows
    std::vector<std::shared_ptr<Worker>> workers_;
    // The cards seen, by serial: the card label each had last.
    std::map<uint32_t, std::string> seen_;
    // veltra_scrape_errors_total by card label, serial and status.
    std::map<std::array<std::string, 3>, uint64_t> errors_;
};

}  // namespace tool::exporter
