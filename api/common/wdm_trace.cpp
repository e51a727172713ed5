// Trace lines and assertion reports on the debugger output.
#include <cstring>

#include "wdm.h"

namespace {
constexpr size_t kTraceBuffer = 256;
}

// A trace line or a failed assertion leaves the thread's last error as it
// was: the code around them reads it afterwards, and the system's debug
// output may change it.
void wdmTraceV(const char* format, va_list args) {
    const DWORD error = GetLastError();
    char line[kTraceBuffer];
    wdmFormatV(line, sizeof line, format, args);
    OutputDebugStringA(line);
    SetLastError(error);
}

void wdmTraceAlways(const char* format, ...) {
    va_list args;
    va_start(args, format);
    wdmTraceV(format, args);
    va_end(args);
}

// Reports "file(line) : Assertion failed: expression" as the debug run-time
// does, then offers the break to a debugger if one is attached; without a
// debugger the program goes on past the assertion.
void wdmAssertFailed(const char* file, int line, const char* expression) {
    const char* name = std::strrchr(file, '/');
    const char* other = std::strrchr(file, '\\');
    if (other != nullptr && (name == nullptr || other > name))
        name = other;
    name = name != nullptr ? name + 1 : file;
    const DWORD error = GetLastError();
    char report[kTraceBuffer];
    wdmFormat(report, sizeof report, "%s(%d) : Assertion failed: %s\n", name, line, expression);
    OutputDebugStringA(report);
    if (IsDebuggerPresent())
        DebugBreak();
    SetLastError(error);
}
