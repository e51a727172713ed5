// A library whose entry point counts the notifications it receives, and can
// run a callback at thread attach and detach (to call other libraries early
// and late in a thread's life) and at process detach (to look at the process
// after the libraries loaded after it have detached).
#include <windows.h>

namespace {
volatile LONG g_counts[4];
void (*g_onThreadDetach)(void*) = nullptr;
void* g_context = nullptr;
void (*g_onThreadAttach)(void*) = nullptr;
void* g_attachContext = nullptr;
void (*g_onProcessDetach)(void*, int) = nullptr;
void* g_detachContext = nullptr;
}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
    if (reason < 4)
        g_counts[reason] = g_counts[reason] + 1;
    if (reason == DLL_THREAD_ATTACH && g_onThreadAttach != nullptr)
        g_onThreadAttach(g_attachContext);
    if (reason == DLL_THREAD_DETACH && g_onThreadDetach != nullptr)
        g_onThreadDetach(g_context);
    if (reason == DLL_PROCESS_DETACH && g_onProcessDetach != nullptr)
        g_onProcessDetach(g_detachContext, reserved != nullptr);
    return TRUE;
}

#if defined(_WIN32)
#define PROBE_EXPORT __declspec(dllexport)
#else
#define PROBE_EXPORT __attribute__((visibility("default")))
#endif

// Counts by reason: DLL_PROCESS_DETACH, _PROCESS_ATTACH, _THREAD_ATTACH, _THREAD_DETACH.
extern "C" PROBE_EXPORT void probeCounts(LONG counts[4]) {
    for (int i = 0; i < 4; ++i)
        counts[i] = g_counts[i];
}

extern "C" PROBE_EXPORT void probeOnThreadDetach(void (*callback)(void*), void* context) {
    g_context = context;
    g_onThreadDetach = callback;
}

extern "C" PROBE_EXPORT void probeOnThreadAttach(void (*callback)(void*), void* context) {
    g_attachContext = context;
    g_onThreadAttach = callback;
}

// The callback learns whether the process is exiting (reserved not null).
extern "C" PROBE_EXPORT void probeOnProcessDetach(void (*callback)(void*, int), void* context) {
    g_detachContext = context;
    g_onProcessDetach = callback;
}
