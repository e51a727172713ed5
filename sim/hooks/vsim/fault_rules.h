// The state behind the test hooks of vsim/hooks.h, kept the same way by the
// Win32 stand-in and by the import redirection on Windows: fault rules, the
// call log and captured debug output.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace vsim {

// A call fails with a chosen last error on its Nth use, on its Nth use from
// one thread, or on every use from one thread; or, on its Nth use from one
// thread, the thread ends there (as with ExitThread), leaving whatever it
// held as a thread that dies mid-operation does.
class FaultRules {
  public:
    // Whether any rule is set or calls are being recorded: the one check
    // every call makes.
    bool armed() const { return armed_.load(std::memory_order_relaxed); }

    void failNth(const char* call, unsigned nth, uint32_t error) {
        if (call != nullptr && nth != 0)
            add({call, nth, 0, error, false});
    }
    void failOnThread(const char* call, uint32_t thread, uint32_t error) {
        if (call != nullptr)
            add({call, 0, thread, error, true});
    }
    void failNthOnThread(const char* call, uint32_t thread, unsigned nth, uint32_t error) {
        if (call != nullptr && nth != 0)
            add({call, nth, thread, error, true});
    }
    void failNthOffThread(const char* call, uint32_t thread, unsigned nth, uint32_t error) {
        if (call != nullptr && nth != 0)
            add({call, nth, thread, error, true, false, true});
    }
    void endThreadAtNth(const char* call, uint32_t thread, unsigned nth) {
        if (call != nullptr && nth != 0)
            add({call, nth, thread, 0, true, true});
    }

    void clear();

    // Records every call that reaches a fault point from now on, from every
    // thread, in order, with its thread, until stopRecording() returns them.
    // The names are the fault points' own literals; a log that reaches
    // kMaxRecorded calls keeps its first ones.
    static constexpr size_t kMaxRecorded = 1 << 20;
    void startRecording();
    // Calls of `call` recorded so far from `thread` (onThread) or from the
    // other threads.
    size_t recorded(const char* call, uint32_t thread, bool onThread);
    std::vector<std::pair<const char*, uint32_t>> stopRecording();

    // Whether this use of `call` from `thread` fails, and with which error,
    // or ends the thread. A rule for the Nth use is spent by it.
    bool shouldFail(const char* call, uint32_t thread, uint32_t& error, bool& endThread);

  private:
    struct Rule {
        std::string call;
        unsigned remaining;  // uses left until the failing one; 0: every use (thread rules)
        uint32_t thread;     // thread rules: the thread whose uses count
        uint32_t error;
        bool byThread;
        bool endThread = false;
        bool offThread = false;  // counts the uses from every thread but `thread`
    };

    void add(Rule rule);

    std::mutex lock_;
    std::vector<Rule> rules_;
    bool recording_ = false;
    std::vector<std::pair<const char*, uint32_t>> log_;  // call, thread
    std::atomic<bool> armed_{false};
};

// Debug output kept for tests: the newest lines, oldest first.
class DebugCapture {
  public:
    static constexpr size_t kMaxLines = 1 << 16;

    void add(const char* text);

    // Hands each line to `sink` outside the lock, so that the sink may log.
    void read(void (*sink)(void*, const char*), void* context);

    void clear();

  private:
    std::mutex lock_;
    std::deque<std::string> lines_;
};

// Whether `id` is one of the `count` ids at `ids`.
inline bool isOneOf(uint32_t id, const uint32_t* ids, size_t count) {
    return std::find(ids, ids + count, id) != ids + count;
}

}  // namespace vsim
