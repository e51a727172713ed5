// Debug output, the debugger, and structured exceptions.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>

#include <vsim/hooks.h>

#include "kernel.h"

namespace w32 {
namespace {

vsim::DebugCapture& debugLog() {
    static auto* log = new vsim::DebugCapture;
    return *log;
}

struct VectoredHandler {
    PVECTORED_EXCEPTION_HANDLER handler;
};
std::mutex& handlersLock() {
    static auto* m = new std::mutex;
    return *m;
}
std::vector<VectoredHandler*>& handlers() {
    static auto* h = new std::vector<VectoredHandler*>;
    return *h;
}

}  // namespace
}  // namespace w32

using namespace w32;

extern "C" {

// Captured for tests; echoed to stderr when W32COMPAT_DEBUG_ECHO is set.
void WINAPI OutputDebugStringA(LPCSTR text) {
    W32_FAULT_POINT("OutputDebugStringA", );
    if (text == nullptr)
        return;
    debugLog().add(text);
    static const bool echo = std::getenv("W32COMPAT_DEBUG_ECHO") != nullptr;
    if (echo)
        std::fputs(text, stderr);
}

void vsimReadDebugOutput(void (*sink)(void*, const char*), void* context) {
    debugLog().read(sink, context);
}

void vsimClearDebugOutput(void) {
    debugLog().clear();
}

BOOL WINAPI IsDebuggerPresent(void) {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("TracerPid:", 0) == 0)
            return std::atoi(line.c_str() + 10) != 0;
    return FALSE;
}

void WINAPI DebugBreak(void) {
    std::raise(SIGTRAP);
}

PVOID WINAPI AddVectoredExceptionHandler(ULONG first, PVECTORED_EXCEPTION_HANDLER handler) {
    if (handler == nullptr)
        return nullptr;
    auto* entry = new VectoredHandler{handler};
    std::lock_guard guard(handlersLock());
    auto& list = handlers();
    list.insert(first ? list.begin() : list.end(), entry);
    return entry;
}

ULONG WINAPI RemoveVectoredExceptionHandler(PVOID handle) {
    std::lock_guard guard(handlersLock());
    auto& list = handlers();
    for (auto it = list.begin(); it != list.end(); ++it) {
        if (*it == handle) {
            delete *it;
            list.erase(it);
            return 1;
        }
    }
    return 0;
}

// Offers the exception to the vectored handlers in order. A handler that
// returns EXCEPTION_CONTINUE_EXECUTION resumes a continuable exception; an
// exception that no handler takes ends the process, as it does on Windows.
void WINAPI RaiseException(DWORD code, DWORD flags, DWORD count, const ULONG_PTR* arguments) {
    EXCEPTION_RECORD record{};
    record.ExceptionCode = code;
    record.ExceptionFlags = flags & EXCEPTION_NONCONTINUABLE;
    record.ExceptionAddress = __builtin_return_address(0);
    record.NumberParameters = std::min<DWORD>(count, EXCEPTION_MAXIMUM_PARAMETERS);
    for (DWORD i = 0; i < record.NumberParameters && arguments != nullptr; ++i)
        record.ExceptionInformation[i] = arguments[i];
    EXCEPTION_POINTERS pointers{&record, nullptr};
    std::vector<PVECTORED_EXCEPTION_HANDLER> chain;
    {
        std::lock_guard guard(handlersLock());
        for (auto* h : handlers())
            chain.push_back(h->handler);
    }
    for (auto handler : chain) {
        if (handler(&pointers) == EXCEPTION_CONTINUE_EXECUTION &&
            !(record.ExceptionFlags & EXCEPTION_NONCONTINUABLE))
            return;
    }
    std::fprintf(stderr, "Unhandled exception 0x%08x raised at %p\n", code,
                 record.ExceptionAddress);
    std::abort();
}

}  // extern "C"
