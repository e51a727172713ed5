// DMA as a card's VELTRA interface answers: locked buffers, and transfers
// from the caller's memory, a locked buffer or a common buffer, which the
// card's DMA engine moves.
#include "card/dma_engine.h"
#include "card/veltra_context.h"

namespace vsim::model {

// Reply: the new buffer handle. The buffer stays the caller's; the driver
// only remembers where it is.
Outcome VeltraContext::lockBuffer(IoRequest& rq) {
    auto* base = reinterpret_cast<uint8_t*>(static_cast<uintptr_t>(rq.in<uint64_t>(0)));
    const uint64_t length = rq.in<uint64_t>(8);
    if (base == nullptr || length == 0)
        return driverStatus(status::kVeltraInvalidBuffer);
    rq.out<uint32_t>(0, card_->lockedBuffers().lock(this, base, length));
    return Outcome::success(4);
}

Outcome VeltraContext::unlockBuffer(IoRequest& rq) {
    if (const uint32_t error = card_->lockedBuffers().unlock(this, rq.in<uint32_t>(0)))
        return driverStatus(error);
    return Outcome::success();
}

Outcome VeltraContext::readDma(IoRequest& rq) {
    return dmaToBuffer(rq, false);
}
Outcome VeltraContext::writeDma(IoRequest& rq) {
    return dmaToBuffer(rq, true);
}
Outcome VeltraContext::readDmaLocked(IoRequest& rq) {
    return dmaToLocked(rq, false);
}
Outcome VeltraContext::writeDmaLocked(IoRequest& rq) {
    return dmaToLocked(rq, true);
}
Outcome VeltraContext::readDmaBus(IoRequest& rq) {
    return dmaToBus(rq, false);
}
Outcome VeltraContext::writeDmaBus(IoRequest& rq) {
    return dmaToBus(rq, true);
}

// Record: channel, flags, buffer address, length, local address.
Outcome VeltraContext::dmaToBuffer(IoRequest& rq, bool toCard) {
    auto* buffer = reinterpret_cast<uint8_t*>(static_cast<uintptr_t>(rq.in<uint64_t>(8)));
    const uint64_t length = rq.in<uint64_t>(16);
    if (buffer == nullptr && length != 0)
        return driverStatus(status::kVeltraInvalidBuffer);
    return startDma(rq, toCard, buffer, length);
}

// Record: channel, flags, offset into the locked buffer, length, local
// address, buffer handle.
Outcome VeltraContext::dmaToLocked(IoRequest& rq, bool toCard) {
    const uint64_t offset = rq.in<uint64_t>(8);
    const uint64_t length = rq.in<uint64_t>(16);
    LockedBuffers::Buffer locked;
    if (const uint32_t error = card_->lockedBuffers().find(this, rq.in<uint32_t>(32), locked))
        return driverStatus(error);
    if (offset > locked.length || length > locked.length - offset)
        return driverStatus(status::kVeltraInvalidRegion);
    return startDma(rq, toCard, locked.base + offset, length);
}

// Record: channel, flags, bus address, length, local address. The host
// memory that the bus address reaches is one of the common buffers.
Outcome VeltraContext::dmaToBus(IoRequest& rq, bool toCard) {
    const uint64_t bus = rq.in<uint64_t>(8);
    const uint64_t length = rq.in<uint64_t>(16);
    const auto& buffers = card_->config.commonBuffers;
    for (size_t b = 0; b < buffers.size(); ++b) {
        if (bus < buffers[b].busAddress)
            continue;
        Region& memory = card_->commonBuffer(b);
        const uint64_t offset = bus - buffers[b].busAddress;
        if (memory.contains(offset, length))
            return startDma(rq, toCard, memory.data() + offset, length);
    }
    card_->raiseError(DeviceError::Dma);
    return driverStatus(status::kVeltraInvalidRegion);
}

// Checks what every transfer shares (channel, flags, the card-local range)
// and queues the transfer on its channel.
Outcome VeltraContext::startDma(IoRequest& rq, bool toCard, uint8_t* host, uint64_t length) {
    const uint32_t channel = rq.in<uint32_t>(0);
    const uint32_t flags = rq.in<uint32_t>(4);
    const uint64_t local = rq.in<uint64_t>(24);
    if (channel >= card_->dma().channels())
        return driverStatus(status::kVeltraInvalidIndex);
    if (flags != 0)
        return driverStatus(status::kVeltraInvalidFlag);
    if (!card_->cardMemory().contains(local, length)) {
        card_->raiseError(DeviceError::Dma);
        return driverStatus(status::kVeltraInvalidLocalRegion);
    }
    return card_->dma().submit(rq, channel, {host, local, length, toCard, this});
}

}  // namespace vsim::model
