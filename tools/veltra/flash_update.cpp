#include "flash_update.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>

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
                  shellWord(recoveryFile).c_str());
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

// Writes the recovery file, then the card's note that names it: from then
// on the update is pending until it is finished or abandoned. A process
// killed between the two leaves a file that no note names, which the next
// update of the card replaces.
UpdateNote beginUpdate(const CardLock& lock, Recovery& plan, const std::string& file) {
    const CardPlace& place = lock.place();
    const UpdateNote last = place.note();
    plan.generation = last.generation + 1;
    const std::vector<uint8_t> bytes = encodeRecovery(plan);
    replaceFile(file, bytes.data(), bytes.size(), ReplacingFile::Access::Owner);
    UpdateNote note;
    note.generation = plan.generation;
    note.state = UpdateNote::State::Pending;
    note.flash = plan.flash;
    note.eraseStart = plan.eraseStart;
    note.eraseEnd = plan.eraseEnd;
    note.recoveryFile = absolutePath(file);
    note.recoverySize = bytes.size();
    note.recoveryDigest = sha256(bytes);
    note.dataDigest = plan.data;
    place.writeNote(note);
    return note;
}

// Whether `path` holds the recovery file a note names, byte for byte.
bool isNotedRecovery(const std::string& path, const UpdateNote& note) {
    try {
        const Bytes bytes = readTrustedFile(path);
        return bytes.size() == note.recoverySize && sha256(bytes) == note.recoveryDigest;
    } catch (const Failure&) {
        return false;
    }
}

// The update ended (`state`): the note says so first, then its recovery
// file goes (the noted one, and the copy it was finished from), so that a
// kill between the two leaves a stale file, never a note of an update that
// cannot be finished.
void endUpdate(const CardLock& lock, UpdateNote note, UpdateNote::State state,
               const std::string& usedFile) {
    const std::string noted = note.recoveryFile;
    const bool notedThere = !noted.empty() && isNotedRecovery(noted, note);
    note.state = state;
    lock.place().writeNote(note);
    if (notedThere)
        removeFile(noted);
    if (!usedFile.empty() && !samePathName(absolutePath(usedFile), noted))
        removeFile(usedFile);
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
    std::string recoveryFile;
    if (!u.recoveryFolder.empty()) {
        plan.data = sha256(u.data);
        recoveryFile = recoveryPath(u.input, lock.place().key(), u.recoveryFolder);
    }
    interrupts::Hold hold(kAnnounce);
    UpdateNote note;
    if (!recoveryFile.empty())
        note = beginUpdate(lock, plan, recoveryFile);
    if (interrupts::requested()) {
        if (!recoveryFile.empty())
            endUpdate(lock, note, UpdateNote::State::Finished, "");
        throw Interrupted("interrupted before the flash changed; nothing changed");
    }
    finishableBy(recoverCommand(u.selection, note.recoveryFile), [&] {
        applyImage(card, chip, image, u.showProgress);
        if (u.verify)
            verifyImage(card, chip, image, u.showProgress);
        else
            verifyKept(card, chip, image);
    });
    if (!recoveryFile.empty())
        endUpdate(lock, note, UpdateNote::State::Finished, "");
    return clock.seconds();
}

namespace {

// The new data of a recovery file: from its input file, or from the copy
// the user names, which must hold what the update began to write.
Bytes recoveredData(const Recovery& r, const Recover& recover) {
    const std::string input = recover.input.empty() ? r.input : recover.input;
    Bytes data;
    try {
        data = readWholeFile(input);
    } catch (const Failure& failure) {
        throw Failure(std::string(failure.what()) + "; " + recover.recoveryFile +
                      " needs it to finish the update and is kept (--input takes a copy)");
    }
    if (data.size() < r.length || sha256(std::span(data).first(r.length)) != r.data) {
        if (!recover.input.empty())
            throw Failure(
                format("%s does not hold the data %s needs to finish the update (its "
                       "SHA-256 differs); nothing changed",
                       input.c_str(), recover.recoveryFile.c_str()));
        throw Failure(
            format("%s changed since the update began: it no longer holds the data "
                   "%s needs to finish it; both are kept (--input takes a copy of the original)",
                   r.input.c_str(), recover.recoveryFile.c_str()));
    }
    data.resize(static_cast<size_t>(r.length));
    return data;
}

void checkRecovery(const Card& card, const Chip& chip, const Recovery& r,
                   const std::string& recoveryFile) {
    if (r.eraseStart + r.head.size() != r.offset ||
        r.offset + r.length + r.tail.size() != r.eraseEnd || r.eraseEnd > chip.size ||
        r.length == 0 || blockAt(card, chip, r.eraseStart).start != r.eraseStart ||
        blockAt(card, chip, r.eraseEnd - 1).end() != r.eraseEnd)
        throw Failure(recoveryFile + " does not fit " + chipName(card, chip) + "; nothing changed");
}

// The recovery file given, checked before anything of it is trusted: a
// regular file of this user that no one else may write, of this card, and
// the very file the card's note names for its pending update.
Recovery trustedRecovery(const Card& card, const UpdateNote& note, const std::string& file) {
    if (!note.problem.empty())
        throw Failure(note.problem + "; nothing changed");
    const Bytes bytes = readTrustedFile(file);
    const Recovery r = decodeRecovery(bytes, file);
    if (r.serial != card.serial())
        throw Failure(
            format("%s is the recovery file of the card with serial %s, not of %s "
                   "(serial %s); nothing changed",
                   file.c_str(), serialText(r.serial).c_str(), card.name().c_str(),
                   serialText(card.serial()).c_str()));
    if (!note.pending() || r.generation != note.generation)
        throw Failure(file + ": this update was already finished or abandoned; nothing changed");
    if (bytes.size() != note.recoverySize || sha256(bytes) != note.recoveryDigest ||
        r.data != note.dataDigest)
        throw Failure(
            format("%s is not the recovery file of the unfinished update of %s (that is "
                   "%s, of SHA-256 %s); nothing changed",
                   file.c_str(), card.name().c_str(), note.recoveryFile.c_str(),
                   digestText(note.recoveryDigest).c_str()));
    return r;
}

// The flash error bit an interrupted update left in the device status goes
// once the update is finished, unless other errors share the status (which
// only `veltra status --clear` may clear, all together). The update is done
// by then: a clear that fails is said, not taken for the update's failure.
std::string clearFlashError(const Card& card) {
    try {
        const DeviceStatus words = deviceStatus(card);
        if ((words.word[2] & 1) == 0)
            return "";
        const bool alone = words.word[2] == 1 && words.word[0] == 0 && words.word[1] == 0 &&
                           words.word[3] == 0 && words.word[4] == 0;
        if (!alone)
            return "; the device status still reports a flash error beside other errors "
                   "(`veltra status` shows them, --clear clears them all)";
        check(VELTRA_ClearDeviceErrors(card.handle()),
              "cannot clear the flash error of " + card.name());
        return "; cleared the flash error the interrupted update left in the device status";
    } catch (const Failure& failure) {
        return std::string("; the flash error the interrupted update left stays: ") +
               failure.what();
    }
}

}  // namespace

std::string recoverFlash(const Card& card, const CardLock& lock, const Recover& recover) {
    const UpdateNote note = lock.place().note();
    const Recovery r = trustedRecovery(card, note, recover.recoveryFile);
    const Chip chip = chipOf(card, r.flash);
    checkRecovery(card, chip, r, recover.recoveryFile);
    const Bytes data = recoveredData(r, recover);
    const Image image{r.eraseStart, {r.head, data, r.tail}};
    if (compareImage(card, chip, image, false, false).differing == 0) {
        endUpdate(lock, note, UpdateNote::State::Finished, recover.recoveryFile);
        return format("%s already holds the update of %s from %s; removed %s%s",
                      chipName(card, chip).c_str(), hex(r.offset).c_str(), r.input.c_str(),
                      recover.recoveryFile.c_str(), clearFlashError(card).c_str());
    }
    confirm(format("Finish the update of %s: erase %s from %s and write %s?",
                   chipName(card, chip).c_str(), sizeText(r.eraseEnd - r.eraseStart).c_str(),
                   hex(r.eraseStart).c_str(),
                   (recover.input.empty() ? r.input : recover.input).c_str()),
            recover.yes);
    interrupts::Hold hold(kAnnounce);
    finishableBy(recoverCommand(recover.selection, recover.recoveryFile), [&] {
        applyImage(card, chip, image, recover.showProgress);
        verifyImage(card, chip, image, recover.showProgress);
    });
    endUpdate(lock, note, UpdateNote::State::Finished, recover.recoveryFile);
    return format("finished the update of %s at %s from %s and verified it; removed %s%s",
                  chipName(card, chip).c_str(), hex(r.offset).c_str(),
                  (recover.input.empty() ? r.input : recover.input).c_str(),
                  recover.recoveryFile.c_str(), clearFlashError(card).c_str());
}

std::string abandonUpdate(const Card& card, const CardLock& lock, bool yes) {
    UpdateNote note = lock.place().note();
    if (!note.pending())
        throw Failure(format("%s (serial %s) has no unfinished flash update; nothing changed",
                             card.name().c_str(), serialText(card.serial()).c_str()));
    const std::string range =
        note.problem.empty()
            ? format("flash %u of %s from %s to %s", note.flash, card.name().c_str(),
                     hex(note.eraseStart).c_str(), hex(note.eraseEnd).c_str())
            : "the flash of " + card.name();
    confirm(format("Abandon the unfinished update of %s (serial %s)? %s then holds neither the old "
                   "nor the new image, and the update can no longer be finished",
                   card.name().c_str(), serialText(card.serial()).c_str(), range.c_str()),
            yes);
    if (!note.problem.empty()) {
        // What the note said is lost: the next generation must lie beyond
        // any it could have named.
        note = UpdateNote{};
        note.generation = static_cast<uint64_t>(std::time(nullptr)) << 20;
    }
    const bool removed = !note.recoveryFile.empty() && isNotedRecovery(note.recoveryFile, note);
    endUpdate(lock, note, UpdateNote::State::Abandoned, "");
    return format(
        "abandoned the update: %s holds neither the old nor the new image; write a "
        "whole image there%s",
        range.c_str(), removed ? ("; removed " + note.recoveryFile).c_str() : "");
}

}  // namespace tool
