// Slim reader/writer locks. The lock is the low 32 bits of its pointer-sized
// word: bit 0 says a writer holds it, bit 1 that a thread may be asleep
// waiting for it, and the bits above count the readers that hold it. Threads
// that cannot take it sleep on the word (a futex) and are woken, all of them,
// whenever a release leaves the lock free while someone waits; each then
// tries again. Like Windows' lock, it needs no initialisation beyond zero, is
// never destroyed and is not recursive.
#include <unistd.h>

#include <atomic>
#include <climits>
#include <cstdint>

#include "kernel.h"

namespace w32 {
namespace {

constexpr uint32_t kWriter = 0x1;
constexpr uint32_t kWaiting = 0x2;
constexpr uint32_t kReader = 0x4;  // one reader in the count

static_assert(sizeof(SRWLOCK) >= sizeof(uint32_t));

uint32_t* wordOf(PSRWLOCK lock) {
    return reinterpret_cast<uint32_t*>(&lock->Ptr);
}

std::atomic_ref<uint32_t> stateOf(PSRWLOCK lock) {
    return std::atomic_ref<uint32_t>(*wordOf(lock));
}

// Sleeps while the word still holds `expected` (with the waiting bit set).
void sleepOn(PSRWLOCK lock, uint32_t expected) {
    futexWait(wordOf(lock), expected);
}

void wakeAll(PSRWLOCK lock) {
    futexWake(wordOf(lock), INT_MAX);
}

// Marks the lock as waited for and sleeps until it changes; false if it
// changed before the mark could be set (the caller then tries again).
bool waitForChange(PSRWLOCK lock, uint32_t seen) {
    auto state = stateOf(lock);
    if (!(seen & kWaiting) &&
        !state.compare_exchange_weak(seen, seen | kWaiting, std::memory_order_relaxed))
        return false;
    sleepOn(lock, seen | kWaiting);
    return true;
}

bool tryExclusive(PSRWLOCK lock, uint32_t& seen) {
    // Free but for sleepers that have yet to try again.
    while ((seen & ~kWaiting) == 0) {
        if (stateOf(lock).compare_exchange_weak(seen, seen | kWriter, std::memory_order_acquire,
                                                std::memory_order_relaxed))
            return true;
    }
    return false;
}

bool tryShared(PSRWLOCK lock, uint32_t& seen) {
    while (!(seen & kWriter)) {
        if (stateOf(lock).compare_exchange_weak(seen, seen + kReader, std::memory_order_acquire,
                                                std::memory_order_relaxed))
            return true;
    }
    return false;
}

}  // namespace
}  // namespace w32

using namespace w32;

extern "C" {

void WINAPI InitializeSRWLock(PSRWLOCK lock) {
    lock->Ptr = nullptr;
}

void WINAPI AcquireSRWLockExclusive(PSRWLOCK lock) {
    for (;;) {
        uint32_t seen = stateOf(lock).load(std::memory_order_relaxed);
        if (tryExclusive(lock, seen))
            return;
        waitForChange(lock, seen);
    }
}

void WINAPI AcquireSRWLockShared(PSRWLOCK lock) {
    for (;;) {
        uint32_t seen = stateOf(lock).load(std::memory_order_relaxed);
        if (tryShared(lock, seen))
            return;
        waitForChange(lock, seen);
    }
}

BOOLEAN WINAPI TryAcquireSRWLockExclusive(PSRWLOCK lock) {
    uint32_t seen = stateOf(lock).load(std::memory_order_relaxed);
    return tryExclusive(lock, seen) ? TRUE : FALSE;
}

BOOLEAN WINAPI TryAcquireSRWLockShared(PSRWLOCK lock) {
    uint32_t seen = stateOf(lock).load(std::memory_order_relaxed);
    return tryShared(lock, seen) ? TRUE : FALSE;
}

void WINAPI ReleaseSRWLockExclusive(PSRWLOCK lock) {
    // The writer leaves no readers behind: the lock is free.
    if (stateOf(lock).exchange(0, std::memory_order_release) & kWaiting)
        wakeAll(lock);
}

void WINAPI ReleaseSRWLockShared(PSRWLOCK lock) {
    auto state = stateOf(lock);
    uint32_t left = state.fetch_sub(kReader, std::memory_order_release) - kReader;
    // The last reader out wakes the sleepers; should the word change first
    // (a new reader came in), that reader's release does it instead.
    if (left == kWaiting && state.compare_exchange_strong(left, 0, std::memory_order_relaxed))
        wakeAll(lock);
}

}  // extern "C"
