// The DMA engine of a card: channels that each run their transfers in order
// on a thread of their own and complete them through the caller's OVERLAPPED.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "card/card.h"
#include "vsim/driver.h"

namespace vsim::model {

class DmaEngine {
  public:
    // `bandwidth` bytes a second per channel (0: as fast as memory), and
    // `latencyNs` before each transfer's data moves.
    DmaEngine(Region& cardMemory, uint32_t channels, uint64_t bandwidth = 0,
              uint64_t latencyNs = 0);
    ~DmaEngine();
    DmaEngine(const DmaEngine&) = delete;
    DmaEngine& operator=(const DmaEngine&) = delete;

    struct Transfer {
        uint8_t* host;   // host memory, already checked
        uint64_t local;  // card-local address, already checked
        uint64_t length;
        bool toCard;        // a "write" transfer
        const void* owner;  // the handle it came through
    };

    uint32_t channels() const { return static_cast<uint32_t>(channels_.size()); }
    // Leaves the request pending and queues the transfer on `channel`.
    Outcome submit(IoRequest& rq, uint32_t channel, const Transfer& transfer);
    // Holds a channel after its current transfer, or lets it go on.
    void pause(uint32_t channel, bool paused);
    // A handle closes: its queued transfers end, and one that is moving data
    // finishes first, so that no transfer touches the caller's memory after.
    void abandon(const void* owner);
    // The card is gone: every queued transfer ends with `error` (one that is
    // moving data finishes).
    void endQueued(uint32_t error);
    // Called on the channel's thread after each transfer has moved its data,
    // before its request completes. Set before the first transfer.
    using MovedHook = std::function<void(uint32_t channel, const Transfer&)>;
    void setMovedHook(MovedHook hook) { moved_ = std::move(hook); }
    // Faults on purpose, consulted on the channel's thread before each
    // transfer: whether it fails (it then moves nothing and ends with the
    // driver's hardware-error status), and the bandwidth now (0: as fast as
    // memory). Set before the first transfer.
    using FailHook = std::function<bool(uint32_t channel, const Transfer&)>;
    using BandwidthHook = std::function<uint64_t()>;
    void setFaultHooks(FailHook fails, BandwidthHook bandwidth) {
        fails_ = std::move(fails);
        bandwidthNow_ = std::move(bandwidth);
    }

  private:
    struct Job {
        Transfer transfer;
        std::shared_ptr<PendingIo> request;
        bool cancelRequested = false;
    };
    struct Channel {
        uint32_t index = 0;
        std::mutex lock;
        std::condition_variable changed;
        std::deque<std::shared_ptr<Job>> queue;
        std::shared_ptr<Job> running;
        std::atomic<size_t> queued{0};  // the queue's length, read without the lock
        bool paused = false;
        bool stopping = false;
        bool sleeping = false;  // the thread waits for `changed`
        std::thread thread;
    };

    void run(Channel& channel);
    static void awaitWork(Channel& channel);
    static constexpr std::chrono::microseconds kPollTime{100};
    void cancel(Channel& channel, const std::shared_ptr<Job>& job);
    void move(const Transfer& t);

    Region& memory_;
    MovedHook moved_;
    FailHook fails_;
    BandwidthHook bandwidthNow_;
    uint64_t bandwidth_;
    uint64_t latencyNs_;
    // Shared with the channel's thread, which may be the one that drops the
    // last reference to the card (completing a request can end its handle).
    std::vector<std::shared_ptr<Channel>> channels_;
};

}  // namespace vsim::model
