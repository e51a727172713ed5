// The bridge device of a card, as its KESTA interface answers.
#include "card_model.h"
#include "statuses.h"

namespace vsim::model {
namespace {

// Open flags the driver understands: bit 0 says that flags are present.
constexpr uint32_t kKnownOpenFlags = 0x1;

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
        if (rq.in<uint32_t>(0) & ~kKnownOpenFlags)
            return Outcome::failure(driverError(status::kKestaInvalidFlag));
        return Outcome::success();
    }

    std::shared_ptr<Card> card_;
};

}  // namespace

std::unique_ptr<OpenContext> KestaDevice::open(const OpenParams&, uint32_t& error) {
    error = kSuccess;
    return std::make_unique<KestaContext>(card_);
}

}  // namespace vsim::model
