// A card's VELTRA interface: the table of its requests, the handle's own
// requests and the card's information.
#include <algorithm>
#include <cstring>

#include "card/board_services.h"
#include "card/devices.h"
#include "card/request_codes.h"
#include "card/veltra_context.h"
#include "card/dma_engine.h"
#include "card/notifications.h"

namespace vsim::model {

namespace {

// Open flags the driver understands: bit 0 says that flags are present.
constexpr uint32_t kKnownOpenFlags = 0x1;

}  // namespace

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

namespace {

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

}  // namespace

// A card that is gone answers nothing; the board services come first, then
// the card's own requests.
// Memory that the driver cannot have is the driver's failure to report, as
// the library names it, never the end of the process.
Outcome VeltraContext::control(IoRequest& rq) {
    try {
        if (const uint32_t error = card_->requestFault())
            return Outcome::failure(error);
        if (auto outcome = answerFromTable(
                kBoardHandlers, rq, [&](const BoardHandler& h) { return h.answer(*card_, rq); }))
            return *outcome;
        return answerFromTable(kHandlers, rq,
                               [&](const Handler& h) { return (this->*h.answer)(rq); })
            .value_or(Outcome::failure(kErrorInvalidFunction));
    } catch (const std::bad_alloc&) {
        return driverStatus(status::kVeltraNoMemory);
    }
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
        Region::unmapView(m.view);
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

std::unique_ptr<OpenContext> VeltraDevice::open(const OpenParams& params, uint32_t& error) {
    if (card_->removed()) {
        error = kErrorFileNotFound;
        return nullptr;
    }
    error = kSuccess;
    return std::make_unique<VeltraContext>(card_, params);
}

}  // namespace vsim::model
