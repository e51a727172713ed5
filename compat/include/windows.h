/*
 * Win32 stand-in for Linux: the types, constants and declarations of the
 * Windows API calls that the libraries, their tests and tools make.
 *
 * Everything here has the size and layout it has on 64-bit Windows (LLP64):
 * DWORD, LONG and ULONG are 32 bits, WCHAR is 16 bits, pointers and the
 * *_PTR types are 64 bits. Structures that cross the library boundary
 * (OVERLAPPED, GUID, SECURITY_ATTRIBUTES, ...) therefore match the real ones
 * byte for byte. Only what the package uses is declared; anything else is
 * deliberately absent so that a call the stand-in does not implement fails
 * to compile instead of misbehaving at run time.
 */
#ifndef W32COMPAT_WINDOWS_H
#define W32COMPAT_WINDOWS_H

#include <stddef.h>
#include <stdint.h>
#include <string.h>

#ifdef __cplusplus
extern "C" {
#endif

#define WINAPI
#define CALLBACK
#define APIENTRY
#define WINBASEAPI
#define CONST const
#define VOID void
#define IN
#define OUT
#define OPTIONAL
#define ANYSIZE_ARRAY 1

#if defined(__GNUC__)
#define W32COMPAT_API __attribute__((visibility("default")))
#else
#define W32COMPAT_API
#endif

/* Integer types, with Windows' widths. */
typedef uint8_t BYTE;
typedef uint8_t BOOLEAN;
typedef uint16_t WORD;
typedef uint32_t DWORD;
typedef int32_t LONG;
typedef uint32_t ULONG;
typedef int32_t INT;
typedef uint32_t UINT;
typedef int BOOL;
typedef char CHAR;
typedef unsigned char UCHAR;
typedef int16_t SHORT;
typedef uint16_t USHORT;
typedef int64_t LONGLONG;
typedef uint64_t ULONGLONG;
typedef uint64_t DWORD64;
typedef int64_t LONG_PTR;
typedef uint64_t ULONG_PTR;
typedef uint64_t DWORD_PTR;
typedef int64_t INT_PTR;
typedef uint64_t UINT_PTR;
typedef ULONG_PTR SIZE_T;
typedef LONG_PTR SSIZE_T;
typedef LONG NTSTATUS;

/* The sized types of basetsd.h. */
typedef int8_t INT8, *PINT8;
typedef int16_t INT16, *PINT16;
typedef int32_t INT32, *PINT32;
typedef int64_t INT64, *PINT64;
typedef uint8_t UINT8, *PUINT8;
typedef uint16_t UINT16, *PUINT16;
typedef uint32_t UINT32, *PUINT32;
typedef uint64_t UINT64, *PUINT64;
typedef int32_t LONG32, *PLONG32;
typedef uint32_t ULONG32, *PULONG32;
typedef uint32_t DWORD32, *PDWORD32;
typedef int64_t LONG64, *PLONG64;
typedef uint64_t ULONG64, *PULONG64;
typedef DWORD64* PDWORD64;

/* WCHAR is a 16-bit UTF-16 code unit, as on Windows (wchar_t is 32 bits here). */
#ifdef __cplusplus
typedef char16_t WCHAR;
#else
typedef uint16_t WCHAR;
#endif

typedef void* PVOID;
typedef void* LPVOID;
typedef const void* LPCVOID;
typedef void* HANDLE;
typedef HANDLE* PHANDLE;
typedef HANDLE HINSTANCE;
typedef HANDLE HMODULE;
typedef HANDLE HKEY;
typedef BOOL* PBOOL;
typedef BOOL* LPBOOL;
typedef BYTE* PBYTE;
typedef BYTE* LPBYTE;
typedef DWORD* PDWORD;
typedef DWORD* LPDWORD;
typedef ULONG* PULONG;
typedef LONG* PLONG;
typedef ULONG_PTR* PULONG_PTR;
typedef CHAR* LPSTR;
typedef CHAR* PSTR;
typedef const CHAR* LPCSTR;
typedef const CHAR* PCSTR;
typedef const CHAR* LPCCH;
typedef WCHAR* LPWSTR;
typedef WCHAR* PWSTR;
typedef const WCHAR* LPCWSTR;
typedef const WCHAR* PCWSTR;
typedef const WCHAR* LPCWCH;

#ifndef FALSE
#define FALSE 0
#endif
#ifndef TRUE
#define TRUE 1
#endif

#define INVALID_HANDLE_VALUE ((HANDLE)(LONG_PTR)-1)
#define MAX_PATH 260

/* The memory macros of winnt.h, over the C library's. */
#define RtlZeroMemory(Destination, Length) memset((Destination), 0, (Length))
#define RtlFillMemory(Destination, Length, Fill) memset((Destination), (Fill), (Length))
#define RtlCopyMemory(Destination, Source, Length) memcpy((Destination), (Source), (Length))
#define RtlMoveMemory(Destination, Source, Length) memmove((Destination), (Source), (Length))
#define ZeroMemory RtlZeroMemory
#define FillMemory RtlFillMemory
#define CopyMemory RtlCopyMemory
#define MoveMemory RtlMoveMemory
#define INFINITE 0xFFFFFFFFu

/* Error codes (winerror.h). */
#define ERROR_SUCCESS 0L
#define NO_ERROR 0L
#define ERROR_INVALID_FUNCTION 1L
#define ERROR_FILE_NOT_FOUND 2L
#define ERROR_PATH_NOT_FOUND 3L
#define ERROR_TOO_MANY_OPEN_FILES 4L
#define ERROR_ACCESS_DENIED 5L
#define ERROR_INVALID_HANDLE 6L
#define ERROR_NOT_ENOUGH_MEMORY 8L
#define ERROR_OUTOFMEMORY 14L
#define ERROR_SHARING_VIOLATION 32L
#define ERROR_HANDLE_EOF 38L
#define ERROR_NOT_SUPPORTED 50L
#define ERROR_FILE_EXISTS 80L
#define ERROR_INVALID_PARAMETER 87L
#define ERROR_BROKEN_PIPE 109L
#define ERROR_INSUFFICIENT_BUFFER 122L
#define ERROR_INVALID_NAME 123L
#define ERROR_MOD_NOT_FOUND 126L
#define ERROR_PROC_NOT_FOUND 127L
#define ERROR_NEGATIVE_SEEK 131L
#define ERROR_ALREADY_EXISTS 183L
#define ERROR_NO_DATA 232L
#define ERROR_NO_MORE_ITEMS 259L
#define ERROR_NOT_OWNER 288L
#define ERROR_OPERATION_ABORTED 995L
#define ERROR_IO_INCOMPLETE 996L
#define ERROR_IO_PENDING 997L
#define ERROR_NOACCESS 998L
#define ERROR_DLL_INIT_FAILED 1114L
#define ERROR_NO_UNICODE_TRANSLATION 1113L
#define ERROR_INVALID_FLAGS 1004L
#define ERROR_NOT_FOUND 1168L
#define ERROR_INVALID_USER_BUFFER 1784L
#define ERROR_NO_SYSTEM_RESOURCES 1450L
#define ERROR_INVALID_DATA 13L
#define ERROR_INVALID_ADDRESS 487L
#define ERROR_INVALID_TLS_INDEX ERROR_INVALID_PARAMETER

/* Status values that appear in OVERLAPPED.Internal. */
#define STATUS_WAIT_0 ((DWORD)0x00000000L)
#define STATUS_ABANDONED_WAIT_0 ((DWORD)0x00000080L)
#define STATUS_TIMEOUT ((DWORD)0x00000102L)
#define STATUS_PENDING ((DWORD)0x00000103L)
#define STATUS_END_OF_FILE ((DWORD)0xC0000011L)

/* Waits. */
#define WAIT_OBJECT_0 ((DWORD)0x00000000L)
#define WAIT_ABANDONED ((DWORD)0x00000080L)
#define WAIT_ABANDONED_0 WAIT_ABANDONED
#define WAIT_TIMEOUT 258L
#define WAIT_FAILED ((DWORD)0xFFFFFFFF)
#define MAXIMUM_WAIT_OBJECTS 64

/* Files. */
#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define GENERIC_EXECUTE 0x20000000u
#define GENERIC_ALL 0x10000000u
#define DELETE 0x00010000u
#define SYNCHRONIZE 0x00100000u
#define EVENT_ALL_ACCESS 0x001F0003u
#define EVENT_MODIFY_STATE 0x0002u
#define MUTEX_ALL_ACCESS 0x001F0001u
#define FILE_READ_DATA 0x0001
#define FILE_WRITE_DATA 0x0002
#define FILE_APPEND_DATA 0x0004
#define FILE_SHARE_READ 0x00000001
#define FILE_SHARE_WRITE 0x00000002
#define FILE_SHARE_DELETE 0x00000004
#define CREATE_NEW 1
#define CREATE_ALWAYS 2
#define OPEN_EXISTING 3
#define OPEN_ALWAYS 4
#define TRUNCATE_EXISTING 5
#define FILE_ATTRIBUTE_NORMAL 0x00000080
#define FILE_FLAG_OVERLAPPED 0x40000000
#define FILE_FLAG_NO_BUFFERING 0x20000000
#define FILE_FLAG_BACKUP_SEMANTICS 0x02000000
#define FILE_BEGIN 0
#define FILE_CURRENT 1
#define FILE_END 2

/* Device I/O control codes (winioctl.h). */
#define FILE_DEVICE_UNKNOWN 0x00000022
#define METHOD_BUFFERED 0
#define METHOD_IN_DIRECT 1
#define METHOD_OUT_DIRECT 2
#define METHOD_NEITHER 3
#define FILE_ANY_ACCESS 0
#define FILE_READ_ACCESS 0x0001
#define FILE_WRITE_ACCESS 0x0002
#define CTL_CODE(DeviceType, Function, Method, Access) \
    (((DeviceType) << 16) | ((Access) << 14) | ((Function) << 2) | (Method))

/* Heaps. */
#define HEAP_NO_SERIALIZE 0x00000001
#define HEAP_GENERATE_EXCEPTIONS 0x00000004
#define HEAP_ZERO_MEMORY 0x00000008

/* Thread-local storage. */
#define TLS_OUT_OF_INDEXES ((DWORD)0xFFFFFFFF)

/* Code pages. */
#define CP_ACP 0
#define CP_OEMCP 1
#define CP_UTF8 65001
#define MB_PRECOMPOSED 0x00000001
#define MB_ERR_INVALID_CHARS 0x00000008

/* Threads. */
#define CREATE_SUSPENDED 0x00000004
#define STILL_ACTIVE 259

/* Library entry point reasons. */
#define DLL_PROCESS_DETACH 0
#define DLL_PROCESS_ATTACH 1
#define DLL_THREAD_ATTACH 2
#define DLL_THREAD_DETACH 3

/* Structured exceptions. */
#define EXCEPTION_NONCONTINUABLE 0x1
#define EXCEPTION_MAXIMUM_PARAMETERS 15
#define EXCEPTION_EXECUTE_HANDLER 1
#define EXCEPTION_CONTINUE_SEARCH 0
#define EXCEPTION_CONTINUE_EXECUTION (-1)

typedef struct _GUID {
    uint32_t Data1;
    uint16_t Data2;
    uint16_t Data3;
    uint8_t Data4[8];
} GUID;
typedef GUID* LPGUID;
typedef const GUID* LPCGUID;
#ifdef __cplusplus
#define REFGUID const GUID&
#else
#define REFGUID const GUID*
#endif

/* The union and the structure inside it have no names, as in Windows' own
 * declaration; __extension__ keeps a C99 -pedantic build quiet about that,
 * as it does in the MinGW-w64 headers. */
#if defined(__GNUC__)
#define W32COMPAT_NAMELESS __extension__
#else
#define W32COMPAT_NAMELESS
#endif

typedef struct _OVERLAPPED {
    ULONG_PTR Internal;
    ULONG_PTR InternalHigh;
    W32COMPAT_NAMELESS union {
        W32COMPAT_NAMELESS struct {
            DWORD Offset;
            DWORD OffsetHigh;
        };
        PVOID Pointer;
    };
    HANDLE hEvent;
} OVERLAPPED, *LPOVERLAPPED;

typedef struct _SECURITY_ATTRIBUTES {
    DWORD nLength;
    LPVOID lpSecurityDescriptor;
    BOOL bInheritHandle;
} SECURITY_ATTRIBUTES, *PSECURITY_ATTRIBUTES, *LPSECURITY_ATTRIBUTES;

typedef union _LARGE_INTEGER {
    struct {
        DWORD LowPart;
        LONG HighPart;
    } u;
    LONGLONG QuadPart;
} LARGE_INTEGER, *PLARGE_INTEGER;

typedef DWORD(WINAPI* PTHREAD_START_ROUTINE)(LPVOID lpThreadParameter);
typedef PTHREAD_START_ROUTINE LPTHREAD_START_ROUTINE;

typedef struct _EXCEPTION_RECORD {
    DWORD ExceptionCode;
    DWORD ExceptionFlags;
    struct _EXCEPTION_RECORD* ExceptionRecord;
    PVOID ExceptionAddress;
    DWORD NumberParameters;
    ULONG_PTR ExceptionInformation[EXCEPTION_MAXIMUM_PARAMETERS];
} EXCEPTION_RECORD, *PEXCEPTION_RECORD;

/* The stand-in keeps no processor context; handlers receive a null ContextRecord. */
typedef struct _CONTEXT CONTEXT, *PCONTEXT;

typedef struct _EXCEPTION_POINTERS {
    PEXCEPTION_RECORD ExceptionRecord;
    PCONTEXT ContextRecord;
} EXCEPTION_POINTERS, *PEXCEPTION_POINTERS;

typedef LONG(WINAPI* PVECTORED_EXCEPTION_HANDLER)(struct _EXCEPTION_POINTERS* ExceptionInfo);
typedef void* FARPROC;

/* Errors. */
W32COMPAT_API DWORD WINAPI GetLastError(void);
W32COMPAT_API void WINAPI SetLastError(DWORD dwErrCode);

/* Handles, files and device I/O. */
W32COMPAT_API BOOL WINAPI CloseHandle(HANDLE hObject);
W32COMPAT_API HANDLE WINAPI CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                                        LPSECURITY_ATTRIBUTES lpSecurityAttributes,
                                        DWORD dwCreationDisposition, DWORD dwFlagsAndAttributes,
                                        HANDLE hTemplateFile);
W32COMPAT_API HANDLE WINAPI CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess,
                                        DWORD dwShareMode,
                                        LPSECURITY_ATTRIBUTES lpSecurityAttributes,
                                        DWORD dwCreationDisposition, DWORD dwFlagsAndAttributes,
                                        HANDLE hTemplateFile);
W32COMPAT_API BOOL WINAPI ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
                                   LPDWORD lpNumberOfBytesRead, LPOVERLAPPED lpOverlapped);
W32COMPAT_API BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
                                    LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED lpOverlapped);
W32COMPAT_API BOOL WINAPI GetFileSizeEx(HANDLE hFile, PLARGE_INTEGER lpFileSize);
W32COMPAT_API BOOL WINAPI SetFilePointerEx(HANDLE hFile, LARGE_INTEGER liDistanceToMove,
                                           PLARGE_INTEGER lpNewFilePointer, DWORD dwMoveMethod);
W32COMPAT_API BOOL WINAPI DeleteFileA(LPCSTR lpFileName);
W32COMPAT_API BOOL WINAPI DeleteFileW(LPCWSTR lpFileName);

W32COMPAT_API BOOL WINAPI DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer,
                                          DWORD nInBufferSize, LPVOID lpOutBuffer,
                                          DWORD nOutBufferSize, LPDWORD lpBytesReturned,
                                          LPOVERLAPPED lpOverlapped);
W32COMPAT_API BOOL WINAPI GetOverlappedResult(HANDLE hFile, LPOVERLAPPED lpOverlapped,
                                              LPDWORD lpNumberOfBytesTransferred, BOOL bWait);
W32COMPAT_API BOOL WINAPI CreatePipe(PHANDLE hReadPipe, PHANDLE hWritePipe,
                                     LPSECURITY_ATTRIBUTES lpPipeAttributes, DWORD nSize);

/* Synchronisation and threads. */
W32COMPAT_API HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset,
                                         BOOL bInitialState, LPCSTR lpName);
W32COMPAT_API HANDLE WINAPI OpenEventA(DWORD dwDesiredAccess, BOOL bInheritHandle, LPCSTR lpName);
W32COMPAT_API BOOL WINAPI SetEvent(HANDLE hEvent);
W32COMPAT_API BOOL WINAPI ResetEvent(HANDLE hEvent);
W32COMPAT_API HANDLE WINAPI CreateMutexA(LPSECURITY_ATTRIBUTES lpMutexAttributes,
                                         BOOL bInitialOwner, LPCSTR lpName);
W32COMPAT_API HANDLE WINAPI OpenMutexA(DWORD dwDesiredAccess, BOOL bInheritHandle, LPCSTR lpName);
W32COMPAT_API BOOL WINAPI ReleaseMutex(HANDLE hMutex);
W32COMPAT_API DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds);
W32COMPAT_API DWORD WINAPI WaitForMultipleObjects(DWORD nCount, const HANDLE* lpHandles,
                                                  BOOL bWaitAll, DWORD dwMilliseconds);
W32COMPAT_API HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES lpThreadAttributes,
                                         SIZE_T dwStackSize, LPTHREAD_START_ROUTINE lpStartAddress,
                                         LPVOID lpParameter, DWORD dwCreationFlags,
                                         LPDWORD lpThreadId);
W32COMPAT_API BOOL WINAPI GetExitCodeThread(HANDLE hThread, LPDWORD lpExitCode);
#ifdef __cplusplus
[[noreturn]]
#endif
W32COMPAT_API void WINAPI
ExitThread(DWORD dwExitCode);
W32COMPAT_API DWORD WINAPI ResumeThread(HANDLE hThread);

/* Slim reader/writer locks: one pointer-sized word, ready when zeroed
 * (SRWLOCK_INIT), never destroyed, not recursive. */
typedef struct _RTL_SRWLOCK {
    PVOID Ptr;
} RTL_SRWLOCK, *PRTL_SRWLOCK;
typedef RTL_SRWLOCK SRWLOCK, *PSRWLOCK;
#define RTL_SRWLOCK_INIT \
    { 0 }
#define SRWLOCK_INIT RTL_SRWLOCK_INIT
W32COMPAT_API void WINAPI InitializeSRWLock(PSRWLOCK SRWLock);
W32COMPAT_API void WINAPI AcquireSRWLockExclusive(PSRWLOCK SRWLock);
W32COMPAT_API void WINAPI ReleaseSRWLockExclusive(PSRWLOCK SRWLock);
W32COMPAT_API void WINAPI AcquireSRWLockShared(PSRWLOCK SRWLock);
W32COMPAT_API void WINAPI ReleaseSRWLockShared(PSRWLOCK SRWLock);
W32COMPAT_API BOOLEAN WINAPI TryAcquireSRWLockExclusive(PSRWLOCK SRWLock);
W32COMPAT_API BOOLEAN WINAPI TryAcquireSRWLockShared(PSRWLOCK SRWLock);

W32COMPAT_API DWORD WINAPI GetCurrentThreadId(void);
W32COMPAT_API DWORD WINAPI GetCurrentProcessId(void);
W32COMPAT_API void WINAPI Sleep(DWORD dwMilliseconds);

/* Critical sections: the layout of Windows' (40 bytes); the lock word is
 * LockCount (-1 when free). Not shared between processes. */
typedef struct _RTL_CRITICAL_SECTION {
    PVOID DebugInfo;
    LONG LockCount;
    LONG RecursionCount;
    HANDLE OwningThread;
    HANDLE LockSemaphore;
    ULONG_PTR SpinCount;
} RTL_CRITICAL_SECTION, *PRTL_CRITICAL_SECTION;
typedef RTL_CRITICAL_SECTION CRITICAL_SECTION, *PCRITICAL_SECTION, *LPCRITICAL_SECTION;
W32COMPAT_API void WINAPI InitializeCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
W32COMPAT_API BOOL WINAPI
InitializeCriticalSectionAndSpinCount(LPCRITICAL_SECTION lpCriticalSection, DWORD dwSpinCount);
W32COMPAT_API void WINAPI EnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
W32COMPAT_API BOOL WINAPI TryEnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
W32COMPAT_API void WINAPI LeaveCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
W32COMPAT_API void WINAPI DeleteCriticalSection(LPCRITICAL_SECTION lpCriticalSection);

/* Time. The performance counter counts at 10 MHz, as on current Windows. */
W32COMPAT_API BOOL WINAPI QueryPerformanceCounter(LARGE_INTEGER* lpPerformanceCount);
W32COMPAT_API BOOL WINAPI QueryPerformanceFrequency(LARGE_INTEGER* lpFrequency);
W32COMPAT_API ULONGLONG WINAPI GetTickCount64(void);

/* Virtual memory: reservations start on 64 KiB, commits on pages; memory
 * comes zeroed. */
#define MEM_COMMIT 0x00001000u
#define MEM_RESERVE 0x00002000u
#define MEM_DECOMMIT 0x00004000u
#define MEM_RELEASE 0x00008000u
#define PAGE_NOACCESS 0x01u
#define PAGE_READONLY 0x02u
#define PAGE_READWRITE 0x04u
#define PAGE_EXECUTE 0x10u
#define PAGE_EXECUTE_READ 0x20u
#define PAGE_EXECUTE_READWRITE 0x40u
W32COMPAT_API LPVOID WINAPI VirtualAlloc(LPVOID lpAddress, SIZE_T dwSize, DWORD flAllocationType,
                                         DWORD flProtect);
W32COMPAT_API BOOL WINAPI VirtualFree(LPVOID lpAddress, SIZE_T dwSize, DWORD dwFreeType);

/* Thread-local storage. */
W32COMPAT_API DWORD WINAPI TlsAlloc(void);
W32COMPAT_API LPVOID WINAPI TlsGetValue(DWORD dwTlsIndex);
W32COMPAT_API BOOL WINAPI TlsSetValue(DWORD dwTlsIndex, LPVOID lpTlsValue);
W32COMPAT_API BOOL WINAPI TlsFree(DWORD dwTlsIndex);

/* Heaps. */
W32COMPAT_API HANDLE WINAPI GetProcessHeap(void);
W32COMPAT_API HANDLE WINAPI HeapCreate(DWORD flOptions, SIZE_T dwInitialSize, SIZE_T dwMaximumSize);
W32COMPAT_API BOOL WINAPI HeapDestroy(HANDLE hHeap);
W32COMPAT_API LPVOID WINAPI HeapAlloc(HANDLE hHeap, DWORD dwFlags, SIZE_T dwBytes);
W32COMPAT_API BOOL WINAPI HeapFree(HANDLE hHeap, DWORD dwFlags, LPVOID lpMem);

/* Debugging and exceptions. */
W32COMPAT_API void WINAPI OutputDebugStringA(LPCSTR lpOutputString);
W32COMPAT_API BOOL WINAPI IsDebuggerPresent(void);
W32COMPAT_API void WINAPI DebugBreak(void);
W32COMPAT_API void WINAPI RaiseException(DWORD dwExceptionCode, DWORD dwExceptionFlags,
                                         DWORD nNumberOfArguments, const ULONG_PTR* lpArguments);
W32COMPAT_API PVOID WINAPI AddVectoredExceptionHandler(ULONG First,
                                                       PVECTORED_EXCEPTION_HANDLER Handler);
W32COMPAT_API ULONG WINAPI RemoveVectoredExceptionHandler(PVOID Handle);

/* Text. */
W32COMPAT_API UINT WINAPI GetACP(void);
W32COMPAT_API int WINAPI MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCCH lpMultiByteStr,
                                             int cbMultiByte, LPWSTR lpWideCharStr,
                                             int cchWideChar);

/* Libraries. */
W32COMPAT_API HMODULE WINAPI LoadLibraryA(LPCSTR lpLibFileName);
W32COMPAT_API BOOL WINAPI FreeLibrary(HMODULE hLibModule);
W32COMPAT_API FARPROC WINAPI GetProcAddress(HMODULE hModule, LPCSTR lpProcName);

#ifdef __cplusplus
}
#endif

#endif /* W32COMPAT_WINDOWS_H */
