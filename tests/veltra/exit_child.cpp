// A program that ends while threads that used the library still run. The
// probe library, loaded before the library and so detached after it, writes
// on standard output how many events the process holds before the end and
// after the library's process detach, and whether that detach was the
// process's exit: "events N M exit E". The load tests run it.
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#if !defined(_WIN32)
#include <unistd.h>
#endif

#include <vsim/hooks.h>

namespace {

using CancelFn = uint32_t(WINAPI*)(HANDLE);

struct Report {
    size_t eventsBefore = 0;
};

void writeOut(const char* text) {
#if defined(_WIN32)
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text, static_cast<DWORD>(std::strlen(text)),
              &written, nullptr);
#else
    (void)!write(1, text, std::strlen(text));
#endif
}

void report(void* context, int exiting) {
    char line[96];
    std::snprintf(line, sizeof line, "events %zu %zu exit %d\n",
                  static_cast<Report*>(context)->eventsBefore, vsimCountObjects("event"), exiting);
    writeOut(line);
}

CancelFn g_cancel = nullptr;
HANDLE g_never = nullptr;
std::atomic<int> g_ready{0};

// Makes the thread's record with a request, then waits for ever.
DWORD WINAPI requestAndWait(LPVOID) {
    g_cancel(nullptr);
    ++g_ready;
    WaitForSingleObject(g_never, INFINITE);
    return 0;
}

}  // namespace

int main() {
    vsimAttach(VELTRA_LIBRARY_NAME);
    HMODULE probe = LoadLibraryA(LOADER_PROBE_PATH);
    HMODULE library = LoadLibraryA(VELTRA_LIBRARY_PATH);
    if (probe == nullptr || library == nullptr)
        return 2;
    g_cancel = reinterpret_cast<CancelFn>(
        reinterpret_cast<void*>(GetProcAddress(library, "VELTRA_Cancel")));
    auto onDetach = reinterpret_cast<void (*)(void (*)(void*, int), void*)>(
        reinterpret_cast<void*>(GetProcAddress(probe, "probeOnProcessDetach")));
    if (g_cancel == nullptr || onDetach == nullptr)
        return 3;
    g_never = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    for (int i = 0; i < 3; ++i)
        CloseHandle(CreateThread(nullptr, 0, requestAndWait, nullptr, 0, nullptr));
    while (g_ready < 3)
        Sleep(1);
    static Report r;
    r.eventsBefore = vsimCountObjects("event");
    onDetach(report, &r);
    return 0;
}
