#include "wdm.h"

BOOL copyToWide(WCHAR* destination, size_t count, const char* source) {
    if (count > 0x7FFFFFFF)
        count = 0x7FFFFFFF;
    if (count == 0)
        return FALSE;
    if (MultiByteToWideChar(CP_ACP, 0, source, -1, destination, static_cast<int>(count)) == 0)
        return FALSE;
    destination[count - 1] = 0;
    return TRUE;
}
