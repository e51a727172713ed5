// A driver thread that runs work in the order it was posted: what the driver
// does in its own context after it has answered a request, such as ending
// another request. Started by the first post; what is still queued when the
// queue goes is run before its thread ends.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
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
            std::lock_guard guard(lock_);
            stopping_ = true;
        }
        changed_.notify_all();
        if (thread_.joinable())
            thread_.join();
    }

    void post(std::function<void()> work) {
        {
            std::lock_guard guard(lock_);
            items_.push_back(std::move(work));
            if (!thread_.joinable())
                thread_ = std::thread([this] { run(); });
        }
        changed_.notify_one();
    }

  private:
    void run() {
        std::unique_lock guard(lock_);
        for (;;) {
            changed_.wait(guard, [this] { return stopping_ || !items_.empty(); });
            if (items_.empty())
                return;
            auto work = std::move(items_.front());
            items_.pop_front();
            guard.unlock();
            work();
            guard.lock();
        }
    }

    std::mutex lock_;
    std::condition_variable changed_;
    std::deque<std::function<void()>> items_;
    bool stopping_ = false;
    std::thread thread_;
};

}  // namespace vsim::model
