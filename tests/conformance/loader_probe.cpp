// A library whose entry point counts the notifications it receives, and can
// run a callback at thread detach (to call other libraries late in a
// thread's life).
#include <windows.h>

namespace {
volatile LONG g_counts[4];
void (*g_onThreadDetach)(void*) = nullptr;
void* g_context = nullptr;
}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
    if (reason < 4)
        g_counts[reason] = g_counts[reason] + 1;
    if (reason == DLL_THREAD_DETACH && g_onThreadDetach != nullptr)
        g_onThreadDetach(g_context);
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
