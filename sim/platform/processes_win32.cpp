// Processes on Windows: a process id and the time the process was created.
#include <windows.h>

#include "machine/processes.h"

namespace vsim::model {

namespace {

// A process's id and creation time, folded into one name; 0 if it cannot
// be asked (it has ended, or never was).
uint64_t processName(DWORD pid, HANDLE process) {
    FILETIME created, exited, kernel, user;
    if (!GetProcessTimes(process, &created, &exited, &kernel, &user))
        return 0;
    const uint64_t stamp = uint64_t{created.dwHighDateTime} << 32 | created.dwLowDateTime;
    return uint64_t{pid} << 32 | static_cast<uint32_t>(stamp ^ (stamp >> 32));
}

}  // namespace

uint64_t thisProcess() {
    static const uint64_t self = processName(GetCurrentProcessId(), GetCurrentProcess());
    return self;
}

bool processRuns(uint64_t process) {
    const auto pid = static_cast<DWORD>(process >> 32);
    HANDLE handle = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    if (handle == nullptr)
        // Another user's process is there, though this one may not look at it.
        return GetLastError() == ERROR_ACCESS_DENIED;
    DWORD code = 0;
    const bool runs = GetExitCodeProcess(handle, &code) && code == STILL_ACTIVE &&
                      processName(pid, handle) == process;
    CloseHandle(handle);
    return runs;
}

}  // namespace vsim::model
