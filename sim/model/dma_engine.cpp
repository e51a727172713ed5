#include "dma_engine.h"

#include <algorithm>
#include <cstring>

namespace vsim::model {

DmaEngine::DmaEngine(Memory& cardMemory, uint32_t channels) : memory_(cardMemory) {
    for (uint32_t i = 0; i < channels; ++i) channels_.push_back(std::make_unique<Channel>());
}

DmaEngine::~DmaEngine() {
    for (auto& c : channels_) {
        {
            std::lock_guard guard(c->lock);
            c->stopping = true;
            c->paused = false;
        }
        c->changed.notify_all();
        if (c->thread.joinable()) c->thread.join();
    }
}

Outcome DmaEngine::submit(IoRequest& rq, uint32_t index, const Transfer& transfer) {
    Channel& channel = *channels_[index];
    auto job = std::make_shared<Job>();
    job->transfer = transfer;
    std::weak_ptr<Job> weak = job;
    // A cancelled transfer leaves its queue, or, if it is moving data,
    // finishes moving it and then ends as cancelled.
    job->request = rq.pend(true, [this, &channel, weak](PendingIo& io) {
        if (auto j = weak.lock())
            cancel(channel, j);
        else
            io.complete(kErrorOperationAborted);
    });
    {
        std::lock_guard guard(channel.lock);
        if (!channel.thread.joinable()) channel.thread = std::thread([this, &channel] { run(channel); });
        channel.queue.push_back(std::move(job));
    }
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
            c->changed.wait(guard, [&] { return !c->running || c->running->transfer.owner != owner; });
        }
        for (auto& job : ended) job->request->complete(kErrorOperationAborted);
    }
}

void DmaEngine::move(const Transfer& t) {
    if (t.length == 0) return;
    uint8_t* card = memory_.data() + t.local;
    if (t.toCard)
        std::memmove(card, t.host, t.length);
    else
        std::memmove(t.host, card, t.length);
}

void DmaEngine::run(Channel& channel) {
    for (;;) {
        std::shared_ptr<Job> job;
        {
            std::unique_lock guard(channel.lock);
            channel.changed.wait(guard, [&] {
                return channel.stopping || (!channel.paused && !channel.queue.empty());
            });
            if (channel.stopping) break;
            job = channel.queue.front();
            channel.queue.pop_front();
            channel.running = job;
        }
        move(job->transfer);
        bool cancelled;
        {
            std::lock_guard guard(channel.lock);
            channel.running = nullptr;
            cancelled = job->cancelRequested;
        }
        channel.changed.notify_all();
        job->request->complete(cancelled ? kErrorOperationAborted : kSuccess);
    }
    // The card goes: whatever is still queued ends.
    std::deque<std::shared_ptr<Job>> left;
    {
        std::lock_guard guard(channel.lock);
        left.swap(channel.queue);
    }
    for (auto& job : left) job->request->complete(kErrorOperationAborted);
}

}  // namespace vsim::model
