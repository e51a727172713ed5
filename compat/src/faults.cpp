// Fault injection for tests: any stand-in call can be made to fail with a
// chosen last error on its Nth use, or on every use from one thread.
#include <cstring>
#include <functional>

#include <vsim/fault_rules.h>
#include <vsim/hooks.h>

#include "kernel.h"

namespace w32 {
namespace faults {

vsim::FaultRules& rules() {
    static auto* r = new vsim::FaultRules;
    return *r;
}

}  // namespace faults

size_t heapBlocks(const std::function<bool(DWORD)>& mine);
size_t processHeapBlocks(const std::function<bool(DWORD)>& mine);

namespace {

// Live objects of a kind, by the thread that made them.
size_t countObjects(const char* kind, const std::function<bool(DWORD)>& mine) {
    if (kind == nullptr)
        return 0;
    if (std::strcmp(kind, "heapblock") == 0)
        return heapBlocks(mine);
    if (std::strcmp(kind, "processheapblock") == 0)
        return processHeapBlocks(mine);
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
    faults::rules().failNth(call, nth, error);
}

void vsimFailCallsOnThread(const char* call, uint32_t threadId, uint32_t error) {
    faults::rules().failOnThread(call, threadId, error);
}

void vsimFailNthCallOnThread(const char* call, uint32_t threadId, unsigned nth, uint32_t error) {
    faults::rules().failNthOnThread(call, threadId, nth, error);
}

void vsimEndThreadAtNthCall(const char* call, uint32_t threadId, unsigned nth) {
    faults::rules().endThreadAtNth(call, threadId, nth);
}

void vsimClearFaults(void) {
    faults::rules().clear();
}

void vsimFailNthCallOffThread(const char* call, uint32_t threadId, unsigned nth, uint32_t error) {
    faults::rules().failNthOffThread(call, threadId, nth, error);
}

void vsimStartCallLog(void) {
    faults::rules().startRecording();
}

size_t vsimCallLogCount(const char* call, uint32_t threadId, int onThread) {
    return call != nullptr ? faults::rules().recorded(call, threadId, onThread != 0) : 0;
}

void vsimStopCallLog(void (*sink)(void*, const char*, uint32_t), void* context) {
    for (const auto& [call, thread] : faults::rules().stopRecording())
        if (sink != nullptr)
            sink(context, call, thread);
}

size_t vsimCountObjects(const char* kind) {
    return countObjects(kind, [](DWORD) { return true; });
}

size_t vsimCountObjectsOfThreads(const char* kind, const uint32_t* threadIds, size_t count) {
    return countObjects(kind,
                        [&](DWORD creator) { return vsim::isOneOf(creator, threadIds, count); });
}

}  // extern "C"

extern "C" int vsimAttach(const char*) {
    return 0;
}
