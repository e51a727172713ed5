// A card's VELTRA interface: the requests of the card API, answered from the
// card's configuration and memory.
#include <algorithm>
#include <cstring>

#include "board_services.h"
#include "card_model.h"
#include "design_model.h"
#include "dma_engine.h"
#include "ioctl_codes.h"
#include "notifications.h"
#include "statuses.h"

namespace vsim::model {
namespace {

// Open flags the driver understands: bit 0 says that flags are present.
constexpr uint32_t kKnownOpenFlags = 0x1;

Outcome driverStatus(uint32_t code) {
    return Outcome::failure(driverError(code));
}

class VeltraContext : public OpenContext {
  public:
    VeltraContext(std::shared_ptr<Card> card, const OpenParams& params)
        : card_(std::move(card)), params_(params) {}

    Outcome control(IoRequest& rq) override;
    void cleanup() override;

  private:
    struct Handler {
        uint32_t code;
        uint32_t minIn;
        uint32_t minOut;
        Outcome (VeltraContext::*answer)(IoRequest&);
    };
    static const Handler kHandlers[];

    Outcome setOpenFlags(IoRequest& rq);
    Outcome cancel(IoRequest& rq);
    Outcome versionInfo(IoRequest& rq);
    Outcome cardInfo(IoRequest& rq);
    Outcome cardInfoEx(IoRequest& rq);
    Outcome bankInfo(IoRequest& rq);
    Outcome moduleInfo(IoRequest& rq);
    Outcome windowInfo(IoRequest& rq);
    Outcome fpgaInfo(IoRequest& rq);
    Outcome configure(IoRequest& rq);
    Outcome unconfigure(IoRequest& rq);
    Outcome readWindow(IoRequest& rq);
    Outcome writeWindow(IoRequest& rq);
    Outcome commonBufferCount(IoRequest& rq);
    Outcome commonBuffer(IoRequest& rq);
    Outcome mapRegion(IoRequest& rq);
    Outcome unmapRegion(IoRequest& rq);
    Outcome lockBuffer(IoRequest& rq);
    Outcome unlockBuffer(IoRequest& rq);
    Outcome readDma(IoRequest& rq);
    Outcome writeDma(IoRequest& rq);
    Outcome readDmaLocked(IoRequest& rq);
    Outcome writeDmaLocked(IoRequest& rq);
    Outcome readDmaBus(IoRequest& rq);
    Outcome writeDmaBus(IoRequest& rq);
    Outcome registerEvent(IoRequest& rq);
    Outcome unregisterEvent(IoRequest& rq);
    Outcome waitNotification(IoRequest& rq);

    // The three host sides of a transfer; each finds the host memory and
    // hands the transfer to the DMA engine.
    Outcome dmaToBuffer(IoRequest& rq, bool toCard);
    Outcome dmaToLocked(IoRequest& rq, bool toCard);
    Outcome dmaToBus(IoRequest& rq, bool toCard);
    Outcome startDma(IoRequest& rq, bool toCard, uint8_t* host, uint64_t length);

    Outcome transferWindow(IoRequest& rq, bool toCard);
    // The memory a region tag names, or null with the mapping code in `error`.
    Memory* regionMemory(uint32_t tag, uint32_t& error);

    struct Mapping {
        uint64_t address;
        Memory::View view;
        std::shared_ptr<PendingIo> request;
    };
    // Takes the mapping whose request this is off the list (false if it is
    // no longer there).
    bool takeMapping(const PendingIo* request, Mapping& taken);

    std::shared_ptr<Card> card_;
    OpenParams params_;
    uint32_t openFlags_ = 0;
    std::mutex lock_;
    std::vector<Mapping> mappings_;  // oldest first
};

const VeltraContext::Handler VeltraContext::kHandlers[] = {
    {ioctl::kGetCardInfo, 0, 36, &VeltraContext::cardInfo},
    {ioctl::kGetBankInfo, 4, 40, &VeltraContext::bankInfo},
    {ioctl::kGetVersionInfo, 0, 6, &VeltraContext::versionInfo},
    {ioctl::kGetFpgaInfo, 4, 40, &VeltraContext::fpgaInfo},
    {ioctl::kGetWindowInfo, 4, 40, &VeltraContext::windowInfo},
    {ioctl::kConfigure, 24, 0, &VeltraContext::configure},
    {ioctl::kRegisterEvent, 16, 0, &VeltraContext::registerEvent},
    {ioctl::kUnregisterEvent, 16, 0, &VeltraContext::unregisterEvent},
    {ioctl::kRead, 32, 0, &VeltraContext::readWindow},
    {ioctl::kWrite, 32, 0, &VeltraContext::writeWindow},
    {ioctl::kLock, 16, 4, &VeltraContext::lockBuffer},
    {ioctl::kUnlock, 4, 0, &VeltraContext::unlockBuffer},
    {ioctl::kReadDma, 32, 0, &VeltraContext::readDma},
    {ioctl::kWriteDma, 32, 0, &VeltraContext::writeDma},
    {ioctl::kReadDmaLocked, 40, 0, &VeltraContext::readDmaLocked},
    {ioctl::kWriteDmaLocked, 40, 0, &VeltraContext::writeDmaLocked},
    {ioctl::kUnconfigure, 8, 0, &VeltraContext::unconfigure},
    {ioctl::kWaitNotification, 4, 0, &VeltraContext::waitNotification},
    {ioctl::kSetOpenFlags, 4, 0, &VeltraContext::setOpenFlags},
    {ioctl::kGetCardInfoEx, 0, 44, &VeltraContext::cardInfoEx},
    {ioctl::kGetModuleInfo, 16, 0, &VeltraContext::moduleInfo},
    {ioctl::kReadDmaBus, 32, 0, &VeltraContext::readDmaBus},
    {ioctl::kWriteDmaBus, 32, 0, &VeltraContext::writeDmaBus},
    {ioctl::kGetCommonBufferCount, 0, 4, &VeltraContext::commonBufferCount},
    {ioctl::kGetCommonBuffer, 4, 16, &VeltraContext::commonBuffer},
    {ioctl::kCancel, 0, 0, &VeltraContext::cancel},
    {ioctl::kMmappend, 24, 8, &VeltraContext::mapRegion},
    {ioctl::kMmapUnmap, 8, 0, &VeltraContext::unmapRegion},
};

// Requests that the card answers from its board state alone.
struct BoardHandler {
    uint32_t code;
    uint32_t minIn;
    uint32_t minOut;
    Outcome (*answer)(Card&, IoRequest&);
};

const BoardHandler kBoardHandlers[] = {
    {ioctl::kGetClockFrequency, 4, 8, board::clockFrequency},
    {ioctl::kSetClockFrequency, 16, 8, board::setClockFrequency},
    {ioctl::kEraseFlash, 24, 0, board::eraseFlash},
    {ioctl::kReadFlash, 32, 0, board::readFlash},
    {ioctl::kWriteFlash, 32, 0, board::writeFlash},
    {ioctl::kGetFlashInfo, 4, 32, board::flashInfo},
    {ioctl::kGetFlashBlockInfo, 16, 24, board::flashBlockInfo},
    {ioctl::kReadVpd, 32, 0, board::readVpd},
    {ioctl::kWriteVpd, 32, 0, board::writeVpd},
    {ioctl::kGetSensorInfo, 4, 48, board::sensorInfo},
    {ioctl::kReadSensor, 4, 12, board::readSensor},
    {ioctl::kSyncFlash, 8, 0, board::syncFlash},
    {ioctl::kGetDeviceStatus, 4, 20, board::deviceStatus},
    {ioctl::kClearDeviceErrors, 0, 0, board::clearDeviceErrors},
};

// A card that is gone answers nothing; the board services come first, then
// the card's own requests.
Outcome VeltraContext::control(IoRequest& rq) {
    if (const uint32_t error = card_->requestFault())
        return Outcome::failure(error);
    if (auto outcome = answerFromTable(kBoardHandlers, rq,
                                       [&](const BoardHandler& h) { return h.answer(*card_, rq); }))
        return *outcome;
    return answerFromTable(kHandlers, rq, [&](const Handler& h) { return (this->*h.answer)(rq); })
        .value_or(Outcome::failure(kErrorInvalidFunction));
}

// The handle goes: its mappings end (their pending requests complete), a
// transfer of it that is moving data finishes, and the driver lets go of its
// locked buffers and registered events.
void VeltraContext::cleanup() {
    std::vector<Mapping> ended;
    {
        std::lock_guard guard(lock_);
        ended.swap(mappings_);
    }
    for (auto& m : ended) {
        Memory::unmapView(m.view);
        m.request->complete(kSuccess);
    }
    card_->dma().abandon(this);
    card_->lockedBuffers().release(this);
    card_->notifications().abandon(this);
}

Outcome VeltraContext::setOpenFlags(IoRequest& rq) {
    const uint32_t flags = rq.in<uint32_t>(0);
    if (flags & ~kKnownOpenFlags)
        return driverStatus(status::kVeltraInvalidFlag);
    openFlags_ = flags;
    return Outcome::success();
}

// Ends the handle's outstanding waits and transfers; mappings are not
// operations and stay.
Outcome VeltraContext::cancel(IoRequest& rq) {
    if (rq.handle().cancelPending() == 0)
        return driverStatus(status::kVeltraCancelFailed);
    return Outcome::success();
}

Outcome VeltraContext::versionInfo(IoRequest& rq) {
    for (int i = 0; i < 3; ++i)
        rq.out<uint16_t>(2 * i, card_->config.driverVersion[i]);
    return Outcome::success(6);
}

// Reply words: 0 board id, 1 board revision, 2 serial number, 3 FPGAs,
// 4 flash banks, 5 memory banks, 6 DMA channels, 7 windows, 8 clock
// generators; the extended reply adds 9 PCI Express link width and 10 link
// speed (generation).
Outcome VeltraContext::cardInfo(IoRequest& rq) {
    const CardConfig& c = card_->config;
    const uint32_t words[] = {c.boardId,
                              c.revision,
                              c.serial,
                              static_cast<uint32_t>(c.fpgas.size()),
                              static_cast<uint32_t>(c.flash.size()),
                              static_cast<uint32_t>(c.banks.size()),
                              c.dmaChannels,
                              static_cast<uint32_t>(c.windows.size()),
                              static_cast<uint32_t>(c.clocks.size()),
                              c.pcieLinkWidth,
                              c.pcieLinkSpeed};
    const size_t count = rq.outSize() >= 44 && rq.code() == ioctl::kGetCardInfoEx ? 11 : 9;
    for (size_t i = 0; i < count; ++i)
        rq.out<uint32_t>(4 * i, words[i]);
    return Outcome::success(static_cast<uint32_t>(4 * count));
}

Outcome VeltraContext::cardInfoEx(IoRequest& rq) {
    return cardInfo(rq);
}

// Reply: base, size and transfer rate (64-bit), data width and ranks
// (16-bit), CAS latency and vendor (32-bit), and the ECC flag.
Outcome VeltraContext::bankInfo(IoRequest& rq) {
    const uint32_t index = rq.in<uint32_t>(0);
    if (index >= card_->config.banks.size())
        return driverStatus(status::kVeltraInvalidIndex);
    const BankConfig& b = card_->config.banks[index];
    rq.out<uint64_t>(0, b.base);
    rq.out<uint64_t>(8, b.size);
    rq.out<uint64_t>(16, b.rateMts);
    rq.out<uint16_t>(24, b.dataWidth);
    rq.out<uint16_t>(26, b.ranks);
    rq.out<uint32_t>(28, b.casLatency);
    rq.out<uint32_t>(32, b.vendor);
    rq.out<uint8_t>(36, b.ecc ? 1 : 0);
    return Outcome::success(40);
}

// The reply goes straight into the caller's 272-byte buffer, whose address
// the request carries: four texts (vendor, part, serial number, revision),
// the temperature in 16.16 fixed point, two values and the presence flag.
Outcome VeltraContext::moduleInfo(IoRequest& rq) {
    const uint64_t address = rq.in<uint64_t>(0);
    const uint32_t index = rq.in<uint32_t>(8);
    if (address == 0)
        return driverStatus(status::kVeltraInvalidBuffer);
    if (index >= card_->config.modules.size())
        return driverStatus(status::kVeltraInvalidIndex);
    const ModuleConfig& m = card_->config.modules[index];
    uint8_t reply[272] = {};
    const std::string* texts[] = {&m.vendor, &m.part, &m.serial, &m.revision};
    for (int i = 0; i < 4; ++i)
        std::memcpy(reply + 64 * i, texts[i]->c_str(), std::min<size_t>(63, texts[i]->size()));
    std::memcpy(reply + 256, &m.temperatureWhole, 2);
    std::memcpy(reply + 258, &m.temperatureFraction, 2);
    std::memcpy(reply + 260, &m.value0, 4);
    std::memcpy(reply + 264, &m.value1, 4);
    const uint32_t present = m.present ? 1 : 0;
    std::memcpy(reply + 268, &present, 4);
    std::memcpy(reinterpret_cast<void*>(static_cast<uintptr_t>(address)), reply, sizeof reply);
    return Outcome::success();
}

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

// Reply: type code, family, speed grade, package code, JTAG identifier, the
// speed and temperature texts, and whether the FPGA is configured.
Outcome VeltraContext::fpgaInfo(IoRequest& rq) {
    const uint32_t index = rq.in<uint32_t>(0);
    if (index >= card_->config.fpgas.size())
        return driverStatus(status::kVeltraInvalidIndex);
    const FpgaConfig& f = card_->config.fpgas[index];
    rq.out<uint32_t>(0, f.typeCode);
    rq.out<uint32_t>(4, f.family);
    rq.out<uint32_t>(8, f.speedGrade);
    rq.out<uint32_t>(12, f.packageCode);
    rq.out<uint32_t>(16, f.idcode);
    auto text = rq.buffer();
    std::memcpy(text.data() + 20, f.speedText.c_str(), std::min<size_t>(7, f.speedText.size()));
    std::memcpy(text.data() + 28, f.temperatureText.c_str(),
                std::min<size_t>(7, f.temperatureText.size()));
    rq.out<uint8_t>(36, card_->configured(index) ? 1 : 0);
    return Outcome::success(40);
}

// Reads the configuration data from the caller's memory during the request.
// Data without the sync word never finishes configuring the FPGA.
Outcome VeltraContext::configure(IoRequest& rq) {
    const uint32_t index = rq.in<uint32_t>(0);
    const uint32_t flags = rq.in<uint32_t>(4);
    const auto* data = reinterpret_cast<const uint8_t*>(static_cast<uintptr_t>(rq.in<uint64_t>(8)));
    const uint64_t length = rq.in<uint64_t>(16);
    if (index >= card_->config.fpgas.size())
        return driverStatus(status::kVeltraInvalidIndex);
    if (flags != 0)
        return driverStatus(status::kVeltraInvalidFlag);
    if (data == nullptr && length != 0)
        return driverStatus(status::kVeltraInvalidBuffer);
    static constexpr uint8_t kSyncWord[4] = {0xAA, 0x99, 0x55, 0x66};
    bool synced =
        length >= 4 && std::search(data, data + length, kSyncWord, kSyncWord + 4) != data + length;
    // The design starts: its model may refuse the data, and a model that
    // could not be loaded never starts.
    if (synced && card_->configureFault(index))
        synced = false;
    if (synced)
        synced = card_->design().configure(index, data, length);
    card_->setConfigured(index, synced);
    if (!synced) {
        card_->raiseError(DeviceError::Configuration);
        return driverStatus(status::kVeltraHardwareError);
    }
    card_->raiseInterrupt();  // "configuration done"
    return Outcome::success();
}

Outcome VeltraContext::unconfigure(IoRequest& rq) {
    const uint32_t index = rq.in<uint32_t>(0);
    if (index >= card_->config.fpgas.size())
        return driverStatus(status::kVeltraInvalidIndex);
    if (rq.in<uint32_t>(4) != 0)
        return driverStatus(status::kVeltraInvalidFlag);
    card_->setConfigured(index, false);
    card_->design().unconfigure(index);
    return Outcome::success();
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
    Memory& memory = card_->windowMemory(index);
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

Memory* VeltraContext::regionMemory(uint32_t tag, uint32_t& error) {
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
    Memory* memory = regionMemory(tag, error);
    if (memory == nullptr)
        return Outcome::failure(driverError(error));
    if (length == 0 || !memory->contains(offset, length))
        return Outcome::failure(driverError(kMapBadRegion));
    if (length > kMaxMappingLength)
        return Outcome::failure(driverError(kMapTooLarge));
    const Memory::View view = memory->mapView(offset, length);
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
            Memory::unmapView(ended.view);
        io.complete(kErrorOperationAborted);
    });
    // A close or a cancel may have ended the request already (the handle
    // can close while this request is being answered): its view goes then.
    std::lock_guard guard(lock_);
    if (pending->completed())
        Memory::unmapView(view);
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
    Memory::unmapView(ended.view);
    ended.request->complete(kSuccess);
    return Outcome::success();
}

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
        Memory& memory = card_->commonBuffer(b);
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

// Record: the event handle, then the notification.
Outcome VeltraContext::registerEvent(IoRequest& rq) {
    if (const uint32_t error =
            card_->notifications().registerEvent(this, rq.in<uint64_t>(0), rq.in<uint32_t>(8)))
        return driverStatus(error);
    return Outcome::success();
}

Outcome VeltraContext::unregisterEvent(IoRequest& rq) {
    if (const uint32_t error =
            card_->notifications().unregisterEvent(this, rq.in<uint64_t>(0), rq.in<uint32_t>(8)))
        return driverStatus(error);
    return Outcome::success();
}

Outcome VeltraContext::waitNotification(IoRequest& rq) {
    return card_->notifications().wait(rq, this, rq.in<uint32_t>(0));
}

}  // namespace

std::unique_ptr<OpenContext> VeltraDevice::open(const OpenParams& params, uint32_t& error) {
    if (card_->removed()) {
        error = kErrorFileNotFound;
        return nullptr;
    }
    error = kSuccess;
    return std::make_unique<VeltraContext>(card_, params);
}

}  // namespace vsim::model
