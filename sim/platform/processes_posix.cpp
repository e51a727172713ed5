// Processes on Linux: a process id and the start time that /proc gives it.
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>

#include "machine/processes.h"

namespace vsim::model {

namespace {

// The start time of a running process, in clock ticks after boot (field 22
// of /proc/PID/stat); false if there is no such process, or it has ended
// and only waits to be reaped.
bool processStart(pid_t pid, uint64_t& start) {
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
    FILE* file = std::fopen(path, "re");
    if (file == nullptr)
        return false;
    char line[1024];
    const bool read = std::fgets(line, sizeof line, file) != nullptr;
    std::fclose(file);
    // The name (field 2) may hold spaces and parentheses: fields go on after
    // its last ')'.
    const char* at = read ? std::strrchr(line, ')') : nullptr;
    if (at == nullptr)
        return false;
    char state = 0;
    unsigned long long ticks = 0;
    // state (3), then 18 fields up to starttime (22).
    if (std::sscanf(at + 1,
                    " %c %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s "
                    "%*s %*s %*s %llu",
                    &state, &ticks) != 2)
        return false;
    start = ticks;
    return state != 'Z' && state != 'X';
}

uint64_t processName(pid_t pid, uint64_t start) {
    return uint64_t{static_cast<uint32_t>(pid)} << 32 | (start & 0xFFFFFFFFu);
}

}  // namespace

// Asked again in a child that fork made, which is another process.
uint64_t thisProcess() {
    static std::atomic<uint64_t> self{0};
    uint64_t known = self.load(std::memory_order_relaxed);
    if (known == 0 || static_cast<pid_t>(known >> 32) != getpid()) {
        uint64_t start = 0;
        processStart(getpid(), start);
        known = processName(getpid(), start);
        self.store(known, std::memory_order_relaxed);
    }
    return known;
}

bool processRuns(uint64_t process) {
    const auto pid = static_cast<pid_t>(process >> 32);
    uint64_t start = 0;
    if (pid <= 0 || !processStart(pid, start))
        return false;
    return processName(pid, start) == process;
}

}  // namespace vsim::model
