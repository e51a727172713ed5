// The memory of a simulated machine: one memory object of the system that
// holds every card's windows, card memory, common buffers, flash and VPD,
// with the small words of its state at the start. A private store lives in
// anonymous memory and ends with the process; a shared store is a file in the
// machine's state folder, which every process using the machine maps.
//
// The driver maps the whole store once for itself, and a view of part of a
// region into the process for each map request, as the real driver maps a
// window's pages. Two views of one range sit at two addresses and show the
// same bytes as each other and as data(), through which the driver itself
// reads and writes. Untouched memory reads as zeros and costs nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace vsim::model {

// Regions start on this boundary, the allocation granularity of Windows.
inline constexpr uint64_t kRegionAlignment = 64 << 10;

class Store {
  public:
    ~Store();
    Store(const Store&) = delete;
    Store& operator=(const Store&) = delete;

    // Anonymous memory of `size` bytes, or null if the system refuses it.
    static std::unique_ptr<Store> createPrivate(uint64_t size, std::string& error);

    // What a shared store's file holds: whether an existing file's contents
    // can be used, how a fresh file is filled in, and what is done to an
    // existing file that no other process has open.
    struct Contents {
        std::function<bool(uint8_t*)> valid;
        std::function<void(uint8_t*)> initialize;
        std::function<void(uint8_t*)> alone;
    };
    // Where a shared store lies: the file `name` in the folder `folder` of
    // the state folder `root`; `stale` says which other names in the folder
    // are states that an earlier form of the same description left.
    struct Location {
        std::string root;
        std::string folder;
        std::string name;
        std::function<bool(const std::string&)> stale;
    };
    // The file (and its folders) made if need be, holding `size` bytes. An
    // existing file is used if its contents are valid; one that is not is
    // set aside (renamed NAME.bad-DATE, see setAside()), and a fresh file is
    // made and initialized. Both happen while no other process opens a file
    // in the folder; stale states are removed unless a process uses them.
    // Null, with the reason, if the file cannot be made or used; `refused`
    // says that it was not safe to use (see os::StateFolder).
    static std::unique_ptr<Store> openShared(const Location& where, uint64_t size,
                                             const Contents& contents, std::string& error,
                                             bool& refused);

    uint8_t* data() const { return data_; }
    uint64_t size() const { return size_; }
    bool shared() const { return shared_; }
    // The file of a shared store.
    const std::string& path() const { return path_; }
    // The name that a state file that failed its checks was given when this
    // store replaced it, or "".
    const std::string& setAside() const { return setAside_; }

    // A view of [offset, offset + length) of the store at an address of its
    // own; the address has the offset's position within the system's page
    // (Windows: allocation granularity). Empty if the system refuses it.
    struct View {
        uint8_t* address = nullptr;  // where the range starts
        void* base = nullptr;        // the mapping, aligned as the system requires
        size_t length = 0;           // of the mapping
        explicit operator bool() const { return address != nullptr; }
    };
    View mapView(uint64_t offset, uint64_t length) const;
    static void unmapView(const View& view);

    // Gives [offset, offset + length) back to zeros (and, where the system
    // can, gives up its pages).
    void clear(uint64_t offset, uint64_t length);
    // Writes [offset, offset + length) of a shared store through to its
    // file, and waits until the system has it on disk.
    void sync(uint64_t offset, uint64_t length);

  private:
    Store() = default;
    // Maps the first size_ bytes of `file`, which the store takes.
    bool mapFile(intptr_t file);
    void unmap();

    uint8_t* data_ = nullptr;
    uint64_t size_ = 0;
    bool shared_ = false;
    intptr_t object_ = -1;  // the system's memory object
    intptr_t file_ = -1;    // Windows: the file behind the section, for flushing
    std::string path_;
    std::string setAside_;
};

// Part of a store: a window's memory, a common buffer, a flash chip.
class Region {
  public:
    Region(const Store& store, uint64_t offset, uint64_t size)
        : store_(&store), offset_(offset), size_(size) {}

    uint8_t* data() const { return store_->data() + offset_; }
    size_t size() const { return size_; }
    uint64_t offset() const { return offset_; }
    // True if [offset, offset + length) lies inside.
    bool contains(uint64_t offset, uint64_t length) const {
        return offset <= size_ && length <= size_ - offset;
    }

    using View = Store::View;
    // Maps [offset, offset + length), which must lie inside; empty otherwise.
    View mapView(uint64_t offset, uint64_t length) const {
        if (length == 0 || !contains(offset, length))
            return {};
        return store_->mapView(offset_ + offset, length);
    }
    static void unmapView(const View& view) { Store::unmapView(view); }

  private:
    const Store* store_;
    uint64_t offset_;
    uint64_t size_;
};

}  // namespace vsim::model
