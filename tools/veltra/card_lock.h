// One writer per card for the whole host, and the card's note of its flash
// updates.
//
// The lock covers every change the tool makes to a card's non-volatile or
// configured state: `flash write`, `flash erase`, `flash recover`,
// `vpd write` and `program` hold it from before their first check of the
// card until they are done, so two of them, from any users, sessions or
// runtime folders, never change one card at once. It does not cover the
// library calls of other programs, nor the tool's commands that change only
// volatile state (`clock set`, `reg write`, `dma write`, `bridge iprog`).
// Where it lives:
// - Linux (every card is simulated): an flock on `veltra-card-SERIAL.lock`
//   in the simulated machine's state folder, which belongs to its user
//   alone; a machine private to the process keeps it in the process.
// - Windows: a mutex `Global\veltra-card-SERIAL` (with the simulated
//   machine's key after the serial on the simulator) made with an access
//   list of its own: administrators and SYSTEM may do anything with it, and,
//   when the user running the tool is not an administrator, interactive
//   users may wait for it and hold it, nothing more. A mutex the tool cannot
//   make or open is refused: there is no lock of a session's own to fall
//   back to.
//
// Beside the lock lives the card's note of its flash updates (Linux: the
// machine's state folder; Windows: %ProgramData%\VELTRA): the generation of
// its last update and, while that did not finish, the recovery file that
// finishes it (its path, size and SHA-256) and the range it erases. While an
// update is pending every change to the card's flash is refused, whether or
// not its recovery file is still there.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "files.h"
#include "sha256.h"

namespace tool {

class Card;

struct UpdateNote {
    enum class State { None, Pending, Finished, Abandoned };
    uint64_t generation = 0;  // of the last update begun; the next is one more
    State state = State::None;
    uint32_t flash = 0;
    uint64_t eraseStart = 0, eraseEnd = 0;
    std::string recoveryFile;
    uint64_t recoverySize = 0;
    Digest recoveryDigest{};
    Digest dataDigest{};  // of the new data the update writes
    // Why the note cannot be trusted ("" if it can): the card is then
    // treated as having an update pending.
    std::string problem;

    bool pending() const { return state == State::Pending; }
};

// Where a card's lock, note and recovery files are kept.
class CardPlace {
  public:
    explicit CardPlace(uint32_t serial);

    // Whether the card keeps notes and recovery files at all: not on a
    // simulated machine that ends with this process.
    bool keepsNotes() const { return !notes_.empty(); }
    // "00A1B2C3", and on the simulator of Windows the machine's key after it.
    const std::string& key() const { return key_; }
    UpdateNote note() const;
    void writeNote(const UpdateNote& note) const;
    // The folder recovery files go to unless --recovery names one; made (for
    // this user alone) when it is not there.
    std::string recoveryFolder() const;
    // Where the lock is: a file, a mutex's name, or "" for the process.
    std::string lockName() const;

    std::string notePath() const;

  private:
    std::string notes_;  // the folder of the note; "" for none
    std::string key_;
};

// The update of the card that did not finish, if one did not, for the
// commands that only look (status, info, flash read and verify, the
// exporter).
std::optional<UpdateNote> pendingUpdate(const Card& card);
// "an update of the flash of card 0 (serial 0x00A1B2C3) did not finish;
// `veltra flash recover -c serial:0x00A1B2C3 FILE` finishes it".
std::string pendingText(const Card& card, const UpdateNote& note);
// Says so on stderr ("veltra: warning: ...") when the card has an update
// pending.
void warnOfPendingUpdate(const Card& card);
// The pending update as JSON (`pendingUpdate` of the tool's documents):
// null when there is none.
nlohmann::ordered_json pendingUpdateJson(const Card& card);

// Whether a card has an update pending, asked again and again (the
// exporter's scrapes): the note is read again only when it changed.
class PendingWatch {
  public:
    explicit PendingWatch(uint32_t serial) : place_(serial) {}
    bool pending();

  private:
    CardPlace place_;
    FileStamp stamp_;
    bool pending_ = false;
};

class CardLock {
  public:
    // Takes the card's lock; `wait` waits for another holder to let go,
    // otherwise a Failure names that holder.
    CardLock(const Card& card, bool wait);
    ~CardLock();
    CardLock(const CardLock&) = delete;
    CardLock& operator=(const CardLock&) = delete;

    const CardPlace& place() const { return place_; }
    // Refuses (a Failure naming the recovery file and the command that
    // finishes the update) while an update of the card's flash is pending.
    void refuseUnfinishedUpdate(const std::string& selection) const;

  private:
    void acquire(bool wait);
    std::string describeHolder() const;

    const Card& card_;
    CardPlace place_;
    intptr_t lock_ = -1;
    [[maybe_unused]] intptr_t holder_ = -1;  // Windows: the shared record of its holder
    bool inProcess_ = false;
};

}  // namespace tool
