#include "flash_update.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "card_lock.h"
#include "cards.h"
#include "errors.h"
#include "files.h"
#include "interrupts.h"
#include "output.h"
#include "records.h"
#include "text.h"

namespace tool {

namespace {

// Requests move at most this much, and a stretch of blocks erased and
// written together is about as long: how long an interrupt waits.
constexpr uint64_t kChunk = uint64_t{1} << 20;

constexpr char kAnnounce[] =
    "veltra: interrupted: the flash update stops once the block being written is whole\n";

// What the erased blocks hold when the update is done: what they held
// before the range, the new data, what they held after it.
struct Image {
    uint64_t start = 0;
    std::span<const uint8_t> parts[3];  // head, data, tail
    uint64_t size() const { return parts[0].size() + parts[1].size() + parts[2].size(); }
    uint64_t end() const { return start + size(); }
    // The bytes from chip offset `at` up to `limit` that lie in one part.
    std::span<const uint8_t> piece(uint64_t at, uint64_t limit) const {
        uint64_t from = at - start;
        for (const auto& part : parts) {
            if (from < part.size())
                return part.subspan(static_cast<size_t>(from),
                                    static_cast<size_t>(std::min(part.size() - from, limit)));
            from -= part.size();
        }
        return {};
    }
};

// Writes the image from `at` to `end`, a piece of one part at a time.
void writeImage(const Card& card, const Chip& chip, const Image& image, uint64_t at, uint64_t end) {
    while (at < end) {
        const std::span<const uint8_t> piece = image.piece(at, std::min(kChunk, end - at));
        check(VELTRA_WriteFlash(card.handle(), chip.index, 0, at, piece.size(), piece.data()),
              format("cannot write %s at %s", chipName(card, chip).c_str(), hex(at).c_str()));
        at += piece.size();
    }
}

// The end of the stretch of whole blocks from `at` that is erased and
// written at once: at least one block, at most about a chunk.
uint64_t stretchEnd(const Card& card, const Chip& chip, uint64_t at, uint64_t end) {
    uint64_t stretch = blockAt(card, chip, at).end();
    while (stretch < end && stretch - at < kChunk)
        stretch = blockAt(card, chip, stretch).end();
    return stretch;
}

// Erases and writes the image a stretch of blocks at a time. An interrupt
// is acted on between stretches, when every block is whole.
void applyImage(const Card& card, const Chip& chip, const Image& image, bool showProgress) {
    Progress progress("writing", image.size(), showProgress);
    for (uint64_t at = image.start; at < image.end();) {
        if (interrupts::requested()) {
            VELTRA_SyncFlash(card.handle(), chip.index, 0);  // the blocks written are whole
            throw Interrupted(format("interrupted: %s holds the update's bytes up to %s",
                                     chipName(card, chip).c_str(), hex(at).c_str()));
        }
        const uint64_t end = stretchEnd(card, chip, at, image.end());
        check(VELTRA_EraseFlash(card.handle(), chip.index, 0, at, end - at),
              format("cannot erase %s from %s to %s", chipName(card, chip).c_str(), hex(at).c_str(),
                     hex(end).c_str()));
        writeImage(card, chip, image, at, end);
        at = end;
        progress.update(at - image.start);
    }
    check(VELTRA_SyncFlash(card.handle(), chip.index, 0),
          "cannot finish writing " + chipName(card, chip));
    progress.finish();
}

FlashComparison compareImage(const Card& card, const Chip& chip, const Image& image,
                             bool showProgress, bool interruptible) {
    Progress progress("verifying", image.size(), showProgress);
    std::vector<uint8_t> back(static_cast<size_t>(std::min(kChunk, image.size())));
    FlashComparison result;
    for (uint64_t at = image.start; at < image.end();) {
        if (interruptible && interrupts::requested())
            throw Interrupted("interrupted while the update was verified");
        const std::span<const uint8_t> piece = image.piece(at, kChunk);
        readFlash(card, chip, at, std::span(back).first(piece.size()));
        if (std::memcmp(back.data(), piece.data(), piece.size()) != 0)
            for (size_t i = 0; i < piece.size(); ++i)
                if (back[i] != piece[i] && result.differing++ == 0)
                    result.first = at + i;
        at += piece.size();
        progress.update(at - image.start);
    }
    progress.finish();
    return result;
}

void verifyImage(const Card& card, const Chip& chip, const Image& image, bool showProgress) {
    const FlashComparison c = compareImage(card, chip, image, showProgress, true);
    if (c.differing != 0)
        throw Failure(
            format("%s does not read back as written: %llu of %llu bytes differ, the "
                   "first at %s",
                   chipName(card, chip).c_str(), static_cast<unsigned long long>(c.differing),
                   static_cast<unsigned long long>(image.size()), hex(c.first).c_str()));
}

// Appends how to finish the update to the message of whatever stops it.
template <typename Work>
void finishableBy(const std::string& recoverWith, Work work) {
    try {
        work();
    } catch (const Failure& failure) {
        throw Failure(failure.what() + recoverWith);
    } catch (const Interrupted& interrupted) {
        if (recoverWith.empty())
            throw;
        throw Interrupted(interrupted.what() + recoverWith);
    }
}

std::string recoverCommand(const std::string& selection, const std::string& recoveryFile) {
    if (recoveryFile.empty())
        return "";
    return format("; `veltra flash recover -c %s %s` finishes the update", selection.c_str(),
                  recoveryFile.c_str());
}

// What the update needs that only the card has: the bytes of the touched
// blocks outside the range.
Recovery planUpdate(const Card& card, const Chip& chip, const FlashUpdate& u) {
    Recovery r;
    r.serial = card.serial();
    r.flash = chip.index;
    r.offset = u.offset;
    r.length = u.data.size();
    r.eraseStart = blockAt(card, chip, u.offset).start;
    r.eraseEnd = blockAt(card, chip, u.offset + u.data.size() - 1).end();
    r.head.resize(static_cast<size_t>(u.offset - r.eraseStart));
    r.tail.resize(static_cast<size_t>(r.eraseEnd - (u.offset + u.data.size())));
    readFlash(card, chip, r.eraseStart, r.head);
    readFlash(card, chip, u.offset + u.data.size(), r.tail);
    r.input = absolutePath(u.input);
    return r;
}

// The update is done: its recovery file goes, and the card's note of an
// unfinished update if the note names that file (and no other update's).
void forgetRecovery(const CardLock& lock, const std::string& recoveryFile) {
    if (recoveryFile.empty())
        return;
    std::remove(recoveryFile.c_str());
    if (samePathName(lock.unfinishedUpdate(), absolutePath(recoveryFile)))
        lock.clearUnfinishedUpdate();
}

// Without a full verify, what only the recovery file held (the bytes of the
// touched blocks outside the range) is still read back before it goes.
void verifyKept(const Card& card, const Chip& chip, const Image& image) {
    const Image head{image.start, {image.parts[0], {}, {}}};
    const Image tail{image.start + image.parts[0].size() + image.parts[1].size(),
                     {image.parts[2], {}, {}}};
    verifyImage(card, chip, head, false);
    verifyImage(card, chip, tail, false);
}

// A whole recovery file at the path is an earlier update's that did not
// finish: it holds the only copy of bytes that update erased.
void refuseEarlierRecovery(const std::string& recoveryFile, const std::string& selection) {
    if (!fileExists(recoveryFile))
        return;
    try {
        readRecovery(recoveryFile);
    } catch (const DamagedRecovery&) {
        return;  // not whole: its writer never renamed it into place, and erased nothing
    } catch (const Failure&) {
        // unreadable, or of another version: still perhaps the only copy
    }
    throw Failure(
        format("%s is there: an earlier update did not finish; `veltra flash recover "
               "-c %s %s` finishes it; nothing changed",
               recoveryFile.c_str(), selection.c_str(), recoveryFile.c_str()));
}

}  // namespace

FlashComparison compareFlash(const Card& card, const Chip& chip, uint64_t offset,
                             std::span<const uint8_t> data, bool showProgress) {
    return compareImage(card, chip, Image{offset, {{}, data, {}}}, showProgress, false);
}

double updateFlash(const Card& card, const Chip& chip, const CardLock& lock, const FlashUpdate& u) {
    const Stopwatch clock;
    Recovery plan = planUpdate(card, chip, u);
    const Image image{plan.eraseStart, {plan.head, u.data, plan.tail}};
    interrupts::Hold hold(kAnnounce);
    const std::string recoverWith = recoverCommand(u.selection, u.recoveryFile);
    if (!u.recoveryFile.empty()) {
        refuseEarlierRecovery(u.recoveryFile, u.selection);
        plan.dataHash = hashBytes(u.data);
        writeRecovery(u.recoveryFile, plan);
        lock.noteUnfinishedUpdate(absolutePath(u.recoveryFile));
    }
    if (interrupts::requested()) {
        forgetRecovery(lock, u.recoveryFile);
        throw Interrupted("interrupted before the flash changed; nothing changed");
    }
    finishableBy(recoverWith, [&] {
        applyImage(card, chip, image, u.showProgress);
        if (u.verify)
            verifyImage(card, chip, image, u.showProgress);
        else
            verifyKept(card, chip, image);
    });
    forgetRecovery(lock, u.recoveryFile);
    return clock.seconds();
}

namespace {

// The recovery file's data, from its input file, which must be as it was.
Bytes recoveredData(const Recovery& r, const std::string& recoveryFile) {
    Bytes data;
    try {
        data = readWholeFile(r.input);
    } catch (const Failure& failure) {
        throw Failure(std::string(failure.what()) + "; " + recoveryFile +
                      " needs it to finish the update and is kept");
    }
    if (data.size() < r.length || hashBytes(std::span(data).first(r.length)) != r.dataHash)
        throw Failure(
            format("%s changed since the update began: it no longer holds the data "
                   "%s needs to finish it; both are kept",
                   r.input.c_str(), recoveryFile.c_str()));
    data.resize(static_cast<size_t>(r.length));
    return data;
}

void checkRecovery(const Card& card, const Chip& chip, const Recovery& r,
                   const std::string& recoveryFile) {
    if (r.serial != card.serial())
        throw Failure(
            format("%s is the recovery file of the card with serial %s, not of %s "
                   "(serial %s); nothing changed",
                   recoveryFile.c_str(), serialText(r.serial).c_str(), card.name().c_str(),
                   serialText(card.serial()).c_str()));
    if (r.eraseStart + r.head.size() != r.offset ||
        r.offset + r.length + r.tail.size() != r.eraseEnd || r.eraseEnd > chip.size ||
        r.length == 0 || blockAt(card, chip, r.eraseStart).start != r.eraseStart ||
        blockAt(card, chip, r.eraseEnd - 1).end() != r.eraseEnd)
        throw Failure(recoveryFile + " does not fit " + chipName(card, chip) + "; nothing changed");
}

// While the card's note names another update that did not finish, that
// one is finished first.
void checkNote(const CardLock& lock, const std::string& recoveryFile,
               const std::string& selection) {
    const std::string noted = lock.unfinishedUpdate();
    if (!noted.empty() && !samePathName(noted, absolutePath(recoveryFile)) && fileExists(noted))
        throw Failure(
            format("another update of the card did not finish: `veltra flash recover "
                   "-c %s %s` finishes that one first; nothing changed",
                   selection.c_str(), noted.c_str()));
}

}  // namespace

std::string recoverFlash(const Card& card, const CardLock& lock, const std::string& recoveryFile,
                         const std::string& selection, bool yes, bool showProgress) {
    const Recovery r = readRecovery(recoveryFile);
    const Chip chip = chipOf(card, r.flash);
    checkRecovery(card, chip, r, recoveryFile);
    checkNote(lock, recoveryFile, selection);
    const Bytes data = recoveredData(r, recoveryFile);
    const Image image{r.eraseStart, {r.head, data, r.tail}};
    if (compareImage(card, chip, image, false, false).differing == 0) {
        forgetRecovery(lock, recoveryFile);
        return format("%s already holds the update of %s from %s; removed %s",
                      chipName(card, chip).c_str(), hex(r.offset).c_str(), r.input.c_str(),
                      recoveryFile.c_str());
    }
    confirm(format("Finish the update of %s: erase %s from %s and write %s?",
                   chipName(card, chip).c_str(), sizeText(r.eraseEnd - r.eraseStart).c_str(),
                   hex(r.eraseStart).c_str(), r.input.c_str()),
            yes);
    interrupts::Hold hold(kAnnounce);
    lock.noteUnfinishedUpdate(absolutePath(recoveryFile));
    const std::string recoverWith = recoverCommand(selection, recoveryFile);
    finishableBy(recoverWith, [&] {
        applyImage(card, chip, image, showProgress);
        verifyImage(card, chip, image, showProgress);
    });
    forgetRecovery(lock, recoveryFile);
    return format("finished the update of %s at %s from %s and verified it; removed %s",
                  chipName(card, chip).c_str(), hex(r.offset).c_str(), r.input.c_str(),
                  recoveryFile.c_str());
}

}  // namespace tool
