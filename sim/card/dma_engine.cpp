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
    job->queuedAt = now();
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
        job->request->setHelper([this, shared, weak](PendingIo&) {
            const auto j = weak.lock();
            return j && runHere(*shared, j);
        });
        if (!channel.thread.joinable())
            channel.thread = std::thread([this, shared] { run(*shared); });
        channel.queue.push_back(std::move(job));
        queueChanged(channel);
        channel.submitted.fetch_add(1, std::memory_order_relaxed);
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
        queueChanged(channel);
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
            queueChanged(*c);
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
            queueChanged(*c);
            ++c->watchers;
            c->changed.wait(guard,
                            [&] { return !c->running || c->running->transfer.owner != owner; });
            --c->watchers;
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

int64_t DmaEngine::now() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Called under the channel's lock after every change of its queue.
void DmaEngine::queueChanged(Channel& channel) {
    channel.queued.store(channel.queue.size(), std::memory_order_release);
    channel.headQueuedAt.store(channel.queue.empty() ? 0 : channel.queue.front()->queuedAt,
                               std::memory_order_release);
}

// Whether the channel's thread should take the transfer at the head of the
// queue now: its caller has had the grace to run it and has not.
bool DmaEngine::headIsDue(const Channel& channel) {
    const int64_t queuedAt = channel.headQueuedAt.load(std::memory_order_acquire);
    return queuedAt != 0 && now() - queuedAt >= kGrace.count();
}

// The channel's thread polls while transfers come and go (a program that
// moves data in a loop then never waits for the thread to wake), and while a
// transfer waits out its grace. It yields the processor as it polls: a
// caller that shares it gets it at once.
bool DmaEngine::poll(Channel& channel, int64_t& until) {
    // With one processor only, polling is yielding it.
    static const bool kSpin = std::thread::hardware_concurrency() > 1;
    if (!kSpin) {
        std::this_thread::yield();
        return headIsDue(channel);
    }
    uint64_t seen = channel.submitted.load(std::memory_order_relaxed);
    for (;;) {
        for (int i = 0; i < 128; ++i) {
#if defined(__x86_64__) || defined(__i386__)
            __builtin_ia32_pause();
#endif
        }
        if (headIsDue(channel))
            return true;
        // A transfer that its caller ran itself still counts as work.
        const uint64_t submitted = channel.submitted.load(std::memory_order_relaxed);
        const int64_t time = now();
        if (submitted != seen) {
            seen = submitted;
            until = time + kPollTime.count();
        }
        if (time >= until)
            return false;
        std::this_thread::yield();
    }
}

void DmaEngine::run(Channel& channel) {
    int64_t pollUntil = now() + kPollTime.count();
    for (;;) {
        // Polled without the lock, which callers take to queue and to run
        // their own transfers.
        if (!headIsDue(channel) && now() < pollUntil)
            poll(channel, pollUntil);
        std::shared_ptr<Job> job;
        {
            std::unique_lock guard(channel.lock);
            if (channel.stopping)
                break;
            // A transfer running on a waiting caller's thread holds the
            // channel as this thread's own would.
            const bool ready = !channel.paused && !channel.running && !channel.queue.empty();
            if (ready && headIsDue(channel)) {
                job = channel.queue.front();
                channel.queue.pop_front();
                queueChanged(channel);
                channel.running = job;
            } else {
                // A transfer left to its caller for its grace is polled
                // for; so is the next one, for a while. A paused channel,
                // or one whose caller runs a transfer with more queued
                // behind it, sleeps until it is told.
                if (ready)
                    pollUntil = now() + kPollTime.count();
                const bool held = channel.paused || (channel.running && !channel.queue.empty());
                if (held || now() >= pollUntil) {
                    channel.sleeping = true;
                    channel.changed.wait(guard);
                    channel.sleeping = false;
                    pollUntil = now() + kPollTime.count();
                }
                continue;
            }
        }
        execute(channel, job);
        pollUntil = now() + kPollTime.count();
    }
    // The card goes: whatever is still queued ends.
    std::deque<std::shared_ptr<Job>> left;
    {
        std::lock_guard guard(channel.lock);
        left.swap(channel.queue);
        queueChanged(channel);
    }
    for (auto& job : left)
        job->request->complete(kErrorOperationAborted);
}

bool DmaEngine::runHere(Channel& channel, const std::shared_ptr<Job>& job) {
    {
        std::lock_guard guard(channel.lock);
        if (channel.stopping || channel.paused || channel.running || channel.queue.empty() ||
            channel.queue.front() != job)
            return false;
        channel.queue.pop_front();
        queueChanged(channel);
        channel.running = job;
    }
    execute(channel, job);
    return true;
}

void DmaEngine::execute(Channel& channel, const std::shared_ptr<Job>& job) {
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
    bool wake;
    {
        std::lock_guard guard(channel.lock);
        channel.running = nullptr;
        // Only a close waiting for this transfer, or the channel's thread
        // with more to do, needs to hear of it.
        wake = channel.watchers != 0 || (channel.sleeping && !channel.queue.empty()) ||
               channel.stopping;
    }
    if (wake)
        channel.changed.notify_all();
}

}  // namespace vsim::model
