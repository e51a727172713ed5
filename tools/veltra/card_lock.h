// One writer per card. The commands that change a card's flash, VPD or FPGA
// take a lock that every process on the host sees, keyed by the card's
// serial: on Linux an flock on a file in the user's runtime folder, on
// Windows a named mutex (Global\ where the process may make one, else
// Local\). On the simulated machine the lock belongs to the machine's state
// folder, so that machines of other folders do not share it; a machine
// private to this process needs none.
//
// Beside the lock the card has a note of an update that did not finish: the
// recovery file that finishes it. A new change of the card is refused while
// the note names a recovery file that is there.
#pragma once

#include <cstdint>
#include <string>

namespace tool {

class Card;

class CardLock {
  public:
    // Takes the card's lock; `wait` waits for another holder to let go,
    // otherwise a Failure names that holder.
    CardLock(const Card& card, bool wait);
    ~CardLock();
    CardLock(const CardLock&) = delete;
    CardLock& operator=(const CardLock&) = delete;

    // Refuses (a Failure naming the recovery file and the command that
    // finishes it) while an earlier update of the card did not finish.
    void refuseUnfinishedUpdate(const std::string& selection) const;
    // Whether the card has a lock and a note at all: not on a simulated
    // machine that ends with this process, which needs no recovery file.
    bool keepsNotes() const { return !folder_.empty(); }
    // The note of the update under way: its recovery file, or none.
    std::string unfinishedUpdate() const;
    void noteUnfinishedUpdate(const std::string& recoveryFile) const;
    void clearUnfinishedUpdate() const;

  private:
    void acquire(bool wait);
    std::string describeHolder() const;
    std::string notePath() const;

    const Card& card_;
    std::string folder_;   // where the lock and the note live; "" for none
    std::string name_;     // veltra-card-SERIAL
    std::string objects_;  // Windows: the name of its kernel objects, without the namespace
    intptr_t lock_ = -1;
    [[maybe_unused]] intptr_t holder_ = -1;  // Windows: the shared record of its holder
};

}  // namespace tool
