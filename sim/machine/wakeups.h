// Waking the processes of a shared machine: a watcher waits for a counter
// in the machine's state to move on; a change wakes every watcher but the
// one that made it. Watchers are listed in a table in the state while they
// watch (Windows wakes each through an event of its own; Linux needs no
// table: a futex on the counter wakes every process that waits on it).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>

namespace vsim::model {

class MachineLock;

class Wakeups {
  public:
    // `name` names the machine (its state file); the table is changed under `lock`.
    Wakeups(std::string name, MachineLock& lock, std::atomic<uint32_t>& counter,
            std::atomic<uint32_t>* watchers, size_t count)
        : name_(std::move(name)),
          lock_(lock),
          counter_(counter),
          watchers_(watchers),
          count_(count) {}

    void join(uint32_t self);
    void leave(uint32_t self);
    // Waits up to `milliseconds` for the counter to move on from `seen`.
    void await(uint32_t seen, uint32_t self, int milliseconds);
    // Wakes every watcher but `self` (0: every one).
    void wake(uint32_t self);

  private:
    std::string name_;
    [[maybe_unused]] MachineLock& lock_;
    std::atomic<uint32_t>& counter_;
    [[maybe_unused]] std::atomic<uint32_t>* watchers_;
    [[maybe_unused]] size_t count_;
};

}  // namespace vsim::model
