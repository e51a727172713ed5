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
#include <windows.h>
#include <setupapi.h>
#include <winternl.h>

#include <cstring>

#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <unordered_map>
#include <unordered_set>

#include "vsim/hooks.h"
#include "vsim/win32_emulation.h"
#include "win32/hooking.h"

namespace vsim::win32 {
namespace {

struct Devices {
    std::shared_mutex lock;
    std::unordered_map<HANDLE, std::shared_ptr<OpenHandle>> byHandle;
    std::mutex setsLock;
    std::unordered_set<InterfaceSet*> sets;
};
Devices& devices() {
    static auto* d = new Devices;
    return *d;
}

thread_local bool t_pendingIo = false;

std::shared_ptr<OpenHandle> findDevice(HANDLE handle) {
    auto& d = devices();
    std::shared_lock guard(d.lock);
    auto it = d.byHandle.find(handle);
    return it == d.byHandle.end() ? nullptr : it->second;
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

HANDLE duplicate(HANDLE h) {
    HANDLE copy = nullptr;
    DuplicateHandle(GetCurrentProcess(), h, GetCurrentProcess(), &copy, 0, FALSE,
                    DUPLICATE_SAME_ACCESS);
    return copy;
}

// A pended request keeps its own references to the event and the device,
// as the system keeps references to the objects of an outstanding request.
void retainTarget(CompletionTarget& target) {
    if (target.context[0] != nullptr)
        target.context[0] = duplicate(target.context[0]);
    target.context[1] = duplicate(target.context[1]);
}

void finishTarget(CompletionTarget& target, uint32_t error, uint32_t information) {
    auto* ov = static_cast<OVERLAPPED*>(target.overlapped);
    {
        std::lock_guard guard(completionLock(ov));
        writeCompletion(ov, error, information);
        SetEvent(target.context[0] != nullptr ? target.context[0] : target.context[1]);
    }
    if (target.context[0] != nullptr)
        CloseHandle(target.context[0]);
    CloseHandle(target.context[1]);
}

class RequestOps {
  public:
    explicit RequestOps(HANDLE device) : device_(device) {}
    ~RequestOps() {
        if (private_ != nullptr)
            CloseHandle(private_);
    }
    bool begin(LPOVERLAPPED overlapped) {
        if (overlapped == nullptr) {
            private_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
            event_ = private_;
            return private_ != nullptr;
        }
        if (overlapped->hEvent == nullptr)
            return true;
        event_ = eventOf(overlapped->hEvent);
        return ResetEvent(event_) != FALSE;
    }
    void setFileSignaled(bool signaled) {
        if (signaled)
            SetEvent(device_);
        else
            ResetEvent(device_);
    }
    CompletionTarget target(OVERLAPPED* ov) {
        CompletionTarget target;
        target.overlapped = ov;
        target.context[0] = event_;
        target.context[1] = device_;
        target.retain = retainTarget;
        target.finish = finishTarget;
        return target;
    }
    void completedAtOnce(bool success) {
        if (event_ == nullptr)
            SetEvent(device_);
        else if (success && private_ == nullptr)
            SetEvent(event_);
    }
    void waitPrivate() { WaitForSingleObject(private_, INFINITE); }
    void markPendingIo() { t_pendingIo = true; }

  private:
    HANDLE device_;
    HANDLE event_ = nullptr;
    HANDLE private_ = nullptr;
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
    std::unique_lock guard(d.lock);
    d.byHandle.emplace(file, std::move(handle));
    countObject("device", +1);
    return file;
}

BOOL WINAPI simDeviceIoControl(HANDLE handle, DWORD code, LPVOID input, DWORD inSize, LPVOID output,
                               DWORD outSize, LPDWORD returned, LPOVERLAPPED overlapped) {
    VSIM_FAULT_POINT("DeviceIoControl", FALSE);
    auto device = findDevice(handle);
    if (!device)
        return real::DeviceIoControl(handle, code, input, inSize, output, outSize, returned,
                                     overlapped);
    RequestOps ops(handle);
    DWORD error = ERROR_SUCCESS;
    const BOOL result = deviceIoControl(ops, *device, code, input, inSize, output, outSize,
                                        returned, overlapped, GetCurrentThreadId(), error);
    if (!result)
        SetLastError(error);
    return result;
}

BOOL WINAPI simCloseHandle(HANDLE handle) {
    VSIM_FAULT_POINT("CloseHandle", FALSE);
    std::shared_ptr<OpenHandle> device;
    {
        auto& d = devices();
        std::unique_lock guard(d.lock);
        auto it = d.byHandle.find(handle);
        if (it != d.byHandle.end()) {
            device = std::move(it->second);
            d.byHandle.erase(it);
        }
    }
    if (device) {
        device->close();
        countObject("device", -1);
        return real::CloseHandle(handle);
    }
    // Forgotten before the close: once closed, the value may name a new
    // object of another thread at once.
    const char* kind = forgetObject(handle);
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
        return isEvent(event) ? duplicate(event) : nullptr;
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
        {"SetupDiGetClassDevsA", reinterpret_cast<void*>(simSetupDiGetClassDevsA)},
        {"SetupDiEnumDeviceInterfaces", reinterpret_cast<void*>(simSetupDiEnumDeviceInterfaces)},
        {"SetupDiGetDeviceInterfaceDetailA",
         reinterpret_cast<void*>(simSetupDiGetDeviceInterfaceDetailA)},
        {"SetupDiDestroyDeviceInfoList", reinterpret_cast<void*>(simSetupDiDestroyDeviceInfoList)},
    };
    count = sizeof redirects / sizeof redirects[0];
    return redirects;
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
