// The simulated driver on Windows: attached to a process by redirecting the
// imports of chosen modules (the library DLLs, or a test program itself).
// Calls on simulated device paths, device handles and device information
// sets go to the simulator; every other call goes on to the real function.
//
// A simulated device handle is a real, manual-reset event: it stands for the
// file object, which Windows clears when a request starts and signals when a
// request without an event of its own completes, so that the real
// GetOverlappedResult can wait on it when an OVERLAPPED has no event.
// Completions are written as the system writes them (NTSTATUS in Internal,
// byte count in InternalHigh, then the event), so the real
// GetOverlappedResult works unchanged.
//
// Each kernel-object call is a system call on Windows and a round trip to
// the server under Wine, so the simulator makes as few as the system would:
// it keeps the state of the objects it signals in the process (the device
// handle's event, and the unnamed manual-reset events that the libraries
// make, all of whose waits it sees), and calls the system only when that
// state must change. A request that completes at once on an event that is
// already set costs no call; a request that pends on such an event only
// owes the reset, which is made before anyone waits on the event (a waiter
// that does the request's work itself never needs it).
#include <windows.h>
#include <setupapi.h>
#include <winternl.h>

#include <cstring>

#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <unordered_set>

#include "vsim/hooks.h"
#include "vsim/win32_emulation.h"
#include "platform/thread_sync.h"
#include "win32/hooking.h"

namespace vsim::win32 {
namespace {

// A simulated device handle: the driver's open handle and the event that
// stands for the file object. Pended requests without an event of their own
// hold a reference, as the system holds one on the file object; the event is
// closed with the last reference.
class DeviceFile {
  public:
    DeviceFile(std::shared_ptr<OpenHandle> open, HANDLE event)
        : open_(std::move(open)), event_(event) {}
    OpenHandle& open() { return *open_; }
    void addRef() { refs_.fetch_add(1, std::memory_order_relaxed); }
    void release() {
        if (refs_.fetch_sub(1, std::memory_order_acq_rel) == 1) {
            real::CloseHandle(event_);
            delete this;
        }
    }
    // The file object's signal, changed only when it must.
    void setSignaled(bool signaled) {
        std::lock_guard guard(lock_);
        if (signaled == signaled_)
            return;
        signaled_ = signaled;
        if (signaled)
            SetEvent(event_);
        else
            ResetEvent(event_);
    }

  private:
    std::shared_ptr<OpenHandle> open_;
    HANDLE event_;
    std::atomic<long> refs_{1};
    os::ThreadLock lock_;
    bool signaled_ = true;  // made signalled, as a new file object is
};

struct Devices {
    os::ThreadLock lock;
    std::unordered_map<HANDLE, DeviceFile*> byHandle;  // each holds a reference
    std::mutex setsLock;
    std::unordered_set<InterfaceSet*> sets;
};
Devices& devices() {
    static auto* d = new Devices;
    return *d;
}

thread_local bool t_pendingIo = false;

// The device behind a handle, with a reference the caller releases.
DeviceFile* findDevice(HANDLE handle) {
    auto& d = devices();
    std::lock_guard guard(d.lock);
    auto it = d.byHandle.find(handle);
    if (it == d.byHandle.end())
        return nullptr;
    it->second->addRef();
    return it->second;
}

struct DeviceRef {
    explicit DeviceRef(HANDLE handle) : file(findDevice(handle)) {}
    ~DeviceRef() {
        if (file != nullptr)
            file->release();
    }
    DeviceRef(const DeviceRef&) = delete;
    DeviceRef& operator=(const DeviceRef&) = delete;
    DeviceFile* file;
};

// ---------------------------------------------------------------------------
// Events whose state the simulator keeps: unnamed manual-reset events made
// by the attached libraries, which wait on them only through redirected
// functions. `set` is the object's state as last left; `owed` means that the
// event is logically reset though still set (a request pends on it). The
// system is called only to make the object what it must be when someone
// waits, or when a completion must set it.

struct KnownEvent {
    bool set = false;
    bool owed = false;
    unsigned pins = 0;     // pended requests that will signal it
    bool closing = false;  // closed by its owner while pinned
};

struct KnownEvents {
    os::ThreadLock lock;
    std::unordered_map<HANDLE, KnownEvent> byHandle;
};
KnownEvents& knownEvents() {
    static auto* k = new KnownEvents;
    return *k;
}

// Sets or resets an event as a request's life demands; known events only
// when their state must change.
void signalEvent(HANDLE event, bool signaled) {
    auto& k = knownEvents();
    {
        std::lock_guard guard(k.lock);
        auto it = k.byHandle.find(event);
        if (it != k.byHandle.end()) {
            KnownEvent& e = it->second;
            if (signaled) {
                e.owed = false;
                if (e.set)
                    return;
                e.set = true;
                SetEvent(event);
            } else if (e.set) {
                e.owed = true;
            }
            return;
        }
    }
    if (signaled)
        SetEvent(event);
    else
        ResetEvent(event);
}

bool isKnownEvent(HANDLE event) {
    auto& k = knownEvents();
    std::lock_guard guard(k.lock);
    return k.byHandle.count(event) != 0;
}

// A pended request's reference on its event: a known event is pinned, any
// other is duplicated, as the system holds a reference on it.
HANDLE retainEvent(HANDLE event) {
    {
        auto& k = knownEvents();
        std::lock_guard guard(k.lock);
        auto it = k.byHandle.find(event);
        if (it != k.byHandle.end()) {
            ++it->second.pins;
            return event;
        }
    }
    HANDLE copy = nullptr;
    DuplicateHandle(GetCurrentProcess(), event, GetCurrentProcess(), &copy, 0, FALSE,
                    DUPLICATE_SAME_ACCESS);
    return copy;
}

void releaseEvent(HANDLE event) {
    {
        auto& k = knownEvents();
        std::lock_guard guard(k.lock);
        auto it = k.byHandle.find(event);
        if (it != k.byHandle.end()) {
            if (--it->second.pins != 0 || !it->second.closing)
                return;
            k.byHandle.erase(it);
        }
    }
    real::CloseHandle(event);
}

bool isSimSet(HDEVINFO set) {
    auto& d = devices();
    std::lock_guard guard(d.setsLock);
    return d.sets.count(static_cast<InterfaceSet*>(set)) != 0;
}

bool isDevicePath(const char* path) {
    return path != nullptr &&
           (std::strncmp(path, "\\\\?\\", 4) == 0 || std::strncmp(path, "\\\\.\\", 4) == 0);
}

bool isSimClass(const GUID* guid) {
    if (guid == nullptr)
        return false;
    const Guid g = toSim(*guid);
    return g == kVeltraInterface || g == kKestaInterface;
}

// An OVERLAPPED's event may carry a low tag bit (no completion-port packet);
// the event itself is the handle without it.
HANDLE eventOf(HANDLE h) {
    return reinterpret_cast<HANDLE>(reinterpret_cast<uintptr_t>(h) & ~uintptr_t{1});
}

// A pended request keeps its own references to its event, or to the device
// when it has none, as the system keeps references to the objects of an
// outstanding request.
void retainTarget(CompletionTarget& target) {
    if (target.context[0] != nullptr)
        target.context[0] = retainEvent(target.context[0]);
    else
        static_cast<DeviceFile*>(target.context[1])->addRef();
}

void finishTarget(CompletionTarget& target, uint32_t error, uint32_t information) {
    auto* ov = static_cast<OVERLAPPED*>(target.overlapped);
    auto* event = static_cast<HANDLE>(target.context[0]);
    auto* file = static_cast<DeviceFile*>(target.context[1]);
    {
        std::lock_guard guard(completionLock(ov));
        writeCompletion(ov, error, information);
        if (event != nullptr)
            signalEvent(event, true);
        else
            file->setSignaled(true);
    }
    if (event != nullptr)
        releaseEvent(event);
    else
        file->release();
}

class RequestOps {
  public:
    explicit RequestOps(DeviceFile* device) : device_(device) {}
    ~RequestOps() {
        if (private_ != nullptr)
            CloseHandle(private_);
    }
    // A known event is reset only once the request is known to pend (see
    // pended), or if it fails: a request that completes at once leaves it
    // set, as a reset and a set would. Any other event is reset now, as the
    // system resets it (which also fails a handle that is not an event).
    bool begin(LPOVERLAPPED overlapped) {
        if (overlapped == nullptr) {
            private_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
            event_ = private_;
            return private_ != nullptr;
        }
        if (overlapped->hEvent == nullptr)
            return true;
        event_ = eventOf(overlapped->hEvent);
        known_ = isKnownEvent(event_);
        return known_ || ResetEvent(event_) != FALSE;
    }
    void setFileSignaled(bool signaled) { device_->setSignaled(signaled); }
    CompletionTarget target(OVERLAPPED* ov) {
        CompletionTarget target;
        target.overlapped = ov;
        target.context[0] = event_;
        target.context[1] = device_;
        target.retain = retainTarget;
        target.finish = finishTarget;
        return target;
    }
    // Under the OVERLAPPED's completion lock, for a request that pends and
    // has not completed yet: its event must read as reset.
    void pended() {
        if (known_)
            signalEvent(event_, false);
    }
    void completedAtOnce(bool success) {
        if (event_ == nullptr)
            device_->setSignaled(true);
        else if (known_)
            signalEvent(event_, success);
        else if (success && private_ == nullptr)
            SetEvent(event_);
    }
    void waitPrivate() { WaitForSingleObject(private_, INFINITE); }
    void markPendingIo() { t_pendingIo = true; }

  private:
    DeviceFile* device_;
    HANDLE event_ = nullptr;
    HANDLE private_ = nullptr;
    bool known_ = false;
};

// ---------------------------------------------------------------------------
// The redirected functions

HANDLE WINAPI simCreateFileA(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES sa,
                             DWORD disposition, DWORD flags, HANDLE templateFile) {
    VSIM_FAULT_POINT("CreateFileA", INVALID_HANDLE_VALUE);
    if (!isDevicePath(name) || !currentMachine()->find(name)) {
        HANDLE file = real::CreateFileA(name, access, share, sa, disposition, flags, templateFile);
        if (file != INVALID_HANDLE_VALUE)
            trackObject(file, "file");
        return file;
    }
    if (disposition != OPEN_EXISTING) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    uint32_t error = kSuccess;
    auto handle = openDevice(name, OpenParams{access, share, flags, GetCurrentThreadId()}, error);
    if (!handle) {
        SetLastError(error);
        return INVALID_HANDLE_VALUE;
    }
    HANDLE file = CreateEventA(nullptr, TRUE, TRUE, nullptr);
    if (file == nullptr) {
        handle->close();
        return INVALID_HANDLE_VALUE;
    }
    auto& d = devices();
    std::lock_guard guard(d.lock);
    d.byHandle.emplace(file, new DeviceFile(std::move(handle), file));
    countObject("device", +1);
    return file;
}

BOOL WINAPI simDeviceIoControl(HANDLE handle, DWORD code, LPVOID input, DWORD inSize, LPVOID output,
                               DWORD outSize, LPDWORD returned, LPOVERLAPPED overlapped) {
    VSIM_FAULT_POINT("DeviceIoControl", FALSE);
    DeviceRef device(handle);
    if (device.file == nullptr)
        return real::DeviceIoControl(handle, code, input, inSize, output, outSize, returned,
                                     overlapped);
    RequestOps ops(device.file);
    DWORD error = ERROR_SUCCESS;
    const BOOL result = deviceIoControl(ops, device.file->open(), code, input, inSize, output,
                                        outSize, returned, overlapped, GetCurrentThreadId(), error);
    if (!result)
        SetLastError(error);
    return result;
}

// A wait for a request on a simulated device first offers to do the
// request's work on this thread (a transfer next on an idle channel), then
// makes the event what the wait must see.
BOOL WINAPI simGetOverlappedResult(HANDLE handle, LPOVERLAPPED overlapped, LPDWORD transferred,
                                   BOOL wait) {
    VSIM_FAULT_POINT("GetOverlappedResult", FALSE);
    if (wait && overlapped != nullptr &&
        internalOf(overlapped).load(std::memory_order_acquire) == kStatusPending) {
        {
            DeviceRef device(handle);
            if (device.file != nullptr)
                device.file->open().finishHere(overlapped);
        }
        if (overlapped->hEvent != nullptr)
            settleEvent(eventOf(overlapped->hEvent));
    }
    return real::GetOverlappedResult(handle, overlapped, transferred, wait);
}

BOOL WINAPI simCloseHandle(HANDLE handle) {
    VSIM_FAULT_POINT("CloseHandle", FALSE);
    DeviceFile* device = nullptr;
    {
        auto& d = devices();
        std::lock_guard guard(d.lock);
        auto it = d.byHandle.find(handle);
        if (it != d.byHandle.end()) {
            device = it->second;
            d.byHandle.erase(it);
        }
    }
    if (device != nullptr) {
        device->open().close();
        countObject("device", -1);
        // The event goes with the last request that still holds it.
        device->release();
        return TRUE;
    }
    // Forgotten before the close: once closed, the value may name a new
    // object of another thread at once.
    const char* kind = forgetObject(handle);
    if (closeKnownEvent(handle))
        return TRUE;
    const BOOL closed = real::CloseHandle(handle);
    if (!closed && kind != nullptr)
        trackObject(handle, kind);
    return closed;
}

HDEVINFO WINAPI simSetupDiGetClassDevsA(const GUID* guid, PCSTR enumerator, HWND parent,
                                        DWORD flags) {
    VSIM_FAULT_POINT("SetupDiGetClassDevsA", INVALID_HANDLE_VALUE);
    if (!isSimClass(guid) || enumerator != nullptr || !(flags & DIGCF_DEVICEINTERFACE))
        return real::SetupDiGetClassDevsA(guid, enumerator, parent, flags);
    auto* set = new InterfaceSet(makeInterfaceSet(*guid));
    auto& d = devices();
    std::lock_guard guard(d.setsLock);
    d.sets.insert(set);
    return set;
}

BOOL result(DWORD error) {
    if (error == ERROR_SUCCESS)
        return TRUE;
    SetLastError(error);
    return FALSE;
}

BOOL WINAPI simSetupDiEnumDeviceInterfaces(HDEVINFO set, PSP_DEVINFO_DATA info, const GUID* guid,
                                           DWORD index, PSP_DEVICE_INTERFACE_DATA data) {
    VSIM_FAULT_POINT("SetupDiEnumDeviceInterfaces", FALSE);
    if (!isSimSet(set))
        return real::SetupDiEnumDeviceInterfaces(set, info, guid, index, data);
    return result(enumInterface(*static_cast<InterfaceSet*>(set), info, guid, index, data));
}

BOOL WINAPI simSetupDiGetDeviceInterfaceDetailA(HDEVINFO set, PSP_DEVICE_INTERFACE_DATA data,
                                                PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail,
                                                DWORD size, PDWORD required,
                                                PSP_DEVINFO_DATA info) {
    VSIM_FAULT_POINT("SetupDiGetDeviceInterfaceDetailA", FALSE);
    if (!isSimSet(set))
        return real::SetupDiGetDeviceInterfaceDetailA(set, data, detail, size, required, info);
    return result(
        interfaceDetail(*static_cast<InterfaceSet*>(set), data, detail, size, required, info));
}

BOOL WINAPI simSetupDiDestroyDeviceInfoList(HDEVINFO set) {
    VSIM_FAULT_POINT("SetupDiDestroyDeviceInfoList", FALSE);
    {
        auto& d = devices();
        std::lock_guard guard(d.setsLock);
        if (d.sets.erase(static_cast<InterfaceSet*>(set)) == 0)
            return real::SetupDiDestroyDeviceInfoList(set);
    }
    delete static_cast<InterfaceSet*>(set);
    SetLastError(ERROR_SUCCESS);  // as SetupAPI does on success
    return TRUE;
}

// Whether a handle is an event, asked without waiting on it (a wait would
// take the signal of an auto-reset event).
bool isEvent(HANDLE handle) {
    alignas(8) unsigned char buffer[512];
    ULONG length = 0;
    if (NtQueryObject(handle, ObjectTypeInformation, buffer, sizeof buffer, &length) != 0)
        return false;
    const auto* info = reinterpret_cast<const PUBLIC_OBJECT_TYPE_INFORMATION*>(buffer);
    static constexpr wchar_t kEvent[] = L"Event";
    return info->TypeName.Length == sizeof kEvent - sizeof(wchar_t) &&
           std::memcmp(info->TypeName.Buffer, kEvent, info->TypeName.Length) == 0;
}

// Application events that the driver signals for registered notifications:
// the driver keeps a duplicate, as a real driver keeps a reference.
class EventPlatform : public Platform {
  public:
    void* referenceEvent(uint64_t handle) override {
        HANDLE event = reinterpret_cast<HANDLE>(handle);
        if (!isEvent(event))
            return nullptr;
        HANDLE copy = nullptr;
        DuplicateHandle(GetCurrentProcess(), event, GetCurrentProcess(), &copy, 0, FALSE,
                        DUPLICATE_SAME_ACCESS);
        return copy;
    }
    void signalEvent(void* token) override { SetEvent(static_cast<HANDLE>(token)); }
    void releaseEvent(void* token) override { CloseHandle(static_cast<HANDLE>(token)); }
};

}  // namespace

const Redirect* simRedirects(size_t& count) {
    static const Redirect redirects[] = {
        {"CreateFileA", reinterpret_cast<void*>(simCreateFileA)},
        {"DeviceIoControl", reinterpret_cast<void*>(simDeviceIoControl)},
        {"CloseHandle", reinterpret_cast<void*>(simCloseHandle)},
        {"GetOverlappedResult", reinterpret_cast<void*>(simGetOverlappedResult)},
        {"SetupDiGetClassDevsA", reinterpret_cast<void*>(simSetupDiGetClassDevsA)},
        {"SetupDiEnumDeviceInterfaces", reinterpret_cast<void*>(simSetupDiEnumDeviceInterfaces)},
        {"SetupDiGetDeviceInterfaceDetailA",
         reinterpret_cast<void*>(simSetupDiGetDeviceInterfaceDetailA)},
        {"SetupDiDestroyDeviceInfoList", reinterpret_cast<void*>(simSetupDiDestroyDeviceInfoList)},
    };
    count = sizeof redirects / sizeof redirects[0];
    return redirects;
}

void eventCreated(HANDLE event, BOOL manualReset, BOOL initialState, bool named) {
    if (event == nullptr || !manualReset || named)
        return;
    auto& k = knownEvents();
    std::lock_guard guard(k.lock);
    k.byHandle[event] = KnownEvent{initialState != FALSE, false, 0, false};
}

BOOL changeEvent(HANDLE event, bool set) {
    auto& k = knownEvents();
    std::lock_guard guard(k.lock);
    const BOOL done = set ? real::SetEvent(event) : real::ResetEvent(event);
    auto it = k.byHandle.find(event);
    if (done && it != k.byHandle.end()) {
        it->second.set = set;
        it->second.owed = false;
    }
    return done;
}

void settleEvent(HANDLE event) {
    auto& k = knownEvents();
    std::lock_guard guard(k.lock);
    auto it = k.byHandle.find(event);
    if (it == k.byHandle.end() || !it->second.owed)
        return;
    ResetEvent(event);
    it->second.set = false;
    it->second.owed = false;
}

bool closeKnownEvent(HANDLE event) {
    {
        auto& k = knownEvents();
        std::lock_guard guard(k.lock);
        auto it = k.byHandle.find(event);
        if (it == k.byHandle.end())
            return false;
        if (it->second.pins != 0) {
            it->second.closing = true;
            return true;
        }
        k.byHandle.erase(it);
    }
    real::CloseHandle(event);
    return true;
}

void installEventPlatform() {
    static EventPlatform platform;
    setPlatform(&platform);
}

// Windows cancels a thread's outstanding I/O when the thread ends; requests
// that went to the simulator are cancelled here instead.
void threadEnding() {
    if (t_pendingIo)
        cancelThreadIo(GetCurrentThreadId());
}

}  // namespace vsim::win32
