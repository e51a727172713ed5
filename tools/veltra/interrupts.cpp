#include "interrupts.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

#if defined(_WIN32)
#include <windows.h>
#else
#include <csignal>
#include <unistd.h>
#endif

namespace tool::interrupts {

namespace {

std::atomic<int> holds{0};
std::atomic<int> received{0};
// What the first interrupt says, set before a hold starts.
std::atomic<const char*> announcement{""};

constexpr char kAgain[] = "veltra: interrupt held as well: the tool stops at its next safe point\n";

// Says which interrupt this is; async-signal-safe.
void say(int count) {
    const char* text = count == 1 ? announcement.load() : kAgain;
    const size_t length = std::strlen(text);
    if (length == 0)
        return;
#if defined(_WIN32)
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_ERROR_HANDLE), text, static_cast<DWORD>(length), &written, nullptr);
#else
    [[maybe_unused]] const ssize_t written = ::write(STDERR_FILENO, text, length);
#endif
}

#if defined(_WIN32)

// Once an interrupt was held, the tool is on its way to stop at a safe
// point: later ones are held too, until it has.
bool held() {
    return holds.load() > 0 || received.load() > 0;
}

// Ctrl-C and Ctrl-Break are held. A closing console ends the process once
// the handler returns: it returns when the tool has stopped, or when the
// system's grace of a few seconds is nearly over.
BOOL WINAPI onConsoleEvent(DWORD event) {
    if (!held())
        return FALSE;  // the system's own action: the process ends
    say(received.fetch_add(1) + 1);
    if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT)
        return TRUE;
    for (int waited = 0; waited < 4500 && holds.load() > 0; waited += 50)
        Sleep(50);
    return FALSE;
}

#else

// Once an interrupt was held, the tool is on its way to stop at a safe
// point: later ones are held too, until it has.
bool held() {
    return holds.load() > 0 || received.load() > 0;
}

void onSignal(int signal) {
    if (!held()) {
        // As without the handler: the default action ends the process.
        std::signal(signal, SIG_DFL);
        std::raise(signal);
        return;
    }
    say(received.fetch_add(1) + 1);
}

#endif

}  // namespace

void install() {
#if defined(_WIN32)
    SetConsoleCtrlHandler(onConsoleEvent, TRUE);
#else
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int signal : {SIGINT, SIGTERM, SIGHUP})
        sigaction(signal, &action, nullptr);
#endif
}

Hold::Hold(const char* announce) {
    announcement.store(announce);
    holds.fetch_add(1);
}

Hold::~Hold() {
    holds.fetch_sub(1);
}

bool requested() {
    return received.load() > 0;
}

bool sleepUnlessInterrupted(double seconds) {
    const auto end = std::chrono::steady_clock::now() +
                     std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                         std::chrono::duration<double>(seconds));
    while (!requested()) {
        const auto now = std::chrono::steady_clock::now();
        if (now >= end)
            return true;
        std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(
            end - now, std::chrono::milliseconds(50)));
    }
    return false;
}

}  // namespace tool::interrupts
