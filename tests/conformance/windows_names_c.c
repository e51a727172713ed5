/* The Windows names an application of this package commonly writes, in
 * plain C: the sized types of basetsd.h, the base types, the constants of
 * handles, waits and errors, and the calls of events, threads, waits and
 * time. A program that compiles with MinGW compiles against the Linux
 * stand-in too; this file fails the build where it does not. */
#include <windows.h>

#include <stddef.h>

/* Each sized type has its size. */
typedef char sizeOfInt8[sizeof(INT8) == 1 && sizeof(UINT8) == 1 ? 1 : -1];
typedef char sizeOfInt16[sizeof(INT16) == 2 && sizeof(UINT16) == 2 ? 1 : -1];
typedef char sizeOfInt32[sizeof(INT32) == 4 && sizeof(UINT32) == 4 ? 1 : -1];
typedef char sizeOfInt64[sizeof(INT64) == 8 && sizeof(UINT64) == 8 ? 1 : -1];
typedef char
    sizeOfLong32[sizeof(LONG32) == 4 && sizeof(ULONG32) == 4 && sizeof(DWORD32) == 4 ? 1 : -1];
typedef char
    sizeOfLong64[sizeof(LONG64) == 8 && sizeof(ULONG64) == 8 && sizeof(DWORD64) == 8 ? 1 : -1];
typedef char sizeOfBase[sizeof(DWORD) == 4 && sizeof(LONG) == 4 && sizeof(WORD) == 2 &&
                                sizeof(BYTE) == 1 && sizeof(WCHAR) == 2 && sizeof(ULONG_PTR) == 8 &&
                                sizeof(SIZE_T) == 8 && sizeof(LONGLONG) == 8
                            ? 1
                            : -1];

static DWORD WINAPI worker(LPVOID parameter) {
    SetEvent((HANDLE)parameter);
    return 7;
}

/* Uses each name once; 0 if every call behaved as Windows documents. */
int windowsNamesWork(void) {
    INT8 i8 = -1;
    UINT8 u8 = 0xFF;
    INT16 i16 = -1;
    UINT16 u16 = 0xFFFF;
    INT32 i32 = -1;
    UINT32 u32 = 0xFFFFFFFFu;
    INT64 i64 = -1;
    UINT64 u64 = (UINT64)-1;
    LONG32 l32 = -1;
    ULONG32 ul32 = 0xFFFFFFFFu;
    DWORD32 dw32 = 0xFFFFFFFFu;
    LONG64 l64 = -1;
    ULONG64 ul64 = (ULONG64)-1;
    DWORD64 dw64 = (DWORD64)-1;
    PUINT8 pu8 = &u8;
    PUINT32 pu32 = &u32;
    PUINT64 pu64 = &u64;
    PINT32 pi32 = &i32;
    PINT64 pi64 = &i64;
    PLONG64 pl64 = &l64;
    PULONG64 pul64 = &ul64;
    PDWORD64 pdw64 = &dw64;
    BOOL ok = TRUE;
    BOOLEAN flag = FALSE;
    CHAR text[MAX_PATH] = "";
    WCHAR wide[2] = {0, 0};
    USHORT us = 0;
    ULONGLONG ull = 0;
    LARGE_INTEGER counter, frequency;
    OVERLAPPED overlapped;
    LPOVERLAPPED pOverlapped = &overlapped;
    DWORD code = 0, bytes = 0, error;
    HANDLE event, thread;
    PVOID pointer = NULL;
    LPCVOID constPointer = text;
    SIZE_T size = sizeof text;
    int failures = 0;

    failures += i8 != -1 || u8 != 255 || i16 != -1 || u16 != 65535 || i32 != -1;
    failures += u32 != 0xFFFFFFFFu || i64 != -1 || u64 != 0xFFFFFFFFFFFFFFFFull;
    failures += l32 != -1 || ul32 != 0xFFFFFFFFu || dw32 != 0xFFFFFFFFu || l64 != -1;
    failures += ul64 != 0xFFFFFFFFFFFFFFFFull || dw64 != 0xFFFFFFFFFFFFFFFFull;
    failures += *pu8 != 255 || *pu32 != 0xFFFFFFFFu || *pi32 != -1 || *pi64 != -1;
    failures += *pu64 != u64 || *pl64 != -1 || *pul64 != ul64 || *pdw64 != dw64;
    failures += flag != FALSE || text[0] != 0 || wide[0] != 0 || us != 0 || ull != 0;
    failures += pointer != NULL || constPointer == NULL || size != MAX_PATH;

    ZeroMemory(&overlapped, sizeof overlapped);
    event = CreateEventA(NULL, TRUE, FALSE, NULL);
    failures += event == NULL || event == INVALID_HANDLE_VALUE;
    pOverlapped->hEvent = event;
    failures += WaitForSingleObject(event, 0) != WAIT_TIMEOUT;
    thread = CreateThread(NULL, 0, worker, event, 0, NULL);
    failures += thread == NULL;
    failures += WaitForSingleObject(thread, INFINITE) != WAIT_OBJECT_0;
    ok = GetExitCodeThread(thread, &code);
    failures += !ok || code != 7;
    failures += WaitForSingleObject(event, 0) != WAIT_OBJECT_0;
    failures += !ResetEvent(event);
    pOverlapped->Internal = STATUS_PENDING;
    failures += GetOverlappedResult(NULL, pOverlapped, &bytes, FALSE) != FALSE;
    error = GetLastError();
    failures += error != ERROR_IO_INCOMPLETE;
    SetLastError(ERROR_IO_PENDING);
    failures += GetLastError() != ERROR_IO_PENDING;
    failures += !QueryPerformanceFrequency(&frequency) || frequency.QuadPart <= 0;
    failures += !QueryPerformanceCounter(&counter) || counter.QuadPart <= 0;
    failures += GetTickCount64() == 0;
    Sleep(0);
    failures += GetCurrentProcessId() == 0 || GetCurrentThreadId() == 0;
    failures += !CloseHandle(thread) || !CloseHandle(event);
    return failures;
}
