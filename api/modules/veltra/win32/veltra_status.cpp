// Status codes as text.
#include "veltra_status_table.h"

// The text of an unknown code goes into the calling thread's own set of
// texts, which the library keeps after the thread ends: two threads asking at
// once never see each other's text, and a text stays until its thread's next
// unknown code (or, once the thread has ended, until a later thread takes
// the set over).
extern "C" VELTRA_API const char* VELTRA_CALL VELTRA_GetStatusStringA(VELTRA_STATUS code,
                                                                      int32_t bShort) {
    if (const VeltraStatusText* entry = veltraStatusText(code))
        return bShort ? entry->name : entry->message;
    return wdmFormatUnknownStatus(wdmGetStatusText()->narrow, code);
}

extern "C" VELTRA_API const WCHAR* VELTRA_CALL VELTRA_GetStatusStringW(VELTRA_STATUS code,
                                                                       int32_t bShort) {
    if (const VeltraStatusText* entry = veltraStatusText(code))
        return bShort ? entry->wideName : entry->wideMessage;
    WDM_STATUS_TEXT* text = wdmGetStatusText();
    copyToWide(text->wide, kWdmTextSize, wdmFormatUnknownStatus(text->wideSource, code));
    return text->wide;
}
