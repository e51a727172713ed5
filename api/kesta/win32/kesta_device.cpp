// Opening and closing bridge devices, and status texts.
#include <kesta.h>

#include "kesta_requests.h"
#include "kesta_status_table.h"
#include "wdm.h"

namespace {

constexpr uint32_t kSendOpenFlags = 0x1;

KESTA_STATUS statusOfOpen(WDM_OPEN_RESULT result) {
    switch (result) {
        case WDM_OPEN_SUCCESS:
            return KESTA_SUCCESS;
        case WDM_OPEN_NO_DEVICE_SET:
        case WDM_OPEN_NO_SUCH_INDEX:
            return KESTA_DEVICE_NOT_FOUND;
        case WDM_OPEN_NO_MEMORY:
            return KESTA_NO_MEMORY;
        case WDM_OPEN_ACCESS_DENIED:
            return KESTA_ACCESS_DENIED;
        default:
            return KESTA_UNEXPECTED_ERROR;
    }
}

}  // namespace

extern "C" {

KESTA_API KESTA_STATUS KESTA_CALL KESTA_Open(uint32_t index, int32_t bReadOnly, uint32_t flags,
                                             KESTA_HANDLE* phCard) {
    if (phCard == nullptr)
        return KESTA_NULL_POINTER;
    HANDLE handle = nullptr;
    const KESTA_STATUS opened =
        statusOfOpen(wdmOpenDevice(index, wdmLibrary.interfaceGuid, TRUE, bReadOnly, &handle));
    if (opened != KESTA_SUCCESS)
        return opened;
    if (flags & kSendOpenFlags) {
        uint32_t record = flags;
        const KESTA_STATUS sent = sendRequest(handle, kesta_request::kSetOpenFlags, &record);
        if (sent != KESTA_SUCCESS) {
            KESTA_Close(handle);
            return sent;
        }
    }
    *phCard = handle;
    return KESTA_SUCCESS;
}

KESTA_API KESTA_STATUS KESTA_CALL KESTA_Close(KESTA_HANDLE hCard) {
    switch (wdmCloseDevice(hCard)) {
        case 0:
            return KESTA_SUCCESS;
        case 1:
            return KESTA_INVALID_HANDLE;
        default:
            return KESTA_UNEXPECTED_ERROR;
    }
}

// Unknown codes are formatted into the calling thread's own buffer.
KESTA_API const char* KESTA_CALL KESTA_GetStatusStringA(KESTA_STATUS code, int32_t bShort) {
    if (const KestaStatusText* entry = kestaStatusText(code))
        return bShort ? entry->name : entry->message;
    WDM_THREAD_TEXT* text = wdmGetThreadText();
    wdmFormat(text->narrow, sizeof text->narrow, "Unknown status code %lu(0x%lx)", code, code);
    return text->narrow;
}

// Every text, known or not, is converted into the thread's one wide buffer.
KESTA_API const WCHAR* KESTA_CALL KESTA_GetStatusStringW(KESTA_STATUS code, int32_t bShort) {
    const char* narrow = KESTA_GetStatusStringA(code, bShort);
    WDM_THREAD_TEXT* text = wdmGetThreadText();
    copyToWide(text->wide, kWdmTextSize, narrow);
    return text->wide;
}

}  // extern "C"
