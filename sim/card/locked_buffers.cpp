#include "card/locked_buffers.h"

#include "card/driver_statuses.h"

namespace vsim::model {

uint32_t LockedBuffers::lock(const void* owner, uint8_t* base, uint64_t length) {
    std::lock_guard guard(lock_);
    uint32_t handle = next_++;
    if (handle == 0)  // 0 names no buffer: skip it when the count wraps
        handle = next_++;
    buffers_[handle] = {owner, base, length};
    return handle;
}

uint32_t LockedBuffers::verdict(const void* owner,
                                std::map<uint32_t, Buffer>::const_iterator found) const {
    if (found == buffers_.end())
        return status::kVeltraInvalidBufferHandle;
    return found->second.owner == owner ? 0 : status::kVeltraNotOwner;
}

uint32_t LockedBuffers::unlock(const void* owner, uint32_t handle) {
    std::lock_guard guard(lock_);
    const auto found = buffers_.find(handle);
    const uint32_t error = verdict(owner, found);
    if (error == 0)
        buffers_.erase(found);
    return error;
}

uint32_t LockedBuffers::find(const void* owner, uint32_t handle, Buffer& buffer) const {
    std::lock_guard guard(lock_);
    const auto found = buffers_.find(handle);
    const uint32_t error = verdict(owner, found);
    if (error == 0)
        buffer = found->second;
    return error;
}

void LockedBuffers::release(const void* owner) {
    std::lock_guard guard(lock_);
    std::erase_if(buffers_, [owner](const auto& entry) { return entry.second.owner == owner; });
}

}  // namespace vsim::model
