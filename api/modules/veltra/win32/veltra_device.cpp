// Opening and closing cards, cancelling and finishing their operations.
#include <veltra.h>

#include "veltra_mmap.h"
#include "veltra_requests.h"
#include "wdm.h"

namespace {

// Whether a value is the handle of an open card, asked of the handle with
// a query every card answers. A value that is no handle at all, the handle
// of another kind of object (a pipe, a file, the process itself), or a
// card's handle closed and its value given to another object since, is
// refused before any driver sees the query: ERROR_INVALID_HANDLE, or
// ERROR_INVALID_FUNCTION from an object that takes no device requests. Any
// other outcome (a card that has gone away, a query that cannot be sent)
// leaves it a card, to be closed as before.
bool isOpenCard(VELTRA_HANDLE hCard) {
    uint8_t reply[veltra_request::kGetCardInfoEx.outSize];
    const uint32_t status = sendRequest(hCard, veltra_request::kGetCardInfoEx, reply);
    if (status == VELTRA_INVALID_HANDLE)
        return false;
    const DWORD error = GetLastError();
    return status != VELTRA_UNEXPECTED_ERROR ||
           (error != ERROR_INVALID_FUNCTION && error != ERROR_NOT_SUPPORTED);
}

// Unmaps the card's regions, then closes its handle.
uint32_t closeCard(HANDLE hCard) {
    clientUnmapAllRegions(hCard);
    return wdmCloseStatus(hCard);
}

}  // namespace

extern "C" {

// A handle just opened whose open flags the driver refused is closed as
// VELTRA_Close closes a card; it is one, so nothing asks it first.
VELTRA_API VELTRA_STATUS VELTRA_CALL VELTRA_OpenEx(uint32_t index, int32_t bReadOnly,
                                                   uint32_t flags, VELTRA_HANDLE* phCard) {
    return wdmOpen(index, bReadOnly, flags, closeCard, phCard);
}

VELTRA_API VELTRA_STATUS VELTRA_CALL VELTRA_Open(uint32_t index, VELTRA_HANDLE* phCard) {
    return VELTRA_OpenEx(index, 0, 0, phCard);
}

// A value that is not an open card changes nothing: it neither unmaps the
// regions of a handle nor closes whatever object the value names now (a
// double close must not take the mapping worker's pipe, or another
// handle's memory, with it).
VELTRA_API VELTRA_STATUS VELTRA_CALL VELTRA_Close(VELTRA_HANDLE hCard) {
    if (!isOpenCard(hCard))
        return VELTRA_INVALID_HANDLE;
    return closeCard(hCard);
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
