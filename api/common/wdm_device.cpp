// Finding a device interface by its index through SetupAPI, and opening and
// closing it.
#include <cstring>

#include "wdm.h"

namespace {

// Every trace of the open path shows the thread's last error as it is at
// the moment of the trace, in decimal and in hexadecimal.
void traceWithLastError(const char* format) {
    if constexpr (kWdmChecked) {
        const DWORD error = GetLastError();
        wdmTraceAlways(format, error, error);
    }
}

// Looks the interface up in an open device information set and opens it.
WDM_OPEN_RESULT openMember(HDEVINFO set, uint32_t memberIndex, const GUID& interfaceGuid,
                           int32_t bOverlapped, int32_t bReadOnly, HANDLE* pHandle) {
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof data;
    if (!SetupDiEnumDeviceInterfaces(set, nullptr, &interfaceGuid, memberIndex, &data)) {
        if (GetLastError() == ERROR_NO_MORE_ITEMS)
            return WDM_OPEN_NO_SUCH_INDEX;
        traceWithLastError(
            "*** wdmOpenDevice: Failed to enumerate device interfaces: %lu(0x%lx)\n");
        return WDM_OPEN_FAILED;
    }
    DWORD requiredSize = 0;
    if (SetupDiGetDeviceInterfaceDetailA(set, &data, nullptr, 0, &requiredSize, nullptr) ||
        GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
        traceWithLastError(
            "*** wdmOpenDevice: Failed to get device interface detail size: %lu(0x%lx)\n");
        return WDM_OPEN_FAILED;
    }
    auto* detail = static_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(wdmAllocate(requiredSize));
    if (detail == nullptr) {
        traceWithLastError(
            "*** wdmOpenDevice: Failed to allocate device interface detail buffer: %lu(0x%lx)\n");
        return WDM_OPEN_NO_MEMORY;
    }
    WDM_OPEN_RESULT result = WDM_OPEN_SUCCESS;
    std::memset(detail, 0, 8);
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    if (!SetupDiGetDeviceInterfaceDetailA(set, &data, detail, requiredSize, nullptr, nullptr)) {
        traceWithLastError(
            "*** wdmOpenDevice: Failed to get device interface detail data: %lu(0x%lx)");
        result = WDM_OPEN_FAILED;
    } else {
        const DWORD access = bReadOnly ? FILE_READ_DATA : FILE_READ_DATA | FILE_WRITE_DATA;
        HANDLE handle =
            CreateFileA(detail->DevicePath, access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                        OPEN_EXISTING, bOverlapped ? FILE_FLAG_OVERLAPPED : 0, nullptr);
        if (handle == INVALID_HANDLE_VALUE) {
            const bool denied = GetLastError() == ERROR_ACCESS_DENIED;
            traceWithLastError("*** wdmOpenDevice: Failed to open device: %lu(0x%lx)\n");
            result = denied ? WDM_OPEN_ACCESS_DENIED : WDM_OPEN_FAILED;
        } else {
            *pHandle = handle;
        }
    }
    wdmFree(detail);
    return result;
}

}  // namespace

WDM_OPEN_RESULT wdmOpenDevice(uint32_t memberIndex, const GUID& interfaceGuid, int32_t bOverlapped,
                              int32_t bReadOnly, HANDLE* pHandle) {
    HDEVINFO set = SetupDiGetClassDevsA(&interfaceGuid, nullptr, nullptr,
                                        DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE)
        return WDM_OPEN_NO_DEVICE_SET;
    const WDM_OPEN_RESULT result =
        openMember(set, memberIndex, interfaceGuid, bOverlapped, bReadOnly, pHandle);
    SetupDiDestroyDeviceInfoList(set);
    return result;
}

uint32_t wdmOpen(uint32_t index, int32_t bReadOnly, uint32_t flags, uint32_t (*close)(HANDLE),
                 HANDLE* phDevice) {
    // Bit 0 of the open flags says that the flags go to the driver.
    constexpr uint32_t kSendOpenFlags = 0x1;
    if (phDevice == nullptr)
        return wdmLibrary.statusNullPointer;
    HANDLE handle = nullptr;
    switch (wdmOpenDevice(index, wdmLibrary.interfaceGuid, TRUE, bReadOnly, &handle)) {
        case WDM_OPEN_SUCCESS:
            break;
        case WDM_OPEN_NO_DEVICE_SET:
        case WDM_OPEN_NO_SUCH_INDEX:
            return wdmLibrary.statusDeviceNotFound;
        case WDM_OPEN_NO_MEMORY:
            return wdmLibrary.statusNoMemory;
        case WDM_OPEN_ACCESS_DENIED:
            return wdmLibrary.statusAccessDenied;
        default:
            return wdmLibrary.statusUnexpected;
    }
    if (flags & kSendOpenFlags) {
        uint32_t record = flags;
        const uint32_t sent =
            wdmControlDevice(handle, wdmLibrary.setOpenFlagsRequest, &record, sizeof record, 0);
        if (sent != wdmLibrary.statusSuccess) {
            close(handle);
            return sent;
        }
    }
    *phDevice = handle;
    return wdmLibrary.statusSuccess;
}

uint32_t wdmCloseStatus(HANDLE hDevice) {
    switch (wdmCloseDevice(hDevice)) {
        case 0:
            return wdmLibrary.statusSuccess;
        case 1:
            return wdmLibrary.statusInvalidHandle;
        default:
            return wdmLibrary.statusUnexpected;
    }
}

uint32_t wdmCloseDevice(HANDLE hDevice) {
    if (CloseHandle(hDevice))
        return 0;
    return GetLastError() == ERROR_INVALID_HANDLE ? 1 : 2;
}
