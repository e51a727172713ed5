// Opening and closing bridge devices, and status texts.
#include <kesta.h>

#include "kesta_status_table.h"
#include "wdm.h"

namespace {}  // namespace

extern "C" {

KESTA_API KESTA_STATUS KESTA_CALL KESTA_Open(uint32_t index, int32_t bReadOnly, uint32_t flags,
                                             KESTA_HANDLE* phCard) {
    return wdmOpen(
        index, bReadOnly, flags, [](HANDLE handle) -> uint32_t { return KESTA_Close(handle); },
        phCard);
}

KESTA_API KESTA_STATUS KESTA_CALL KESTA_Close(KESTA_HANDLE hCard) {
    return wdmCloseStatus(hCard);
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
