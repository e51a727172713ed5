// Files as the veltra tool reads and writes them. Input is read whole, never
// mapped: a file that shrinks while it is read is an error ("changed while
// it was read"), not a signal, and everything is known before the card
// changes. Output replaces a file only once it is complete: a failure never
// removes or truncates a file that was there before.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tool {

// Memory for large buffers: on Linux in huge pages where the system gives
// them (a 64 MiB image in 4 KiB pages costs a TLB miss every few kilobytes
// on a virtual machine, for every pass over it).
void* allocateLarge(size_t bytes);
void freeLarge(void* block, size_t bytes);

// Memory for bytes that are about to be read into it: not zeroed first (a
// 64 MiB image would be written twice), and large buffers in large pages.
template <typename T>
struct UninitializedAllocator : std::allocator<T> {
    template <typename U>
    struct rebind {
        using other = UninitializedAllocator<U>;
    };
    UninitializedAllocator() = default;
    template <typename U>
    UninitializedAllocator(const UninitializedAllocator<U>&) noexcept {}
    T* allocate(size_t count) { return static_cast<T*>(allocateLarge(count * sizeof(T))); }
    void deallocate(T* block, size_t count) noexcept { freeLarge(block, count * sizeof(T)); }
    template <typename U>
    void construct(U* at) noexcept {
        ::new (static_cast<void*>(at)) U;
    }
    template <typename U, typename... Arguments>
    void construct(U* at, Arguments&&... arguments) {
        ::new (static_cast<void*>(at)) U(std::forward<Arguments>(arguments)...);
    }
};
using Bytes = std::vector<uint8_t, UninitializedAllocator<uint8_t>>;

// A file's bytes; a Failure if it cannot be read whole, or if it changed
// (size or time of change) while it was read.
Bytes readWholeFile(const std::string& path);
// Its first `length` bytes when a length is given (a Failure if it holds
// fewer), else all of them.
Bytes readFileStart(const std::string& path, std::optional<uint64_t> length);

// A file that takes the place of `path` when it is committed: written to a
// temporary file in the same folder, flushed to the disk, then renamed over
// the old one. Dropped without a commit, it leaves `path` as it was.
class ReplacingFile {
  public:
    explicit ReplacingFile(std::string path);
    ~ReplacingFile();
    ReplacingFile(const ReplacingFile&) = delete;
    ReplacingFile& operator=(const ReplacingFile&) = delete;

    void write(const void* data, size_t length);
    void commit();

  private:
    std::string path_, temporary_;
    intptr_t file_ = -1;
    bool committed_ = false;
};

// Writes a whole file that way.
void replaceFile(const std::string& path, const void* data, size_t length);

// Whether two full paths name the same file as the system compares names
// (on Windows without regard to case).
bool samePathName(const std::string& a, const std::string& b);
// Whether a file is there.
bool fileExists(const std::string& path);
// The folder part of a path ("." if none), and the last part.
std::string folderOf(const std::string& path);
std::string baseName(const std::string& path);

}  // namespace tool
