// Opening and closing bridge devices, and status texts.
#include <kesta.h>

#include "kesta_status_table.h"
#include "wdm.h"

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

// Unknown codes are formatted into the calling thread's own set of texts,
// which the library keeps after the thread ends.
KESTA_API const char* KESTA_CALL KESTA_GetStatusStringA(KESTA_STATUS code, int32_t bShort) {
    if (const KestaStatusText* entry = kestaStatusText(code))
        return bShort ? entry->name : entry->message;
    return wdmFormatUnknownStatus(wdmGetStatusText()->narrow, code);
}

// Every text, known or not, is converted into the thread's one wide text.
KESTA_API const WCHAR* KESTA_CALL KESTA_GetStatusStringW(KESTA_STATUS code, int32_t bShort) {
    WDM_STATUS_TEXT* text = wdmGetStatusText();
    const KestaStatusText* entry = kestaStatusText(code);
    const char* narrow = entry == nullptr ? wdmFormatUnknownStatus(text->narrow, code)
                         : bShort         ? entry->name
                                          : entry->message;
    copyToWide(text->wide, kWdmTextSize, narrow);
    return text->wide;
}

}  // extern "C"
