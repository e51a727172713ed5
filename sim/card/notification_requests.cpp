// A card's notifications, as its VELTRA interface answers: events that a
// notification signals, and waits that it ends.
#include "card/notifications.h"
#include "card/veltra_context.h"

namespace vsim::model {

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

}  // namespace vsim::model
