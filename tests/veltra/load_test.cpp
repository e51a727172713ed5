// Loading and unloading the library: what its entry point does for the
// process and its threads. The program loads the library itself.
#include <veltra.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>
#if !defined(_WIN32)
#include <sys/wait.h>
#endif

#include "simtest.h"

namespace {

#if defined(VELTRA_TEST_CHECKED)
constexpr bool kCheckedBuild = true;
#else
constexpr bool kCheckedBuild = false;
#endif

using OpenFn = decltype(&VELTRA_Open);
using CloseFn = decltype(&VELTRA_Close);
using CancelFn = decltype(&VELTRA_Cancel);

template <typename F>
F entry(HMODULE module, const char* name) {
    return reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

class Load : public testing::Test {
  protected:
    void SetUp() override { device_ = machine_.add(vsim::kVeltraInterface); }
    void TearDown() override {
        if (module_ != nullptr)
            FreeLibrary(module_);
    }
    void load() {
        module_ = LoadLibraryA(VELTRA_LIBRARY_PATH);
        ASSERT_NE(module_, nullptr) << GetLastError();
        open_ = entry<OpenFn>(module_, "VELTRA_Open");
        close_ = entry<CloseFn>(module_, "VELTRA_Close");
        cancel_ = entry<CancelFn>(module_, "VELTRA_Cancel");
        ASSERT_TRUE(open_ && close_ && cancel_);
    }
    void unload() {
        EXPECT_TRUE(FreeLibrary(module_));
        module_ = nullptr;
    }

    simtest::PlatformScope platform_;
    simtest::ScriptedMachine machine_;
    std::shared_ptr<vsim::ScriptedDevice> device_;
    HMODULE module_ = nullptr;
    OpenFn open_ = nullptr;
    CloseFn close_ = nullptr;
    CancelFn cancel_ = nullptr;
};

TEST_F(Load, ProcessAttachAndDetachAreTracedInTheCheckedBuild) {
    load();
    EXPECT_EQ(simtest::debugText(), kCheckedBuild ? "wdmDllMain(VELTRA): DLL_PROCESS_ATTACH start\n"
                                                    "wdmDllMain(VELTRA): DLL_PROCESS_ATTACH done\n"
                                                  : "");
    vsimClearDebugOutput();
    unload();
    EXPECT_EQ(simtest::debugText(), kCheckedBuild ? "wdmDllMain(VELTRA): DLL_PROCESS_DETACH start\n"
                                                    "wdmDllMain(VELTRA): DLL_PROCESS_DETACH done\n"
                                                  : "");
}

// Without a TLS slot the library cannot work: the load fails, after the
// entry point has been called again to detach. The libraries already loaded
// are not disturbed by it.
TEST_F(Load, RefusedTlsSlotFailsTheLoad) {
    HMODULE probe = LoadLibraryA(LOADER_PROBE_PATH);
    ASSERT_NE(probe, nullptr);
    auto counts = entry<void (*)(LONG[4])>(probe, "probeCounts");
    LONG before[4];
    counts(before);
    vsimFailNthCall("TlsAlloc", 1, ERROR_NO_MORE_ITEMS);
    EXPECT_EQ(LoadLibraryA(VELTRA_LIBRARY_PATH), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DLL_INIT_FAILED));
    HANDLE thread = CreateThread(
        nullptr, 0, [](LPVOID) -> DWORD { return 0; }, nullptr, 0, nullptr);
    ASSERT_EQ(WaitForSingleObject(thread, 10000), WAIT_OBJECT_0);
    CloseHandle(thread);
    LONG after[4];
    counts(after);
    EXPECT_EQ(after[DLL_PROCESS_DETACH], before[DLL_PROCESS_DETACH]);
    EXPECT_EQ(after[DLL_THREAD_ATTACH], before[DLL_THREAD_ATTACH] + 1);
    FreeLibrary(probe);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DLL_INIT_FAILED));
    EXPECT_EQ(simtest::debugText(), kCheckedBuild ? "wdmDllMain(VELTRA): DLL_PROCESS_ATTACH start\n"
                                                    "wdmDllMain(VELTRA): DLL_PROCESS_DETACH start\n"
                                                    "wdmDllMain(VELTRA): DLL_PROCESS_DETACH done\n"
                                                  : "");
    vsimClearFaults();
    load();
}

// Without its mutex the mapping worker cannot be used, but nothing hangs or
// crashes: mapping operations fail and the handle still closes.
TEST_F(Load, MappingLockThatCannotBeMadeFailsMappingOnly) {
    vsimFailNthCall("CreateMutexA", 1, ERROR_NOT_ENOUGH_MEMORY);
    load();
    vsimClearFaults();
    using MapFn = decltype(&VELTRA_MapWindow);
    auto mapWindow = entry<MapFn>(module_, "VELTRA_MapWindow");
    auto unmapWindow = entry<decltype(&VELTRA_UnmapWindow)>(module_, "VELTRA_UnmapWindow");
    device_->onCode(0x22200C, vsim::Answer::replyWith(vsim::Bytes(36).put<uint32_t>(28, 4)));
    VELTRA_HANDLE card = nullptr;
    ASSERT_EQ(open_(0, &card), VELTRA_SUCCESS);
    void* base = nullptr;
    EXPECT_EQ(mapWindow(card, 0, 0, 16, &base), VELTRA_UNEXPECTED_ERROR);
    EXPECT_EQ(unmapWindow(card, reinterpret_cast<void*>(0x1000)), VELTRA_UNEXPECTED_ERROR);
    EXPECT_EQ(close_(card), VELTRA_SUCCESS);
}

TEST_F(Load, LoadingThreadsRecordThatCannotBeMadeFailsTheLoad) {
    vsimFailNthCall("CreateEventA", 1, ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(LoadLibraryA(VELTRA_LIBRARY_PATH), nullptr);
    vsimClearFaults();
    load();
}

DWORD WINAPI waitThenRequest(LPVOID arg);

struct EarlyThread {
    HANDLE go;
    CancelFn cancel = nullptr;
    VELTRA_HANDLE card = nullptr;
    size_t eventsBefore = 99;
    size_t eventsAfter = 99;
    VELTRA_STATUS status = 99;
};

DWORD WINAPI waitThenRequest(LPVOID arg) {
    auto* t = static_cast<EarlyThread*>(arg);
    WaitForSingleObject(t->go, INFINITE);
    const uint32_t me = GetCurrentThreadId();
    t->eventsBefore = vsimCountObjectsOfThreads("event", &me, 1);
    t->status = t->cancel(t->card);
    t->eventsAfter = vsimCountObjectsOfThreads("event", &me, 1);
    return 0;
}

// A thread that was running before the library loaded had no attach
// notification; its first request makes its record.
TEST_F(Load, ThreadFromBeforeTheLoadGetsItsRecordAtItsFirstRequest) {
    EarlyThread t;
    t.go = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    DWORD id = 0;
    HANDLE thread = CreateThread(nullptr, 0, waitThenRequest, &t, 0, &id);
    Sleep(20);
    load();
    t.cancel = cancel_;
    ASSERT_EQ(open_(0, &t.card), VELTRA_SUCCESS);
    SetEvent(t.go);
    ASSERT_EQ(WaitForSingleObject(thread, 10000), WAIT_OBJECT_0);
    EXPECT_EQ(t.status, VELTRA_SUCCESS);
    EXPECT_EQ(t.eventsBefore, 0u);
    EXPECT_EQ(t.eventsAfter, 1u);
    EXPECT_EQ(simtest::objectsLeftByThreads("event", {id}), 0u) << "freed at its thread detach";
    close_(t.card);
    CloseHandle(thread);
    CloseHandle(t.go);
}

// Process detach frees the records of every thread, also of threads that
// are still running.
TEST_F(Load, UnloadFreesTheRecordsOfEveryThread) {
    const size_t eventsBefore = vsimCountObjects("event");
    const size_t blocksBefore = vsimCountObjects("heapblock");
    load();
    VELTRA_HANDLE card = nullptr;
    ASSERT_EQ(open_(0, &card), VELTRA_SUCCESS);
    std::atomic<bool> release{false};
    std::atomic<int> ready{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i)
        threads.emplace_back([&] {
            cancel_(card);
            ++ready;
            while (!release)
                Sleep(1);
        });
    while (ready < 4)
        Sleep(1);
    EXPECT_GT(vsimCountObjects("event"), eventsBefore);
    close_(card);
    unload();
    EXPECT_EQ(vsimCountObjects("event"), eventsBefore);
    EXPECT_EQ(vsimCountObjects("heapblock"), blocksBefore);
    release = true;
    for (auto& t : threads)
        t.join();
}

struct LateCall {
    CancelFn cancel;
    VELTRA_HANDLE card;
    std::atomic<int> calls{0};
    std::atomic<int> successes{0};
};

void callLate(void* context) {
    auto* late = static_cast<LateCall*>(context);
    ++late->calls;
    if (late->cancel(late->card) == VELTRA_SUCCESS)
        ++late->successes;
}

DWORD WINAPI requestOnce(LPVOID arg) {
    auto* late = static_cast<LateCall*>(arg);
    late->cancel(late->card);
    return 0;
}

// A call on a thread after the library has seen that thread detach (here
// from another library's thread detach, which runs after it) makes a fresh
// record instead of using the freed one; process detach frees it.
TEST_F(Load, CallAfterTheThreadsDetachMakesAFreshRecord) {
    HMODULE probe = LoadLibraryA(LOADER_PROBE_PATH);  // first: it detaches last
    ASSERT_NE(probe, nullptr);
    load();
    auto onDetach = entry<void (*)(void (*)(void*), void*)>(probe, "probeOnThreadDetach");
    LateCall late{cancel_, nullptr};
    ASSERT_EQ(open_(0, &late.card), VELTRA_SUCCESS);
    onDetach(callLate, &late);
    HANDLE thread = CreateThread(nullptr, 0, requestOnce, &late, 0, nullptr);
    ASSERT_EQ(WaitForSingleObject(thread, 10000), WAIT_OBJECT_0);
    CloseHandle(thread);
    onDetach(nullptr, nullptr);
    EXPECT_EQ(late.calls.load(), 1);
    EXPECT_EQ(late.successes.load(), 1);
    EXPECT_EQ(device_->requestCount(), 2u);
    close_(late.card);
    const size_t eventsBefore = vsimCountObjects("event");
    unload();
    EXPECT_LT(vsimCountObjects("event"), eventsBefore) << "the late record goes at process detach";
    FreeLibrary(probe);
}

// A thread that calls the library from another library's thread attach,
// before its own attach notification arrives, keeps the record that call
// made: its attach makes no second one.
TEST_F(Load, ThreadThatCalledBeforeItsAttachKeepsItsRecord) {
    HMODULE probe = LoadLibraryA(LOADER_PROBE_PATH);  // first: it attaches threads first
    ASSERT_NE(probe, nullptr);
    load();
    auto onAttach = entry<void (*)(void (*)(void*), void*)>(probe, "probeOnThreadAttach");
    LateCall early{cancel_, nullptr};
    ASSERT_EQ(open_(0, &early.card), VELTRA_SUCCESS);
    onAttach(callLate, &early);
    DWORD id = 0;
    HANDLE thread = CreateThread(nullptr, 0, requestOnce, &early, 0, &id);
    ASSERT_EQ(WaitForSingleObject(thread, 10000), WAIT_OBJECT_0);
    CloseHandle(thread);
    onAttach(nullptr, nullptr);
    EXPECT_EQ(early.successes.load(), 1);
    EXPECT_EQ(simtest::objectsLeftByThreads("event", {id}), 0u)
        << "one record, freed at the thread's detach";
    close_(early.card);
    unload();
    FreeLibrary(probe);
}

// Runs a program of the build and returns what it wrote on its standard
// output; `status` gets its exit code.
std::string runProgram(const std::string& name, int& status) {
#if defined(_WIN32)
    return simtest::runCommand("\"" + simtest::programFolder() + name + "\"", status);
#else
    return simtest::runCommand(name, status);
#endif
}

// At process exit the system has ended the other threads (one of which may
// hold a lock) and takes everything back: the library's process detach frees
// nothing then. The program's threads still run with their records.
TEST(Exit, ProcessDetachAtExitFreesNothing) {
    int status = -1;
    const std::string output = runProgram(EXIT_CHILD_NAME, status);
    EXPECT_EQ(status, 0);
    size_t before = 0, atExit = 0;
    int exiting = -1;
    ASSERT_EQ(std::sscanf(output.c_str(), "events %zu %zu exit %d", &before, &atExit, &exiting), 3)
        << output;
    EXPECT_EQ(exiting, 1) << "the detach of the process's end";
    EXPECT_GE(before, 4u) << "the records of the main thread and the three others";
    EXPECT_EQ(atExit, before);
}

}  // namespace
