#include "core/trace.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>

#if defined(_WIN32)
#include <windows.h>
#else
#include <sys/syscall.h>
#include <unistd.h>
#endif

namespace vsim {

namespace {

std::atomic<const char* (*)(uint32_t)> g_statusNames{nullptr};

struct Sink {
    std::mutex lock;
    FILE* file = nullptr;  // stderr, or on Linux the file
#if defined(_WIN32)
    HANDLE handle = INVALID_HANDLE_VALUE;  // the file, opened to append only
#endif
};

Sink* openSink() {
    const char* where = std::getenv("VELTRA_SIM_TRACE");
    if (where == nullptr || *where == '\0')
        return nullptr;
    auto* sink = new Sink;
    if (std::strcmp(where, "stderr") == 0) {
        sink->file = stderr;
    } else {
        // Appended to, so that the processes of one machine can share a file:
        // each line is one write at the end of the file.
#if defined(_WIN32)
        sink->handle = CreateFileA(where, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                   nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (sink->handle == INVALID_HANDLE_VALUE) {
#else
        sink->file = std::fopen(where, "a");
        if (sink->file == nullptr) {
#endif
            std::fprintf(stderr, "vsim: cannot write the request trace to %s\n", where);
            delete sink;
            return nullptr;
        }
    }
    return sink;
}

Sink* sink() {
    static Sink* const s = openSink();
    return s;
}

unsigned long processId() {
#if defined(_WIN32)
    return GetCurrentProcessId();
#else
    return static_cast<unsigned long>(getpid());
#endif
}

unsigned long threadId() {
#if defined(_WIN32)
    return GetCurrentThreadId();
#else
    return static_cast<unsigned long>(syscall(SYS_gettid));
#endif
}

}  // namespace

void setDriverStatusNames(const char* (*names)(uint32_t)) {
    g_statusNames.store(names);
}

namespace trace {

bool on() {
    return sink() != nullptr;
}

uint64_t now() {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
}

namespace {

// One line: the time of day, the process and thread, `text` and `tail`.
void line(const std::string& text, const char* tail) {
    Sink* s = sink();
    if (s == nullptr)
        return;
    const auto wall = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(wall);
    const auto micros =
        std::chrono::duration_cast<std::chrono::microseconds>(wall.time_since_epoch()).count() %
        1000000;
    std::tm local{};
#if defined(_WIN32)
    localtime_s(&local, &seconds);
#else
    localtime_r(&seconds, &local);
#endif
    char head[64];
    std::snprintf(head, sizeof head, "%02d:%02d:%02d.%06lld pid %lu tid %lu ", local.tm_hour,
                  local.tm_min, local.tm_sec, static_cast<long long>(micros), processId(),
                  threadId());
    const std::string entry = head + text + tail;
    std::lock_guard guard(s->lock);
#if defined(_WIN32)
    if (s->handle != INVALID_HANDLE_VALUE) {
        DWORD written = 0;
        WriteFile(s->handle, entry.data(), static_cast<DWORD>(entry.size()), &written, nullptr);
        return;
    }
#endif
    std::fwrite(entry.data(), 1, entry.size(), s->file);
    std::fflush(s->file);
}

}  // namespace

void write(const std::string& text, uint64_t start) {
    const double took = static_cast<double>(now() - start) / 1000.0;
    char tail[48];
    if (took < 1000)
        std::snprintf(tail, sizeof tail, " (%.1f us)\n", took);
    else
        std::snprintf(tail, sizeof tail, " (%.3f ms)\n", took / 1000);
    line(text, tail);
}

void note(const std::string& text) {
    line(text, "\n");
}

std::string outcomeName(uint32_t error) {
    switch (error) {
        case kSuccess:
            return "success";
        case kErrorIoPending:
            return "pending";
        case kErrorInvalidFunction:
            return "ERROR_INVALID_FUNCTION";
        case kErrorAccessDenied:
            return "ERROR_ACCESS_DENIED";
        case kErrorInvalidHandle:
            return "ERROR_INVALID_HANDLE";
        case kErrorNotEnoughMemory:
            return "ERROR_NOT_ENOUGH_MEMORY";
        case kErrorInvalidParameter:
            return "ERROR_INVALID_PARAMETER";
        case kErrorInsufficientBuffer:
            return "ERROR_INSUFFICIENT_BUFFER";
        case kErrorOperationAborted:
            return "ERROR_OPERATION_ABORTED";
        case kErrorNoAccess:
            return "ERROR_NOACCESS";
        default:
            break;
    }
    if ((error & 0xFFFF0000u) == driverError(0)) {
        const auto names = g_statusNames.load();
        if (const char* name = names != nullptr ? names(error & 0xFFFFu) : nullptr)
            return name;
        return "driver status " + std::to_string(error & 0xFFFFu);
    }
    return "error " + std::to_string(error);
}

}  // namespace trace
}  // namespace vsim
