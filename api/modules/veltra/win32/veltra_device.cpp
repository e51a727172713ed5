// Opening and closing cards, cancelling and finishing their operations.
#include <veltra.h>

#include "veltra_mmap.h"
#include "veltra_requests.h"
#include "wdm.h"

namespace {

// Open flags: bit 0 says that the whole value goes to the driver.
constexpr uint32_t kSendOpenFlags = 0x1;

VELTRA_STATUS statusOfOpen(WDM_OPEN_RESULT result) {
    switch (result) {
        case WDM_OPEN_SUCCESS:
            return VELTRA_SUCCESS;
        case WDM_OPEN_NO_DEVICE_SET:
        case WDM_OPEN_NO_SUCH_INDEX:
            return VELTRA_DEVICE_NOT_FOUND;
        case WDM_OPEN_NO_MEMORY:
            return VELTRA_NO_MEMORY;
        case WDM_OPEN_ACCESS_DENIED:
            return VELTRA_ACCESS_DENIED;
        default:
            return VELTRA_UNEXPECTED_ERROR;
    }
}

}  // namespace

extern "C" {

VELTRA_API VELTRA_STATUS VELTRA_CALL VELTRA_OpenEx(uint32_t index, int32_t bReadOnly,
                                                   uint32_t flags, VELTRA_HANDLE* phCard) {
    if (phCard == nullptr)
        return VELTRA_NULL_POINTER;
    HANDLE handle = nullptr;
    const VELTRA_STATUS opened =
        statusOfOpen(wdmOpenDevice(index, wdmLibrary.interfaceGuid, TRUE, bReadOnly, &handle));
    if (opened != VELTRA_SUCCESS)
        return opened;
    if (flags & kSendOpenFlags) {
        uint32_t record = flags;
        const VELTRA_STATUS sent = sendRequest(handle, veltra_request::kSetOpenFlags, &record);
        if (sent != VELTRA_SUCCESS) {
            VELTRA_Close(handle);
            return sent;
        }
    }
    *phCard = handle;
    return VELTRA_SUCCESS;
}

VELTRA_API VELTRA_STATUS VELTRA_CALL VELTRA_Open(uint32_t index, VELTRA_HANDLE* phCard) {
    return VELTRA_OpenEx(index, 0, 0, phCard);
}

VELTRA_API VELTRA_STATUS VELTRA_CALL VELTRA_Close(VELTRA_HANDLE hCard) {
    clientUnmapAllRegions(hCard);
    switch (wdmCloseDevice(hCard)) {
        case 0:
            return VELTRA_SUCCESS;
        case 1:
            return VELTRA_INVALID_HANDLE;
        default:
            return VELTRA_UNEXPECTED_ERROR;
    }
}

VELTRA_API VELTRA_STATUS VELTRA_CALL VELTRA_Cancel(VELTRA_HANDLE hCard) {
    return wdmCancelDevice(hCard);
}

// Also exported as VELTRA_FinishNotificationWait.
VELTRA_API VELTRA_STATUS VELTRA_CALL VELTRA_FinishDMA(VELTRA_HANDLE hCard, LPOVERLAPPED pOverlapped,
                                                      int32_t bWait) {
    return wdmFinishDeviceAsync(hCard, pOverlapped, bWait);
}

}  // extern "C"
