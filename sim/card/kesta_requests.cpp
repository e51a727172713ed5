// The bridge device of a card, as its KESTA interface answers.
#include "card/devices.h"
#include "machine/state_layout.h"
#include "card/request_codes.h"
#include "card/driver_statuses.h"

namespace vsim::model {
namespace {

// Open flags the driver understands: bit 0 says that flags are present.
constexpr uint32_t kKnownOpenFlags = 0x1;
// IPROG flags: bit 0 reconfigure at the next reset, bit 1 fall back to the
// golden image if the new one fails.
constexpr uint32_t kKnownIprogFlags = 0x3;
constexpr uint32_t kIprogSlots = 2;

class KestaContext : public OpenContext {
  public:
    explicit KestaContext(std::shared_ptr<Card> card) : card_(std::move(card)) {}

    Outcome control(IoRequest& rq) override;

  private:
    struct Handler {
        uint32_t code;
        uint32_t minIn;
        uint32_t minOut;
        Outcome (KestaContext::*answer)(IoRequest&);
    };
    static const Handler kHandlers[];

    Outcome setOpenFlags(IoRequest& rq) {
        if (rq.in<uint32_t>(0) & ~kKnownOpenFlags)
            return driverStatus(status::kKestaInvalidFlag);
        return Outcome::success();
    }

    // Reply: test date, station, passes, retries, test program version and
    // the checksum of the test record.
    Outcome prodTestInfo(IoRequest& rq) {
        const BridgeConfig& b = card_->config.bridge;
        rq.out<uint32_t>(0, b.testDate);
        rq.out<uint8_t>(4, b.testStation);
        rq.out<uint8_t>(5, b.testPasses);
        rq.out<uint8_t>(6, b.testRetries);
        rq.out<uint32_t>(8, b.testProgram);
        rq.out<uint32_t>(12, b.testChecksum);
        return Outcome::success(16);
    }

    Outcome serviceIrq(IoRequest& rq) {
        rq.out<uint32_t>(0, card_->takeInterrupt() ? 1 : 0);
        return Outcome::success(4);
    }

    Outcome uniqueId(IoRequest& rq) {
        const uint64_t id = card_->config.bridge.uniqueId;
        rq.out<uint32_t>(0, static_cast<uint32_t>(id));
        rq.out<uint32_t>(4, static_cast<uint32_t>(id >> 32));
        return Outcome::success(8);
    }

    Outcome scheduleIprog(IoRequest& rq) {
        const uint64_t address = rq.in<uint64_t>(0);
        const uint32_t index = rq.in<uint32_t>(8);
        const uint32_t flags = rq.in<uint32_t>(12);
        if (index >= kIprogSlots)
            return driverStatus(status::kKestaInvalidIndex);
        if (flags & ~kKnownIprogFlags)
            return driverStatus(status::kKestaInvalidFlag);
        if (address >= card_->config.bridge.flashSize || address % 4 != 0)
            return driverStatus(status::kKestaInvalidParameter);
        auto guard = card_->lockMachine();
        Iprog& slot = card_->iprog(index);
        if (slot.state == kIprogScheduled)
            return driverStatus(status::kKestaWrongMode);
        slot = {kIprogScheduled, flags, address, rq.in<uint32_t>(16), 0};
        return Outcome::success();
    }

    Outcome abortIprog(IoRequest& rq) {
        const uint32_t index = rq.in<uint32_t>(0);
        if (index >= kIprogSlots)
            return driverStatus(status::kKestaInvalidIndex);
        auto guard = card_->lockMachine();
        Iprog& slot = card_->iprog(index);
        if (slot.state != kIprogScheduled)
            return driverStatus(status::kKestaWrongMode);
        slot.state = kIprogAborted;
        return Outcome::success();
    }

    // Reply: address, state (0 idle, 1 scheduled, 2 aborted), value.
    Outcome statusIprog(IoRequest& rq) {
        const uint32_t index = rq.in<uint32_t>(0);
        if (index >= kIprogSlots)
            return driverStatus(status::kKestaInvalidIndex);
        auto guard = card_->lockMachine();
        const Iprog& slot = card_->iprog(index);
        rq.out<uint64_t>(0, slot.address);
        rq.out<uint32_t>(8, slot.state);
        rq.out<uint32_t>(12, slot.value);
        return Outcome::success(16);
    }

    std::shared_ptr<Card> card_;
};

const KestaContext::Handler KestaContext::kHandlers[] = {
    {ioctl::kesta::kSetOpenFlags, 4, 0, &KestaContext::setOpenFlags},
    {ioctl::kesta::kGetProdTestInfo, 0, 16, &KestaContext::prodTestInfo},
    {ioctl::kesta::kServiceIrq, 0, 4, &KestaContext::serviceIrq},
    {ioctl::kesta::kGetUniqueId, 0, 8, &KestaContext::uniqueId},
    {ioctl::kesta::kAbortIprog, 4, 0, &KestaContext::abortIprog},
    {ioctl::kesta::kScheduleIprog, 24, 0, &KestaContext::scheduleIprog},
    {ioctl::kesta::kStatusIprog, 4, 16, &KestaContext::statusIprog},
};

Outcome KestaContext::control(IoRequest& rq) {
    try {
        if (const uint32_t error = card_->requestFault())
            return Outcome::failure(error);
        return answerFromTable(kHandlers, rq,
                               [&](const Handler& h) { return (this->*h.answer)(rq); })
            .value_or(Outcome::failure(kErrorInvalidFunction));
    } catch (const std::bad_alloc&) {
        return driverStatus(status::kKestaNoMemory);
    }
}

}  // namespace

std::unique_ptr<OpenContext> KestaDevice::open(const OpenParams&, uint32_t& error) {
    if (card_->removed()) {
        error = kErrorFileNotFound;
        return nullptr;
    }
    error = kSuccess;
    return std::make_unique<KestaContext>(card_);
}

}  // namespace vsim::model
