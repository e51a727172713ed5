// The Win32 side of the simulated driver, shared by the two platforms that put
// it under the libraries: the Win32 stand-in on Linux and the import patcher
// on Windows. Include it after <windows.h> and <setupapi.h>.
//
// It holds what SetupAPI and DeviceIoControl do on top of the driver: the
// device-interface enumeration with its sizes and error codes, and the life
// of an overlapped request (Internal, InternalHigh, the event, the file).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstring>
#include <mutex>
#include <vector>

#include "vsim/driver.h"

namespace vsim::win32 {

inline Guid toSim(const GUID& g) {
    Guid s{g.Data1, g.Data2, g.Data3, {}};
    std::memcpy(s.data4, g.Data4, sizeof s.data4);
    return s;
}

// A device information set: the interfaces present when it was made, in
// member-index order.
struct InterfaceSet {
    std::vector<Interface> interfaces;
};

inline InterfaceSet makeInterfaceSet(const GUID& guid) {
    return {currentMachine()->interfaces(toSim(guid))};
}

// SetupDiEnumDeviceInterfaces; returns the Win32 error (0 on success).
inline DWORD enumInterface(const InterfaceSet& set, PSP_DEVINFO_DATA deviceInfo,
                           const GUID* interfaceGuid, DWORD memberIndex,
                           PSP_DEVICE_INTERFACE_DATA data) {
    if (deviceInfo != nullptr || interfaceGuid == nullptr)
        return ERROR_INVALID_PARAMETER;
    if (data == nullptr || data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA))
        return ERROR_INVALID_USER_BUFFER;
    const Guid wanted = toSim(*interfaceGuid);
    DWORD seen = 0;
    for (size_t i = 0; i < set.interfaces.size(); ++i) {
        if (!(set.interfaces[i].guid == wanted) || seen++ != memberIndex)
            continue;
        data->InterfaceClassGuid = *interfaceGuid;
        data->Flags = SPINT_ACTIVE;
        data->Reserved = i + 1;  // which member of the set, for the detail query
        return ERROR_SUCCESS;
    }
    return ERROR_NO_MORE_ITEMS;
}

// SetupDiGetDeviceInterfaceDetailA; returns the Win32 error (0 on success).
inline DWORD interfaceDetail(const InterfaceSet& set, PSP_DEVICE_INTERFACE_DATA data,
                             PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail, DWORD detailSize,
                             PDWORD requiredSize, PSP_DEVINFO_DATA deviceInfo) {
    if (data == nullptr || data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA) ||
        data->Reserved == 0 || data->Reserved > set.interfaces.size())
        return ERROR_INVALID_PARAMETER;
    const std::string& path = set.interfaces[data->Reserved - 1].path;
    const auto needed = static_cast<DWORD>(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) +
                                           path.size() + 1);
    if (requiredSize != nullptr)
        *requiredSize = needed;
    if (detail == nullptr)
        return detailSize != 0 ? ERROR_INVALID_USER_BUFFER : ERROR_INSUFFICIENT_BUFFER;
    if (detail->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A))
        return ERROR_INVALID_USER_BUFFER;
    if (detailSize < needed)
        return ERROR_INSUFFICIENT_BUFFER;
    std::memcpy(detail->DevicePath, path.c_str(), path.size() + 1);
    if (deviceInfo != nullptr) {
        if (deviceInfo->cbSize != sizeof(SP_DEVINFO_DATA))
            return ERROR_INVALID_USER_BUFFER;
        deviceInfo->ClassGuid = GUID{};
        deviceInfo->DevInst = static_cast<DWORD>(data->Reserved);
        deviceInfo->Reserved = 0;
    }
    return ERROR_SUCCESS;
}

inline std::atomic_ref<ULONG_PTR> internalOf(OVERLAPPED* ov) {
    return std::atomic_ref<ULONG_PTR>(ov->Internal);
}

// Windows completes a request in the context of the thread that issued it,
// so that thread never sees the status written while the event is not yet
// signalled. A simulated request completes on a driver thread: it writes the
// status and signals under this lock, and the next request on the same
// OVERLAPPED takes the lock before it resets the event, so that a late
// signal of one request can never fall on the next one (which would end its
// wait before its status is written).
inline std::mutex& completionLock(const OVERLAPPED* ov) {
    static std::mutex locks[64];
    return locks[(reinterpret_cast<uintptr_t>(ov) / sizeof(OVERLAPPED)) % 64];
}

// The completion of a request, as the system writes it into the OVERLAPPED:
// byte count, then status (the event is signalled after).
inline void writeCompletion(OVERLAPPED* ov, uint32_t error, uint32_t information) {
    ov->InternalHigh = information;
    internalOf(ov).store(ntStatusFromError(error), std::memory_order_release);
}

// DeviceIoControl on a simulated device. The platform supplies `ops`:
//
//   bool begin(LPOVERLAPPED caller);  // reset the caller's event (false: not an
//                                     // event), or make a private one for a
//                                     // call without OVERLAPPED
//   void setFileSignaled(bool);       // the device handle's own signal
//   CompletionTarget target(OVERLAPPED* ov);  // how a pended request finishes
//   void completedAtOnce(bool success);       // signal the caller's event (on
//                                     // success), or the file if it has none
//
// As on Windows, a request clears the file's signal when it starts; on
// completion the system signals the request's event, or the file object when
// the request has no event.
//   void pended();                    // the request pends and has not
//                                     // completed yet (called under the
//                                     // OVERLAPPED's completion lock)
//   void waitPrivate();               // wait for a pended synchronous call
//   void markPendingIo();             // this thread has I/O outstanding
//
// Returns the BOOL of DeviceIoControl and sets `error` to the last error.
template <typename Ops>
BOOL deviceIoControl(Ops& ops, OpenHandle& device, DWORD code, LPVOID input, DWORD inSize,
                     LPVOID output, DWORD outSize, LPDWORD returned, LPOVERLAPPED overlapped,
                     DWORD thread, DWORD& error) {
    if ((input == nullptr && inSize != 0) || (output == nullptr && outSize != 0)) {
        error = ERROR_NOACCESS;
        return FALSE;
    }
    if (overlapped == nullptr && returned == nullptr) {
        error = ERROR_INVALID_PARAMETER;
        return FALSE;
    }
    OVERLAPPED local{};
    OVERLAPPED* ov = overlapped != nullptr ? overlapped : &local;
    {
        std::unique_lock guard(completionLock(ov), std::defer_lock);
        if (overlapped != nullptr)
            guard.lock();
        if (!ops.begin(overlapped)) {
            error = ERROR_INVALID_HANDLE;
            return FALSE;
        }
        ov->InternalHigh = 0;
        internalOf(ov).store(kStatusPending, std::memory_order_relaxed);
        ops.setFileSignaled(false);
    }

    const CompletionTarget target = ops.target(ov);
    IoRequest request(code, input, inSize, output, outSize, thread, target);
    Outcome outcome = device.dispatch(request);

    if (outcome.isPending) {
        ops.markPendingIo();
        if (overlapped != nullptr) {
            {
                std::lock_guard guard(completionLock(ov));
                if (internalOf(ov).load(std::memory_order_acquire) == kStatusPending)
                    ops.pended();
            }
            error = ERROR_IO_PENDING;
            return FALSE;
        }
        // Without an OVERLAPPED the call is synchronous, as the system makes
        // synchronous I/O: wait for the request on a private event.
        ops.waitPrivate();
        outcome.information = static_cast<uint32_t>(local.InternalHigh);
        outcome.error = errorFromNtStatus(static_cast<uint32_t>(internalOf(&local).load()));
    } else {
        writeCompletion(ov, outcome.error, outcome.information);
        ops.completedAtOnce(outcome.error == kSuccess);
    }
    if (returned != nullptr)
        *returned = outcome.error == kSuccess ? outcome.information : 0;
    error = outcome.error;
    return outcome.error == kSuccess ? TRUE : FALSE;
}

}  // namespace vsim::win32
