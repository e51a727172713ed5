// A handle of a card's VELTRA interface: the requests of the card API,
// answered from the card's configuration and memory. The answers are split
// by area, as the library is: information (veltra_requests.cpp), windows
// and mappings, FPGAs, DMA, and notifications; the board services answer
// from the card's board state alone (board_services.cpp).
#pragma once

#include <memory>
#include <mutex>
#include <vector>

#include "card/card.h"
#include "card/driver_statuses.h"
#include "vsim/driver.h"

namespace vsim::model {

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
    Region* regionOf(uint32_t tag, uint32_t& error);

    struct Mapping {
        uint64_t address;
        Region::View view;
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

}  // namespace vsim::model
