// Controls of the simulated cards of the current machine, for tests and
// tools. Each returns false if the machine has no such card (or channel).
#pragma once

#include <cstdint>

#include "vsim/driver.h"

namespace vsim {

// Holds a DMA channel after the transfer it is moving (queued transfers stay
// queued, and Start requests stay pending), or lets it go on.
VSIM_API bool pauseDmaChannel(uint32_t card, uint32_t channel, bool paused);
// Raises a notification, as the card's doorbell does.
VSIM_API bool raiseNotification(uint32_t card, uint32_t notification);

}  // namespace vsim
