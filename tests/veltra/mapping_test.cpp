// Mapping regions of windows and common buffers through the mapping worker,
// against the default machine's cards.
#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>
#if !defined(_WIN32)
#include <sys/mman.h>
#include <unistd.h>
#endif

#include "veltra_fixture.h"

namespace {

class Mapping : public testing::Test {
  protected:
    void SetUp() override {
        vsim::resetMachine();
        ASSERT_EQ(VELTRA_Open(0, &card_), VELTRA_SUCCESS);
        ASSERT_EQ(VELTRA_Open(0, &other_), VELTRA_SUCCESS);
        pipes_ = vsimCountObjects("pipe");
        threads_ = vsimCountObjects("thread");
    }
    void TearDown() override {
        VELTRA_Close(card_);
        VELTRA_Close(other_);
    }
    // The worker runs: its two pipes and its thread exist.
    bool workerRunning() const { return vsimCountObjects("pipe") == pipes_ + 4; }
    bool workerStopped() const {
        return vsimCountObjects("pipe") == pipes_ && vsimCountObjects("thread") == threads_;
    }
    void* map(VELTRA_HANDLE card, uint32_t window, uint64_t offset, uint64_t length) {
        void* base = nullptr;
        EXPECT_EQ(VELTRA_MapWindow(card, window, offset, length, &base), VELTRA_SUCCESS);
        return base;
    }

    simtest::PlatformScope platform_;
    VELTRA_HANDLE card_ = nullptr;
    VELTRA_HANDLE other_ = nullptr;
    size_t pipes_ = 0;
    size_t threads_ = 0;
};

TEST_F(Mapping, DataWrittenThroughAMappingIsWhatReadReturnsAndTheReverse) {
    auto* base = static_cast<uint8_t*>(map(card_, 0, 4096, 8192));
    ASSERT_NE(base, nullptr);
    for (int i = 0; i < 8192; ++i)
        base[i] = static_cast<uint8_t>(i * 7 + 1);
    std::vector<uint8_t> back(8192);
    ASSERT_EQ(VELTRA_Read(card_, 0, 0, 4096, 8192, back.data()), VELTRA_SUCCESS);
    EXPECT_EQ(std::memcmp(back.data(), base, 8192), 0);

    std::vector<uint8_t> pattern(100, 0xC3);
    ASSERT_EQ(VELTRA_Write(card_, 0, 0, 4096 + 50, pattern.size(), pattern.data()), VELTRA_SUCCESS);
    EXPECT_EQ(base[49], static_cast<uint8_t>(49 * 7 + 1));
    EXPECT_EQ(base[50], 0xC3);
    EXPECT_EQ(base[149], 0xC3);
    EXPECT_EQ(VELTRA_UnmapWindow(card_, base), VELTRA_SUCCESS);
}

TEST_F(Mapping, TheDriverJudgesTheRegion) {
    void* base = nullptr;
    EXPECT_EQ(VELTRA_MapWindow(card_, 0, 1 << 20, 1, &base), VELTRA_INVALID_REGION);
    EXPECT_EQ(VELTRA_MapWindow(card_, 1, 0, 32ull << 20, &base), VELTRA_REGION_TOO_LARGE);
    EXPECT_EQ(VELTRA_Read(card_, 0, 0, (1 << 20) - 4, 8, &base), VELTRA_INVALID_REGION);
    EXPECT_EQ(VELTRA_Read(card_, 9, 0, 0, 8, &base), VELTRA_INVALID_INDEX);
    EXPECT_EQ(base, nullptr);
    EXPECT_TRUE(workerStopped()) << "a failed map with no region stops the worker";
}

// Whether an address lies in memory mapped into the process.
bool isMapped(const void* address) {
#if defined(_WIN32)
    MEMORY_BASIC_INFORMATION info{};
    return VirtualQuery(address, &info, sizeof info) == sizeof info && info.State == MEM_COMMIT;
#else
    const auto pageSize = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
    const auto page = reinterpret_cast<uintptr_t>(address) & ~(pageSize - 1);
    unsigned char resident = 0;
    return mincore(reinterpret_cast<void*>(page), 1, &resident) == 0;
#endif
}

// The driver maps the region anew for each request: two maps of one range
// are two regions at two addresses, each the page's start plus the offset
// within the page, and both show the same bytes. Each view goes with its
// unmap.
TEST_F(Mapping, TwoMapsOfOneRegionAreTwoRegions) {
    auto* first = static_cast<uint8_t*>(map(card_, 3, 4096 + 100, 4096));
    auto* second = static_cast<uint8_t*>(map(card_, 3, 4096 + 100, 4096));
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    EXPECT_NE(first, second);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(first) % 4096, 100u);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(second) % 4096, 100u);
    first[0] = 0x11;
    second[4095] = 0x22;
    EXPECT_EQ(second[0], 0x11);
    EXPECT_EQ(first[4095], 0x22);
    uint8_t back[2] = {};
    ASSERT_EQ(VELTRA_Read(card_, 3, 0, 4096 + 100, 1, &back[0]), VELTRA_SUCCESS);
    ASSERT_EQ(VELTRA_Read(card_, 3, 0, 4096 + 100 + 4095, 1, &back[1]), VELTRA_SUCCESS);
    EXPECT_EQ(back[0], 0x11);
    EXPECT_EQ(back[1], 0x22);
    EXPECT_EQ(VELTRA_UnmapWindow(card_, first), VELTRA_SUCCESS);
    EXPECT_FALSE(isMapped(first));
    EXPECT_TRUE(isMapped(second));
    EXPECT_TRUE(workerRunning());
    EXPECT_EQ(VELTRA_UnmapWindow(card_, second), VELTRA_SUCCESS);
    EXPECT_FALSE(isMapped(second));
    EXPECT_TRUE(workerStopped());
}

// The map request pends for as long as the mapping lives and ends after the
// unmap request's answer; a handle that closes ends its mappings too.
TEST_F(Mapping, MapRequestEndsAfterItsUnmap) {
    const std::string path = simtest::interfacePath(simtest::kVeltraGuid, 0);
    HANDLE device =
        CreateFileA(path.c_str(), 3, 3, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    ASSERT_NE(device, INVALID_HANDLE_VALUE);
    struct Request : OVERLAPPED {
        uint64_t record[3] = {0, 0, 4096};  // window 0, offset 0, 4 KiB
    } maps[2];
    OVERLAPPED unmap{};
    unmap.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    DWORD bytes = 0;
    for (auto& m : maps) {
        m.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        ASSERT_FALSE(DeviceIoControl(device, 0x22280E, m.record, 24, m.record, 8, &bytes, &m));
        ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    }
    EXPECT_EQ(WaitForSingleObject(maps[0].hEvent, 50), static_cast<DWORD>(WAIT_TIMEOUT));
    uint64_t address = maps[0].record[0];
    ASSERT_TRUE(DeviceIoControl(device, 0x222810, &address, 8, nullptr, 0, &bytes, &unmap) ||
                GetOverlappedResult(device, &unmap, &bytes, TRUE));
    EXPECT_TRUE(GetOverlappedResult(device, &maps[0], &bytes, TRUE));
    EXPECT_FALSE(isMapped(reinterpret_cast<void*>(static_cast<uintptr_t>(address))));
    const auto* other = reinterpret_cast<void*>(static_cast<uintptr_t>(maps[1].record[0]));
    EXPECT_TRUE(isMapped(other));
    CloseHandle(device);
    EXPECT_EQ(WaitForSingleObject(maps[1].hEvent, 5000), WAIT_OBJECT_0);
    EXPECT_FALSE(isMapped(other));
    for (auto& m : maps)
        CloseHandle(m.hEvent);
    CloseHandle(unmap.hEvent);
}

TEST_F(Mapping, UnmappingTwiceIsInvalidRegionThenInvalidHandle) {
    void* a = map(card_, 0, 0, 4096);
    void* b = map(card_, 0, 8192, 4096);
    EXPECT_EQ(VELTRA_UnmapWindow(card_, a), VELTRA_SUCCESS);
    EXPECT_EQ(VELTRA_UnmapWindow(card_, a), VELTRA_INVALID_REGION)
        << "the handle still has a region";
    EXPECT_EQ(VELTRA_UnmapWindow(card_, b), VELTRA_SUCCESS);
    EXPECT_EQ(VELTRA_UnmapWindow(card_, b), VELTRA_INVALID_HANDLE) << "the handle has none";
}

TEST_F(Mapping, AnotherHandleDoesNotFindTheRegion) {
    void* base = map(card_, 0, 0, 4096);
    EXPECT_EQ(VELTRA_UnmapWindow(other_, base), VELTRA_INVALID_HANDLE);
    void* own = map(other_, 0, 4096, 4096);
    EXPECT_EQ(VELTRA_UnmapCommonBuffer(other_, base), VELTRA_INVALID_REGION);
    EXPECT_EQ(VELTRA_UnmapCommonBuffer(card_, base), VELTRA_SUCCESS) << "one operation, two names";
    EXPECT_EQ(VELTRA_UnmapWindow(other_, own), VELTRA_SUCCESS);
}

TEST_F(Mapping, TheLastUnmapStopsTheWorkerAndTheNextMapStartsANewOne) {
    EXPECT_TRUE(workerStopped());
    void* base = map(card_, 0, 0, 4096);
    EXPECT_TRUE(workerRunning());
    EXPECT_EQ(VELTRA_UnmapWindow(card_, base), VELTRA_SUCCESS);
    EXPECT_TRUE(workerStopped());
    base = map(card_, 0, 0, 4096);
    EXPECT_TRUE(workerRunning());
    void* failed = nullptr;
    EXPECT_EQ(VELTRA_MapWindow(card_, 0, 0, 2 << 20, &failed), VELTRA_INVALID_REGION);
    EXPECT_TRUE(workerRunning()) << "a failed map with regions left keeps the worker";
    EXPECT_EQ(VELTRA_UnmapWindow(card_, reinterpret_cast<void*>(0x10)), VELTRA_INVALID_REGION);
    EXPECT_TRUE(workerRunning());
    EXPECT_EQ(VELTRA_UnmapWindow(card_, base), VELTRA_SUCCESS);
    EXPECT_EQ(VELTRA_UnmapWindow(card_, base), VELTRA_INVALID_HANDLE);
    EXPECT_TRUE(workerRunning()) << "a failed unmap does not stop the worker, even with no regions";
    // Closing a handle with no regions starts and stops the worker within the call.
    VELTRA_HANDLE third = nullptr;
    ASSERT_EQ(VELTRA_Open(1, &third), VELTRA_SUCCESS);
    EXPECT_EQ(VELTRA_Close(third), VELTRA_SUCCESS);
    EXPECT_TRUE(workerStopped());
}

TEST_F(Mapping, CloseUnmapsOnlyItsOwnRegions) {
    auto* mine = static_cast<uint8_t*>(map(card_, 0, 0, 4096));
    map(card_, 3, 0, 4096);
    auto* theirs = static_cast<uint8_t*>(map(other_, 0, 4096, 4096));
    EXPECT_EQ(VELTRA_Close(card_), VELTRA_SUCCESS);
    card_ = nullptr;
    EXPECT_TRUE(workerRunning());
    theirs[0] = 0x5A;
    uint8_t back = 0;
    ASSERT_EQ(VELTRA_Read(other_, 0, 0, 4096, 1, &back), VELTRA_SUCCESS);
    EXPECT_EQ(back, 0x5A);
    EXPECT_EQ(VELTRA_UnmapWindow(other_, mine), VELTRA_INVALID_REGION);
    EXPECT_EQ(VELTRA_UnmapWindow(other_, theirs), VELTRA_SUCCESS);
    EXPECT_TRUE(workerStopped());
}

// A close given anything but an open card (a double close among them) must
// leave every other handle's mappings where they are.
TEST_F(Mapping, CloseOfAValueThatIsNotAnOpenCardLeavesOtherRegionsAlone) {
    VELTRA_HANDLE closed = nullptr;
    ASSERT_EQ(VELTRA_Open(1, &closed), VELTRA_SUCCESS);
    ASSERT_EQ(VELTRA_Close(closed), VELTRA_SUCCESS);
    uint64_t garbage[4] = {0xDEADBEEFDEADBEEFull, 1, 2, 3};
    auto* base = static_cast<uint8_t*>(map(card_, 0, 4096, 4096));
    ASSERT_NE(base, nullptr);
    const struct {
        const char* kind;
        VELTRA_HANDLE value;
    } notCards[] = {
        {"null", nullptr},
        {"one", reinterpret_cast<VELTRA_HANDLE>(1)},
        {"INVALID_HANDLE_VALUE", INVALID_HANDLE_VALUE},
        {"a pointer to garbage", reinterpret_cast<VELTRA_HANDLE>(garbage)},
        {"a closed card", closed},
    };
    for (const auto& bad : notCards) {
        SCOPED_TRACE(bad.kind);
        EXPECT_EQ(VELTRA_Close(bad.value), VELTRA_INVALID_HANDLE);
        EXPECT_TRUE(workerRunning());
        base[0] = 0xA5;
        base[4095] = 0x5A;
        uint8_t back[2] = {};
        ASSERT_EQ(VELTRA_Read(card_, 0, 0, 4096, 1, &back[0]), VELTRA_SUCCESS);
        ASSERT_EQ(VELTRA_Read(card_, 0, 0, 8191, 1, &back[1]), VELTRA_SUCCESS);
        EXPECT_EQ(back[0], 0xA5);
        EXPECT_EQ(back[1], 0x5A);
    }
    EXPECT_EQ(VELTRA_UnmapWindow(card_, reinterpret_cast<void*>(0x1000)), VELTRA_INVALID_REGION);
    EXPECT_EQ(VELTRA_UnmapWindow(card_, base), VELTRA_SUCCESS);
    EXPECT_TRUE(workerStopped());
}

TEST_F(Mapping, CommonBuffersAreFoundByKeyAndMapped) {
    uint32_t count = 0;
    ASSERT_EQ(VELTRA_GetCommonBufferCount(card_, &count), VELTRA_SUCCESS);
    ASSERT_EQ(count, 2u);
    uint64_t value = 0, key = 0;
    ASSERT_EQ(VELTRA_GetCommonBuffer(card_, 1, &value, &key), VELTRA_SUCCESS);
    void* base = nullptr;
    ASSERT_EQ(VELTRA_MapCommonBuffer(card_, key, 0, 4096, &base), VELTRA_SUCCESS);
    static_cast<uint8_t*>(base)[0] = 1;
    EXPECT_EQ(VELTRA_MapCommonBuffer(card_, key, 0, 0, &base), VELTRA_INVALID_REGION)
        << "length 0 goes to the driver, which refuses it";
    EXPECT_EQ(VELTRA_MapCommonBuffer(card_, 0x12345, 0, 4096, &base), VELTRA_INVALID_REGION);
    EXPECT_EQ(VELTRA_UnmapCommonBuffer(card_, base), VELTRA_SUCCESS);
}

struct MappedByThread {
    VELTRA_HANDLE card;
    void* base = nullptr;
    VELTRA_STATUS status = 0;
};

DWORD WINAPI mapAndEnd(LPVOID arg) {
    auto* m = static_cast<MappedByThread*>(arg);
    m->status = VELTRA_MapWindow(m->card, 0, 0, 4096, &m->base);
    return 0;
}

// Windows cancels a thread's pending requests when it ends; the worker
// issues the map requests, so the mapping survives its caller.
TEST_F(Mapping, AMappingOutlivesTheThreadThatMadeIt) {
    MappedByThread m{card_};
    HANDLE thread = CreateThread(nullptr, 0, mapAndEnd, &m, 0, nullptr);
    ASSERT_EQ(WaitForSingleObject(thread, 10000), WAIT_OBJECT_0);
    CloseHandle(thread);
    ASSERT_EQ(m.status, VELTRA_SUCCESS);
    static_cast<uint8_t*>(m.base)[10] = 0x99;
    uint8_t back = 0;
    ASSERT_EQ(VELTRA_Read(card_, 0, 0, 10, 1, &back), VELTRA_SUCCESS);
    EXPECT_EQ(back, 0x99);
    EXPECT_EQ(VELTRA_UnmapWindow(card_, m.base), VELTRA_SUCCESS) << "its request was still pending";
}

// Several threads map, write, read back and unmap on two handles while
// another opens and closes a third handle.
TEST_F(Mapping, ConcurrentMappingOnTwoHandles) {
    std::atomic<bool> stop{false};
    std::atomic<int> failures{0};
    std::thread churn([&] {
        while (!stop) {
            VELTRA_HANDLE h = nullptr;
            if (VELTRA_Open(1, &h) != VELTRA_SUCCESS || VELTRA_Close(h) != VELTRA_SUCCESS)
                ++failures;
        }
    });
    std::vector<std::thread> workers;
    for (int t = 0; t < 4; ++t) {
        workers.emplace_back([&, t] {
            VELTRA_HANDLE h = t % 2 ? other_ : card_;
            const uint64_t offset = 65536ull * (t + 1);
            for (int round = 0; round < 300; ++round) {
                void* base = nullptr;
                if (VELTRA_MapWindow(h, 0, offset, 4096, &base) != VELTRA_SUCCESS) {
                    ++failures;
                    continue;
                }
                const uint32_t value = static_cast<uint32_t>(t * 100000 + round);
                std::memcpy(base, &value, sizeof value);
                uint32_t back = 0;
                if (VELTRA_Read(h, 0, 0, offset, sizeof back, &back) != VELTRA_SUCCESS ||
                    back != value)
                    ++failures;
                if (VELTRA_UnmapWindow(h, base) != VELTRA_SUCCESS)
                    ++failures;
            }
        });
    }
    for (auto& w : workers)
        w.join();
    stop = true;
    churn.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_TRUE(workerStopped()) << "no region is lost";
}

struct RaisedException {
    std::atomic<int> count{0};
    std::atomic<DWORD> code{0xFFFFFFFF};
    std::atomic<ULONG_PTR> handle{0};
    std::atomic<ULONG_PTR> address{0};
};
RaisedException g_raised;

LONG WINAPI catchUnmapException(PEXCEPTION_POINTERS pointers) {
    const EXCEPTION_RECORD* record = pointers->ExceptionRecord;
    if (record->ExceptionCode != 0 || record->NumberParameters != 2)
        return EXCEPTION_CONTINUE_SEARCH;
    g_raised.code = record->ExceptionCode;
    g_raised.handle = record->ExceptionInformation[0];
    g_raised.address = record->ExceptionInformation[1];
    ++g_raised.count;
    return EXCEPTION_CONTINUE_EXECUTION;
}

// At exception level 2 the checked build raises a continuable exception on
// the worker for an unmap that finds no region; a vectored handler takes it
// and the unmap returns its status as usual. Below 2, and in the free build,
// there is no exception.
TEST_F(Mapping, ExceptionLevelTwoRaisesACatchableExceptionInTheCheckedBuild) {
    PVOID handler = AddVectoredExceptionHandler(1, catchUnmapException);
    ASSERT_NE(handler, nullptr);
    void* base = map(card_, 0, 0, 4096);
    void* missing = reinterpret_cast<void*>(0x1234);
    VELTRA_SetWin32ExceptionLevel(1);
    EXPECT_EQ(VELTRA_UnmapWindow(card_, missing), VELTRA_INVALID_REGION);
    EXPECT_EQ(g_raised.count.load(), 0);
    VELTRA_SetWin32ExceptionLevel(2);
    EXPECT_EQ(VELTRA_UnmapWindow(card_, missing), VELTRA_INVALID_REGION);
    EXPECT_EQ(VELTRA_UnmapWindow(other_, missing), VELTRA_INVALID_HANDLE);
    VELTRA_SetWin32ExceptionLevel(0);
    if (kCheckedBuild) {
        EXPECT_EQ(g_raised.count.load(), 2);
        EXPECT_EQ(g_raised.code.load(), 0u);
        EXPECT_EQ(g_raised.handle.load(), reinterpret_cast<ULONG_PTR>(other_));
        EXPECT_EQ(g_raised.address.load(), reinterpret_cast<ULONG_PTR>(missing));
    } else {
        EXPECT_EQ(g_raised.count.load(), 0);
    }
    EXPECT_EQ(VELTRA_UnmapWindow(card_, base), VELTRA_SUCCESS);
    RemoveVectoredExceptionHandler(handler);
}

}  // namespace
