// The library's own heap: a private heap made on first use, so that objects
// the library hands out (loaded bitstreams) and its general-purpose buffers
// never come from the process heap that applications share.
#include <atomic>

#include "wdm.h"

namespace {
std::atomic<HANDLE> g_heap{nullptr};

HANDLE libraryHeap() {
    HANDLE heap = g_heap.load(std::memory_order_acquire);
    if (heap != nullptr)
        return heap;
    HANDLE created = HeapCreate(0, 0, 0);
    if (created == nullptr)
        return nullptr;
    if (!g_heap.compare_exchange_strong(heap, created, std::memory_order_acq_rel)) {
        HeapDestroy(created);  // another thread made it first
        return heap;
    }
    return created;
}
}  // namespace

void* wdmAllocate(size_t size) {
    HANDLE heap = libraryHeap();
    return heap != nullptr ? HeapAlloc(heap, 0, size) : nullptr;
}

void wdmFree(void* block) {
    HANDLE heap = g_heap.load(std::memory_order_acquire);
    if (block != nullptr && heap != nullptr)
        HeapFree(heap, 0, block);
}

// At process detach: everything still in the heap goes with it.
void wdmDestroyHeap() {
    HANDLE heap = g_heap.exchange(nullptr, std::memory_order_acq_rel);
    if (heap != nullptr)
        HeapDestroy(heap);
}
