// The DMA engine of a card: channels that each run their transfers in order
// and complete them through the caller's OVERLAPPED. A channel has a thread
// of its own; a transfer that is next on an idle channel when its caller
// comes to wait for it moves on the caller's thread instead, so that a
// blocking transfer costs no hand-off between threads.
#pragma once

#include <atomic>
#include <chrono>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "card/card.h"
#include "platform/thread_sync.h"
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
    // Called after each transfer has moved its data (on the channel's thread,
    // or on the thread that waits for the transfer),
    // before its request completes. Set before the first transfer.
    using MovedHook = std::function<void(uint32_t channel, const Transfer&)>;
    void setMovedHook(MovedHook hook) { moved_ = std::move(hook); }
    // Faults on purpose, consulted on the thread that runs each
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
        int64_t queuedAt = 0;  // steady clock, nanoseconds
        bool cancelRequested = false;
    };
    struct Channel {
        uint32_t index = 0;
        os::ThreadLock lock;
        os::ThreadCondition changed;
        std::deque<std::shared_ptr<Job>> queue;
        std::shared_ptr<Job> running;
        std::atomic<size_t> queued{0};         // the queue's length, read without the lock
        std::atomic<int64_t> headQueuedAt{0};  // when the head was queued (0: none)
        std::atomic<uint64_t> submitted{0};    // transfers ever queued
        bool paused = false;
        bool stopping = false;
        bool sleeping = false;  // the thread waits for `changed`
        unsigned watchers = 0;  // closes waiting for the running transfer
        std::thread thread;
    };

    void run(Channel& channel);
    static int64_t now();
    static void queueChanged(Channel& channel);
    static bool headIsDue(const Channel& channel);
    static bool poll(Channel& channel, int64_t& until);
    // How long the channel's thread polls for work after its last, before
    // it sleeps: longer than a wake-up costs.
    static constexpr std::chrono::nanoseconds kPollTime{std::chrono::microseconds(100)};
    // How long a transfer at the head of an idle channel is left to its
    // caller, who runs it on its own thread if it comes to wait for it.
    static constexpr std::chrono::nanoseconds kGrace{std::chrono::microseconds(20)};
    // Runs `job` on this thread if it is next on an idle channel.
    bool runHere(Channel& channel, const std::shared_ptr<Job>& job);
    // Moves a transfer taken off the queue as `running`, completes it and
    // lets the channel go on.
    void execute(Channel& channel, const std::shared_ptr<Job>& job);
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
