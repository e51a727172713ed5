// The sets of texts that threads format unknown status codes into. A thread
// takes a set at its first such text and keeps it while it lives. When it
// ends the set goes to the back of a free list, so that what the thread
// returned stays readable for as long as possible: later threads take sets
// never used before while the fixed pool has them, then the set free
// longest, and only then sets from the library's heap, which unloading
// frees.
#include "wdm.h"

namespace {

constexpr size_t kPooledTexts = 64;
WDM_STATUS_TEXT g_pooled[kPooledTexts];
size_t g_pooledTaken = 0;
WDM_STATUS_TEXT* g_freeHead = nullptr;  // free longest
WDM_STATUS_TEXT* g_freeTail = nullptr;
WDM_STATUS_TEXT* g_allocated = nullptr;
// For a thread that can have no set of its own.
WDM_STATUS_TEXT g_shared;

SRWLOCK g_textLock = SRWLOCK_INIT;

// A set never used before, else the one free longest.
WDM_STATUS_TEXT* takePooledOrFree() {
    AcquireSRWLockExclusive(&g_textLock);
    WDM_STATUS_TEXT* text = nullptr;
    if (g_pooledTaken < kPooledTexts) {
        text = &g_pooled[g_pooledTaken++];
    } else if (g_freeHead != nullptr) {
        text = g_freeHead;
        g_freeHead = text->pNextFree;
        if (g_freeHead == nullptr)
            g_freeTail = nullptr;
    }
    ReleaseSRWLockExclusive(&g_textLock);
    return text;
}

WDM_STATUS_TEXT* takeText() {
    if (WDM_STATUS_TEXT* text = takePooledOrFree())
        return text;
    auto* text = static_cast<WDM_STATUS_TEXT*>(wdmAllocate(sizeof(WDM_STATUS_TEXT)));
    if (text == nullptr)
        return nullptr;
    AcquireSRWLockExclusive(&g_textLock);
    text->pNextAllocated = g_allocated;
    g_allocated = text;
    ReleaseSRWLockExclusive(&g_textLock);
    return text;
}

}  // namespace

WDM_STATUS_TEXT* wdmGetStatusText() {
    auto* record = reinterpret_cast<WDM_THREAD_CONTEXT*>(wdmGetThreadOverlapped());
    if (record == nullptr)
        return &g_shared;
    if (record->pText == nullptr)
        record->pText = takeText();
    return record->pText != nullptr ? record->pText : &g_shared;
}

void wdmReturnStatusText(WDM_STATUS_TEXT* text) {
    if (text == nullptr)
        return;
    AcquireSRWLockExclusive(&g_textLock);
    text->pNextFree = nullptr;
    if (g_freeTail != nullptr)
        g_freeTail->pNextFree = text;
    else
        g_freeHead = text;
    g_freeTail = text;
    ReleaseSRWLockExclusive(&g_textLock);
}

// At unload, after every record has gone.
void wdmFreeStatusTexts() {
    AcquireSRWLockExclusive(&g_textLock);
    while (WDM_STATUS_TEXT* text = g_allocated) {
        g_allocated = text->pNextAllocated;
        wdmFree(text);
    }
    g_freeHead = g_freeTail = nullptr;
    g_pooledTaken = 0;
    ReleaseSRWLockExclusive(&g_textLock);
}

const char* wdmFormatUnknownStatus(char (&text)[kWdmTextSize], uint32_t code) {
    wdmFormat(text, sizeof text, "Unknown status code %lu(0x%lx)", code, code);
    return text;
}
