// Opening and closing cards, cancelling and finishing their operations.
#include <veltra.h>

#include "veltra_mmap.h"
#include "wdm.h"

extern "C" {

VELTRA_API VELTRA_STATUS VELTRA_CALL VELTRA_OpenEx(uint32_t index, int32_t bReadOnly,
                                                   uint32_t flags, VELTRA_HANDLE* phCard) {
    return wdmOpen(
        index, bReadOnly, flags, [](HANDLE handle) -> uint32_t { return VELTRA_Close(handle); },
        phCard);
}

VELTRA_API VELTRA_STATUS VELTRA_CALL VELTRA_Open(uint32_t index, VELTRA_HANDLE* phCard) {
    return VELTRA_OpenEx(index, 0, 0, phCard);
}

VELTRA_API VELTRA_STATUS VELTRA_CALL VELTRA_Close(VELTRA_HANDLE hCard) {
    clientUnmapAllRegions(hCard);
    return wdmCloseStatus(hCard);
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
