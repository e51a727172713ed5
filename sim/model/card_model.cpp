#include "card_model.h"

#include "statuses.h"

namespace vsim {

std::shared_ptr<Machine> makeDefaultMachine() {
    return model::makeMachine(2);
}

namespace model {

namespace {

// Open flags the driver understands: bit 0 says that flags are present.
constexpr uint32_t kKnownOpenFlags = 0x1;

class VeltraContext : public OpenContext {
  public:
    VeltraContext(std::shared_ptr<Card> card, const OpenParams& params)
        : card_(std::move(card)), params_(params) {
        ++card_->openHandles;
    }
    ~VeltraContext() override { --card_->openHandles; }

    Outcome control(IoRequest& rq) override {
        switch (rq.code()) {
            case requestCode(30):
                return setOpenFlags(rq);
            case kVeltraCancel:
                return cancel(rq);
            default:
                return Outcome::failure(kErrorInvalidFunction);
        }
    }

  private:
    Outcome setOpenFlags(IoRequest& rq) {
        if (rq.inSize() < 4)
            return Outcome::failure(kErrorInvalidParameter);
        const uint32_t flags = rq.in<uint32_t>(0);
        if (flags & ~kKnownOpenFlags)
            return Outcome::failure(driverError(status::kVeltraInvalidFlag));
        openFlags_ = flags;
        return Outcome::success();
    }

    Outcome cancel(IoRequest& rq) {
        if (rq.handle().cancelPending() == 0)
            return Outcome::failure(driverError(status::kVeltraCancelFailed));
        return Outcome::success();
    }

    std::shared_ptr<Card> card_;
    OpenParams params_;
    uint32_t openFlags_ = 0;
};

class KestaContext : public OpenContext {
  public:
    explicit KestaContext(std::shared_ptr<Card> card) : card_(std::move(card)) {}

    Outcome control(IoRequest& rq) override {
        switch (rq.code()) {
            case requestCode(2):
                return setOpenFlags(rq);
            default:
                return Outcome::failure(kErrorInvalidFunction);
        }
    }

  private:
    Outcome setOpenFlags(IoRequest& rq) {
        if (rq.inSize() < 4)
            return Outcome::failure(kErrorInvalidParameter);
        const uint32_t flags = rq.in<uint32_t>(0);
        if (flags & ~kKnownOpenFlags)
            return Outcome::failure(driverError(status::kKestaInvalidFlag));
        return Outcome::success();
    }

    std::shared_ptr<Card> card_;
};

}  // namespace

std::unique_ptr<OpenContext> VeltraDevice::open(const OpenParams& params, uint32_t& error) {
    error = kSuccess;
    return std::make_unique<VeltraContext>(card_, params);
}

std::unique_ptr<OpenContext> KestaDevice::open(const OpenParams& params, uint32_t& error) {
    error = kSuccess;
    (void)params;
    return std::make_unique<KestaContext>(card_);
}

std::shared_ptr<Machine> makeMachine(uint32_t cards) {
    auto machine = std::make_shared<Machine>();
    for (uint32_t i = 0; i < cards; ++i) {
        auto card = std::make_shared<Card>(i);
        machine->add(kVeltraInterface, "veltra", std::make_shared<VeltraDevice>(card));
        machine->add(kKestaInterface, "kesta", std::make_shared<KestaDevice>(card));
    }
    return machine;
}

}  // namespace model
}  // namespace vsim
