// The Windows layer shared by the VELTRA and KESTA libraries: the library
// entry point, device handles, the device-control transport with its
// per-thread records, text conversion, and the checked build's traces and
// assertions. Both libraries compile these sources; what differs between
// them (interface GUID, status codes) comes from the WDM_LIBRARY record that
// each library defines.
#pragma once

#include <windows.h>
#include <setupapi.h>

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstring>

// What the shared layer needs to know of the library it is part of.
struct WDM_LIBRARY {
    GUID interfaceGuid;
    // The library's status codes for the transport's outcomes.
    uint32_t statusSuccess;
    uint32_t statusUnexpected;
    uint32_t statusInvalidHandle;
    uint32_t statusCancelled;
    uint32_t statusPending;
    uint32_t statusNoMemory;
    uint32_t statusNullPointer;
    // ...and for opening a device.
    uint32_t statusDeviceNotFound;
    uint32_t statusAccessDenied;
    // The driver request that sets a handle's open flags.
    uint32_t setOpenFlagsRequest;
};

// Defined by each library.
extern const WDM_LIBRARY wdmLibrary;

// The I/O control code of driver request n: device type 0x22, function
// 0x801 + 2n, METHOD_BUFFERED, FILE_ANY_ACCESS.
constexpr DWORD wdmRequestCode(uint32_t request) {
    return 0x222004u + 8u * request;
}
inline constexpr DWORD kWdmCancelCode = 0x222808;

// ---------------------------------------------------------------------------
// Per-thread records and the transport

// The texts a thread formats for unknown status codes. Each thread uses one
// set of its own, so that two threads formatting at once never see each
// other's text. The set belongs to the library, not to the thread: when the
// thread ends, what it returned stays readable until a thread that starts
// later takes the set over, and the library frees the sets when it unloads.
inline constexpr size_t kWdmTextSize = 128;
struct WDM_STATUS_TEXT {
    char narrow[kWdmTextSize];        // the narrow export's text
    char wideSource[kWdmTextSize];    // a wide export's text before conversion
    WCHAR wide[kWdmTextSize];         // the wide export's text
    WDM_STATUS_TEXT* pNextFree;       // on the list of sets free for the next thread
    WDM_STATUS_TEXT* pNextAllocated;  // on the list of sets from the heap
};

// One per thread that has used the library. Its address is the address of
// its OVERLAPPED, so the value in the TLS slot serves as the OVERLAPPED
// pointer of the thread's synchronous requests.
struct WDM_THREAD_CONTEXT {
    OVERLAPPED overlapped;
    WDM_THREAD_CONTEXT* pNext;  // newer record on the list
    WDM_THREAD_CONTEXT* pPrev;  // older record on the list
    WDM_STATUS_TEXT* pText;     // the thread's texts, taken at its first text
};

extern DWORD tlsIndex;
extern HANDLE hProcessHeap;

BOOL wdmCreateThreadContext();
LPOVERLAPPED wdmGetThreadOverlapped();
void wdmFreeThreadContext();
void wdmFreeAllThreadContexts();
// The calling thread's texts; a process-wide set if the thread has no record
// and no set can be had (out of memory), so that text exports never fail.
WDM_STATUS_TEXT* wdmGetStatusText();
// A thread's set goes back when its record is freed; unloading frees them all.
void wdmReturnStatusText(WDM_STATUS_TEXT* text);
void wdmFreeStatusTexts();
// Formats the text of a status code outside the library's table into one of
// a set's narrow texts and returns it.
const char* wdmFormatUnknownStatus(char (&text)[kWdmTextSize], uint32_t code);

uint32_t wdmControlDevice(HANDLE hDevice, uint32_t request, void* buffer, uint32_t inSize,
                          uint32_t outSize);
uint32_t wdmControlDeviceAsync(HANDLE hDevice, LPOVERLAPPED pOverlapped, uint32_t request,
                               void* buffer, uint32_t inSize, uint32_t outSize);

// A driver request of a library's table: its number, its name, and the
// input and output lengths it is sent with.
struct WdmRequest {
    uint32_t number;
    const char* name;
    uint32_t inSize;
    uint32_t outSize;
};

// Sends a request synchronously with its table lengths; `record` is both the
// input and the reply buffer.
inline uint32_t sendRequest(HANDLE hDevice, const WdmRequest& request, void* record) {
    return wdmControlDevice(hDevice, request.number, record, request.inSize, request.outSize);
}

inline uint32_t sendRequestAsync(HANDLE hDevice, LPOVERLAPPED pOverlapped,
                                 const WdmRequest& request, void* record) {
    return wdmControlDeviceAsync(hDevice, pOverlapped, request.number, record, request.inSize,
                                 request.outSize);
}
uint32_t wdmFinishDeviceAsync(HANDLE hDevice, LPOVERLAPPED pOverlapped, int32_t bWait);
uint32_t wdmCancelDevice(HANDLE hDevice);
// Waits for a pending request to end. A wait that fails while the request is
// still under way must not hand its OVERLAPPED to the next request while the
// driver can still write into it: this waits for the request's event too,
// and keeps the wait's error as the last error.
BOOL wdmWaitForRequest(HANDLE hDevice, LPOVERLAPPED pOverlapped, DWORD* pBytes);
// The library status for a Win32 error of a request.
uint32_t wdmTranslateError(DWORD error);

// ---------------------------------------------------------------------------
// Entry point and device handles

BOOL wdmDllMain(HINSTANCE hModule, DWORD reason, LPVOID reserved);

enum WDM_OPEN_RESULT : uint32_t {
    WDM_OPEN_SUCCESS = 0,
    WDM_OPEN_NO_DEVICE_SET = 1,
    WDM_OPEN_NO_SUCH_INDEX = 3,
    WDM_OPEN_NO_MEMORY = 4,
    WDM_OPEN_ACCESS_DENIED = 5,
    WDM_OPEN_FAILED = 6,
};

WDM_OPEN_RESULT wdmOpenDevice(uint32_t memberIndex, const GUID& interfaceGuid, int32_t bOverlapped,
                              int32_t bReadOnly, HANDLE* pHandle);
// 0 closed, 1 invalid handle, 2 any other failure.
uint32_t wdmCloseDevice(HANDLE hDevice);

// The open export of both libraries: opens device `index` of the library's
// interface for overlapped I/O and, when bit 0 of `flags` asks for it, sends
// the whole flags value to the driver; if the driver refuses them the handle
// is closed again with the library's own `close`. Returns a library status;
// *phDevice is written on success only.
uint32_t wdmOpen(uint32_t index, int32_t bReadOnly, uint32_t flags, uint32_t (*close)(HANDLE),
                 HANDLE* phDevice);
// The close export's status: wdmCloseDevice's outcome as a library status.
uint32_t wdmCloseStatus(HANDLE hDevice);

// The library's own heap, for objects it hands to the application and for
// its general-purpose allocations (never the process heap).
void* wdmAllocate(size_t size);
void wdmFree(void* block);
void wdmDestroyHeap();

// A field of a driver reply (or any record) at a byte offset, whatever its
// alignment.
template <typename T>
T replyField(const uint8_t* reply, size_t offset) {
    T value;
    std::memcpy(&value, reply + offset, sizeof value);
    return value;
}

// ---------------------------------------------------------------------------
// Text

// Converts a NUL-terminated narrow string (CP_ACP) into `count` wide
// characters; on success the last character is always NUL. A count of 0 or a
// failed conversion reports failure and writes no terminator.
BOOL copyToWide(WCHAR* destination, size_t count, const char* source);

// Wide constant texts from narrow literals, made at compile time, so that a
// narrow and a wide table hold the same characters by construction.
template <size_t N>
struct WdmWideText {
    WCHAR text[N];
    consteval WdmWideText(const char (&narrow)[N]) : text{} {
        for (size_t i = 0; i < N; ++i)
            text[i] = static_cast<WCHAR>(static_cast<unsigned char>(narrow[i]));
    }
};
template <WdmWideText Text>
constexpr const WCHAR* wdmWide() {
    return Text.text;
}

// printf-style formatting with Windows' conventions on every platform: %lu
// and %lx take 32-bit values, %I64X a 64-bit one, %p prints 16 upper-case
// hexadecimal digits. The text always ends within `size` (size - 1
// characters and the terminator). Returns the length written.
size_t wdmFormat(char* buffer, size_t size, const char* format, ...);
size_t wdmFormatV(char* buffer, size_t size, const char* format, va_list args);

// ---------------------------------------------------------------------------
// Traces and assertions

// Formats into a 256-byte buffer and writes it with OutputDebugStringA.
void wdmTraceAlways(const char* format, ...);
void wdmTraceV(const char* format, va_list args);

// Reports a failed assertion with its file and line through the debugger
// output and breaks into an attached debugger.
void wdmAssertFailed(const char* file, int line, const char* expression);

#if defined(WDM_CHECKED)
inline constexpr bool kWdmChecked = true;
#define WDM_TRACE(...) wdmTraceAlways(__VA_ARGS__)
#define WDM_ASSERT(condition) \
    ((condition) ? (void)0 : wdmAssertFailed(__FILE__, __LINE__, #condition))
#else
inline constexpr bool kWdmChecked = false;
#define WDM_TRACE(...) ((void)0)
// The free build checks nothing (sizeof does not evaluate the condition).
#define WDM_ASSERT(condition) ((void)sizeof(condition))
#endif
