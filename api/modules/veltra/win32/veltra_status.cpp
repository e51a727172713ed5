// Status codes as text.
#include "veltra_status_table.h"

namespace {
constexpr const char* kUnknownFormat = "Unknown status code %lu(0x%lx)";
}  // namespace

// The text of an unknown code is kept per thread, so that two threads asking
// at once never see each other's text; each caller's text stays until its
// own next unknown code.
extern "C" VELTRA_API const char* VELTRA_CALL VELTRA_GetStatusStringA(VELTRA_STATUS code,
                                                                      int32_t bShort) {
    if (const VeltraStatusText* entry = veltraStatusText(code))
        return bShort ? entry->name : entry->message;
    WDM_THREAD_TEXT* text = wdmGetThreadText();
    wdmFormat(text->narrow, sizeof text->narrow, kUnknownFormat, code, code);
    return text->narrow;
}

extern "C" VELTRA_API const WCHAR* VELTRA_CALL VELTRA_GetStatusStringW(VELTRA_STATUS code,
                                                                       int32_t bShort) {
    if (const VeltraStatusText* entry = veltraStatusText(code))
        return bShort ? entry->wideName : entry->wideMessage;
    WDM_THREAD_TEXT* text = wdmGetThreadText();
    wdmFormat(text->wideSource, sizeof text->wideSource, kUnknownFormat, code, code);
    copyToWide(text->wide, kWdmTextSize, text->wideSource);
    return text->wide;
}
