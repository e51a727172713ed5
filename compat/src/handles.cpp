#include <algorithm>

#include "kernel.h"

namespace w32 {

const char* typeName(ObjectType type) {
    switch (type) {
        case ObjectType::Event:
            return "event";
        case ObjectType::Mutex:
            return "mutex";
        case ObjectType::Thread:
            return "thread";
        case ObjectType::File:
            return "file";
        case ObjectType::Pipe:
            return "pipe";
        case ObjectType::Device:
            return "device";
        case ObjectType::Heap:
            return "heap";
        case ObjectType::DevInfo:
            return "devinfo";
    }
    return "?";
}

// Handle values are multiples of 4 starting at 4, as on Windows; the kernel
// ignores the two low bits of a handle value, and so do we.
namespace {
constexpr uintptr_t kHandleShift = 2;

uint32_t indexOf(HANDLE handle) {
    const auto value = reinterpret_cast<uintptr_t>(handle) >> kHandleShift;
    if (value == 0 || value > UINT32_MAX)
        return UINT32_MAX;
    return static_cast<uint32_t>(value - 1);
}

HANDLE handleOf(uint32_t index) {
    return reinterpret_cast<HANDLE>((uintptr_t{index} + 1) << kHandleShift);
}
}  // namespace

HandleTable& HandleTable::instance() {
    // Never destroyed: libraries close handles from their own unload code,
    // which may run after this library's static destructors.
    static HandleTable* table = new HandleTable;
    return *table;
}

std::atomic<Object*>* HandleTable::slot(HANDLE handle) {
    const uint32_t index = indexOf(handle);
    if (index == UINT32_MAX)
        return nullptr;
    const size_t chunk = index >> kChunkBits;
    if (chunk >= kMaxChunks)
        return nullptr;
    Chunk* c = chunks_[chunk].load(std::memory_order_acquire);
    if (c == nullptr)
        return nullptr;
    return &(*c)[index & (kChunkSize - 1)];
}

HANDLE HandleTable::insert(Object* object) {
    std::lock_guard guard(lock_);
    uint32_t index;
    // Closed handle values are reused oldest first, so a stale value rarely
    // names a new object straight away.
    if (freeHead_ < free_.size()) {
        index = free_[freeHead_++];
        if (freeHead_ == free_.size()) {
            free_.clear();
            freeHead_ = 0;
        }
    } else {
        const size_t chunk = nextFresh_ >> kChunkBits;
        if (chunk >= kMaxChunks)
            return nullptr;
        if (chunks_[chunk].load(std::memory_order_relaxed) == nullptr)
            chunks_[chunk].store(new Chunk{}, std::memory_order_release);
        index = nextFresh_++;
    }
    (*chunks_[index >> kChunkBits].load(std::memory_order_relaxed))[index & (kChunkSize - 1)].store(
        object, std::memory_order_release);
    return handleOf(index);
}

Object* HandleTable::remove(HANDLE handle) {
    std::atomic<Object*>* s = slot(handle);
    if (s == nullptr)
        return nullptr;
    Object* object = s->exchange(nullptr, std::memory_order_seq_cst);
    if (object == nullptr)
        return nullptr;
    std::lock_guard guard(lock_);
    free_.push_back(indexOf(handle));
    return object;
}

Object* HandleTable::protect(HANDLE handle, std::atomic<Object*>& hazard) {
    std::atomic<Object*>* s = slot(handle);
    if (s == nullptr)
        return nullptr;
    Object* object = s->load(std::memory_order_acquire);
    while (object != nullptr) {
        hazard.store(object, std::memory_order_seq_cst);
        Object* again = s->load(std::memory_order_seq_cst);
        if (again == object)
            return object;
        object = again;
    }
    hazard.store(nullptr, std::memory_order_relaxed);
    return nullptr;
}

void HandleTable::retire(Object* object) {
    std::vector<Object*> done;
    {
        std::lock_guard guard(lock_);
        retired_.push_back(object);
        done = collectRetired();
    }
    for (Object* o : done)
        o->release();
}

// Takes the retired objects that no thread is using right now off the list.
// Objects still under a hazard wait for the next retirement.
std::vector<Object*> HandleTable::collectRetired() {
    std::vector<Object*> inUse;
    forEachThread([&](ThreadState& t) {
        for (auto& h : t.hazards)
            if (Object* o = h.load(std::memory_order_seq_cst))
                inUse.push_back(o);
    });
    std::sort(inUse.begin(), inUse.end());
    std::vector<Object*> keep, done;
    for (Object* o : retired_) {
        if (std::binary_search(inUse.begin(), inUse.end(), o))
            keep.push_back(o);
        else
            done.push_back(o);
    }
    retired_.swap(keep);
    return done;
}

// ---------------------------------------------------------------------------
// Waiting

DWORD Waitable::wait(ThreadState& me, DWORD milliseconds) {
    // Registered before the state is read, so a signal that changes the state
    // without the lock either is seen here or finds a waiter to wake.
    waiters_.fetch_add(1, std::memory_order_seq_cst);
    struct Unregister {
        std::atomic<uint32_t>& n;
        ~Unregister() { n.fetch_sub(1, std::memory_order_seq_cst); }
    } unregister{waiters_};
    std::unique_lock guard(lock);
    if (!signaledFor(me)) {
        if (milliseconds == 0)
            return WAIT_TIMEOUT;
        if (milliseconds == INFINITE) {
            changed.wait(guard, [&] { return signaledFor(me); });
        } else {
            const auto deadline =
                std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
            if (!changed.wait_until(guard, deadline, [&] { return signaledFor(me); }))
                return WAIT_TIMEOUT;
        }
    }
    return claim(me);
}

}  // namespace w32

using namespace w32;

extern "C" {

BOOL WINAPI CloseHandle(HANDLE handle) {
    W32_FAULT_POINT("CloseHandle", FALSE);
    {
        // Heaps and device information sets are not kernel handles.
        Lookup<Object> probe(handle);
        if (probe && (probe->type() == ObjectType::Heap || probe->type() == ObjectType::DevInfo)) {
            setLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
    }
    Object* object = HandleTable::instance().remove(handle);
    if (object == nullptr) {
        setLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    object->onClose();
    HandleTable::instance().retire(object);
    return TRUE;
}

HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES, BOOL manualReset, BOOL initialState,
                           LPCSTR name) {
    W32_FAULT_POINT("CreateEventA", nullptr);
    if (name != nullptr) {
        // Named objects are shared between processes; nothing here needs them.
        setLastError(ERROR_NOT_SUPPORTED);
        return nullptr;
    }
    HANDLE handle =
        HandleTable::instance().insert(new Event(manualReset != FALSE, initialState != FALSE));
    if (handle == nullptr)
        setLastError(ERROR_NO_SYSTEM_RESOURCES);
    return handle;
}

BOOL WINAPI SetEvent(HANDLE handle) {
    W32_FAULT_POINT("SetEvent", FALSE);
    Lookup<Event> event(handle, ObjectType::Event);
    if (!event) {
        setLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    event->set();
    return TRUE;
}

BOOL WINAPI ResetEvent(HANDLE handle) {
    W32_FAULT_POINT("ResetEvent", FALSE);
    Lookup<Event> event(handle, ObjectType::Event);
    if (!event) {
        setLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    event->reset();
    return TRUE;
}

DWORD WINAPI WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
    W32_FAULT_POINT("WaitForSingleObject", WAIT_FAILED);
    return waitForHandle(handle, milliseconds);
}

}  // extern "C"

namespace w32 {

DWORD waitForHandle(HANDLE handle, DWORD milliseconds) {
    Waitable* waitable = nullptr;
    {
        Lookup<Object> object(handle);
        if (!object || object->type() == ObjectType::Heap ||
            object->type() == ObjectType::DevInfo) {
            setLastError(ERROR_INVALID_HANDLE);
            return WAIT_FAILED;
        }
        // Hold a reference, not a hazard, across a wait that may block.
        waitable = static_cast<Waitable*>(object.retain());
    }
    const DWORD result = waitable->wait(self(), milliseconds);
    waitable->release();
    return result;
}

}  // namespace w32
