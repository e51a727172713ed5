// The two device interfaces of a card, VELTRA and KESTA, which answer the
// libraries' requests as the KESTA driver does.
#pragma once

#include <optional>

#include "card/card.h"
#include "vsim/driver.h"

namespace vsim::model {

// The small failure codes of the two mapping requests.
inline constexpr uint32_t kMapBadRegion = 1;
inline constexpr uint32_t kMapBadIndex = 2;
inline constexpr uint32_t kMapNoMemory = 3;
inline constexpr uint32_t kMapTooLarge = 4;

// Region tags of the mapping request: a window index, or this plus a
// common-buffer index.
inline constexpr uint32_t kCommonBufferTag = 0x10000000;

// Answers a request from a table of handlers (code, smallest input and
// output, answer): `answer` is called with the entry for the request's code,
// unless the request's buffers are too small for its record, which the driver
// refuses (STATUS_INVALID_PARAMETER). Nothing if the table lacks the code.
template <typename Table, typename Answer>
std::optional<Outcome> answerFromTable(const Table& table, IoRequest& rq, Answer answer) {
    for (const auto& h : table) {
        if (h.code != rq.code())
            continue;
        if (rq.inSize() < h.minIn || rq.outSize() < h.minOut)
            return Outcome::failure(kErrorInvalidParameter);
        return answer(h);
    }
    return std::nullopt;
}

class VeltraDevice : public Device {
  public:
    explicit VeltraDevice(std::shared_ptr<Card> card) : card_(std::move(card)) {}
    std::unique_ptr<OpenContext> open(const OpenParams& params, uint32_t& error) override;
    std::string describe(const IoRequest& request) const override;
    bool present() const override { return !card_->removed(); }

  private:
    std::shared_ptr<Card> card_;
};

class KestaDevice : public Device {
  public:
    explicit KestaDevice(std::shared_ptr<Card> card) : card_(std::move(card)) {}
    std::unique_ptr<OpenContext> open(const OpenParams& params, uint32_t& error) override;
    std::string describe(const IoRequest& request) const override;
    bool present() const override { return !card_->removed(); }

  private:
    std::shared_ptr<Card> card_;
};

// The name of a driver status code, for the request trace; null if unknown.
const char* driverStatusName(uint32_t code);

}  // namespace vsim::model
