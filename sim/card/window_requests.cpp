// A card's windows, its common buffers and the mappings of both into the
// process, as its VELTRA interface answers.
#include <algorithm>
#include <cstring>

#include "card/devices.h"
#include "card/veltra_context.h"
#include "design/design_model.h"

namespace vsim::model {

// Reply: size, bus address, local base address, attributes, and 0.
Outcome VeltraContext::windowInfo(IoRequest& rq) {
    const uint32_t index = rq.in<uint32_t>(0);
    if (index >= card_->config.windows.size())
        return driverStatus(status::kVeltraInvalidIndex);
    const WindowConfig& w = card_->config.windows[index];
    const uint64_t values[] = {w.size, w.busAddress, w.localAddress, w.attributes, 0};
    for (int i = 0; i < 5; ++i)
        rq.out<uint64_t>(8 * i, values[i]);
    return Outcome::success(40);
}

Outcome VeltraContext::readWindow(IoRequest& rq) {
    return transferWindow(rq, false);
}

Outcome VeltraContext::writeWindow(IoRequest& rq) {
    return transferWindow(rq, true);
}

// Moves data between a window and the caller's buffer during the request.
Outcome VeltraContext::transferWindow(IoRequest& rq, bool toCard) {
    const uint32_t index = rq.in<uint32_t>(0);
    const uint32_t flags = rq.in<uint32_t>(4);
    const uint64_t offset = rq.in<uint64_t>(8);
    const uint64_t length = rq.in<uint64_t>(16);
    auto* buffer = reinterpret_cast<uint8_t*>(static_cast<uintptr_t>(rq.in<uint64_t>(24)));
    if (index >= card_->config.windows.size())
        return driverStatus(status::kVeltraInvalidIndex);
    if (flags != 0)
        return driverStatus(status::kVeltraInvalidFlag);
    Region& memory = card_->windowMemory(index);
    if (!memory.contains(offset, length))
        return driverStatus(status::kVeltraInvalidRegion);
    if (length == 0)
        return Outcome::success();
    if (buffer == nullptr)
        return driverStatus(status::kVeltraInvalidBuffer);
    // The doorbell: the value written at its offset 0 names the notification.
    // It is taken from the request itself: the page is shared, and another
    // ring may overwrite it before this one is raised.
    const bool ring = toCard && offset == 0 && length >= 4 &&
                      (card_->config.windows[index].attributes & kWindowDoorbell);
    uint32_t notification = 0;
    if (ring)
        std::memcpy(&notification, buffer, sizeof notification);
    if (toCard)
        card_->design().write(index, offset, buffer, length);
    else
        card_->design().read(index, offset, buffer, length);
    if (ring) {
        card_->design().doorbell(notification);
        card_->raiseNotification(notification);
    }
    return Outcome::success();
}

Outcome VeltraContext::commonBufferCount(IoRequest& rq) {
    rq.out<uint32_t>(0, static_cast<uint32_t>(card_->config.commonBuffers.size()));
    return Outcome::success(4);
}

// Reply: the buffer's key, then its bus address.
Outcome VeltraContext::commonBuffer(IoRequest& rq) {
    const uint32_t index = rq.in<uint32_t>(0);
    if (index >= card_->config.commonBuffers.size())
        return driverStatus(status::kVeltraInvalidIndex);
    const CommonBufferConfig& b = card_->config.commonBuffers[index];
    rq.out<uint64_t>(0, b.key);
    rq.out<uint64_t>(8, b.busAddress);
    return Outcome::success(16);
}

Region* VeltraContext::regionOf(uint32_t tag, uint32_t& error) {
    const CardConfig& c = card_->config;
    if (tag >= kCommonBufferTag) {
        const uint32_t b = tag - kCommonBufferTag;
        if (b < c.commonBuffers.size())
            return &card_->commonBuffer(b);
    } else if (tag < c.windows.size()) {
        return &card_->windowMemory(tag);
    }
    error = kMapBadIndex;
    return nullptr;
}

// A mapping lives as long as its request pends: each request maps the
// region into the process at an address of its own, which goes into the
// caller's output buffer at once; the request ends when the region is
// unmapped, when the handle closes, or (cancelled) when its thread ends.
Outcome VeltraContext::mapRegion(IoRequest& rq) {
    const uint32_t tag = rq.in<uint32_t>(0);
    const uint64_t offset = rq.in<uint64_t>(8);
    const uint64_t length = rq.in<uint64_t>(16);
    if (rq.directOutput() == nullptr)
        return driverStatus(status::kVeltraInvalidBuffer);
    uint32_t error = 0;
    Region* memory = regionOf(tag, error);
    if (memory == nullptr)
        return Outcome::failure(driverError(error));
    if (length == 0 || !memory->contains(offset, length))
        return Outcome::failure(driverError(kMapBadRegion));
    if (length > kMaxMappingLength)
        return Outcome::failure(driverError(kMapTooLarge));
    const Region::View view = memory->mapView(offset, length);
    if (!view)
        return Outcome::failure(driverError(kMapNoMemory));
    if (tag < kCommonBufferTag)
        card_->design().mapped(tag);
    const uint64_t address = reinterpret_cast<uintptr_t>(view.address);
    std::memcpy(rq.directOutput(), &address, sizeof address);
    // A mapping is not an operation VELTRA_Cancel ends; only its thread's end does.
    auto pending = rq.pend(false, [this](PendingIo& io) {
        Mapping ended;
        if (takeMapping(&io, ended))
            Region::unmapView(ended.view);
        io.complete(kErrorOperationAborted);
    });
    // A close or a cancel may have ended the request already (the handle
    // can close while this request is being answered): its view goes then.
    std::lock_guard guard(lock_);
    if (pending->completed())
        Region::unmapView(view);
    else
        mappings_.push_back({address, view, pending});
    return Outcome::pending();
}

bool VeltraContext::takeMapping(const PendingIo* request, Mapping& taken) {
    std::lock_guard guard(lock_);
    auto it = std::find_if(mappings_.begin(), mappings_.end(),
                           [request](const Mapping& m) { return m.request.get() == request; });
    if (it == mappings_.end())
        return false;
    taken = *it;
    mappings_.erase(it);
    return true;
}

// Ends the oldest mapping of this handle at the address: the view goes, then
// its map request ends, so that whoever waits for the map request finds the
// region gone.
Outcome VeltraContext::unmapRegion(IoRequest& rq) {
    const uint64_t address = rq.in<uint64_t>(0);
    Mapping ended;
    {
        std::lock_guard guard(lock_);
        auto it = std::find_if(mappings_.begin(), mappings_.end(),
                               [address](const Mapping& m) { return m.address == address; });
        if (it == mappings_.end())
            return Outcome::failure(driverError(kMapBadRegion));
        ended = *it;
        mappings_.erase(it);
    }
    Region::unmapView(ended.view);
    ended.request->complete(kSuccess);
    return Outcome::success();
}

}  // namespace vsim::model
