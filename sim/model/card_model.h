// The default simulated machine: cards with their VELTRA and KESTA device
// interfaces. Each card's state is shared by every handle opened on it.
#pragma once

#include <atomic>

#include "vsim/driver.h"

namespace vsim::model {

// Request codes: request n is 0x222004 + 8n; three codes stand outside.
constexpr uint32_t requestCode(uint32_t n) {
    return 0x222004u + 8u * n;
}
inline constexpr uint32_t kVeltraCancel = 0x222808;
inline constexpr uint32_t kVeltraMapPending = 0x22280E;
inline constexpr uint32_t kVeltraUnmap = 0x222810;

struct Card {
    explicit Card(uint32_t index) : index(index) {}
    const uint32_t index;
    std::atomic<uint32_t> openHandles{0};
};

class VeltraDevice : public Device {
  public:
    explicit VeltraDevice(std::shared_ptr<Card> card) : card_(std::move(card)) {}
    std::unique_ptr<OpenContext> open(const OpenParams& params, uint32_t& error) override;

  private:
    std::shared_ptr<Card> card_;
};

class KestaDevice : public Device {
  public:
    explicit KestaDevice(std::shared_ptr<Card> card) : card_(std::move(card)) {}
    std::unique_ptr<OpenContext> open(const OpenParams& params, uint32_t& error) override;

  private:
    std::shared_ptr<Card> card_;
};

// A machine with `cards` cards, each exposing one VELTRA and one KESTA
// interface at its index.
std::shared_ptr<Machine> makeMachine(uint32_t cards);

}  // namespace vsim::model
