// Fault injection for tests: any stand-in call can be made to fail with a
// chosen last error on its Nth use, or on every use from one thread.
#include <cstring>
#include <functional>

#include <vsim/hooks.h>

#include "kernel.h"

namespace w32 {
namespace faults {

std::atomic<bool> armed{false};

namespace {

struct Rule {
    std::string call;
    unsigned remaining;  // calls left until the failing one; 0: every call (thread rules)
    DWORD thread;        // thread rules: the thread whose calls count
    DWORD error;
    bool byThread;
};

std::mutex& lock() {
    static auto* m = new std::mutex;
    return *m;
}
std::vector<Rule>& rules() {
    static auto* r = new std::vector<Rule>;
    return *r;
}

}  // namespace

bool shouldFail(const char* call, DWORD& error) {
    const DWORD me = self().id;
    std::lock_guard guard(lock());
    auto& list = rules();
    for (auto it = list.begin(); it != list.end(); ++it) {
        if (it->call != call)
            continue;
        if (it->byThread && it->thread != me)
            continue;
        if (it->byThread && it->remaining == 0) {
            error = it->error;
            return true;
        }
        if (--it->remaining == 0) {
            error = it->error;
            list.erase(it);
            armed.store(!list.empty(), std::memory_order_relaxed);
            return true;
        }
    }
    return false;
}

}  // namespace faults

size_t heapBlocks(HANDLE heap, const std::function<bool(DWORD)>& mine);

namespace {

// Live objects of a kind, by the thread that made them.
size_t countObjects(const char* kind, const std::function<bool(DWORD)>& mine) {
    if (kind == nullptr)
        return 0;
    if (std::strcmp(kind, "heapblock") == 0)
        return heapBlocks(GetProcessHeap(), mine);
    for (auto type : {ObjectType::Event, ObjectType::Mutex, ObjectType::Thread, ObjectType::File,
                      ObjectType::Pipe, ObjectType::Device, ObjectType::Heap, ObjectType::DevInfo})
        if (std::strcmp(kind, typeName(type)) == 0)
            return HandleTable::instance().count(type, mine);
    return 0;
}

}  // namespace
}  // namespace w32

using namespace w32;

extern "C" {

void vsimFailNthCall(const char* call, unsigned nth, uint32_t error) {
    if (call == nullptr || nth == 0)
        return;
    std::lock_guard guard(faults::lock());
    faults::rules().push_back({call, nth, 0, error, false});
    faults::armed.store(true, std::memory_order_relaxed);
}

void vsimFailCallsOnThread(const char* call, uint32_t threadId, uint32_t error) {
    if (call == nullptr)
        return;
    std::lock_guard guard(faults::lock());
    faults::rules().push_back({call, 0, threadId, error, true});
    faults::armed.store(true, std::memory_order_relaxed);
}

void vsimFailNthCallOnThread(const char* call, uint32_t threadId, unsigned nth, uint32_t error) {
    if (call == nullptr || nth == 0)
        return;
    std::lock_guard guard(faults::lock());
    faults::rules().push_back({call, nth, threadId, error, true});
    faults::armed.store(true, std::memory_order_relaxed);
}

void vsimClearFaults(void) {
    std::lock_guard guard(faults::lock());
    faults::rules().clear();
    faults::armed.store(false, std::memory_order_relaxed);
}

size_t vsimCountObjects(const char* kind) {
    return countObjects(kind, [](DWORD) { return true; });
}

size_t vsimCountObjectsOfThreads(const char* kind, const uint32_t* threadIds, size_t count) {
    return countObjects(kind, [&](DWORD creator) {
        for (size_t i = 0; i < count; ++i)
            if (threadIds[i] == creator)
                return true;
        return false;
    });
}

}  // extern "C"

extern "C" int vsimAttach(const char*) {
    return 0;
}
