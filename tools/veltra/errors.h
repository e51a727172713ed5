// How a command of the veltra tool fails, and the exit code each way has:
// an operation that failed (1), a command line the tool cannot take (2), an
// interrupt (130; on Windows 0xC000013A). The message is one line on stderr.
#pragma once

#include <kesta.h>
#include <veltra.h>

#include <stdexcept>
#include <string>

namespace tool {

// An operation that failed: exit code 1.
struct Failure : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// A VELTRA call that failed, with the status it returned (the exporter
// counts failures by status).
struct LibraryFailure : Failure {
    LibraryFailure(const std::string& what, VELTRA_STATUS code) : Failure(what), status(code) {}
    VELTRA_STATUS status;
};

// A command line the tool cannot take: exit code 2. `command` is the command
// it is about ("veltra flash write"), if not the one parsed.
struct Usage : std::runtime_error {
    explicit Usage(const std::string& what) : std::runtime_error(what) {}
    Usage(std::string about, const std::string& what)
        : std::runtime_error(what), command(std::move(about)) {}
    std::string command;
};

// The user interrupted the command (Ctrl-C, a termination request) and it
// stopped at a safe point: exit code kExitInterrupted.
struct Interrupted : std::runtime_error {
    using std::runtime_error::runtime_error;
};

inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 2;
// 130 as a shell reports SIGINT; on Windows STATUS_CONTROL_C_EXIT, what
// Windows programs end with after Ctrl-C.
#if defined(_WIN32)
inline constexpr int kExitInterrupted = static_cast<int>(0xC000013AU);
#else
inline constexpr int kExitInterrupted = 130;
#endif

// "VELTRA_DEVICE_NOT_FOUND (Failed to open the device with specified CardID)".
std::string statusText(VELTRA_STATUS status);
std::string bridgeStatusText(KESTA_STATUS status);

// Throws a Failure "WHAT: STATUS (message)" unless the status is success.
void check(VELTRA_STATUS status, const std::string& what);
void checkBridge(KESTA_STATUS status, const std::string& what);

}  // namespace tool
