// The machine's lock, shared by every process using the machine: for changes
// to its state that must be made together. A lock whose owner died is taken
// over (its state may be half-changed; the changes made under it are each
// consistent word by word).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <utility>

namespace vsim::model {

class MachineLock {
  public:
    // Linux: the robust mutex in `word`, 64 bytes of the machine's state.
    // Windows: a mutex named after `name`, the state file; a private
    // machine's (empty name), which one process uses, an SRW lock.
    MachineLock(void* word, const std::string& name);
    ~MachineLock();
    MachineLock(const MachineLock&) = delete;
    MachineLock& operator=(const MachineLock&) = delete;

    // Makes `word` a free lock: for fresh state, and for state that no
    // process uses (a lock word left by a system that went down while a
    // process held it names a thread that is long gone).
    static void reset(void* word);

    // Why the lock cannot be used (Windows: another user made its mutex
    // first), or "": a machine whose lock cannot be used has no cards.
    const std::string& problem() const { return problem_; }

    void lock();
    void unlock();
    // What to do each time the lock is taken, holding it (set once, before
    // other threads use the lock).
    void onLocked(std::function<void()> action) { locked_ = std::move(action); }

    // Holds the lock while it lives.
    class Guard {
      public:
        explicit Guard(MachineLock& lock) : lock_(lock) { lock_.lock(); }
        ~Guard() { lock_.unlock(); }
        Guard(const Guard&) = delete;
        Guard& operator=(const Guard&) = delete;

      private:
        MachineLock& lock_;
    };

  private:
    void locked() {
        if (locked_)
            locked_();
    }
    std::function<void()> locked_;
    std::string problem_;
    [[maybe_unused]] std::string name_;  // Windows: the mutex's
    void* word_;
    [[maybe_unused]] intptr_t mutex_ = 0;           // Windows
    [[maybe_unused]] void* privateLock_ = nullptr;  // Windows: an SRWLOCK
};

}  // namespace vsim::model
