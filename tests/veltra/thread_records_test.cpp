// Per-thread records: made at a thread's start or at its first request,
// freed when it ends, never leaked.
#include <mutex>
#include <thread>
#include <vector>

#include "veltra_fixture.h"

namespace {

using ThreadRecords = ScriptedCard;

// Nothing that the threads made (their records and events) is left.
void expectNothingLeftBy(const std::vector<uint32_t>& threads) {
    EXPECT_EQ(simtest::objectsLeftByThreads("event", threads), 0u);
    EXPECT_EQ(simtest::objectsLeftByThreads("heapblock", threads), 0u);
}

TEST_F(ThreadRecords, ThousandThreadsWithOneRequestEachLeaveNothingBehind) {
    std::mutex lock;
    std::vector<uint32_t> ids;
    for (int round = 0; round < 10; ++round) {
        std::vector<std::thread> threads;
        for (int i = 0; i < 100; ++i)
            threads.emplace_back([&] {
                EXPECT_EQ(VELTRA_Cancel(card_), VELTRA_SUCCESS);
                std::lock_guard guard(lock);
                ids.push_back(GetCurrentThreadId());
            });
        for (auto& t : threads)
            t.join();
    }
    EXPECT_EQ(device_->requestCount(), 1000u);
    expectNothingLeftBy(ids);
}

DWORD WINAPI oneRequest(LPVOID card) {
    return VELTRA_Cancel(static_cast<VELTRA_HANDLE>(card));
}

TEST_F(ThreadRecords, ThreadsMadeWithCreateThreadLeaveNothingBehind) {
    std::vector<uint32_t> ids;
    for (int i = 0; i < 50; ++i) {
        DWORD id = 0;
        HANDLE thread = CreateThread(nullptr, 0, oneRequest, card_, 0, &id);
        ASSERT_NE(thread, nullptr);
        ids.push_back(id);
        ASSERT_EQ(WaitForSingleObject(thread, 10000), WAIT_OBJECT_0);
        DWORD status = 0;
        GetExitCodeThread(thread, &status);
        EXPECT_EQ(status, VELTRA_SUCCESS);
        CloseHandle(thread);
    }
    expectNothingLeftBy(ids);
}

struct FailingRecord {
    VELTRA_HANDLE card;
    VELTRA_STATUS first;
    VELTRA_STATUS second;
};

DWORD WINAPI requestsWithoutRecord(LPVOID arg) {
    auto* test = static_cast<FailingRecord*>(arg);
    test->first = VELTRA_Cancel(test->card);
    vsimClearFaults();
    test->second = VELTRA_Cancel(test->card);
    return 0;
}

// A thread whose record cannot be made, neither at its start nor at its
// first request, gets a status and sends nothing: a request on an overlapped
// handle without an OVERLAPPED is never issued. Its next request works.
TEST_F(ThreadRecords, RecordThatCannotBeMadeFailsTheRequestCleanly) {
    for (const char* call : {"CreateEventA", "HeapAlloc", "TlsSetValue"}) {
        SCOPED_TRACE(call);
        FailingRecord test{card_, 0, 0};
        DWORD id = 0;
        HANDLE thread =
            CreateThread(nullptr, 0, requestsWithoutRecord, &test, CREATE_SUSPENDED, &id);
        ASSERT_NE(thread, nullptr);
        vsimFailCallsOnThread(call, id, ERROR_NOT_ENOUGH_MEMORY);
        ResumeThread(thread);
        ASSERT_EQ(WaitForSingleObject(thread, 10000), WAIT_OBJECT_0);
        CloseHandle(thread);
        EXPECT_EQ(test.first, VELTRA_NO_MEMORY);
        EXPECT_EQ(test.second, VELTRA_SUCCESS);
        EXPECT_EQ(device_->requestCount(), 1u) << "only the second request reached the driver";
        device_->clearRequests();
        expectNothingLeftBy({id});
    }
}

TEST_F(ThreadRecords, ManyThreadsUseOneHandleAtOnce) {
    std::vector<std::thread> threads;
    std::atomic<int> failures{0};
    for (int i = 0; i < 8; ++i)
        threads.emplace_back([&] {
            for (int n = 0; n < 500; ++n)
                if (VELTRA_Cancel(card_) != VELTRA_SUCCESS)
                    ++failures;
        });
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(failures.load(), 0);
}

}  // namespace
