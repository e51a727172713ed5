// A card's board services: flash, VPD, clock generators, sensors and the
// device-error status. Each answers one request from the card's state.
#pragma once

#include "card/card.h"
#include "vsim/driver.h"

namespace vsim::model::board {

Outcome flashInfo(Card& card, IoRequest& rq);
Outcome flashBlockInfo(Card& card, IoRequest& rq);
Outcome eraseFlash(Card& card, IoRequest& rq);
Outcome readFlash(Card& card, IoRequest& rq);
Outcome writeFlash(Card& card, IoRequest& rq);
Outcome syncFlash(Card& card, IoRequest& rq);
Outcome readVpd(Card& card, IoRequest& rq);
Outcome writeVpd(Card& card, IoRequest& rq);
Outcome clockFrequency(Card& card, IoRequest& rq);
Outcome setClockFrequency(Card& card, IoRequest& rq);
Outcome sensorInfo(Card& card, IoRequest& rq);
Outcome readSensor(Card& card, IoRequest& rq);
Outcome deviceStatus(Card& card, IoRequest& rq);
Outcome clearDeviceErrors(Card& card, IoRequest& rq);

}  // namespace vsim::model::board
