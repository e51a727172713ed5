/*
 * Test hooks of the platform under the libraries: fault injection, captured
 * debug output and resource counts. On Linux the Win32 stand-in provides
 * them; on Windows the simulator DLL does, through the import tables it
 * patches. Tests use this one interface on both.
 */
#ifndef VSIM_HOOKS_H
#define VSIM_HOOKS_H

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32)
#if defined(VSIM_BUILDING)
#define VSIM_HOOK_API __declspec(dllexport)
#else
#define VSIM_HOOK_API __declspec(dllimport)
#endif
#else
#define VSIM_HOOK_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Attaches the simulated driver below the named module's imports (NULL: the
 * program itself) on Windows; returns the number of imports redirected. A
 * named library that is not loaded yet is attached when it loads, before its
 * entry point runs (so its process attach can be made to fail too). A
 * library module also gets fault injection and object counting, so on
 * Windows those cover the libraries' calls only; the program's own calls
 * reach the simulator and nothing more. The Win32 stand-in on Linux has the
 * simulator built in (and covers every call), so there it does nothing and
 * returns 0. */

VSIM_HOOK_API int vsimAttach(const char* module);

/* Makes the `nth` call (1 = the next one) of the named Win32 function fail
 * with `error`, once. Counting starts now and covers every thread. */
VSIM_HOOK_API void vsimFailNthCall(const char* call, unsigned nth, uint32_t error);
/* Makes every call of the named function from one thread fail with `error`. */
VSIM_HOOK_API void vsimFailCallsOnThread(const char* call, uint32_t threadId, uint32_t error);
/* Makes the `nth` call of the named function from one thread fail, once. */
VSIM_HOOK_API void vsimFailNthCallOnThread(const char* call, uint32_t threadId, unsigned nth,
                                           uint32_t error);

/* Ends the thread (as ExitThread does) at its `nth` call of the named
 * function, before the call does anything: whatever the thread holds is left
 * as a thread that dies mid-operation leaves it (a mutex it owns is
 * abandoned). */
VSIM_HOOK_API void vsimEndThreadAtNthCall(const char* call, uint32_t threadId, unsigned nth);

/* Removes every armed fault. */
VSIM_HOOK_API void vsimClearFaults(void);

/* Makes the `nth` call of the named function from the threads other than
 * `threadId` fail, once (counting the calls of every other thread: a
 * library's own, and any the system starts). */
VSIM_HOOK_API void vsimFailNthCallOffThread(const char* call, uint32_t threadId, unsigned nth,
                                            uint32_t error);

/* Records, from now on, every call that could be made to fail (the calls
 * the functions above count), from every thread, in order (the first
 * million calls of a log). */
VSIM_HOOK_API void vsimStartCallLog(void);
/* How many calls of the named function have been recorded so far from the
 * thread `threadId` (onThread nonzero) or from the other threads. */
VSIM_HOOK_API size_t vsimCallLogCount(const char* call, uint32_t threadId, int onThread);
/* Stops recording and passes each call recorded, in order, with the thread
 * that made it, to `sink`. */
VSIM_HOOK_API void vsimStopCallLog(void (*sink)(void* context, const char* call, uint32_t threadId),
                                   void* context);

/* Debug output (OutputDebugStringA) captured since the last clear, one
 * string per call, passed to `sink` in order. */
VSIM_HOOK_API void vsimReadDebugOutput(void (*sink)(void* context, const char* text),
                                       void* context);
VSIM_HOOK_API void vsimClearDebugOutput(void);

/* Number of live objects of a kind that the process holds through the
 * platform: "event", "mutex", "thread", "file", "pipe", "device", "heap",
 * "heapblock" (blocks of every heap: the process heap and private heaps such
 * as the libraries' own), "processheapblock" (blocks of the process heap
 * alone). Tests compare counts before and after. */
VSIM_HOOK_API size_t vsimCountObjects(const char* kind);
/* Of those, the ones that one of the given threads created. Leak checks of
 * per-thread state use it: other threads of the process (the system's own
 * workers, say) may come and go at any time. */
VSIM_HOOK_API size_t vsimCountObjectsOfThreads(const char* kind, const uint32_t* threadIds,
                                               size_t count);

#ifdef __cplusplus
}
#endif

#endif /* VSIM_HOOKS_H */
