// Heaps: the process heap and private heaps. Every block is linked into its
// heap, so a heap can be destroyed with its blocks and a block freed to the
// wrong heap is refused.
#include <sys/mman.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <utility>

#include "kernel.h"

namespace w32 {
namespace {

// The header of a block. 64 bytes, so that a large block (which starts a
// page) hands out memory on a 64-byte boundary, as Windows' heap does; small
// blocks are 16-byte aligned.
struct alignas(16) Block {
    Block* prev;
    Block* next;
    uint64_t owner;  // the owning heap's tag while the block is live
    size_t size;
    size_t mapped;  // bytes mapped for a large block; 0 for a small one
    DWORD creator;  // the allocating thread (for leak checks in tests)
    uint8_t padding[20];
};
static_assert(sizeof(Block) == 64);

class Heap : public Object {
  public:
    // A heap with a maximum size is fixed (it does not grow beyond it), as
    // on Windows; 0 makes a growable heap.
    explicit Heap(size_t maximum = 0, DWORD options = 0)
        : Object(ObjectType::Heap), capacity_(fixedCapacity(maximum)), options_(options) {
        head_.prev = head_.next = &head_;
    }
    DWORD options() const { return options_; }
    ~Heap() override { freeAll(); }

    void* allocate(size_t size, bool zero) {
        if (size > SIZE_MAX - sizeof(Block) - kHugePage)
            return nullptr;
        const size_t bytes = sizeof(Block) + size;
        if (capacity_ != 0 && !reserve(bytes))
            return nullptr;
        size_t mapped = 0;
        void* memory = nullptr;
        if (bytes >= kLargeBlock) {
            memory = reuseSpare(bytes, mapped);
            if (memory == nullptr)
                memory = mapLarge(bytes, mapped);  // fresh pages are zero
            else if (zero)
                std::memset(memory, 0, bytes);
        } else {
            memory = zero ? std::calloc(1, bytes) : std::malloc(bytes);
        }
        if (memory == nullptr) {
            if (capacity_ != 0)
                used_.fetch_sub(bytes, std::memory_order_relaxed);
            return nullptr;
        }
        auto* block = static_cast<Block*>(memory);
        block->owner = tag();
        block->size = size;
        block->mapped = mapped;
        block->creator = currentThreadId();
        std::lock_guard guard(lock_);
        block->prev = &head_;
        block->next = head_.next;
        head_.next->prev = block;
        head_.next = block;
        ++count_;
        return block + 1;
    }

    bool free(void* memory) {
        auto* block = static_cast<Block*>(memory) - 1;
        {
            std::lock_guard guard(lock_);
            if (block->owner != tag())
                return false;
            block->owner = 0;
            block->prev->next = block->next;
            block->next->prev = block->prev;
            --count_;
        }
        if (capacity_ != 0)
            used_.fetch_sub(sizeof(Block) + block->size, std::memory_order_relaxed);
        if (block->mapped != 0)
            keepAsSpare(block, block->mapped);
        else
            std::free(block);
        return true;
    }

    void freeAll() {
        std::lock_guard guard(lock_);
        while (head_.next != &head_) {
            Block* block = head_.next;
            head_.next = block->next;
            releaseBlock(block);
        }
        head_.prev = &head_;
        count_ = 0;
        if (spare_ != nullptr)
            munmap(spare_, spareBytes_);
        spare_ = nullptr;
        spareBytes_ = 0;
    }

    // Live blocks whose allocating thread passes `mine`.
    template <typename Filter>
    size_t blocks(Filter mine) {
        std::lock_guard guard(lock_);
        size_t n = 0;
        for (const Block* b = head_.next; b != &head_; b = b->next)
            n += mine(b->creator) ? 1 : 0;
        return n;
    }

  private:
    // A fixed heap holds its maximum size rounded up to whole pages; the
    // largest block it gives is a little under 1 MiB, as a fixed heap of a
    // 64-bit Windows process does.
    static constexpr size_t kFixedHeapLargestBlock = (1 << 20) - 4096;
    static size_t fixedCapacity(size_t maximum) {
        return maximum == 0 ? 0 : (maximum + 4095) & ~size_t{4095};
    }
    bool reserve(size_t bytes) {
        if (bytes - sizeof(Block) > kFixedHeapLargestBlock)
            return false;
        size_t used = used_.load(std::memory_order_relaxed);
        do {
            if (used + bytes > capacity_)
                return false;
        } while (!used_.compare_exchange_weak(used, used + bytes, std::memory_order_relaxed));
        return true;
    }

    // Large blocks get pages of their own, on 2 MiB boundaries and backed by
    // huge pages where the system has them: a large object (a loaded
    // bitstream) then costs a few page faults instead of thousands.
    static constexpr size_t kLargeBlock = 1 << 20;
    static constexpr size_t kHugePage = 2 << 20;
    static constexpr size_t kPage = 4096;

    static void* mapLarge(size_t bytes, size_t& mapped) {
        const size_t length = (bytes + kPage - 1) & ~(kPage - 1);
        void* raw = mmap(nullptr, length + kHugePage, PROT_READ | PROT_WRITE,
                         MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (raw == MAP_FAILED)
            return nullptr;
        const auto start = reinterpret_cast<uintptr_t>(raw);
        const uintptr_t aligned = (start + kHugePage - 1) & ~(uintptr_t{kHugePage} - 1);
        if (aligned > start)
            munmap(raw, aligned - start);
        const uintptr_t end = start + length + kHugePage;
        if (aligned + length < end)
            munmap(reinterpret_cast<void*>(aligned + length), end - (aligned + length));
        // Only whole huge pages: the tail stays in small pages, so a block
        // costs at most a page more than it holds.
        madvise(reinterpret_cast<void*>(aligned), length & ~(kHugePage - 1), MADV_HUGEPAGE);
        mapped = length;
        return reinterpret_cast<void*>(aligned);
    }

    // The last large block freed stays mapped as the spare, its pages handed
    // to the system as lazily freeable (MADV_FREE): they stay resident unless
    // memory runs short, so the next large allocation (loading the next
    // bitstream) writes into pages that already exist instead of waiting for
    // the system to make and zero fresh ones. Only one spare is kept, and it
    // is unmapped before a larger block is mapped, so the heap never holds
    // more than its live blocks plus the last large block it freed.
    void keepAsSpare(void* memory, size_t length) {
        if (madvise(memory, length, MADV_FREE) != 0) {
            munmap(memory, length);
            return;
        }
        const auto [old, oldBytes] = exchangeSpare(memory, length);
        if (old != nullptr)
            munmap(old, oldBytes);
    }

    // The spare, cut to `bytes` (rounded to pages) when it holds them; a
    // spare too small is unmapped. Its pages may hold old data or zeros.
    void* reuseSpare(size_t bytes, size_t& mapped) {
        const auto [spare, spareBytes] = exchangeSpare(nullptr, 0);
        if (spare == nullptr)
            return nullptr;
        const size_t length = (bytes + kPage - 1) & ~(kPage - 1);
        if (spareBytes < length) {
            munmap(spare, spareBytes);
            return nullptr;
        }
        if (spareBytes > length)
            munmap(static_cast<char*>(spare) + length, spareBytes - length);
        mapped = length;
        return spare;
    }

    // Puts `memory` in the spare's place and returns what was there.
    std::pair<void*, size_t> exchangeSpare(void* memory, size_t length) {
        std::lock_guard guard(lock_);
        return {std::exchange(spare_, memory), std::exchange(spareBytes_, length)};
    }

    static void releaseBlock(Block* block) {
        if (block->mapped != 0)
            munmap(block, block->mapped);
        else
            std::free(block);
    }

    uint64_t tag() const { return reinterpret_cast<uintptr_t>(this) ^ 0x4845415048454150ull; }

    std::mutex lock_;
    Block head_{};
    size_t count_ = 0;
    const size_t capacity_;  // a fixed heap's size; 0: growable
    const DWORD options_;    // HeapCreate's
    std::atomic<size_t> used_{0};
    void* spare_ = nullptr;  // see keepAsSpare
    size_t spareBytes_ = 0;
};

HANDLE processHeap() {
    static HANDLE heap = HandleTable::instance().insert(new Heap);
    return heap;
}

}  // namespace

size_t processHeapBlocks(const std::function<bool(DWORD)>& mine) {
    Lookup<Heap> heap(processHeap(), ObjectType::Heap);
    return heap ? heap->blocks(mine) : 0;
}

// Blocks of every heap: the process heap and the private ones.
size_t heapBlocks(const std::function<bool(DWORD)>& mine) {
    return HandleTable::instance().sum(
        ObjectType::Heap, [&](Object* heap) { return static_cast<Heap*>(heap)->blocks(mine); });
}

}  // namespace w32

using namespace w32;

extern "C" {

HANDLE WINAPI GetProcessHeap(void) {
    return processHeap();
}

HANDLE WINAPI HeapCreate(DWORD options, SIZE_T, SIZE_T maximumSize) {
    W32_FAULT_POINT("HeapCreate", nullptr);
    auto* heap = new Heap(maximumSize, options);
    HANDLE handle = HandleTable::instance().insert(heap);
    if (handle == nullptr) {
        heap->release();
        setLastError(ERROR_NOT_ENOUGH_MEMORY);
    }
    return handle;
}

BOOL WINAPI HeapDestroy(HANDLE handle) {
    W32_FAULT_POINT("HeapDestroy", FALSE);
    {
        Lookup<Heap> heap(handle, ObjectType::Heap);
        if (!heap || handle == processHeap()) {
            setLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        heap->freeAll();
    }
    if (Object* object = HandleTable::instance().remove(handle))
        HandleTable::instance().retire(object);
    return TRUE;
}

// A failed allocation sets ERROR_NOT_ENOUGH_MEMORY, as Windows does for a
// fixed heap that cannot hold the block.
// With HEAP_GENERATE_EXCEPTIONS (on the call or on the heap) a failure
// raises STATUS_NO_MEMORY instead, as on Windows, and does not continue.
LPVOID WINAPI HeapAlloc(HANDLE handle, DWORD flags, SIZE_T bytes) {
    W32_FAULT_POINT("HeapAlloc", nullptr);
    Lookup<Heap> heap(handle, ObjectType::Heap);
    if (!heap)
        return nullptr;
    void* block = heap->allocate(bytes, (flags & HEAP_ZERO_MEMORY) != 0);
    if (block != nullptr)
        return block;
    if ((flags | heap->options()) & HEAP_GENERATE_EXCEPTIONS) {
        constexpr DWORD kStatusNoMemory = 0xC0000017;
        RaiseException(kStatusNoMemory, EXCEPTION_NONCONTINUABLE, 0, nullptr);
    }
    setLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
}

BOOL WINAPI HeapFree(HANDLE handle, DWORD, LPVOID memory) {
    W32_FAULT_POINT("HeapFree", FALSE);
    if (memory == nullptr)
        return TRUE;
    Lookup<Heap> heap(handle, ObjectType::Heap);
    if (!heap) {
        setLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!heap->free(memory)) {
        setLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return TRUE;
}

}  // extern "C"
