#include "card/notifications.h"

#include <algorithm>

#include "card/driver_statuses.h"

namespace vsim::model {

// The card goes: outstanding waits end as cancelled, and the driver lets go
// of the events.
Notifications::~Notifications() {
    for (auto& w : waits_)
        w.request->complete(kErrorOperationAborted);
    for (auto& r : registrations_)
        if (Platform* p = platform())
            p->releaseEvent(r.token);
}

Outcome Notifications::wait(IoRequest& rq, const void* owner, uint32_t n) {
    // The request pends and joins the list under the lock, so that a cancel
    // from another thread, which may come as soon as it pends, finds it
    // listed. A cancelled wait leaves the list and ends.
    std::lock_guard guard(lock_);
    auto request = rq.pend(true, [this](PendingIo& io) {
        {
            std::lock_guard guard(lock_);
            std::erase_if(waits_, [&io](const Wait& w) { return w.request.get() == &io; });
        }
        io.complete(kErrorOperationAborted);
    });
    waits_.push_back({owner, n, std::move(request)});
    return Outcome::pending();
}

uint32_t Notifications::registerEvent(const void* owner, uint64_t event, uint32_t n) {
    std::lock_guard guard(lock_);
    for (const auto& r : registrations_)
        if (r.owner == owner && r.event == event && r.notification == n)
            return status::kVeltraBusy;
    Platform* p = platform();
    void* token = p != nullptr ? p->referenceEvent(event) : nullptr;
    if (token == nullptr)
        return status::kVeltraInvalidHandle;
    registrations_.push_back({owner, event, n, token});
    return 0;
}

uint32_t Notifications::unregisterEvent(const void* owner, uint64_t event, uint32_t n) {
    std::lock_guard guard(lock_);
    auto it =
        std::find_if(registrations_.begin(), registrations_.end(), [&](const Registration& r) {
            return r.owner == owner && r.event == event && r.notification == n;
        });
    if (it == registrations_.end())
        return status::kVeltraCancelFailed;
    platform()->releaseEvent(it->token);
    registrations_.erase(it);
    return 0;
}

void Notifications::raise(uint32_t n) {
    std::vector<std::shared_ptr<PendingIo>> ended;
    {
        std::lock_guard guard(lock_);
        for (auto it = waits_.begin(); it != waits_.end();) {
            if (it->notification == n) {
                ended.push_back(std::move(it->request));
                it = waits_.erase(it);
            } else {
                ++it;
            }
        }
        for (const auto& r : registrations_)
            if (r.notification == n)
                platform()->signalEvent(r.token);
    }
    for (auto& request : ended)
        request->complete(kSuccess);
}

void Notifications::endWaits(uint32_t error) {
    std::vector<Wait> ended;
    {
        std::lock_guard guard(lock_);
        ended.swap(waits_);
    }
    for (auto& w : ended)
        w.request->complete(error);
}

void Notifications::abandon(const void* owner) {
    std::lock_guard guard(lock_);
    for (auto it = registrations_.begin(); it != registrations_.end();) {
        if (it->owner == owner) {
            platform()->releaseEvent(it->token);
            it = registrations_.erase(it);
        } else {
            ++it;
        }
    }
}

}  // namespace vsim::model
