// Heaps: the process heap and private heaps. Every block is linked into its
// heap, so a heap can be destroyed with its blocks and a block freed to the
// wrong heap is refused.
#include <sys/mman.h>

#include <cstdlib>
#include <functional>

#include "kernel.h"

namespace w32 {
namespace {

struct alignas(16) Block {
    Block* prev;
    Block* next;
    uint64_t owner;  // the owning heap's tag while the block is live
    size_t size;
    size_t mapped;  // bytes mapped for a large block; 0 for a small one
    DWORD creator;  // the allocating thread (for leak checks in tests)
};

class Heap : public Object {
  public:
    Heap() : Object(ObjectType::Heap) { head_.prev = head_.next = &head_; }
    ~Heap() override { freeAll(); }

    void* allocate(size_t size, bool zero) {
        if (size > SIZE_MAX - sizeof(Block) - kHugePage)
            return nullptr;
        size_t mapped = 0;
        void* memory = sizeof(Block) + size >= kLargeBlock ? mapLarge(sizeof(Block) + size, mapped)
                       : zero                              ? std::calloc(1, sizeof(Block) + size)
                                                           : std::malloc(sizeof(Block) + size);
        if (memory == nullptr)
            return nullptr;
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
        releaseBlock(block);
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
};

HANDLE processHeap() {
    static HANDLE heap = HandleTable::instance().insert(new Heap);
    return heap;
}

}  // namespace

size_t heapBlocks(HANDLE handle, const std::function<bool(DWORD)>& mine) {
    Lookup<Heap> heap(handle, ObjectType::Heap);
    return heap ? heap->blocks(mine) : 0;
}

}  // namespace w32

using namespace w32;

extern "C" {

HANDLE WINAPI GetProcessHeap(void) {
    return processHeap();
}

HANDLE WINAPI HeapCreate(DWORD, SIZE_T, SIZE_T) {
    W32_FAULT_POINT("HeapCreate", nullptr);
    auto* heap = new Heap;
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

// Like Windows, a failed allocation does not set the last error unless the
// failure was injected.
LPVOID WINAPI HeapAlloc(HANDLE handle, DWORD flags, SIZE_T bytes) {
    W32_FAULT_POINT("HeapAlloc", nullptr);
    Lookup<Heap> heap(handle, ObjectType::Heap);
    if (!heap)
        return nullptr;
    return heap->allocate(bytes, (flags & HEAP_ZERO_MEMORY) != 0);
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
