// A lock and a condition for the simulator's own threads, which only one
// process uses. On Windows these are an SRW lock and a condition variable,
// which wait and wake in the process (no kernel object; under Wine no round
// trip to its server), where the C++ library's would make a semaphore per
// condition. Elsewhere they are the standard ones.
#pragma once

#if defined(_WIN32)
#include <windows.h>
#endif

#include <condition_variable>
#include <mutex>

namespace vsim::os {

#if defined(_WIN32)

class ThreadLock {
  public:
    ThreadLock() = default;
    ThreadLock(const ThreadLock&) = delete;
    ThreadLock& operator=(const ThreadLock&) = delete;
    void lock() { AcquireSRWLockExclusive(&lock_); }
    bool try_lock() { return TryAcquireSRWLockExclusive(&lock_) != 0; }
    void unlock() { ReleaseSRWLockExclusive(&lock_); }
    PSRWLOCK native() { return &lock_; }

  private:
    SRWLOCK lock_ = SRWLOCK_INIT;
};

class ThreadCondition {
  public:
    ThreadCondition() = default;
    ThreadCondition(const ThreadCondition&) = delete;
    ThreadCondition& operator=(const ThreadCondition&) = delete;
    void wait(std::unique_lock<ThreadLock>& held) {
        SleepConditionVariableSRW(&condition_, held.mutex()->native(), INFINITE, 0);
    }
    template <typename Predicate>
    void wait(std::unique_lock<ThreadLock>& held, Predicate done) {
        while (!done())
            wait(held);
    }
    void notify_all() { WakeAllConditionVariable(&condition_); }

  private:
    CONDITION_VARIABLE condition_ = CONDITION_VARIABLE_INIT;
};

#else

using ThreadLock = std::mutex;
using ThreadCondition = std::condition_variable;

#endif

}  // namespace vsim::os
