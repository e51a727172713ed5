#include <algorithm>

#include <unordered_map>

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
// Named objects

namespace {

class NamedObjects {
  public:
    static NamedObjects& instance() {
        static auto* names = new NamedObjects;
        return *names;
    }
    std::mutex lock;
    // The object of a name, with a reference and a handle counted for the
    // caller (who publishes a handle for it); null if there is none. The
    // caller holds the lock.
    Object* find(const std::string& name) {
        auto it = objects_.find(name);
        if (it == objects_.end() || !it->second.object->tryAddRef())
            return nullptr;
        ++it->second.handles;
        return it->second.object;
    }
    // Names a new object, with its first handle. The caller holds the lock.
    void add(const std::string& name, Object* object) {
        objects_[name] = {object, 1};
        object->named = true;
    }
    // A handle of a named object is closed (or was never published): the
    // name goes with the object's last handle, as on Windows, even while
    // something else (a mutex's owner, a waiter) still holds the object.
    void handleClosed(Object* object) {
        std::lock_guard guard(lock);
        for (auto it = objects_.begin(); it != objects_.end(); ++it) {
            if (it->second.object != object)
                continue;
            if (--it->second.handles == 0)
                objects_.erase(it);
            return;
        }
    }

  private:
    struct Entry {
        Object* object;
        size_t handles;
    };
    std::unordered_map<std::string, Entry> objects_;
};

// The key of a name, or false (ERROR_PATH_NOT_FOUND) for a name with a
// backslash other than after a Local\ or Global\ prefix. Local\ names the
// same object as the plain name.
bool nameKey(const char* name, std::string& key) {
    key = name;
    if (key.rfind("Local\\", 0) == 0)
        key.erase(0, 6);
    const size_t rest = key.rfind("Global\\", 0) == 0 ? 7 : 0;
    if (key.find('\\', rest) != std::string::npos) {
        setLastError(ERROR_PATH_NOT_FOUND);
        return false;
    }
    return true;
}

// Publishes a handle for an object the caller holds a reference to.
HANDLE publish(Object* object) {
    HANDLE handle = HandleTable::instance().insert(object);
    if (handle == nullptr) {
        if (object->named)
            NamedObjects::instance().handleClosed(object);
        object->release();
        setLastError(ERROR_NO_SYSTEM_RESOURCES);
    }
    return handle;
}

}  // namespace

Object::~Object() = default;

HANDLE createNamed(const char* name, ObjectType type, Object* (*make)(void*), void* context) {
    std::string key;
    if (!nameKey(name, key))
        return nullptr;
    auto& names = NamedObjects::instance();
    Object* object = nullptr;
    bool existed = false;
    {
        std::lock_guard guard(names.lock);
        object = names.find(key);
        existed = object != nullptr;
        if (!existed) {
            object = make(context);
            names.add(key, object);
        }
    }
    // Released outside the lock: the last reference may go with it.
    if (existed && object->type() != type) {
        names.handleClosed(object);
        object->release();
        setLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    HANDLE handle = publish(object);
    if (handle != nullptr)
        setLastError(existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return handle;
}

HANDLE openNamed(const char* name, ObjectType type) {
    if (name == nullptr) {
        setLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    std::string key;
    if (!nameKey(name, key))
        return nullptr;
    auto& names = NamedObjects::instance();
    Object* object = nullptr;
    {
        std::lock_guard guard(names.lock);
        object = names.find(key);
    }
    if (object == nullptr) {
        setLastError(ERROR_FILE_NOT_FOUND);
        return nullptr;
    }
    if (object->type() != type) {
        names.handleClosed(object);
        object->release();
        setLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return publish(object);
}

void namedHandleClosed(Object* object) {
    NamedObjects::instance().handleClosed(object);
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

DWORD Waitable::waitMany(ThreadState& me, Waitable* const* objects, DWORD count, bool all,
                         DWORD milliseconds) {
    MultiWaiter waiter;
    for (DWORD i = 0; i < count; ++i) {
        objects[i]->waiters_.fetch_add(1, std::memory_order_seq_cst);
        std::lock_guard guard(objects[i]->lock);
        objects[i]->multiWaiters_.push_back(&waiter);
    }
    // For all at once, the locks are taken in one order, whatever the caller's.
    std::vector<Waitable*> ordered(objects, objects + count);
    std::sort(ordered.begin(), ordered.end());
    auto attempt = [&]() -> DWORD {
        if (!all) {
            for (DWORD i = 0; i < count; ++i) {
                std::lock_guard guard(objects[i]->lock);
                if (objects[i]->signaledFor(me))
                    return objects[i]->claim(me) + i;
            }
            return WAIT_TIMEOUT;
        }
        for (Waitable* o : ordered)
            o->lock.lock();
        bool ready = true;
        for (DWORD i = 0; i < count && ready; ++i)
            ready = objects[i]->signaledFor(me);
        DWORD result = WAIT_TIMEOUT;
        if (ready) {
            result = WAIT_OBJECT_0;
            for (DWORD i = 0; i < count; ++i)
                if (objects[i]->claim(me) == WAIT_ABANDONED && result == WAIT_OBJECT_0)
                    result = WAIT_ABANDONED_0 + i;
        }
        for (Waitable* o : ordered)
            o->lock.unlock();
        return result;
    };
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    DWORD result;
    for (;;) {
        {
            std::lock_guard guard(waiter.lock);
            waiter.changed = false;
        }
        result = attempt();
        if (result != WAIT_TIMEOUT || milliseconds == 0)
            break;
        std::unique_lock guard(waiter.lock);
        if (milliseconds == INFINITE) {
            waiter.woken.wait(guard, [&] { return waiter.changed; });
        } else if (!waiter.woken.wait_until(guard, deadline, [&] { return waiter.changed; })) {
            guard.unlock();
            result = attempt();  // one last look at the deadline
            break;
        }
    }
    for (DWORD i = 0; i < count; ++i) {
        {
            std::lock_guard guard(objects[i]->lock);
            auto& list = objects[i]->multiWaiters_;
            list.erase(std::find(list.begin(), list.end(), &waiter));
        }
        objects[i]->waiters_.fetch_sub(1, std::memory_order_seq_cst);
    }
    return result;
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
    if (object->named)
        namedHandleClosed(object);
    object->onClose();
    HandleTable::instance().retire(object);
    return TRUE;
}

HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES, BOOL manualReset, BOOL initialState,
                           LPCSTR name) {
    W32_FAULT_POINT("CreateEventA", nullptr);
    const bool states[2] = {manualReset != FALSE, initialState != FALSE};
    auto make = [](void* context) -> Object* {
        const bool* s = static_cast<const bool*>(context);
        return new Event(s[0], s[1]);
    };
    if (name != nullptr && *name != '\0')
        return createNamed(name, ObjectType::Event, make, const_cast<bool*>(states));
    HANDLE handle = publish(make(const_cast<bool*>(states)));
    if (handle != nullptr)
        setLastError(ERROR_SUCCESS);
    return handle;
}

HANDLE WINAPI OpenEventA(DWORD access, BOOL, LPCSTR name) {
    W32_FAULT_POINT("OpenEventA", nullptr);
    if (!fullAccess(access, EVENT_MODIFY_STATE)) {
        setLastError(ERROR_NOT_SUPPORTED);
        return nullptr;
    }
    return openNamed(name, ObjectType::Event);
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

DWORD WINAPI WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll,
                                    DWORD milliseconds) {
    W32_FAULT_POINT("WaitForMultipleObjects", WAIT_FAILED);
    if (count == 0 || count > MAXIMUM_WAIT_OBJECTS) {
        setLastError(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    if (handles == nullptr) {
        setLastError(ERROR_NOACCESS);
        return WAIT_FAILED;
    }
    Waitable* objects[MAXIMUM_WAIT_OBJECTS] = {};
    auto releaseAll = [&objects, count] {
        for (DWORD i = 0; i < count; ++i)
            if (objects[i] != nullptr)
                objects[i]->release();
    };
    for (DWORD i = 0; i < count; ++i) {
        Lookup<Object> object(handles[i]);
        if (!object || object->type() == ObjectType::Heap ||
            object->type() == ObjectType::DevInfo) {
            releaseAll();
            setLastError(ERROR_INVALID_HANDLE);
            return WAIT_FAILED;
        }
        objects[i] = static_cast<Waitable*>(object.retain());
    }
    // All at once cannot take one object twice.
    if (waitAll) {
        for (DWORD i = 0; i < count; ++i)
            for (DWORD j = i + 1; j < count; ++j)
                if (objects[i] == objects[j]) {
                    releaseAll();
                    setLastError(ERROR_INVALID_PARAMETER);
                    return WAIT_FAILED;
                }
    }
    const DWORD result = Waitable::waitMany(self(), objects, count, waitAll != FALSE, milliseconds);
    releaseAll();
    return result;
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
