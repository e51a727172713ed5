// Critical sections, the clocks and virtual memory, with Windows' semantics
// for what an application sees.
//
// A critical section keeps Windows' layout. Its lock word is LockCount: -1
// when free, 0 when held, 1 when held and a thread may sleep on it (a
// futex); OwningThread holds the owner's thread id and RecursionCount its
// depth, so the owner enters again without waiting.
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <ctime>
#include <map>
#include <mutex>

#include "kernel.h"

namespace w32 {
namespace {

std::atomic_ref<LONG> lockWord(LPCRITICAL_SECTION section) {
    return std::atomic_ref<LONG>(section->LockCount);
}

std::atomic_ref<HANDLE> ownerOf(LPCRITICAL_SECTION section) {
    return std::atomic_ref<HANDLE>(section->OwningThread);
}

HANDLE me() {
    return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(self().id));
}

constexpr LONG kFree = -1, kHeld = 0, kContended = 1;

bool tryTake(LPCRITICAL_SECTION section) {
    LONG expected = kFree;
    return lockWord(section).compare_exchange_strong(expected, kHeld, std::memory_order_acquire);
}

uint64_t nanoseconds(clockid_t clock) {
    timespec now{};
    clock_gettime(clock, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000000000ull + static_cast<uint64_t>(now.tv_nsec);
}

// Virtual memory: each reservation, by its base, with its size.
constexpr uint64_t kGranularity = 64 << 10;
const uint64_t kPage = static_cast<uint64_t>(sysconf(_SC_PAGESIZE));

struct Reservations {
    std::mutex lock;
    std::map<uintptr_t, uint64_t> sizes;
};
Reservations& reservations() {
    static auto* r = new Reservations;
    return *r;
}

bool protectionOf(DWORD protect, int& prot) {
    switch (protect) {
        case PAGE_NOACCESS:
            prot = PROT_NONE;
            return true;
        case PAGE_READONLY:
            prot = PROT_READ;
            return true;
        case PAGE_READWRITE:
            prot = PROT_READ | PROT_WRITE;
            return true;
        case PAGE_EXECUTE:
            prot = PROT_EXEC;
            return true;
        case PAGE_EXECUTE_READ:
            prot = PROT_READ | PROT_EXEC;
            return true;
        case PAGE_EXECUTE_READWRITE:
            prot = PROT_READ | PROT_WRITE | PROT_EXEC;
            return true;
        default:
            return false;
    }
}

// The reservation that holds [address, address + size), with the lock held;
// 0 if none.
uintptr_t reservationOf(uintptr_t address, uint64_t size) {
    auto& r = reservations();
    auto it = r.sizes.upper_bound(address);
    if (it == r.sizes.begin())
        return 0;
    --it;
    return address + size <= it->first + it->second ? it->first : 0;
}

// A new reservation of `size` bytes on the allocation granularity, its pages
// inaccessible until committed.
void* reserve(uint64_t size) {
    const uint64_t span = size + kGranularity;
    void* raw = mmap(nullptr, span, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (raw == MAP_FAILED)
        return nullptr;
    const auto start = reinterpret_cast<uintptr_t>(raw);
    const uintptr_t aligned = (start + kGranularity - 1) & ~(kGranularity - 1);
    if (aligned > start)
        munmap(raw, aligned - start);
    const uintptr_t end = start + span, used = aligned + size;
    if (end > used)
        munmap(reinterpret_cast<void*>(used), end - used);
    return reinterpret_cast<void*>(aligned);
}

}  // namespace
}  // namespace w32

using namespace w32;

extern "C" {

void WINAPI InitializeCriticalSection(LPCRITICAL_SECTION section) {
    *section = {};
    section->LockCount = kFree;
}

BOOL WINAPI InitializeCriticalSectionAndSpinCount(LPCRITICAL_SECTION section, DWORD spinCount) {
    InitializeCriticalSection(section);
    section->SpinCount = spinCount;
    return TRUE;
}

void WINAPI EnterCriticalSection(LPCRITICAL_SECTION section) {
    if (ownerOf(section).load(std::memory_order_relaxed) == me()) {
        ++section->RecursionCount;
        return;
    }
    if (!tryTake(section)) {
        // Marked contended before each sleep, so that the release wakes us.
        while (lockWord(section).exchange(kContended, std::memory_order_acquire) != kFree)
            futexWait(&section->LockCount, static_cast<uint32_t>(kContended));
    }
    ownerOf(section).store(me(), std::memory_order_relaxed);
    section->RecursionCount = 1;
}

BOOL WINAPI TryEnterCriticalSection(LPCRITICAL_SECTION section) {
    if (ownerOf(section).load(std::memory_order_relaxed) == me()) {
        ++section->RecursionCount;
        return TRUE;
    }
    if (!tryTake(section))
        return FALSE;
    ownerOf(section).store(me(), std::memory_order_relaxed);
    section->RecursionCount = 1;
    return TRUE;
}

void WINAPI LeaveCriticalSection(LPCRITICAL_SECTION section) {
    if (ownerOf(section).load(std::memory_order_relaxed) != me() || --section->RecursionCount > 0)
        return;
    ownerOf(section).store(nullptr, std::memory_order_relaxed);
    if (lockWord(section).exchange(kFree, std::memory_order_release) == kContended)
        futexWake(&section->LockCount, 1);
}

void WINAPI DeleteCriticalSection(LPCRITICAL_SECTION section) {
    *section = {};
}

BOOL WINAPI QueryPerformanceCounter(LARGE_INTEGER* count) {
    if (count == nullptr) {
        setLastError(ERROR_NOACCESS);
        return FALSE;
    }
    count->QuadPart = static_cast<LONGLONG>(nanoseconds(CLOCK_MONOTONIC) / 100);
    return TRUE;
}

BOOL WINAPI QueryPerformanceFrequency(LARGE_INTEGER* frequency) {
    if (frequency == nullptr) {
        setLastError(ERROR_NOACCESS);
        return FALSE;
    }
    frequency->QuadPart = 10000000;
    return TRUE;
}

ULONGLONG WINAPI GetTickCount64(void) {
    return nanoseconds(CLOCK_BOOTTIME) / 1000000;
}

LPVOID WINAPI VirtualAlloc(LPVOID address, SIZE_T size, DWORD type, DWORD protect) {
    W32_FAULT_POINT("VirtualAlloc", nullptr);
    int prot = 0;
    if (size == 0 || (type & ~(MEM_COMMIT | MEM_RESERVE)) != 0 || type == 0 ||
        !protectionOf(protect, prot)) {
        setLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    auto& r = reservations();
    std::lock_guard guard(r.lock);
    if (address == nullptr || (type & MEM_RESERVE) != 0) {
        if (address != nullptr) {
            // A chosen place: not supported here, and said so.
            setLastError(ERROR_INVALID_ADDRESS);
            return nullptr;
        }
        // A commit without an address reserves as well.
        const uint64_t bytes = (size + kPage - 1) / kPage * kPage;
        void* base = reserve(bytes);
        if (base == nullptr) {
            setLastError(ERROR_NOT_ENOUGH_MEMORY);
            return nullptr;
        }
        if ((type & MEM_COMMIT) != 0 && mprotect(base, bytes, prot) != 0) {
            munmap(base, bytes);
            setLastError(ERROR_NOT_ENOUGH_MEMORY);
            return nullptr;
        }
        r.sizes[reinterpret_cast<uintptr_t>(base)] = bytes;
        setLastError(ERROR_SUCCESS);
        return base;
    }
    // A commit inside a reservation: the pages that hold the range.
    const auto at = reinterpret_cast<uintptr_t>(address);
    const uintptr_t first = at & ~(kPage - 1);
    const uint64_t bytes = (at + size + kPage - 1) / kPage * kPage - first;
    if (reservationOf(first, bytes) == 0) {
        setLastError(ERROR_INVALID_ADDRESS);
        return nullptr;
    }
    if (mprotect(reinterpret_cast<void*>(first), bytes, prot) != 0) {
        setLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    return reinterpret_cast<void*>(first);
}

BOOL WINAPI VirtualFree(LPVOID address, SIZE_T size, DWORD type) {
    W32_FAULT_POINT("VirtualFree", FALSE);
    auto& r = reservations();
    std::lock_guard guard(r.lock);
    const auto at = reinterpret_cast<uintptr_t>(address);
    if (type == MEM_RELEASE) {
        // The whole reservation, named by its base, with no size.
        auto it = r.sizes.find(at);
        if (size != 0 || it == r.sizes.end()) {
            setLastError(size != 0 || address == nullptr ? ERROR_INVALID_PARAMETER
                                                         : ERROR_INVALID_ADDRESS);
            return FALSE;
        }
        munmap(address, it->second);
        r.sizes.erase(it);
        return TRUE;
    }
    if (type == MEM_DECOMMIT) {
        // Size 0 decommits from the address to the end of its reservation.
        const uintptr_t first = at & ~(kPage - 1);
        const uintptr_t base = reservationOf(first, 1);
        if (address == nullptr || base == 0) {
            setLastError(ERROR_INVALID_ADDRESS);
            return FALSE;
        }
        const uint64_t bytes = size == 0 ? base + r.sizes[base] - first
                                         : (at + size + kPage - 1) / kPage * kPage - first;
        if (reservationOf(first, bytes) == 0) {
            setLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        // Decommitted pages read as zeros when committed again.
        mmap(reinterpret_cast<void*>(first), bytes, PROT_NONE,
             MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | MAP_FIXED, -1, 0);
        return TRUE;
    }
    setLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
}

}  // extern "C"
