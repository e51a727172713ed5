// Host memory that stands for memory on the card: a window's contents, a
// common buffer the driver allocated, a flash chip. Zero-filled, and
// committed only as it is touched.
//
// The memory of windows and common buffers is mappable: it lives in a memory
// object of the system, and the driver maps a view of it into the process
// for each map request, as the real driver maps a window's pages. Two views
// of one range sit at two addresses and show the same bytes as each other
// and as data(), through which the driver itself reads and writes.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vsim::model {

class Memory {
  public:
    explicit Memory(size_t size, bool mappable = false);
    ~Memory();
    Memory(const Memory&) = delete;
    Memory& operator=(const Memory&) = delete;

    uint8_t* data() const { return data_; }
    size_t size() const { return size_; }
    // True if [offset, offset + length) lies inside.
    bool contains(uint64_t offset, uint64_t length) const {
        return offset <= size_ && length <= size_ - offset;
    }

    // A view of part of the memory at an address of its own.
    struct View {
        uint8_t* address = nullptr;  // where the range starts
        void* base = nullptr;        // the mapping, aligned as the system requires
        size_t length = 0;           // of the mapping
        explicit operator bool() const { return address != nullptr; }
    };
    // Maps [offset, offset + length), which must lie inside; the address has
    // the offset's position within its page. A memory that is not mappable,
    // or a view the system refuses, gives an empty view. Should the system
    // have refused the memory object itself, a view is the memory's own
    // address (and unmapping it does nothing).
    View mapView(uint64_t offset, uint64_t length) const;
    static void unmapView(const View& view);

  private:
    size_t size_;
    uint8_t* data_ = nullptr;
    bool mappable_;
    intptr_t object_ = -1;  // the system's memory object, if it could be made
};

}  // namespace vsim::model
