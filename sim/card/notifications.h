// A card's notifications: waits that end when a notification is raised, and
// application events that the driver signals for a notification.
#pragma once

#include <memory>
#include <mutex>
#include <vector>

#include "vsim/driver.h"

namespace vsim::model {

class Notifications {
  public:
    Notifications() = default;
    ~Notifications();
    Notifications(const Notifications&) = delete;
    Notifications& operator=(const Notifications&) = delete;

    // Leaves the request pending until notification `n` is raised.
    Outcome wait(IoRequest& rq, const void* owner, uint32_t n);
    // Both return a driver status code, or 0.
    uint32_t registerEvent(const void* owner, uint64_t event, uint32_t n);
    uint32_t unregisterEvent(const void* owner, uint64_t event, uint32_t n);
    // Ends every wait for `n` and signals every event registered for it.
    void raise(uint32_t n);
    // A handle closes: its registrations go (its waits end with the handle).
    void abandon(const void* owner);
    // The card is gone: every wait ends with `error`.
    void endWaits(uint32_t error);

  private:
    struct Wait {
        const void* owner;
        uint32_t notification;
        std::shared_ptr<PendingIo> request;
    };
    struct Registration {
        const void* owner;
        uint64_t event;
        uint32_t notification;
        void* token;  // the driver's own reference to the event
    };

    std::mutex lock_;
    std::vector<Wait> waits_;
    std::vector<Registration> registrations_;
};

}  // namespace vsim::model
