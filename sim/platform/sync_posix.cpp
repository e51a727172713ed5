// The machine's lock and wake-ups on Linux: a robust, process-shared mutex
// in the machine's state, and a futex on the counter that watchers wait on.
#include <linux/futex.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <ctime>

#include "machine/machine_lock.h"
#include "machine/wakeups.h"

namespace vsim::model {

namespace {

pthread_mutex_t* mutexOf(void* word) {
    return static_cast<pthread_mutex_t*>(word);
}

}  // namespace

static_assert(sizeof(pthread_mutex_t) <= 64, "the lock word holds a mutex");

MachineLock::MachineLock(void* word, const std::string&) : word_(word) {}
MachineLock::~MachineLock() = default;

void MachineLock::reset(void* word) {
    pthread_mutexattr_t attributes;
    pthread_mutexattr_init(&attributes);
    pthread_mutexattr_setpshared(&attributes, PTHREAD_PROCESS_SHARED);
    pthread_mutexattr_setrobust(&attributes, PTHREAD_MUTEX_ROBUST);
    pthread_mutex_init(mutexOf(word), &attributes);
    pthread_mutexattr_destroy(&attributes);
}

void MachineLock::lock() {
    if (pthread_mutex_lock(mutexOf(word_)) == EOWNERDEAD)
        pthread_mutex_consistent(mutexOf(word_));
    locked();
}

void MachineLock::unlock() {
    pthread_mutex_unlock(mutexOf(word_));
}

void Wakeups::join(uint32_t) {}
void Wakeups::leave(uint32_t) {}

void Wakeups::await(uint32_t seen, uint32_t, int milliseconds) {
    const timespec timeout{milliseconds / 1000, (milliseconds % 1000) * 1000000L};
    syscall(SYS_futex, reinterpret_cast<uint32_t*>(&counter_), FUTEX_WAIT, seen, &timeout, nullptr,
            0);
}

void Wakeups::wake(uint32_t) {
    syscall(SYS_futex, reinterpret_cast<uint32_t*>(&counter_), FUTEX_WAKE, INT32_MAX, nullptr,
            nullptr, 0);
}

}  // namespace vsim::model
