// Import redirection for the Windows simulator: the real functions, the fault
// table and the object counts behind the test hooks.
#pragma once

#include <windows.h>
#include <setupapi.h>

#include <cstddef>
#include <cstdint>

// The Win32 functions the simulator redirects in attached modules, with the
// module that exports each.
#define VSIM_REAL_FUNCTIONS(X)                          \
    X("kernel32.dll", CreateFileA)                      \
    X("kernel32.dll", CreateFileW)                      \
    X("kernel32.dll", DeviceIoControl)                  \
    X("kernel32.dll", CloseHandle)                      \
    X("kernel32.dll", ReadFile)                         \
    X("kernel32.dll", WriteFile)                        \
    X("kernel32.dll", GetFileSizeEx)                    \
    X("kernel32.dll", SetFilePointerEx)                 \
    X("kernel32.dll", GetOverlappedResult)              \
    X("kernel32.dll", CreateEventA)                     \
    X("kernel32.dll", SetEvent)                         \
    X("kernel32.dll", ResetEvent)                       \
    X("kernel32.dll", CreateMutexA)                     \
    X("kernel32.dll", ReleaseMutex)                     \
    X("kernel32.dll", WaitForSingleObject)              \
    X("kernel32.dll", CreatePipe)                       \
    X("kernel32.dll", CreateThread)                     \
    X("kernel32.dll", TlsAlloc)                         \
    X("kernel32.dll", TlsGetValue)                      \
    X("kernel32.dll", TlsSetValue)                      \
    X("kernel32.dll", TlsFree)                          \
    X("kernel32.dll", HeapAlloc)                        \
    X("kernel32.dll", HeapFree)                         \
    X("kernel32.dll", HeapCreate)                       \
    X("kernel32.dll", HeapDestroy)                      \
    X("kernel32.dll", OutputDebugStringA)               \
    X("kernel32.dll", MultiByteToWideChar)              \
    X("setupapi.dll", SetupDiGetClassDevsA)             \
    X("setupapi.dll", SetupDiEnumDeviceInterfaces)      \
    X("setupapi.dll", SetupDiGetDeviceInterfaceDetailA) \
    X("setupapi.dll", SetupDiDestroyDeviceInfoList)

namespace vsim::win32 {

namespace real {
#define VSIM_DECLARE_REAL(module, name) extern decltype(&::name) name;
VSIM_REAL_FUNCTIONS(VSIM_DECLARE_REAL)
#undef VSIM_DECLARE_REAL
}  // namespace real

struct Redirect {
    const char* name;
    void* function;
};

// The simulator's own redirections (device paths, device handles, sets).
const Redirect* simRedirects(size_t& count);
void installEventPlatform();
void threadEnding();

// The events whose state the simulator keeps (see attach.cpp): an event an
// attached library made, its owner's own sets and resets, the reset a wait
// must see first, and its close (true if it was such an event).
void eventCreated(HANDLE event, BOOL manualReset, BOOL initialState, bool named);
BOOL changeEvent(HANDLE event, bool set);
void settleEvent(HANDLE event);
bool closeKnownEvent(HANDLE event);

// Fault injection: true if this call should fail; sets the last error.
bool faultArmed();
bool shouldFail(const char* call);

// Object counts for leak checks in tests.
void countObject(const char* kind, int delta);
void trackObject(HANDLE handle, const char* kind);
// Stops tracking a handle; returns the kind it had, or null.
const char* forgetObject(HANDLE handle);

}  // namespace vsim::win32

#define VSIM_FAULT_POINT(call, failure)                                     \
    do {                                                                    \
        if (::vsim::win32::faultArmed() && ::vsim::win32::shouldFail(call)) \
            return failure;                                                 \
    } while (0)
