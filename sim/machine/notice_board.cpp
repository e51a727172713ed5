#include "machine/notice_board.h"

#include <atomic>
#include <chrono>

#include "card/card.h"
#include "card/notifications.h"
#include "machine/machine_lock.h"
#include "machine/wakeups.h"

namespace vsim::model {

// What the watching thread uses; it may outlive the board by one round when
// the board goes on that very thread.
struct NoticeBoard::Watch {
    Watch(std::shared_ptr<Store> store, std::shared_ptr<MachineLock> lock, Notices& notices)
        : store(std::move(store)),
          lock(std::move(lock)),
          notices(&notices),
          wakeups(this->store->path(), *this->lock, notices.count, notices.watchers, kMaxWatchers) {
    }
    std::shared_ptr<Store> store;  // holds the notices
    std::shared_ptr<MachineLock> lock;
    Notices* notices;
    Wakeups wakeups;
    uint32_t self = 0;  // names this board's notices, and its watcher
    std::vector<std::weak_ptr<Card>> cards;
    std::atomic<bool> stopping{false};
};

namespace {

// An identity no other board of any process is likely to have, never 0.
uint32_t boardIdentity(const void* board) {
    uint64_t x =
        static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
        reinterpret_cast<uintptr_t>(board);
    x = (x ^ (x >> 33)) * 0xFF51AFD7ED558CCDull;
    x ^= x >> 33;
    const auto id = static_cast<uint32_t>(x);
    return id != 0 ? id : 1;
}

constexpr int kWatchMilliseconds = 500;

}  // namespace

NoticeBoard::NoticeBoard(std::shared_ptr<Store> store, std::shared_ptr<MachineLock> lock,
                         Notices& notices)
    : watch_(std::make_shared<Watch>(std::move(store), std::move(lock), notices)) {
    watch_->self = boardIdentity(this);
}

NoticeBoard::~NoticeBoard() {
    Watch& w = *watch_;
    w.stopping.store(true);
    w.wakeups.wake(0);
    if (thread_.joinable()) {
        if (thread_.get_id() == std::this_thread::get_id())
            thread_.detach();
        else
            thread_.join();
    }
    w.wakeups.leave(w.self);
}

void NoticeBoard::watch(std::vector<std::weak_ptr<Card>> cards) {
    watch_->cards = std::move(cards);
    watch_->wakeups.join(watch_->self);
    // From now on: what is raised while the thread starts is not missed.
    const uint32_t seen = watch_->notices->count.load(std::memory_order_acquire);
    thread_ = std::thread([watch = watch_, seen] { run(watch, seen); });
}

void NoticeBoard::publish(uint32_t card, uint32_t notification) {
    Watch& w = *watch_;
    Notices& n = *w.notices;
    {
        MachineLock::Guard guard(*w.lock);
        const uint32_t at = n.count.load(std::memory_order_relaxed);
        Notice& notice = n.ring[at % kNoticeRing];
        // Marked as being rewritten first: each field's release store keeps the
        // mark before it, for a reader whose acquire load sees the new field.
        notice.sequence.store(0, std::memory_order_relaxed);
        notice.card.store(card, std::memory_order_release);
        notice.notification.store(notification, std::memory_order_release);
        notice.origin.store(w.self, std::memory_order_release);
        notice.sequence.store(at + 1, std::memory_order_release);
        n.count.store(at + 1, std::memory_order_release);
    }
    w.wakeups.wake(w.self);
}

// Raises on this process's cards what the others raised. A watcher that
// falls more than the ring behind misses the oldest notices.
void NoticeBoard::run(const std::shared_ptr<Watch>& watch, uint32_t seen) {
    Notices& n = *watch->notices;
    while (!watch->stopping.load()) {
        watch->wakeups.await(seen, watch->self, kWatchMilliseconds);
        const uint32_t now = n.count.load(std::memory_order_acquire);
        if (now - seen > kNoticeRing)
            seen = now - static_cast<uint32_t>(kNoticeRing);
        for (; seen != now && !watch->stopping.load(); ++seen) {
            // A notice rewritten while it is read (its writer went round the
            // ring past this reader) is skipped, never taken half old, half new.
            const Notice& notice = n.ring[seen % kNoticeRing];
            if (notice.sequence.load(std::memory_order_acquire) != seen + 1)
                continue;
            const uint32_t origin = notice.origin.load(std::memory_order_acquire);
            const uint32_t card = notice.card.load(std::memory_order_acquire);
            const uint32_t number = notice.notification.load(std::memory_order_acquire);
            if (notice.sequence.load(std::memory_order_relaxed) != seen + 1 ||
                origin == watch->self || card >= watch->cards.size())
                continue;
            if (auto c = watch->cards[card].lock())
                c->notifications().raise(number);
        }
    }
}

}  // namespace vsim::model
