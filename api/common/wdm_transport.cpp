// The device-control transport: every driver request of the library goes
// through these routines, and comes back as a library status.
#include "wdm.h"

namespace {

constexpr DWORD kCustomerBit = 0x20000000;

// Sends one request on `overlapped` and, if it pends, waits for it.
uint32_t sendAndWait(HANDLE hDevice, DWORD code, void* buffer, uint32_t inSize, uint32_t outSize) {
    // A thread whose record cannot be made has no OVERLAPPED; a request on
    // an overlapped handle without one must never be issued.
    LPOVERLAPPED overlapped = wdmGetThreadOverlapped();
    if (overlapped == nullptr)
        return wdmLibrary.statusNoMemory;
    DWORD bytesReturned = 0;
    if (DeviceIoControl(hDevice, code, buffer, inSize, buffer, outSize, &bytesReturned, overlapped))
        return wdmLibrary.statusSuccess;
    DWORD error = GetLastError();
    if (error == ERROR_IO_PENDING) {
        if (wdmWaitForRequest(hDevice, overlapped, &bytesReturned))
            return wdmLibrary.statusSuccess;
        error = GetLastError();
    }
    return wdmTranslateError(error);
}

}  // namespace

// For a request that ended with an error, the event is set already.
BOOL wdmWaitForRequest(HANDLE hDevice, LPOVERLAPPED pOverlapped, DWORD* pBytes) {
    if (GetOverlappedResult(hDevice, pOverlapped, pBytes, TRUE))
        return TRUE;
    const DWORD error = GetLastError();
    WaitForSingleObject(pOverlapped->hEvent, INFINITE);
    SetLastError(error);
    return FALSE;
}

// A driver status travels in the low 16 bits of an error with bit 29 set. An
// error with bit 29 and a zero low half is still a failure: the system
// copied no reply back, so it must not pass for success.
uint32_t wdmTranslateError(DWORD error) {
    if (error & kCustomerBit) {
        const uint32_t status = error & 0xFFFF;
        return status != 0 ? status : wdmLibrary.statusUnexpected;
    }
    if (error == ERROR_INVALID_HANDLE)
        return wdmLibrary.statusInvalidHandle;
    if (error == ERROR_OPERATION_ABORTED)
        return wdmLibrary.statusCancelled;
    return wdmLibrary.statusUnexpected;
}

uint32_t wdmControlDevice(HANDLE hDevice, uint32_t request, void* buffer, uint32_t inSize,
                          uint32_t outSize) {
    return sendAndWait(hDevice, wdmRequestCode(request), buffer, inSize, outSize);
}

uint32_t wdmCancelDevice(HANDLE hDevice) {
    return sendAndWait(hDevice, kWdmCancelCode, nullptr, 0, 0);
}

// The input record is copied by the system when the request is issued
// (METHOD_BUFFERED, no output), so it may live on the caller's stack.
uint32_t wdmControlDeviceAsync(HANDLE hDevice, LPOVERLAPPED pOverlapped, uint32_t request,
                               void* buffer, uint32_t inSize, uint32_t outSize) {
    if (pOverlapped == nullptr)
        return wdmLibrary.statusNullPointer;
    DWORD bytesReturned = 0;
    if (DeviceIoControl(hDevice, wdmRequestCode(request), buffer, inSize, buffer, outSize,
                        &bytesReturned, pOverlapped))
        return wdmLibrary.statusSuccess;
    const DWORD error = GetLastError();
    if (error == ERROR_IO_PENDING)
        return wdmLibrary.statusPending;
    return wdmTranslateError(error);
}

uint32_t wdmFinishDeviceAsync(HANDLE hDevice, LPOVERLAPPED pOverlapped, int32_t bWait) {
    if (pOverlapped == nullptr)
        return wdmLibrary.statusNullPointer;
    DWORD bytesReturned = 0;
    if (GetOverlappedResult(hDevice, pOverlapped, &bytesReturned, bWait))
        return wdmLibrary.statusSuccess;
    const DWORD error = GetLastError();
    if (error == ERROR_IO_INCOMPLETE)
        return wdmLibrary.statusPending;
    return wdmTranslateError(error);
}
