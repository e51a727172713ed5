#include "card/dma_engine.h"

#include "card/driver_statuses.h"

#include <algorithm>
#include <cstring>

namespace vsim::model {

DmaEngine::DmaEngine(Region& cardMemory, uint32_t channels, uint64_t bandwidth, uint64_t latencyNs)
    : memory_(cardMemory), bandwidth_(bandwidth), latencyNs_(latencyNs) {
    for (uint32_t i = 0; i < channels; ++i) {
        channels_.push_back(std::make_shared<Channel>());
        channels_.back()->index = i;
    }
}

DmaEngine::~DmaEngine() {
    for (auto& c : channels_) {
        {
            std::lock_guard guard(c->lock);
            c->stopping = true;
            c->paused = false;
        }
        c->changed.notify_all();
        // On its own thread the engine lets the thread go: it ends at its
        // next look at the channel, which it keeps, and touches nothing else.
        if (c->thread.joinable()) {
            if (c->thread.get_id() == std::this_thread::get_id())
                c->thread.detach();
            else
                c->thread.join();
        }
    }
}

Outcome DmaEngine::submit(IoRequest& rq, uint32_t index, const Transfer& transfer) {
    const std::shared_ptr<Channel>& shared = channels_[index];
    Channel& channel = *shared;
    auto job = std::make_shared<Job>();
    job->transfer = transfer;
    std::weak_ptr<Job> weak = job;
    bool wake;
    {
        // The request pends and its job is queued under the channel's lock:
        // a cancel from another thread, which may come as soon as the
        // request pends, waits until the job is in the queue to take it
        // out, and never finds a job without its request.
        std::lock_guard guard(channel.lock);
        // A cancelled transfer leaves its queue, or, if it is moving data,
        // finishes moving it and then ends as cancelled.
        job->request = rq.pend(true, [this, &channel, weak](PendingIo& io) {
            if (auto j = weak.lock())
                cancel(channel, j);
            else
                io.complete(kErrorOperationAborted);
        });
        if (!channel.thread.joinable())
            channel.thread = std::thread([this, shared] { run(*shared); });
        channel.queue.push_back(std::move(job));
        channel.queued.store(channel.queue.size(), std::memory_order_release);
        wake = channel.sleeping;
    }
    if (wake)
        channel.changed.notify_all();
    return Outcome::pending();
}

void DmaEngine::cancel(Channel& channel, const std::shared_ptr<Job>& job) {
    {
        std::lock_guard guard(channel.lock);
        if (channel.running == job) {
            job->cancelRequested = true;
            return;
        }
        std::erase(channel.queue, job);
        channel.queued.store(channel.queue.size(), std::memory_order_release);
    }
    job->request->complete(kErrorOperationAborted);
}

void DmaEngine::pause(uint32_t index, bool paused) {
    Channel& channel = *channels_[index];
    {
        std::lock_guard guard(channel.lock);
        channel.paused = paused;
    }
    channel.changed.notify_all();
}

void DmaEngine::endQueued(uint32_t error) {
    for (auto& c : channels_) {
        std::deque<std::shared_ptr<Job>> ended;
        {
            std::lock_guard guard(c->lock);
            ended.swap(c->queue);
            c->queued.store(0, std::memory_order_release);
        }
        for (auto& job : ended)
            job->request->complete(error);
    }
}

void DmaEngine::abandon(const void* owner) {
    for (auto& c : channels_) {
        std::vector<std::shared_ptr<Job>> ended;
        {
            std::unique_lock guard(c->lock);
            for (auto it = c->queue.begin(); it != c->queue.end();) {
                if ((*it)->transfer.owner == owner) {
                    ended.push_back(*it);
                    it = c->queue.erase(it);
                } else {
                    ++it;
                }
            }
            c->queued.store(c->queue.size(), std::memory_order_release);
            c->changed.wait(guard,
                            [&] { return !c->running || c->running->transfer.owner != owner; });
        }
        for (auto& job : ended)
            job->request->complete(kErrorOperationAborted);
    }
}

// A card described with a bandwidth and a latency takes at least as long as
// that card would.
void DmaEngine::move(const Transfer& t) {
    const auto start = std::chrono::steady_clock::now();
    if (t.length != 0) {
        uint8_t* card = memory_.data() + t.local;
        if (t.toCard)
            std::memmove(card, t.host, t.length);
        else
            std::memmove(t.host, card, t.length);
    }
    const uint64_t bandwidth = bandwidthNow_ ? bandwidthNow_() : bandwidth_;
    if (bandwidth == 0 && latencyNs_ == 0)
        return;
    const double seconds = bandwidth == 0 ? 0.0 : static_cast<double>(t.length) / bandwidth;
    std::this_thread::sleep_until(start + std::chrono::nanoseconds(latencyNs_) +
                                  std::chrono::duration<double>(seconds));
}

// A channel that has just finished a transfer polls for the next one for a
// short while before it sleeps: a program that moves data in a loop then
// finds it awake, instead of paying for a thread wake-up per transfer.
void DmaEngine::awaitWork(Channel& channel) {
    static const bool kSpin = std::thread::hardware_concurrency() > 1;
    if (!kSpin)
        return;
    const auto deadline = std::chrono::steady_clock::now() + kPollTime;
    for (unsigned i = 1;; ++i) {
        if (channel.queued.load(std::memory_order_acquire) != 0)
            return;
#if defined(__x86_64__) || defined(__i386__)
        __builtin_ia32_pause();
#endif
        if (i % 64 == 0 && std::chrono::steady_clock::now() >= deadline)
            return;
    }
}

void DmaEngine::run(Channel& channel) {
    for (;;) {
        awaitWork(channel);
        std::shared_ptr<Job> job;
        {
            std::unique_lock guard(channel.lock);
            while (!channel.stopping && (channel.paused || channel.queue.empty())) {
                channel.sleeping = true;
                channel.changed.wait(guard);
                channel.sleeping = false;
            }
            if (channel.stopping)
                break;
            job = channel.queue.front();
            channel.queue.pop_front();
            channel.queued.store(channel.queue.size(), std::memory_order_release);
            channel.running = job;
        }
        const bool failed = fails_ && fails_(channel.index, job->transfer);
        if (!failed) {
            move(job->transfer);
            if (moved_)
                moved_(channel.index, job->transfer);
        }
        bool cancelled;
        {
            std::lock_guard guard(channel.lock);
            cancelled = job->cancelRequested;
        }
        // The transfer completes before the channel reports it finished, so
        // that a close that waits for the running transfer returns only once
        // its outcome is in the caller's OVERLAPPED.
        job->request->complete(cancelled ? kErrorOperationAborted
                               : failed  ? driverError(status::kVeltraHardwareError)
                                         : kSuccess);
        {
            std::lock_guard guard(channel.lock);
            channel.running = nullptr;
        }
        channel.changed.notify_all();
    }
    // The card goes: whatever is still queued ends.
    std::deque<std::shared_ptr<Job>> left;
    {
        std::lock_guard guard(channel.lock);
        left.swap(channel.queue);
    }
    for (auto& job : left)
        job->request->complete(kErrorOperationAborted);
}

}  // namespace vsim::model
