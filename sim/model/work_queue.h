// A driver thread that runs work in the order it was posted: what the driver
// does in its own context after it has answered a request, such as ending
// another request. Started by the first post; what is still queued when the
// queue goes is run before its thread ends. The thread keeps the queue's
// state alive, so that work may even drop the last reference to the queue's
// owner (then the thread is let go instead of joined by itself).
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

namespace vsim::model {

class WorkQueue {
  public:
    WorkQueue() = default;
    WorkQueue(const WorkQueue&) = delete;
    WorkQueue& operator=(const WorkQueue&) = delete;
    ~WorkQueue() {
        {
            std::lock_guard guard(state_->lock);
            state_->stopping = true;
        }
        state_->changed.notify_all();
        if (!thread_.joinable())
            return;
        if (thread_.get_id() == std::this_thread::get_id())
            thread_.detach();
        else
            thread_.join();
    }

    void post(std::function<void()> work) {
        {
            std::lock_guard guard(state_->lock);
            state_->items.push_back(std::move(work));
            if (!thread_.joinable())
                thread_ = std::thread([state = state_] { run(*state); });
        }
        state_->changed.notify_one();
    }

  private:
    struct State {
        std::mutex lock;
        std::condition_variable changed;
        std::deque<std::function<void()>> items;
        bool stopping = false;
    };

    static void run(State& state) {
        std::unique_lock guard(state.lock);
        for (;;) {
            state.changed.wait(guard, [&] { return state.stopping || !state.items.empty(); });
            if (state.items.empty())
                return;
            auto work = std::move(state.items.front());
            state.items.pop_front();
            guard.unlock();
            work();
            work = nullptr;  // what the work held goes on this thread, before the next
            guard.lock();
        }
    }

    std::shared_ptr<State> state_ = std::make_shared<State>();
    std::thread thread_;
};

}  // namespace vsim::model
