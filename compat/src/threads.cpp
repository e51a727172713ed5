// Threads, per-thread state, mutexes and thread-local storage.
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <bitset>
#include <thread>

#include "kernel.h"

namespace w32 {

namespace {

ThreadState* g_threadHead = nullptr;
thread_local ThreadState* t_self = nullptr;
pthread_key_t g_exitKey;
std::once_flag g_exitKeyOnce;

// Called by pthreads when a thread that used the stand-in ends (never for the
// main thread at process exit, which matches Windows: the main thread gets
// no thread-detach notification, only process detach).
void onThreadExit(void* value) {
    auto* state = static_cast<ThreadState*>(value);
    detachThread(*state);
    for (auto& h : state->hazards)
        h.store(nullptr, std::memory_order_relaxed);
    t_self = nullptr;
    state->inUse.store(false, std::memory_order_release);
}

ThreadState& attachThread() {
    std::call_once(g_exitKeyOnce, [] { pthread_key_create(&g_exitKey, onThreadExit); });
    ThreadState* state = nullptr;
    {
        std::lock_guard guard(threadRegistryLock());
        for (ThreadState* t = g_threadHead; t != nullptr; t = t->next) {
            if (!t->inUse.load(
                    std::memory_order_acquire)) {  // pairs with the release at thread exit
                state = t;
                break;
            }
        }
        if (state == nullptr) {
            state = new ThreadState;
            state->next = g_threadHead;
            g_threadHead = state;
        }
        state->id = static_cast<DWORD>(syscall(SYS_gettid));
        state->lastError = 0;
        state->exitCode = 0;
        state->hazardDepth = 0;
        for (auto& v : state->tls)
            v.store(nullptr, std::memory_order_relaxed);
        state->ownedMutexes.clear();
        state->createdByCreateThread = false;
        state->detached = false;
        state->issuedPendingIo = false;
        state->inUse.store(true, std::memory_order_release);
    }
    t_self = state;
    pthread_setspecific(g_exitKey, state);
    return *state;
}

}  // namespace

std::mutex& threadRegistryLock() {
    static auto* lock = new std::mutex;
    return *lock;
}

ThreadState* threadRegistryHead() {
    return g_threadHead;
}

DWORD currentThreadId() {
    return self().id;
}

ThreadState& self() {
    if (t_self != nullptr)
        return *t_self;
    return attachThread();
}

// ---------------------------------------------------------------------------
// Mutexes: owned by a thread, recursive, abandoned when the owner ends.

class Mutex : public Waitable {
  public:
    Mutex() : Waitable(ObjectType::Mutex) {}

    enum class Released { NotOwner, StillOwned, Free };

    // Gives up one level of ownership. When the mutex becomes free the owner's
    // reference is dropped (the caller's lookup keeps the object alive).
    Released releaseBy(ThreadState& me) {
        {
            std::lock_guard guard(lock);
            if (owner_ != &me)
                return Released::NotOwner;
            if (--count_ > 0)
                return Released::StillOwned;
            owner_ = nullptr;
            auto& owned = me.ownedMutexes;
            owned.erase(std::find(owned.begin(), owned.end(), this));
            notifyLocked();
        }
        release();
        return Released::Free;
    }

    // The owner ended without releasing: the next waiter gets WAIT_ABANDONED.
    void abandon(ThreadState& me) {
        {
            std::lock_guard guard(lock);
            if (owner_ != &me)
                return;
            owner_ = nullptr;
            count_ = 0;
            abandoned_ = true;
            notifyLocked();
        }
        release();
    }

    void claimInitially(ThreadState& me) {
        std::lock_guard guard(lock);
        claim(me);
    }

  protected:
    bool signaledFor(const ThreadState& me) const override {
        return owner_ == nullptr || owner_ == &me;
    }
    DWORD claim(ThreadState& me) override {
        if (owner_ == nullptr) {
            owner_ = &me;
            addRef();  // the owner's reference
            me.ownedMutexes.push_back(this);
        }
        ++count_;
        if (abandoned_) {
            abandoned_ = false;
            return WAIT_ABANDONED;
        }
        return WAIT_OBJECT_0;
    }

  private:
    ThreadState* owner_ = nullptr;
    unsigned count_ = 0;
    bool abandoned_ = false;
};

// Threads: signalled when the thread has ended.
class Thread : public Waitable {
  public:
    Thread() : Waitable(ObjectType::Thread) {}

    void finish(DWORD code) {
        std::lock_guard guard(lock);
        exitCode_ = code;
        done_ = true;
        notifyLocked();
    }
    DWORD exitCode() {
        std::lock_guard guard(lock);
        return done_ ? exitCode_ : STILL_ACTIVE;
    }

    // A thread made suspended runs nothing, not even its attach
    // notifications, until it is resumed.
    void suspendAtStart() { suspendCount_ = 1; }
    void waitUntilResumed() {
        std::unique_lock guard(lock);
        changed.wait(guard, [this] { return suspendCount_ == 0; });
    }
    DWORD resume() {
        std::lock_guard guard(lock);
        const DWORD previous = suspendCount_;
        if (suspendCount_ > 0 && --suspendCount_ == 0)
            changed.notify_all();
        return previous;
    }

  protected:
    bool signaledFor(const ThreadState&) const override { return done_; }

  private:
    bool done_ = false;
    DWORD exitCode_ = STILL_ACTIVE;
    DWORD suspendCount_ = 0;
};

void detachThread(ThreadState& state) {
    if (state.detached)
        return;
    notifyThreadDetach();
    while (!state.ownedMutexes.empty()) {
        Mutex* m = state.ownedMutexes.back();
        state.ownedMutexes.pop_back();
        m->abandon(state);
    }
    if (state.issuedPendingIo)
        cancelThreadIo(state.id);
    state.detached = true;
}

namespace {

struct ThreadStart {
    Thread* thread;
    LPTHREAD_START_ROUTINE routine;
    LPVOID parameter;
    std::mutex lock;
    std::condition_variable started;
    DWORD id = 0;
};

void* threadTrampoline(void* arg) {
    auto* start = static_cast<ThreadStart*>(arg);
    Thread* thread = start->thread;
    LPTHREAD_START_ROUTINE routine = start->routine;
    LPVOID parameter = start->parameter;
    ThreadState& me = self();
    me.createdByCreateThread = true;
    {
        std::lock_guard guard(start->lock);
        start->id = me.id;
        start->started.notify_one();
    }
    thread->waitUntilResumed();
    notifyThreadAttach();
    // Windows signals a thread handle only after the libraries have seen the
    // thread detach, so a waiter knows that their per-thread state is gone.
    // This happens also when the thread ends with ExitThread, which unwinds
    // the thread's stack to here.
    struct Ending {
        ThreadState& me;
        Thread* thread;
        ~Ending() {
            detachThread(me);
            thread->finish(me.exitCode);
            thread->release();
        }
    } ending{me, thread};
    me.exitCode = routine(parameter);
    return nullptr;
}

}  // namespace

}  // namespace w32

using namespace w32;

extern "C" {

DWORD WINAPI GetLastError(void) {
    return self().lastError;
}
void WINAPI SetLastError(DWORD error) {
    self().lastError = error;
}
DWORD WINAPI GetCurrentThreadId(void) {
    return self().id;
}
DWORD WINAPI GetCurrentProcessId(void) {
    return static_cast<DWORD>(getpid());
}

void WINAPI Sleep(DWORD milliseconds) {
    if (milliseconds == INFINITE) {
        for (;;)
            std::this_thread::sleep_for(std::chrono::hours(24));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

// A named mutex that exists already is opened, and the caller does not
// become its owner.
HANDLE WINAPI CreateMutexA(LPSECURITY_ATTRIBUTES, BOOL initialOwner, LPCSTR name) {
    W32_FAULT_POINT("CreateMutexA", nullptr);
    const bool owned = initialOwner != FALSE;
    auto make = [](void* context) -> Object* {
        auto* mutex = new Mutex;
        if (*static_cast<const bool*>(context))
            mutex->claimInitially(self());
        return mutex;
    };
    if (name != nullptr && *name != '\0')
        return createNamed(name, ObjectType::Mutex, make, const_cast<bool*>(&owned));
    Object* mutex = make(const_cast<bool*>(&owned));
    HANDLE handle = HandleTable::instance().insert(mutex);
    if (handle == nullptr) {
        mutex->release();
        setLastError(ERROR_NO_SYSTEM_RESOURCES);
        return nullptr;
    }
    setLastError(ERROR_SUCCESS);
    return handle;
}

HANDLE WINAPI OpenMutexA(DWORD access, BOOL, LPCSTR name) {
    W32_FAULT_POINT("OpenMutexA", nullptr);
    constexpr DWORD kMutexModifyState = 0x0001;
    if (!fullAccess(access, kMutexModifyState)) {
        setLastError(ERROR_NOT_SUPPORTED);
        return nullptr;
    }
    return openNamed(name, ObjectType::Mutex);
}

BOOL WINAPI ReleaseMutex(HANDLE handle) {
    W32_FAULT_POINT("ReleaseMutex", FALSE);
    Lookup<Mutex> mutex(handle, ObjectType::Mutex);
    if (!mutex) {
        setLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (mutex->releaseBy(self()) == Mutex::Released::NotOwner) {
        setLastError(ERROR_NOT_OWNER);
        return FALSE;
    }
    return TRUE;
}

HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES, SIZE_T stackSize, LPTHREAD_START_ROUTINE routine,
                           LPVOID parameter, DWORD flags, LPDWORD threadId) {
    W32_FAULT_POINT("CreateThread", nullptr);
    constexpr DWORD kStackSizeIsReservation = 0x00010000;
    if (routine == nullptr || (flags & ~(kStackSizeIsReservation | CREATE_SUSPENDED)) != 0) {
        setLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    auto* thread = new Thread;
    if (flags & CREATE_SUSPENDED)
        thread->suspendAtStart();

    HANDLE handle = HandleTable::instance().insert(thread);
    if (handle == nullptr) {
        thread->release();
        setLastError(ERROR_NO_SYSTEM_RESOURCES);
        return nullptr;
    }
    thread->addRef();  // the running thread's reference
    ThreadStart start{thread, routine, parameter, {}, {}, 0};
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    if (stackSize != 0)
        pthread_attr_setstacksize(&attr, std::max<size_t>(stackSize, 65536));
    pthread_t id;
    std::unique_lock guard(start.lock);
    const int error = pthread_create(&id, &attr, threadTrampoline, &start);
    pthread_attr_destroy(&attr);
    if (error != 0) {
        thread->release();
        guard.unlock();
        if (Object* o = HandleTable::instance().remove(handle))
            HandleTable::instance().retire(o);
        setLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    start.started.wait(guard, [&] { return start.id != 0; });
    if (threadId != nullptr)
        *threadId = start.id;
    return handle;
}

// The thread ends here: pthreads unwinds its stack (the thread's start
// routine finishes its handle on the way) and runs its exit handlers.
void WINAPI ExitThread(DWORD code) {
    self().exitCode = code;
    pthread_exit(nullptr);
}

DWORD WINAPI ResumeThread(HANDLE handle) {
    W32_FAULT_POINT("ResumeThread", static_cast<DWORD>(-1));
    Lookup<Thread> thread(handle, ObjectType::Thread);
    if (!thread) {
        setLastError(ERROR_INVALID_HANDLE);
        return static_cast<DWORD>(-1);
    }
    return thread->resume();
}

BOOL WINAPI GetExitCodeThread(HANDLE handle, LPDWORD exitCode) {
    W32_FAULT_POINT("GetExitCodeThread", FALSE);
    Lookup<Thread> thread(handle, ObjectType::Thread);
    if (!thread) {
        setLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (exitCode == nullptr) {
        setLastError(ERROR_NOACCESS);
        return FALSE;
    }
    *exitCode = thread->exitCode();
    return TRUE;
}

}  // extern "C"

// ---------------------------------------------------------------------------
// Thread-local storage

namespace {
std::mutex& tlsLock() {
    static auto* lock = new std::mutex;
    return *lock;
}
std::bitset<kTlsSlots> g_tlsUsed;

void clearSlotEverywhere(DWORD index) {
    forEachThread(
        [index](ThreadState& t) { t.tls[index].store(nullptr, std::memory_order_relaxed); });
}
}  // namespace

extern "C" {

DWORD WINAPI TlsAlloc(void) {
    W32_FAULT_POINT("TlsAlloc", TLS_OUT_OF_INDEXES);
    std::lock_guard guard(tlsLock());
    // Windows never hands out slot 0.
    for (DWORD i = 1; i < kTlsSlots; ++i) {
        if (!g_tlsUsed[i]) {
            g_tlsUsed[i] = true;
            clearSlotEverywhere(i);
            return i;
        }
    }
    setLastError(ERROR_NO_MORE_ITEMS);
    return TLS_OUT_OF_INDEXES;
}

LPVOID WINAPI TlsGetValue(DWORD index) {
    W32_FAULT_POINT("TlsGetValue", nullptr);
    ThreadState& me = self();
    if (index >= kTlsSlots) {
        me.lastError = ERROR_INVALID_PARAMETER;
        return nullptr;
    }
    // Windows clears the last error on success, so that a NULL value can be
    // told from a failure.
    me.lastError = ERROR_SUCCESS;
    return me.tls[index].load(std::memory_order_relaxed);
}

BOOL WINAPI TlsSetValue(DWORD index, LPVOID value) {
    W32_FAULT_POINT("TlsSetValue", FALSE);
    if (index >= kTlsSlots) {
        setLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    self().tls[index].store(value, std::memory_order_relaxed);
    return TRUE;
}

BOOL WINAPI TlsFree(DWORD index) {
    W32_FAULT_POINT("TlsFree", FALSE);
    std::lock_guard guard(tlsLock());
    if (index >= kTlsSlots || !g_tlsUsed[index]) {
        setLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    g_tlsUsed[index] = false;
    clearSlotEverywhere(index);
    return TRUE;
}

}  // extern "C"
