// Events, mutexes, slim reader/writer locks, threads, thread-local storage and
// heaps behave as on Windows.
#include <windows.h>

#include <gtest/gtest.h>

#include "simtest.h"

#include <atomic>
#include <cstring>
#include <string>
#include <vector>
#ifndef _WIN32
#include <sys/mman.h>
#include <unistd.h>

#endif

namespace {

using simtest::Handle;

DWORD WINAPI setEventLater(LPVOID event) {
    Sleep(20);
    SetEvent(static_cast<HANDLE>(event));
    return 7;
}

TEST(Events, ManualResetStaysSignalledUntilReset) {
    Handle event(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    ASSERT_NE(event.h, nullptr);
    EXPECT_EQ(WaitForSingleObject(event, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    ASSERT_TRUE(SetEvent(event));
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    ASSERT_TRUE(ResetEvent(event));
    EXPECT_EQ(WaitForSingleObject(event, 10), static_cast<DWORD>(WAIT_TIMEOUT));
}

TEST(Events, AutoResetReleasesOneWaitAndInitialStateCounts) {
    Handle event(CreateEventA(nullptr, FALSE, TRUE, nullptr));
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(event, 0), static_cast<DWORD>(WAIT_TIMEOUT));
}

TEST(Events, WaiterWakesWhenAnotherThreadSetsTheEvent) {
    Handle event(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    DWORD id = 0;
    Handle thread(CreateThread(nullptr, 0, setEventLater, event.h, 0, &id));
    ASSERT_NE(thread.h, nullptr);
    EXPECT_NE(id, 0u);
    EXPECT_EQ(WaitForSingleObject(event, INFINITE), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
    DWORD code = 0;
    ASSERT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(code, 7u);
}

struct MutexProbe {
    HANDLE mutex;
    DWORD firstWait;
    std::atomic<bool> acquired{false};
};

DWORD WINAPI probeMutex(LPVOID arg) {
    auto* probe = static_cast<MutexProbe*>(arg);
    probe->firstWait = WaitForSingleObject(probe->mutex, 0);
    const DWORD r = WaitForSingleObject(probe->mutex, INFINITE);
    probe->acquired = true;
    ReleaseMutex(probe->mutex);
    return r;
}

TEST(Mutexes, OwnerTakesTwiceReleasesTwiceAndOtherThreadWaitsUntilFree) {
    Handle mutex(CreateMutexA(nullptr, FALSE, nullptr));
    ASSERT_NE(mutex.h, nullptr);
    ASSERT_EQ(WaitForSingleObject(mutex, INFINITE), WAIT_OBJECT_0);
    ASSERT_EQ(WaitForSingleObject(mutex, INFINITE), WAIT_OBJECT_0);

    MutexProbe probe{mutex, 0};
    Handle thread(CreateThread(nullptr, 0, probeMutex, &probe, 0, nullptr));
    Sleep(30);
    EXPECT_FALSE(probe.acquired);
    ASSERT_TRUE(ReleaseMutex(mutex));
    Sleep(30);
    EXPECT_FALSE(probe.acquired) << "still owned once";
    ASSERT_TRUE(ReleaseMutex(mutex));
    ASSERT_EQ(WaitForSingleObject(thread, 5000), WAIT_OBJECT_0);
    EXPECT_TRUE(probe.acquired);
    EXPECT_EQ(probe.firstWait, static_cast<DWORD>(WAIT_TIMEOUT));

    SetLastError(0);
    EXPECT_FALSE(ReleaseMutex(mutex));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_OWNER));
}

DWORD WINAPI takeAndEnd(LPVOID mutex) {
    WaitForSingleObject(static_cast<HANDLE>(mutex), INFINITE);
    return 0;
}

DWORD WINAPI takeAndExitThread(LPVOID mutex) {
    WaitForSingleObject(static_cast<HANDLE>(mutex), INFINITE);
    ExitThread(42);
}

// Whether the owner returns or calls ExitThread: the thread's handle is
// signalled with its exit code, and the mutex it held is abandoned.
TEST(Mutexes, MutexOfAnEndedOwnerIsAbandoned) {
    for (auto routine : {takeAndEnd, takeAndExitThread}) {
        Handle mutex(CreateMutexA(nullptr, FALSE, nullptr));
        Handle thread(CreateThread(nullptr, 0, routine, mutex.h, 0, nullptr));
        ASSERT_EQ(WaitForSingleObject(thread, 5000), WAIT_OBJECT_0);
        DWORD code = 7;
        EXPECT_TRUE(GetExitCodeThread(thread, &code));
        EXPECT_EQ(code, routine == takeAndEnd ? 0u : 42u);
        EXPECT_EQ(WaitForSingleObject(mutex, 5000), static_cast<DWORD>(WAIT_ABANDONED));
        EXPECT_TRUE(ReleaseMutex(mutex));
        EXPECT_EQ(WaitForSingleObject(mutex, 0), WAIT_OBJECT_0);
        EXPECT_TRUE(ReleaseMutex(mutex));
    }
}

TEST(Mutexes, InitialOwnerOwnsIt) {
    Handle mutex(CreateMutexA(nullptr, TRUE, nullptr));
    EXPECT_TRUE(ReleaseMutex(mutex));
    EXPECT_FALSE(ReleaseMutex(mutex));
}

// A name for this process alone (names are shared by every process).
std::string objectName(const char* base) {
    return std::string(base) + "_" + std::to_string(GetCurrentProcessId());
}

// Creating a name that exists opens the same object (ERROR_ALREADY_EXISTS;
// the new arguments are ignored); a name of another type fails with
// ERROR_INVALID_HANDLE; the name goes with its last handle.
TEST(NamedObjects, EventsAreFoundByName) {
    const std::string name = objectName("conformance_event");
    SetLastError(0xDEAD);
    Handle first(CreateEventA(nullptr, TRUE, FALSE, name.c_str()));
    ASSERT_NE(first.h, nullptr);
    EXPECT_EQ(GetLastError(), 0u);
    Handle second(CreateEventA(nullptr, FALSE, TRUE, name.c_str()));
    ASSERT_NE(second.h, nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    EXPECT_NE(second.h, first.h);
    EXPECT_EQ(WaitForSingleObject(second, 0), static_cast<DWORD>(WAIT_TIMEOUT))
        << "the first creation's state";
    ASSERT_TRUE(SetEvent(first));
    EXPECT_EQ(WaitForSingleObject(second, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(second, 0), WAIT_OBJECT_0) << "manual reset, as first made";
    Handle opened(OpenEventA(EVENT_ALL_ACCESS, FALSE, name.c_str()));
    ASSERT_NE(opened.h, nullptr);
    ASSERT_TRUE(ResetEvent(opened));
    EXPECT_EQ(WaitForSingleObject(first, 0), static_cast<DWORD>(WAIT_TIMEOUT));

    EXPECT_EQ(CreateMutexA(nullptr, FALSE, name.c_str()), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(OpenMutexA(MUTEX_ALL_ACCESS, FALSE, name.c_str()), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));

    CloseHandle(first.h);
    CloseHandle(second.h);
    CloseHandle(opened.h);
    first.h = second.h = opened.h = nullptr;
    EXPECT_EQ(OpenEventA(EVENT_ALL_ACCESS, FALSE, name.c_str()), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND)) << "gone with its handles";
    Handle again(CreateEventA(nullptr, FALSE, FALSE, name.c_str()));
    EXPECT_EQ(GetLastError(), 0u) << "a new object";
    const std::string local = "Local\\" + name;
    Handle same(OpenEventA(EVENT_ALL_ACCESS, FALSE, local.c_str()));
    EXPECT_NE(same.h, nullptr) << "Local\\ names the same object";
}

DWORD WINAPI createOwnedMutexAgain(LPVOID name) {
    HANDLE mutex = CreateMutexA(nullptr, TRUE, static_cast<const char*>(name));
    const DWORD created = GetLastError();
    // Still owned by the thread that made it: this one does not own it.
    const DWORD waited = WaitForSingleObject(mutex, 0);
    CloseHandle(mutex);
    return created == ERROR_ALREADY_EXISTS && waited == WAIT_TIMEOUT ? 1 : 0;
}

TEST(NamedObjects, MutexCreatedAgainIsOpenedNotOwned) {
    const std::string name = objectName("conformance_mutex");
    Handle mutex(CreateMutexA(nullptr, TRUE, name.c_str()));
    ASSERT_NE(mutex.h, nullptr);
    Handle thread(CreateThread(nullptr, 0, createOwnedMutexAgain, const_cast<char*>(name.c_str()),
                               0, nullptr));
    ASSERT_EQ(WaitForSingleObject(thread, 10000), WAIT_OBJECT_0);
    DWORD result = 0;
    GetExitCodeThread(thread, &result);
    EXPECT_EQ(result, 1u);
    Handle opened(OpenMutexA(MUTEX_ALL_ACCESS, FALSE, name.c_str()));
    EXPECT_NE(opened.h, nullptr);
    EXPECT_EQ(OpenEventA(EVENT_ALL_ACCESS, FALSE, name.c_str()), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    // The name goes with the last handle, though this thread still owns the
    // mutex.
    CloseHandle(opened.h);
    opened.h = nullptr;
    CloseHandle(mutex.h);
    mutex.h = nullptr;
    EXPECT_EQ(OpenMutexA(MUTEX_ALL_ACCESS, FALSE, name.c_str()), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

// Names and handles that the named-object calls refuse.
TEST(NamedObjects, RefusedNamesAndHandles) {
    SetLastError(0);
    EXPECT_EQ(OpenEventA(EVENT_ALL_ACCESS, FALSE, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    const std::string nested = "Local\\" + objectName("conformance") + "\\inner";
    SetLastError(0);
    EXPECT_EQ(CreateEventA(nullptr, TRUE, FALSE, nested.c_str()), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    SetLastError(0);
    EXPECT_EQ(OpenMutexA(MUTEX_ALL_ACCESS, FALSE, nested.c_str()), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    Handle mutex(CreateMutexA(nullptr, FALSE, nullptr));
    SetLastError(0);
    EXPECT_FALSE(ResetEvent(mutex));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    SetLastError(0);
    EXPECT_FALSE(SetEvent(mutex));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

struct TlsProbe {
    DWORD slot;
    void* seenAtStart;
    void* seenAfterSet;
    DWORD errorAfterGet;
};

DWORD WINAPI probeTls(LPVOID arg) {
    auto* probe = static_cast<TlsProbe*>(arg);
    SetLastError(1234);
    probe->seenAtStart = TlsGetValue(probe->slot);
    probe->errorAfterGet = GetLastError();
    TlsSetValue(probe->slot, &probe->seenAfterSet);
    probe->seenAfterSet = TlsGetValue(probe->slot);
    return 0;
}

// Slim reader/writer locks: a writer excludes everyone, readers share, and
// a thread that waits is woken by the release that frees the lock.
struct SharedCount {
    SRWLOCK lock = SRWLOCK_INIT;
    long value = 0;  // guarded by `lock`, deliberately not atomic
};

DWORD WINAPI addUnderTheLock(LPVOID context) {
    auto* count = static_cast<SharedCount*>(context);
    for (int i = 0; i < 200000; ++i) {
        AcquireSRWLockExclusive(&count->lock);
        count->value = count->value + 1;
        ReleaseSRWLockExclusive(&count->lock);
    }
    return 0;
}

TEST(SlimLocks, WritersExcludeEachOther) {
    SharedCount count;
    HANDLE threads[3];
    for (auto& t : threads)
        t = CreateThread(nullptr, 0, addUnderTheLock, &count, 0, nullptr);
    for (HANDLE t : threads) {
        ASSERT_EQ(WaitForSingleObject(t, 60000), WAIT_OBJECT_0);
        CloseHandle(t);
    }
    EXPECT_EQ(count.value, 600000);
}

DWORD WINAPI tryBothModes(LPVOID context) {
    auto* lock = static_cast<PSRWLOCK>(context);
    DWORD result = 0;
    if (TryAcquireSRWLockShared(lock)) {
        result |= 1;
        ReleaseSRWLockShared(lock);
    }
    if (TryAcquireSRWLockExclusive(lock)) {
        result |= 2;
        ReleaseSRWLockExclusive(lock);
    }
    return result;
}

// What another thread can take while this one holds the lock in each mode.
DWORD otherThreadCanTake(PSRWLOCK lock) {
    HANDLE thread = CreateThread(nullptr, 0, tryBothModes, lock, 0, nullptr);
    EXPECT_EQ(WaitForSingleObject(thread, 10000), WAIT_OBJECT_0);
    DWORD result = 0;
    GetExitCodeThread(thread, &result);
    CloseHandle(thread);
    return result;
}

TEST(SlimLocks, ReadersShareAndWritersWait) {
    SRWLOCK lock;
    InitializeSRWLock(&lock);
    EXPECT_EQ(otherThreadCanTake(&lock), 3u) << "free";
    AcquireSRWLockShared(&lock);
    ASSERT_TRUE(TryAcquireSRWLockShared(&lock)) << "a second reader";
    EXPECT_EQ(otherThreadCanTake(&lock), 1u) << "held by readers";
    ReleaseSRWLockShared(&lock);
    EXPECT_EQ(otherThreadCanTake(&lock), 1u) << "one reader left";
    ReleaseSRWLockShared(&lock);
    AcquireSRWLockExclusive(&lock);
    EXPECT_FALSE(TryAcquireSRWLockExclusive(&lock)) << "not recursive";
    EXPECT_EQ(otherThreadCanTake(&lock), 0u) << "held by a writer";
    ReleaseSRWLockExclusive(&lock);
    EXPECT_EQ(otherThreadCanTake(&lock), 3u) << "free again";
}

struct Handover {
    SRWLOCK lock = SRWLOCK_INIT;
    std::atomic<int> stage{0};
};

DWORD WINAPI waitForTheWriterTurn(LPVOID context) {
    auto* h = static_cast<Handover*>(context);
    h->stage = 1;
    AcquireSRWLockExclusive(&h->lock);  // sleeps until the reader leaves
    h->stage = 2;
    ReleaseSRWLockExclusive(&h->lock);
    return 0;
}

TEST(SlimLocks, WaitingThreadWakesWhenTheLockIsFreed) {
    Handover h;
    AcquireSRWLockShared(&h.lock);
    HANDLE thread = CreateThread(nullptr, 0, waitForTheWriterTurn, &h, 0, nullptr);
    while (h.stage == 0)
        Sleep(1);
    Sleep(50);
    EXPECT_EQ(h.stage, 1) << "the writer waits for the reader";
    ReleaseSRWLockShared(&h.lock);
    EXPECT_EQ(WaitForSingleObject(thread, 10000), WAIT_OBJECT_0);
    EXPECT_EQ(h.stage, 2);
    CloseHandle(thread);
    AcquireSRWLockExclusive(&h.lock);
    ReleaseSRWLockExclusive(&h.lock);
}

TEST(ThreadLocalStorage, EachThreadHasItsOwnValueAndGetClearsTheLastError) {
    const DWORD slot = TlsAlloc();
    ASSERT_NE(slot, TLS_OUT_OF_INDEXES);
    int mine = 0;
    ASSERT_TRUE(TlsSetValue(slot, &mine));

    TlsProbe probe{slot, &mine, nullptr, 99};
    Handle thread(CreateThread(nullptr, 0, probeTls, &probe, 0, nullptr));
    ASSERT_EQ(WaitForSingleObject(thread, 5000), WAIT_OBJECT_0);
    EXPECT_EQ(probe.seenAtStart, nullptr);
    EXPECT_EQ(probe.errorAfterGet, static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(probe.seenAfterSet, &probe.seenAfterSet);
    EXPECT_EQ(TlsGetValue(slot), &mine);
    EXPECT_TRUE(TlsFree(slot));
}

TEST(ThreadLocalStorage, SlotZeroIsNeverHandedOut) {
    DWORD slots[16];
    for (DWORD& slot : slots) {
        slot = TlsAlloc();
        ASSERT_NE(slot, TLS_OUT_OF_INDEXES);
        EXPECT_NE(slot, 0u);
    }
    for (DWORD slot : slots)
        EXPECT_TRUE(TlsFree(slot));
}

TEST(ThreadLocalStorage, SlotOutOfRangeIsRefused) {
    SetLastError(0);
    EXPECT_FALSE(TlsSetValue(5000, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    SetLastError(0);
    EXPECT_EQ(TlsGetValue(5000), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST(Heaps, ZeroedBlocksFromTheProcessHeapAndAPrivateOne) {
    HANDLE heaps[] = {GetProcessHeap(), HeapCreate(0, 0, 0)};
    ASSERT_NE(heaps[1], nullptr);
    for (HANDLE heap : heaps) {
        auto* block = static_cast<unsigned char*>(HeapAlloc(heap, HEAP_ZERO_MEMORY, 4096));
        ASSERT_NE(block, nullptr);
        for (int i = 0; i < 4096; ++i)
            ASSERT_EQ(block[i], 0);
        EXPECT_TRUE(HeapFree(heap, 0, block));
    }
    EXPECT_TRUE(HeapFree(GetProcessHeap(), 0, nullptr));
    EXPECT_TRUE(HeapDestroy(heaps[1]));
}

// A heap made with a maximum size runs out, takes no block larger than
// it can hold, and works again once a block is freed; no heap gives a block
// of (almost) the whole address space.
TEST(Heaps, AFixedHeapRunsOutAndRecovers) {
    EXPECT_EQ(HeapAlloc(GetProcessHeap(), 0, SIZE_MAX - 64), nullptr);
    HANDLE heap = HeapCreate(0, 0, 65536);
    ASSERT_NE(heap, nullptr);
    SetLastError(0);
    EXPECT_EQ(HeapAlloc(heap, 0, 1 << 20), nullptr) << "larger than the heap";
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
    std::vector<void*> blocks;
    for (int i = 0; i < 64; ++i) {
        void* block = HeapAlloc(heap, 0, 4096);
        if (block == nullptr)
            break;
        blocks.push_back(block);
    }
    EXPECT_GT(blocks.size(), 4u);
    EXPECT_LT(blocks.size(), 16u) << "a 64 KiB heap holds fewer than sixteen 4 KiB blocks";
    SetLastError(0);
    EXPECT_EQ(HeapAlloc(heap, 0, 4096), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY)) << "full";
    ASSERT_FALSE(blocks.empty());
    EXPECT_TRUE(HeapFree(heap, 0, blocks.back()));
    blocks.back() = HeapAlloc(heap, 0, 4096);
    EXPECT_NE(blocks.back(), nullptr);
    EXPECT_TRUE(HeapDestroy(heap));
}

// Large blocks come and go in sizes that grow and shrink, with one kept live
// across the others: each one holds what was written to it, and a zeroed one
// is zero whatever the memory held before.
TEST(Heaps, LargeBlocksKeepTheirContentsAndZeroedOnesAreZero) {
    HANDLE heap = HeapCreate(0, 0, 0);
    ASSERT_NE(heap, nullptr);
    constexpr size_t kMiB = 1 << 20;
    auto* kept = static_cast<unsigned char*>(HeapAlloc(heap, 0, 3 * kMiB + 5));
    ASSERT_NE(kept, nullptr);
    std::memset(kept, 0x3C, 3 * kMiB + 5);
    int fill = 1;
    for (size_t size : {4 * kMiB, 4 * kMiB, 6 * kMiB + 123, 2 * kMiB, 8 * kMiB}) {
        auto* dirty = static_cast<unsigned char*>(HeapAlloc(heap, 0, size));
        ASSERT_NE(dirty, nullptr);
        std::memset(dirty, fill++, size);
        ASSERT_EQ(dirty[size - 1], fill - 1);
        EXPECT_TRUE(HeapFree(heap, 0, dirty));
        auto* zeroed = static_cast<unsigned char*>(HeapAlloc(heap, HEAP_ZERO_MEMORY, size));
        ASSERT_NE(zeroed, nullptr);
        for (size_t i = 0; i < size; i += 509)
            ASSERT_EQ(zeroed[i], 0) << "size " << size << " byte " << i;
        ASSERT_EQ(zeroed[size - 1], 0);
        EXPECT_TRUE(HeapFree(heap, 0, zeroed));
    }
    for (size_t i = 0; i < 3 * kMiB + 5; i += 4093)
        ASSERT_EQ(kept[i], 0x3C);
    EXPECT_TRUE(HeapFree(heap, 0, kept));
    EXPECT_TRUE(HeapDestroy(heap));
}

#ifndef _WIN32
// How many pages of [p, p + n) are resident, or -1 when some are not mapped.
long residentPages(const void* p, size_t n) {
    const auto page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
    const uintptr_t start = reinterpret_cast<uintptr_t>(p) & ~(page - 1);
    const size_t length = reinterpret_cast<uintptr_t>(p) + n - start;
    std::vector<unsigned char> pages((length + page - 1) / page);
    if (mincore(reinterpret_cast<void*>(start), length, pages.data()) != 0)
        return -1;
    long resident = 0;
    for (unsigned char v : pages)
        resident += v & 1;
    return resident;
}

// A freed large block stays mapped and resident for the next large
// allocation, so that one costs no fresh pages; but only one is kept, and
// destroying the heap gives it back.
TEST(Heaps, OneFreedLargeBlockIsReusedAndNoneAccumulate) {
    constexpr size_t kMiB = 1 << 20;
    const long pages = static_cast<long>(16 * kMiB / static_cast<size_t>(sysconf(_SC_PAGESIZE)));
    HANDLE heap = HeapCreate(0, 0, 0);
    ASSERT_NE(heap, nullptr);
    void* first = HeapAlloc(heap, 0, 16 * kMiB);
    ASSERT_NE(first, nullptr);
    std::memset(first, 1, 16 * kMiB);
    EXPECT_TRUE(HeapFree(heap, 0, first));
    EXPECT_GE(residentPages(first, 16 * kMiB), pages - 1) << "the freed block was not kept";
    void* again = HeapAlloc(heap, 0, 16 * kMiB - 100);
    EXPECT_EQ(again, first) << "the freed block was not reused";
    ASSERT_NE(again, nullptr);
    std::memset(again, 2, 16 * kMiB - 100);
    EXPECT_TRUE(HeapFree(heap, 0, again));

    // Smaller, larger, smaller again: the spare is cut or replaced.
    for (size_t size : {8 * kMiB, 24 * kMiB, 4 * kMiB, 24 * kMiB, 12 * kMiB}) {
        void* block = HeapAlloc(heap, 0, size);
        ASSERT_NE(block, nullptr);
        std::memset(block, 3, size);
        EXPECT_TRUE(HeapFree(heap, 0, block));
    }
    void* pair[] = {HeapAlloc(heap, 0, 20 * kMiB), HeapAlloc(heap, 0, 20 * kMiB)};
    ASSERT_NE(pair[0], nullptr);
    ASSERT_NE(pair[1], nullptr);
    EXPECT_TRUE(HeapFree(heap, 0, pair[0]));
    EXPECT_TRUE(HeapFree(heap, 0, pair[1]));
    EXPECT_EQ(residentPages(pair[0], 20 * kMiB), -1) << "freed blocks accumulate";
    EXPECT_GE(residentPages(pair[1], 20 * kMiB), 0) << "the last freed block was not kept";
    EXPECT_TRUE(HeapDestroy(heap));
    EXPECT_EQ(residentPages(pair[1], 20 * kMiB), -1)
        << "the heap kept memory after it was destroyed";
}
#endif

DWORD WINAPI setLastErrorWhenTold(LPVOID go) {
    WaitForSingleObject(static_cast<HANDLE>(go), INFINITE);
    SetLastError(7);
    return 0;
}

// A heap with a maximum size does not grow past it; a large block is
// aligned to 64 bytes, a small one to 16.
TEST(Heaps, FixedHeapRefusesWhatExceedsItsSize) {
    HANDLE heap = HeapCreate(0, 0, 64 * 1024);
    ASSERT_NE(heap, nullptr);
    EXPECT_EQ(HeapAlloc(heap, 0, 128 * 1024), nullptr);
    std::vector<void*> blocks;
    for (int i = 0; i < 1000; ++i) {
        void* block = HeapAlloc(heap, 0, 1024);
        if (block == nullptr)
            break;
        blocks.push_back(block);
    }
    EXPECT_LT(blocks.size(), 64u) << "within 64 KiB";
    EXPECT_GE(blocks.size(), 32u) << "most of it usable";
    ASSERT_FALSE(blocks.empty());
    EXPECT_TRUE(HeapFree(heap, 0, blocks.back()));
    blocks.pop_back();
    EXPECT_NE(HeapAlloc(heap, 0, 1024), nullptr) << "room again after a free";
    EXPECT_TRUE(HeapDestroy(heap));

    HANDLE growable = HeapCreate(0, 0, 0);
    void* big = HeapAlloc(growable, 0, 4 << 20);
    EXPECT_NE(big, nullptr);
    HeapDestroy(growable);
}

TEST(Heaps, BlocksAreAligned) {
    HANDLE heap = HeapCreate(0, 0, 0);
    for (HANDLE h : {GetProcessHeap(), heap}) {
        for (size_t size : {size_t{24}, size_t{1000}, size_t{2} << 20, size_t{5} << 20}) {
            void* block = HeapAlloc(h, 0, size);
            ASSERT_NE(block, nullptr);
            EXPECT_EQ(reinterpret_cast<uintptr_t>(block) % (size >= (1 << 20) ? 64 : 16), 0u)
                << size;
            HeapFree(h, 0, block);
        }
    }
    HeapDestroy(heap);
}

TEST(LastError, IsKeptPerThread) {
    Handle go(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    Handle thread(CreateThread(nullptr, 0, setLastErrorWhenTold, go.h, 0, nullptr));
    SetLastError(42);
    SetEvent(go);
    WaitForSingleObject(thread, INFINITE);
    EXPECT_EQ(GetLastError(), 42u);
}

}  // namespace
