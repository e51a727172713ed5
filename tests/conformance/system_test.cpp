// Waiting for several objects, critical sections, the clocks and virtual
// memory behave as on Windows: the calls that applications of the cards
// make beside the libraries' own.
#include <windows.h>

#include <gtest/gtest.h>

#include "simtest.h"

#include <atomic>
#include <cstdint>
#include <cstring>
#include <thread>
#include <vector>

extern "C" int windowsNamesWork(void);

namespace {

using simtest::Handle;

DWORD WINAPI setLater(LPVOID event) {
    Sleep(30);
    SetEvent(static_cast<HANDLE>(event));
    return 0;
}

DWORD WINAPI takeAndEnd(LPVOID mutex) {
    WaitForSingleObject(static_cast<HANDLE>(mutex), INFINITE);
    return 0;
}

TEST(WaitForMultipleObjects, AnyGivesTheFirstSignalledAndClaimsOnlyIt) {
    Handle manual(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    Handle automatic1(CreateEventA(nullptr, FALSE, TRUE, nullptr));
    Handle automatic2(CreateEventA(nullptr, FALSE, TRUE, nullptr));
    const HANDLE three[] = {manual, automatic1, automatic2};
    EXPECT_EQ(WaitForMultipleObjects(3, three, FALSE, 0), WAIT_OBJECT_0 + 1);
    EXPECT_EQ(WaitForMultipleObjects(3, three, FALSE, 0), WAIT_OBJECT_0 + 2)
        << "the first was reset by the wait, the second was not";
    EXPECT_EQ(WaitForMultipleObjects(3, three, FALSE, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    ASSERT_TRUE(SetEvent(manual));
    ASSERT_TRUE(SetEvent(automatic2));
    EXPECT_EQ(WaitForMultipleObjects(3, three, FALSE, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForMultipleObjects(3, three, FALSE, 0), WAIT_OBJECT_0) << "manual stays set";
    ASSERT_TRUE(ResetEvent(manual));
    EXPECT_EQ(WaitForMultipleObjects(3, three, FALSE, 0), WAIT_OBJECT_0 + 2);

    // Woken by another thread; a thread's handle is signalled when it ends.
    Handle thread(CreateThread(nullptr, 0, setLater, automatic1.h, 0, nullptr));
    EXPECT_EQ(WaitForMultipleObjects(3, three, FALSE, 5000), WAIT_OBJECT_0 + 1);
    const HANDLE ended[] = {manual, thread};
    EXPECT_EQ(WaitForMultipleObjects(2, ended, FALSE, 5000), WAIT_OBJECT_0 + 1);
}

TEST(WaitForMultipleObjects, AllWaitsForEveryOneAndClaimsThemTogether) {
    Handle a(CreateEventA(nullptr, FALSE, TRUE, nullptr));
    Handle b(CreateEventA(nullptr, FALSE, FALSE, nullptr));
    const HANDLE both[] = {a, b};
    const DWORD started = static_cast<DWORD>(GetTickCount64());
    EXPECT_EQ(WaitForMultipleObjects(2, both, TRUE, 50), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_GE(static_cast<DWORD>(GetTickCount64()) - started, 40u);
    EXPECT_EQ(WaitForSingleObject(a, 0), WAIT_OBJECT_0) << "a timed-out wait claims nothing";
    ASSERT_TRUE(SetEvent(a));
    Handle thread(CreateThread(nullptr, 0, setLater, b.h, 0, nullptr));
    EXPECT_EQ(WaitForMultipleObjects(2, both, TRUE, 5000), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(a, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_EQ(WaitForSingleObject(b, 0), static_cast<DWORD>(WAIT_TIMEOUT));
}

TEST(WaitForMultipleObjects, AbandonedMutexGivesItsIndex) {
    Handle event(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    Handle mutex(CreateMutexA(nullptr, FALSE, nullptr));
    Handle thread(CreateThread(nullptr, 0, takeAndEnd, mutex.h, 0, nullptr));
    ASSERT_EQ(WaitForSingleObject(thread, 5000), WAIT_OBJECT_0);
    const HANDLE two[] = {event, mutex};
    EXPECT_EQ(WaitForMultipleObjects(2, two, FALSE, 0), WAIT_ABANDONED_0 + 1);
    EXPECT_TRUE(ReleaseMutex(mutex));
}

TEST(WaitForMultipleObjects, RefusesBadArguments) {
    Handle event(CreateEventA(nullptr, TRUE, TRUE, nullptr));
    const HANDLE twice[] = {event, event};
    SetLastError(0);
    EXPECT_EQ(WaitForMultipleObjects(0, twice, FALSE, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    std::vector<HANDLE> many(MAXIMUM_WAIT_OBJECTS + 1, event.h);
    EXPECT_EQ(WaitForMultipleObjects(static_cast<DWORD>(many.size()), many.data(), FALSE, 0),
              WAIT_FAILED);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(WaitForMultipleObjects(2, twice, FALSE, 0), WAIT_OBJECT_0) << "twice, any";
    const HANDLE bad[] = {event, reinterpret_cast<HANDLE>(static_cast<uintptr_t>(0x7FF0))};
    EXPECT_EQ(WaitForMultipleObjects(2, bad, FALSE, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST(CriticalSections, OwnerEntersAgainOthersWaitAndCountsAddUp) {
    CRITICAL_SECTION section;
    InitializeCriticalSection(&section);
    EnterCriticalSection(&section);
    EXPECT_TRUE(TryEnterCriticalSection(&section)) << "the owner enters again";
    std::atomic<int> tried{-1};
    std::thread([&] { tried = TryEnterCriticalSection(&section) ? 1 : 0; }).join();
    EXPECT_EQ(tried.load(), 0);
    LeaveCriticalSection(&section);
    std::thread([&] { tried = TryEnterCriticalSection(&section) ? 1 : 0; }).join();
    EXPECT_EQ(tried.load(), 0) << "still held once";
    LeaveCriticalSection(&section);
    std::thread([&] {
        tried = TryEnterCriticalSection(&section) ? 1 : 0;
        if (tried)
            LeaveCriticalSection(&section);
    }).join();
    EXPECT_EQ(tried.load(), 1);

    long counter = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 20000; ++i) {
                EnterCriticalSection(&section);
                ++counter;
                LeaveCriticalSection(&section);
            }
        });
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(counter, 80000);
    DeleteCriticalSection(&section);
    EXPECT_TRUE(InitializeCriticalSectionAndSpinCount(&section, 4000));
    EnterCriticalSection(&section);
    EnterCriticalSection(&section);  // the owner enters again without trying
    LeaveCriticalSection(&section);
    std::thread([&] { tried = TryEnterCriticalSection(&section) ? 1 : 0; }).join();
    EXPECT_EQ(tried.load(), 0) << "entered twice, left once";
    LeaveCriticalSection(&section);
    DeleteCriticalSection(&section);
}

TEST(Clocks, CounterRunsAtItsFrequencyAndTicksAreMilliseconds) {
    LARGE_INTEGER frequency{}, before{}, after{};
    ASSERT_TRUE(QueryPerformanceFrequency(&frequency));
    EXPECT_GT(frequency.QuadPart, 0);
    ASSERT_TRUE(QueryPerformanceCounter(&before));
    const ULONGLONG ticks = GetTickCount64();
    Sleep(50);
    ASSERT_TRUE(QueryPerformanceCounter(&after));
    const double seconds = static_cast<double>(after.QuadPart - before.QuadPart) /
                           static_cast<double>(frequency.QuadPart);
    EXPECT_GE(seconds, 0.045);
    EXPECT_LT(seconds, 5.0);
    const ULONGLONG elapsed = GetTickCount64() - ticks;
    EXPECT_GE(elapsed, 30u);  // the tick advances in steps of up to 16 ms
    EXPECT_LT(elapsed, 5000u);
}

TEST(VirtualMemory, CommittedMemoryIsZeroedAlignedAndGoesBack) {
    auto* block = static_cast<uint8_t*>(
        VirtualAlloc(nullptr, 100000, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(block) % 65536, 0u) << "on the allocation granularity";
    for (size_t i = 0; i < 100000; i += 4093)
        EXPECT_EQ(block[i], 0);
    std::memset(block, 0x5A, 100000);
    EXPECT_EQ(block[99999], 0x5A);
    SetLastError(0);
    EXPECT_FALSE(VirtualFree(block, 100000, MEM_RELEASE)) << "a release takes no size";
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_TRUE(VirtualFree(block, 0, MEM_RELEASE));

    // Reserve first, then commit a part; decommitted pages come back zeroed.
    auto* region =
        static_cast<uint8_t*>(VirtualAlloc(nullptr, 1 << 20, MEM_RESERVE, PAGE_NOACCESS));
    ASSERT_NE(region, nullptr);
    auto* page =
        static_cast<uint8_t*>(VirtualAlloc(region + 8192, 4096, MEM_COMMIT, PAGE_READWRITE));
    ASSERT_EQ(page, region + 8192);
    page[10] = 7;
    EXPECT_TRUE(VirtualFree(page, 4096, MEM_DECOMMIT));
    ASSERT_EQ(VirtualAlloc(page, 4096, MEM_COMMIT, PAGE_READWRITE), page);
    EXPECT_EQ(page[10], 0);
    EXPECT_TRUE(VirtualFree(region, 0, MEM_RELEASE));

    SetLastError(0);
    EXPECT_EQ(VirtualAlloc(nullptr, 0, MEM_COMMIT, PAGE_READWRITE), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(VirtualAlloc(nullptr, 4096, MEM_COMMIT, 0x12345), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

// Pages keep the protection they were committed with, change it together,
// and a commit or decommit must lie inside a reservation.
TEST(VirtualMemory, ProtectionsAndRangesOutsideAReservation) {
    for (DWORD protect :
         {PAGE_READONLY, PAGE_EXECUTE, PAGE_EXECUTE_READ, PAGE_EXECUTE_READWRITE, PAGE_NOACCESS}) {
        void* block = VirtualAlloc(nullptr, 4096, MEM_COMMIT | MEM_RESERVE, protect);
        EXPECT_NE(block, nullptr) << protect;
        EXPECT_TRUE(VirtualFree(block, 0, MEM_RELEASE)) << protect;
    }
    auto* readOnly =
        static_cast<uint8_t*>(VirtualAlloc(nullptr, 8192, MEM_COMMIT | MEM_RESERVE, PAGE_READONLY));
    ASSERT_NE(readOnly, nullptr);
    EXPECT_EQ(readOnly[100], 0) << "readable, and zeroed";
    EXPECT_TRUE(VirtualFree(readOnly, 0, MEM_RELEASE));

    auto* region = static_cast<uint8_t*>(VirtualAlloc(nullptr, 65536, MEM_RESERVE, PAGE_NOACCESS));
    ASSERT_NE(region, nullptr);
    SetLastError(0);
    EXPECT_EQ(VirtualAlloc(region + 61440, 8192, MEM_COMMIT, PAGE_READWRITE), nullptr)
        << "a commit that runs past its reservation";
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_ADDRESS));
    SetLastError(0);
    EXPECT_FALSE(VirtualFree(region + 61440, 8192, MEM_DECOMMIT));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    auto* page = static_cast<uint8_t*>(VirtualAlloc(region, 4096, MEM_COMMIT, PAGE_READWRITE));
    ASSERT_EQ(page, region);
    page[0] = 1;
    EXPECT_TRUE(VirtualFree(region, 0, MEM_DECOMMIT)) << "size 0: the whole reservation";
    SetLastError(0);
    EXPECT_FALSE(VirtualFree(region, 0, 0x12345));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_TRUE(VirtualFree(region, 0, MEM_RELEASE));
}

// The platform's object counts know the kinds they count, and nothing else.
TEST(TestHooks, KindsThatAreNotCountedCountNothing) {
    EXPECT_EQ(vsimCountObjects(nullptr), 0u);
    EXPECT_EQ(vsimCountObjects("no such kind"), 0u);
    const uint32_t me = GetCurrentThreadId();
    EXPECT_EQ(vsimCountObjectsOfThreads("no such kind", &me, 1), 0u);
}

// A C program that writes the Windows names applications commonly use
// (windows_names_c.c) compiles on both platforms, and its calls work.
TEST(WindowsNames, AProgramUsingTheCommonNamesCompilesAndRuns) {
    EXPECT_EQ(windowsNamesWork(), 0);
}

}  // namespace
