// Per-thread records: each thread's OVERLAPPED and event for its
// synchronous requests, kept on a process-wide list so that process detach
// can free the records of every thread.
#include "wdm.h"

DWORD tlsIndex = TLS_OUT_OF_INDEXES;
HANDLE hProcessHeap = nullptr;

namespace {

WDM_THREAD_CONTEXT* pThreadContextList = nullptr;

// Guards every change of the list. The loader serialises thread attach and
// detach, but a thread's first request creates its record outside the
// loader, concurrently with other threads' detach. Held for the list
// operation only; allocation and event creation happen outside it. A slim
// lock: it needs no kernel object (which could fail to be made), no
// initialisation and no clean-up, and a waiter sleeps instead of spinning.
SRWLOCK g_listLock = SRWLOCK_INIT;

void linkAtHead(WDM_THREAD_CONTEXT* record) {
    AcquireSRWLockExclusive(&g_listLock);
    record->pNext = nullptr;
    record->pPrev = pThreadContextList;
    if (pThreadContextList != nullptr)
        pThreadContextList->pNext = record;
    pThreadContextList = record;
    ReleaseSRWLockExclusive(&g_listLock);
}

// Takes a record off the list; `record` null means the head. Returns it.
WDM_THREAD_CONTEXT* unlinkRecord(WDM_THREAD_CONTEXT* record) {
    AcquireSRWLockExclusive(&g_listLock);
    if (record == nullptr)
        record = pThreadContextList;
    if (record != nullptr) {
        if (record->pNext != nullptr)
            record->pNext->pPrev = record->pPrev;
        else
            pThreadContextList = record->pPrev;
        if (record->pPrev != nullptr)
            record->pPrev->pNext = record->pNext;
    }
    ReleaseSRWLockExclusive(&g_listLock);
    return record;
}

void destroy(WDM_THREAD_CONTEXT* record) {
    wdmReturnStatusText(record->pText);
    CloseHandle(record->overlapped.hEvent);
    HeapFree(hProcessHeap, 0, record);
}

}  // namespace

BOOL wdmCreateThreadContext() {
    auto* record =
        static_cast<WDM_THREAD_CONTEXT*>(HeapAlloc(hProcessHeap, 0, sizeof(WDM_THREAD_CONTEXT)));
    if (record == nullptr)
        return FALSE;
    record->overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (record->overlapped.hEvent == nullptr) {
        HeapFree(hProcessHeap, 0, record);
        return FALSE;
    }
    record->overlapped.Offset = 0;
    record->overlapped.OffsetHigh = 0;
    record->pText = nullptr;
    if (!TlsSetValue(tlsIndex, record)) {
        destroy(record);
        return FALSE;
    }
    linkAtHead(record);
    return TRUE;
}

// A thread that existed before the library was loaded, or whose record was
// freed at its thread detach and that calls in again (from another
// library's detach code, say), gets a record at its first request.
LPOVERLAPPED wdmGetThreadOverlapped() {
    auto* record = static_cast<WDM_THREAD_CONTEXT*>(TlsGetValue(tlsIndex));
    if (record == nullptr) {
        wdmCreateThreadContext();
        record = static_cast<WDM_THREAD_CONTEXT*>(TlsGetValue(tlsIndex));
    }
    return record != nullptr ? &record->overlapped : nullptr;
}

// The slot is cleared with the record, so that a late call on this thread
// makes a fresh record instead of using a freed one.
void wdmFreeThreadContext() {
    auto* record = static_cast<WDM_THREAD_CONTEXT*>(TlsGetValue(tlsIndex));
    if (record == nullptr)
        return;
    // Should the slot refuse the change, the record stays listed and
    // process detach frees it.
    if (!TlsSetValue(tlsIndex, nullptr))
        return;
    destroy(unlinkRecord(record));
}

void wdmFreeAllThreadContexts() {
    while (WDM_THREAD_CONTEXT* record = unlinkRecord(nullptr))
        destroy(record);
    wdmFreeStatusTexts();
}
