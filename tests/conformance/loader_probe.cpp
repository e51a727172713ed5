// A library whose entry point counts the notifications it receives.
#include <windows.h>

namespace {
volatile LONG g_counts[4];
}

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
    if (reason < 4) g_counts[reason] = g_counts[reason] + 1;
    return TRUE;
}

#if defined(_WIN32)
#define PROBE_EXPORT __declspec(dllexport)
#else
#define PROBE_EXPORT __attribute__((visibility("default")))
#endif

// Counts by reason: DLL_PROCESS_DETACH, _PROCESS_ATTACH, _THREAD_ATTACH, _THREAD_DETACH.
extern "C" PROBE_EXPORT void probeCounts(LONG counts[4]) {
    for (int i = 0; i < 4; ++i) counts[i] = g_counts[i];
}
