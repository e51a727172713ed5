// The model of the design in a card's FPGA: a library of the user's that the
// machine description names (vsim_model.h), loaded once per card and
// process. The card tells it of its events; the model acts on the card
// through the services of VSIM_MODEL_HOST.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "card/card.h"
#include "vsim_model.h"

struct VSIM_CARD;

namespace vsim::model {

class DesignModel {
  public:
    // Loads the library that `config` names for `card`. Without a library
    // named, every event is ignored and configuration is not refused. On
    // failure, `problem()` says why, and every configuration fails.
    DesignModel(Card& card, const ModelConfig& config);
    ~DesignModel();
    DesignModel(const DesignModel&) = delete;
    DesignModel& operator=(const DesignModel&) = delete;

    // Why the model named could not be used; empty if it is in use (or none
    // is named).
    const std::string& problem() const { return problem_; }
    bool named() const { return !config_.library.empty(); }

    // The card's events. configure() returns false if the FPGA must not
    // count as configured (a failed model, or the model refuses it).
    bool configure(uint32_t fpga, const void* data, uint64_t length);
    void unconfigure(uint32_t fpga);
    // A write of the application's (VELTRA_Write) to a window: the bytes go
    // in, then the model hears of them.
    void write(uint32_t window, uint64_t offset, const uint8_t* data, uint64_t length);
    // A read of the application's (VELTRA_Read): the model may bring the
    // bytes up to date, then they are copied out.
    void read(uint32_t window, uint64_t offset, uint8_t* data, uint64_t length);
    void doorbell(uint32_t value);
    void dmaDone(uint32_t channel, bool toCard, uint64_t local, uint64_t length);
    void powerCycled();

    // This process has mapped `window`: if the description marks it as
    // watched, this process's watcher looks at it from now on for writes
    // through mappings, and tells the model of them while this process is
    // the one the machine chose to watch the window.
    void mapped(uint32_t window);

    // For the model's services, which run inside a callback (the model lock
    // held): the card; a write of bytes into a window that no watcher
    // reports as a change; a line of the request trace.
    Card& card() { return card_; }
    void put(uint32_t window, uint64_t offset, const void* data, uint64_t length);
    void note(const std::string& text) const;

  private:
    struct Watched {
        uint32_t window;
        std::vector<uint8_t> current;  // the window as the watcher last copied it
        // When this process next asks whether the window's watcher still runs.
        std::chrono::steady_clock::time_point nextWatcherCheck{};
    };
    struct Range {
        uint64_t offset;
        uint64_t length;
    };
    bool active() const { return callbacks_ != nullptr; }
    void watch();
    void look();
    bool watching(Watched& w);
    std::vector<Range> changes(Watched& w);

    Card& card_;
    const ModelConfig config_;
    std::string problem_;
    void* library_ = nullptr;
    const VSIM_MODEL_CALLBACKS* callbacks_ = nullptr;
    void* model_ = nullptr;
    VSIM_CARD* host_ = nullptr;

    // Calls of the model never overlap.
    std::mutex lock_;

    std::vector<Watched> watched_;
    // When a process that does not watch next asks whether the one that
    // does still runs.
    static constexpr int kWatcherCheckMs = 50;
    std::thread watcher_;
    std::mutex watcherLock_;
    std::condition_variable stop_;
    bool stopping_ = false;
};

}  // namespace vsim::model
