// Internals of the Win32 stand-in: kernel objects, the handle table, and the
// per-thread state. Organised as Wine's server is: every handle names a typed
// object; a value that is not an open handle of the expected type gives
// ERROR_INVALID_HANDLE; each API function sets the last error in one place.
#pragma once

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <windows.h>

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include <vsim/fault_rules.h>

namespace w32 {

enum class ObjectType : uint8_t { Event, Mutex, Thread, File, Pipe, Device, Heap, DevInfo };

// The calling thread's id (GetCurrentThreadId without a fault point).
DWORD currentThreadId();

const char* typeName(ObjectType type);

// A kernel object. References: one for the handle that names it, one for each
// long-lived user (a waiting thread, a pending request). Short operations use
// the hazard-protected lookup of the handle table instead of a reference, so
// the request path writes to no shared cache line.
class Object {
  public:
    explicit Object(ObjectType type) : type_(type), creator_(currentThreadId()) {}
    virtual ~Object();
    Object(const Object&) = delete;
    Object& operator=(const Object&) = delete;

    ObjectType type() const { return type_; }
    // The thread that made the object (for leak checks in tests).
    DWORD creator() const { return creator_; }
    void addRef() { refs_.fetch_add(1, std::memory_order_relaxed); }
    // A reference unless the object is already on its way out.
    bool tryAddRef() {
        uint32_t refs = refs_.load(std::memory_order_relaxed);
        while (refs != 0)
            if (refs_.compare_exchange_weak(refs, refs + 1, std::memory_order_acquire))
                return true;
        return false;
    }
    void release() {
        if (refs_.fetch_sub(1, std::memory_order_acq_rel) == 1)
            delete this;
    }
    // The handle is being closed. Returns false (with the last error set) if
    // this kind of object cannot be closed with CloseHandle.
    virtual bool onClose() { return true; }

    // Set when the object has a name: its name goes with it.
    bool named = false;

  private:
    const ObjectType type_;
    const DWORD creator_;
    std::atomic<uint32_t> refs_{1};
};

// Named objects (events, mutexes) share one namespace. Creating a name that
// exists opens the object (ERROR_ALREADY_EXISTS) if it has the type asked
// for, and fails with ERROR_INVALID_HANDLE if not; `make` makes a new one.
// A name lives as long as its object has handles; a Local\ prefix names the
// same object as the plain name.
HANDLE createNamed(const char* name, ObjectType type, Object* (*make)(void* context),
                   void* context);
// Opens the object of a name: ERROR_FILE_NOT_FOUND if there is none,
// ERROR_INVALID_HANDLE if it has another type.
HANDLE openNamed(const char* name, ObjectType type);
// A handle of a named object was closed.
void namedHandleClosed(Object* object);
// Every handle here may do everything with its object, so an open asks for
// full access: waiting (SYNCHRONIZE) and changing the state.
inline bool fullAccess(DWORD access, DWORD modifyState) {
    constexpr DWORD kMaximumAllowed = 0x02000000;
    const DWORD wanted = SYNCHRONIZE | modifyState;
    return (access & wanted) == wanted || (access & (GENERIC_ALL | kMaximumAllowed)) != 0;
}

struct ThreadState;

// Sleeps while the 32-bit word at `word` still holds `expected`, or wakes up
// to `count` threads sleeping on it (a futex private to the process).
inline void futexWait(void* word, uint32_t expected) {
    syscall(SYS_futex, word, FUTEX_WAIT_PRIVATE, expected, nullptr, nullptr, 0);
}
inline void futexWake(void* word, int count) {
    syscall(SYS_futex, word, FUTEX_WAKE_PRIVATE, count, nullptr, nullptr, 0);
}

// A thread that waits for several objects at once: every change of any of
// them wakes it, and it looks at them all again.
struct MultiWaiter {
    std::mutex lock;
    std::condition_variable woken;
    bool changed = false;
    void wake() {
        {
            std::lock_guard guard(lock);
            changed = true;
        }
        woken.notify_one();
    }
};

// An object that a thread can wait for. The state lives under `lock`.
class Waitable : public Object {
  public:
    using Object::Object;
    // Waits until signalled or until the time-out; returns a WAIT_* value.
    DWORD wait(ThreadState& self, DWORD milliseconds);
    // Waits for one of `count` objects (the first signalled in their order),
    // or for all of them at once; returns WAIT_OBJECT_0 + i, WAIT_ABANDONED_0
    // + i (a mutex whose owner ended), WAIT_TIMEOUT.
    static DWORD waitMany(ThreadState& self, Waitable* const* objects, DWORD count, bool all,
                          DWORD milliseconds);

  protected:
    // Both are called with `lock` held.
    virtual bool signaledFor(const ThreadState& self) const = 0;
    // Claims the object for a waiter that found it signalled (auto-reset
    // events reset, mutexes take their owner). Returns a WAIT_* value.
    virtual DWORD claim(ThreadState& self) {
        (void)self;
        return WAIT_OBJECT_0;
    }

    // Wakes waiting threads after a change of state. Objects whose state is
    // an atomic change it without the lock and call this: the lock is taken
    // only when someone waits, so an uncontended signal writes no shared line.
    void wakeWaiters() {
        if (waiters_.load(std::memory_order_seq_cst) == 0)
            return;
        std::lock_guard guard(lock);
        notifyLocked();
    }
    // The same, with `lock` held.
    void notifyLocked() {
        changed.notify_all();
        for (MultiWaiter* w : multiWaiters_)
            w->wake();
    }

    std::mutex lock;
    std::condition_variable changed;

  private:
    std::atomic<uint32_t> waiters_{0};
    std::vector<MultiWaiter*> multiWaiters_;  // under `lock`
};

class Event : public Waitable {
  public:
    Event(bool manualReset, bool initial) : Waitable(ObjectType::Event), manual_(manualReset) {
        state_.store(initial, std::memory_order_relaxed);
    }
    void set() {
        state_.store(true, std::memory_order_seq_cst);
        wakeWaiters();
    }
    void reset() { state_.store(false, std::memory_order_seq_cst); }

  protected:
    bool signaledFor(const ThreadState&) const override {
        return state_.load(std::memory_order_seq_cst);
    }
    DWORD claim(ThreadState&) override {
        if (!manual_)
            state_.store(false, std::memory_order_seq_cst);
        return WAIT_OBJECT_0;
    }

  private:
    const bool manual_;
    std::atomic<bool> state_{false};
};

// Files, pipes and devices. A file object is signalled when no I/O is in
// progress on it, which is what a wait on a file handle observes on Windows.
class FileObject : public Waitable {
  public:
    using Waitable::Waitable;
    void setSignaled(bool signaled) {
        // Many threads may use one device handle at once: skip the store when
        // nothing changes, so the request path rarely writes the shared line.
        if (signaled_.load(std::memory_order_relaxed) == signaled)
            return;
        signaled_.store(signaled, std::memory_order_seq_cst);
        if (signaled)
            wakeWaiters();
    }

  protected:
    bool signaledFor(const ThreadState&) const override {
        return signaled_.load(std::memory_order_seq_cst);
    }

  private:
    std::atomic<bool> signaled_{true};
};

// ---------------------------------------------------------------------------
// Per-thread state

inline constexpr size_t kTlsSlots = 1088;  // TLS_MINIMUM_AVAILABLE + expansion slots
inline constexpr size_t kHazardSlots = 4;

class Mutex;

struct ThreadState {
    DWORD id = 0;
    DWORD exitCode = 0;  // set by ExitThread
    DWORD lastError = 0;
    std::atomic<bool> inUse{false};
    std::atomic<Object*> hazards[kHazardSlots] = {};
    unsigned hazardDepth = 0;
    std::array<std::atomic<void*>, kTlsSlots> tls{};
    std::vector<Mutex*> ownedMutexes;
    bool createdByCreateThread = false;
    bool detached = false;
    bool issuedPendingIo = false;
    ThreadState* next = nullptr;  // registry link, never unlinked (records are reused)
};

// The calling thread's state, created on first use.
ThreadState& self();
// Runs `fn` on every thread's state under the registry lock.
std::mutex& threadRegistryLock();
ThreadState* threadRegistryHead();
template <typename Fn>
void forEachThread(Fn&& fn) {
    std::lock_guard guard(threadRegistryLock());
    for (ThreadState* t = threadRegistryHead(); t != nullptr; t = t->next)
        if (t->inUse.load(std::memory_order_acquire))
            fn(*t);
}
// Ends the calling thread's use of the stand-in: library thread-detach
// notifications, abandoned mutexes, cancelled I/O. Runs once per thread.
void detachThread(ThreadState& state);

inline void setLastError(DWORD error) {
    self().lastError = error;
}

// ---------------------------------------------------------------------------
// The handle table

class HandleTable {
  public:
    static HandleTable& instance();
    // Publishes an object under a new handle; the table takes over the
    // caller's reference. Returns null if the table is full.
    HANDLE insert(Object* object);
    // Unpublishes a handle and returns its object (whose table reference the
    // caller must retire), or null if the value is not an open handle.
    Object* remove(HANDLE handle);
    // Hazard-protected lookup; see Lookup below.
    Object* protect(HANDLE handle, std::atomic<Object*>& hazard);
    // Drops the table's reference once no thread's hazard names the object.
    void retire(Object* object);
    // Number of open handles of a type whose object's creator passes `mine`.
    template <typename Filter>
    size_t count(ObjectType type, Filter mine);
    // The sum of `value(object)` over the open handles of a type.
    template <typename Value>
    size_t sum(ObjectType type, Value value);

  private:
    static constexpr size_t kChunkBits = 10;
    static constexpr size_t kChunkSize = size_t{1} << kChunkBits;
    static constexpr size_t kMaxChunks = 4096;
    using Chunk = std::array<std::atomic<Object*>, kChunkSize>;

    std::atomic<Object*>* slot(HANDLE handle);
    std::vector<Object*> collectRetired();

    std::atomic<Chunk*> chunks_[kMaxChunks] = {};
    std::mutex lock_;  // allocation of slots and the retired list only
    std::vector<uint32_t> free_;
    size_t freeHead_ = 0;
    uint32_t nextFresh_ = 0;
    std::vector<Object*> retired_;
};

template <typename Filter>
size_t HandleTable::count(ObjectType type, Filter mine) {
    return sum(type, [&](Object* o) -> size_t { return mine(o->creator()) ? 1 : 0; });
}

template <typename Value>
size_t HandleTable::sum(ObjectType type, Value value) {
    std::lock_guard guard(lock_);
    size_t n = 0;
    for (uint32_t i = 0; i < nextFresh_; ++i) {
        Object* o =
            (*chunks_[i >> kChunkBits].load(std::memory_order_acquire))[i & (kChunkSize - 1)].load(
                std::memory_order_acquire);
        if (o != nullptr && o->type() == type)
            n += value(o);
    }
    return n;
}

// A short, hazard-protected use of the object behind a handle. While it is

// alive the object cannot be freed, even if another thread closes the handle.
// Take a reference (retain) to keep the object beyond that.
template <typename T>
class Lookup {
  public:
    Lookup(HANDLE handle, ObjectType type) : Lookup(handle, type, type) {}
    Lookup(HANDLE handle, ObjectType type, ObjectType alt) : state_(self()) {
        depth_ = state_.hazardDepth++;
        Object* object = HandleTable::instance().protect(handle, state_.hazards[depth_]);
        if (object != nullptr && (object->type() == type || object->type() == alt))
            object_ = static_cast<T*>(object);
    }
    // Accepts any object type; the caller checks.
    explicit Lookup(HANDLE handle) : state_(self()) {
        depth_ = state_.hazardDepth++;
        object_ = static_cast<T*>(HandleTable::instance().protect(handle, state_.hazards[depth_]));
    }
    ~Lookup() {
        state_.hazards[depth_].store(nullptr, std::memory_order_release);
        --state_.hazardDepth;
    }
    Lookup(const Lookup&) = delete;
    Lookup& operator=(const Lookup&) = delete;

    explicit operator bool() const { return object_ != nullptr; }
    T* get() const { return object_; }
    T* operator->() const { return object_; }
    // A counted reference that outlives this lookup.
    T* retain() const {
        object_->addRef();
        return object_;
    }

  private:
    ThreadState& state_;
    unsigned depth_;
    T* object_ = nullptr;
};

// ---------------------------------------------------------------------------
// The NTSTATUS that OVERLAPPED.Internal holds, from and to a Win32 error.

DWORD ntStatusOf(DWORD error);
DWORD errorOfNtStatus(DWORD status);

// ---------------------------------------------------------------------------
// Fault injection

namespace faults {
vsim::FaultRules& rules();
}  // namespace faults

// Starts an API function: if a fault is armed for this call, set its error
// and return `failure`.
#define W32_FAULT_POINT(call, failure)                                                    \
    do {                                                                                  \
        uint32_t injected_;                                                               \
        bool end_ = false;                                                                \
        if (::w32::faults::rules().armed() &&                                             \
            ::w32::faults::rules().shouldFail(call, ::w32::self().id, injected_, end_)) { \
            if (end_)                                                                     \
                ExitThread(0);                                                            \
            ::w32::setLastError(injected_);                                               \
            return failure;                                                               \
        }                                                                                 \
    } while (0)

// ---------------------------------------------------------------------------
// Shared helpers

DWORD errorFromErrno(int error);
// WaitForSingleObject without its fault point, for calls that wait internally.
DWORD waitForHandle(HANDLE handle, DWORD milliseconds);
// UTF-16 to UTF-8 (unpaired surrogates become U+FFFD).
std::string utf8FromUtf16(const WCHAR* text);
// Opens a device path of the simulated driver (\\?\... or \\.\...).
HANDLE openDevicePath(const std::string& path, DWORD access, DWORD share, DWORD flags);
bool isDevicePath(const std::string& path);
// Library entry points (the loader emulation).
void notifyThreadAttach();
void notifyThreadDetach();
// Cancels the pending device requests that a thread issued.
void cancelThreadIo(DWORD thread);

}  // namespace w32
