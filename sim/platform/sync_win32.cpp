// The machine's lock and wake-ups on Windows: a mutex named after the state
// file (an abandoned wait takes the lock over), and an event of its own for
// each watcher, named after the state file and the watcher; a change sets
// the event of every listed watcher. A watcher whose event is gone (its
// process ended) leaves the list.
#include <windows.h>

#include <cstdio>
#include <map>
#include <mutex>

#include "machine/machine_lock.h"
#include "machine/wakeups.h"
#include "platform/object_names_win32.h"

namespace vsim::model {

static_assert(sizeof(SRWLOCK) == sizeof(void*));

MachineLock::MachineLock(void* word, const std::string& name) : word_(word) {
    if (name.empty())
        return;  // the SRW lock in privateLock_, made free
    name_ = os::objectName("lock", name);
    mutex_ = reinterpret_cast<intptr_t>(os::userObject(true, name_, problem_));
    if (mutex_ == 0 && problem_.empty())
        problem_ = "cannot make the machine's lock (error " + std::to_string(GetLastError()) + ")";
}

MachineLock::~MachineLock() {
    if (mutex_ != 0)
        CloseHandle(reinterpret_cast<HANDLE>(mutex_));
}

void MachineLock::reset(void*) {}

// A lock held long is named on stderr, once a wait, and waited for on.
void MachineLock::lock() {
    if (mutex_ == 0) {
        AcquireSRWLockExclusive(reinterpret_cast<PSRWLOCK>(&privateLock_));
        locked();
        return;
    }
    constexpr DWORD kPatience = 10000;
    DWORD result = WaitForSingleObject(reinterpret_cast<HANDLE>(mutex_), kPatience);
    if (result == WAIT_TIMEOUT) {
        std::fprintf(stderr, "vsim: waiting for %s, which another process has held for %lu s\n",
                     name_.c_str(), static_cast<unsigned long>(kPatience / 1000));
        std::fflush(stderr);
        result = WaitForSingleObject(reinterpret_cast<HANDLE>(mutex_), INFINITE);
    }
    (void)result;  // WAIT_ABANDONED: the lock is ours as well
    locked();
}

void MachineLock::unlock() {
    if (mutex_ == 0)
        ReleaseSRWLockExclusive(reinterpret_cast<PSRWLOCK>(&privateLock_));
    else
        ReleaseMutex(reinterpret_cast<HANDLE>(mutex_));
}

namespace {

std::mutex& watcherLock() {
    static std::mutex lock;
    return lock;
}
std::map<uint32_t, HANDLE>& watcherEvents() {
    static auto* events = new std::map<uint32_t, HANDLE>;
    return *events;
}
std::string watcherName(const std::string& path, uint32_t watcher) {
    return os::objectName(("watch-" + std::to_string(watcher)).c_str(), path);
}

}  // namespace

void Wakeups::join(uint32_t self) {
    std::string problem;
    HANDLE event = os::userObject(false, watcherName(name_, self), problem);
    if (event == nullptr)
        return;  // woken by the watch's own interval alone
    {
        std::lock_guard guard(watcherLock());
        watcherEvents()[self] = event;
    }
    MachineLock::Guard guard(lock_);
    for (size_t i = 0; i < count_; ++i) {
        uint32_t empty = 0;
        if (watchers_[i].compare_exchange_strong(empty, self))
            break;
    }
}

void Wakeups::leave(uint32_t self) {
    {
        MachineLock::Guard guard(lock_);
        for (size_t i = 0; i < count_; ++i) {
            uint32_t mine = self;
            watchers_[i].compare_exchange_strong(mine, 0);
        }
    }
    std::lock_guard guard(watcherLock());
    auto found = watcherEvents().find(self);
    if (found != watcherEvents().end()) {
        CloseHandle(found->second);
        watcherEvents().erase(found);
    }
}

void Wakeups::await(uint32_t seen, uint32_t self, int milliseconds) {
    HANDLE event = nullptr;
    {
        std::lock_guard guard(watcherLock());
        auto found = watcherEvents().find(self);
        if (found != watcherEvents().end())
            event = found->second;
    }
    if (counter_.load() != seen)
        return;
    if (event != nullptr)
        WaitForSingleObject(event, static_cast<DWORD>(milliseconds));
    else
        Sleep(static_cast<DWORD>(milliseconds));
}

void Wakeups::wake(uint32_t self) {
    for (size_t i = 0; i < count_; ++i) {
        uint32_t watcher = watchers_[i].load();
        if (watcher == 0 || watcher == self)
            continue;
        HANDLE event = OpenEventA(EVENT_MODIFY_STATE, FALSE, watcherName(name_, watcher).c_str());
        if (event == nullptr) {
            watchers_[i].compare_exchange_strong(watcher, 0);
            continue;
        }
        SetEvent(event);
        CloseHandle(event);
    }
}

}  // namespace vsim::model
