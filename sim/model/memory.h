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

#include <atomic>
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
    // The file `name` in `folder` (made if need be), holding `size` bytes. An
    // existing file is used if `valid` accepts its contents; otherwise (or if
    // there is none) a fresh file is made and `initialize` fills it in. Both
    // run while no other process opens the file; files in the folder whose
    // names begin with `stalePrefix` and that are not `name` are removed.
    static std::unique_ptr<Store> openShared(const std::string& folder, const std::string& name,
                                             const std::string& stalePrefix, uint64_t size,
                                             const std::function<bool(uint8_t*)>& valid,
                                             const std::function<void(uint8_t*)>& initialize,
                                             std::string& error);

    uint8_t* data() const { return data_; }
    uint64_t size() const { return size_; }
    bool shared() const { return shared_; }

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

    // The machine's lock, shared by every process of a shared store. A lock
    // whose owner died is taken over (its state may be half-changed; the
    // changes made under it are each consistent word by word).
    void lock();
    void unlock();

    // Waking the processes of a shared store: a watcher waits (up to
    // `milliseconds`) for `counter` to move on from `seen`; a change wakes
    // every watcher but `self`. Watchers are listed in `watchers` (a table
    // in the store) while they watch.
    void addWatcher(std::atomic<uint32_t>* watchers, size_t count, uint32_t self);
    void removeWatcher(std::atomic<uint32_t>* watchers, size_t count, uint32_t self);
    void awaitChange(std::atomic<uint32_t>& counter, uint32_t seen, uint32_t self,
                     int milliseconds);
    void wakeWatchers(std::atomic<uint32_t>& counter, std::atomic<uint32_t>* watchers, size_t count,
                      uint32_t self);

  private:
    Store() = default;
    uint8_t* data_ = nullptr;
    uint64_t size_ = 0;
    bool shared_ = false;
    intptr_t object_ = -1;                 // the system's memory object
    [[maybe_unused]] intptr_t mutex_ = 0;  // Windows: the machine's mutex
    std::string path_;                     // of a shared store
};

// A process as the machines name it: its id and when it started, so that a
// later process that is given the same id is not taken for it. Never 0.
uint64_t thisProcess();
// Whether the process that `process` names is still running.
bool processRuns(uint64_t process);

// Part of a store: a window's memory, a common buffer, a flash chip.
class Memory {
  public:
    Memory(const Store& store, uint64_t offset, uint64_t size)
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
