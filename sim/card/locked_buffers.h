// Host buffers that a card's handles locked for DMA.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>

namespace vsim::model {

// Host buffers locked for DMA, by the handle the driver issued for each.
class LockedBuffers {
  public:
    struct Buffer {
        const void* owner;  // the device handle that locked it
        uint8_t* base;
        uint64_t length;
    };
    // Returns the new handle.
    uint32_t lock(const void* owner, uint8_t* base, uint64_t length);
    // These return a driver status code, or 0.
    uint32_t unlock(const void* owner, uint32_t handle);
    uint32_t find(const void* owner, uint32_t handle, Buffer& buffer) const;
    // A device handle closes: the buffers it locked are released.
    void release(const void* owner);

  private:
    // Whether `owner` may use the buffer found (with the lock held).
    uint32_t verdict(const void* owner, std::map<uint32_t, Buffer>::const_iterator found) const;

    mutable std::mutex lock_;
    std::map<uint32_t, Buffer> buffers_;
    uint32_t next_ = 1;
};

}  // namespace vsim::model
