// veltra flash: the configuration flash of a card, by ranges that respect
// its block layout.
#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <memory>

#include "card_lock.h"
#include "cards.h"
#include "command_table.h"
#include "errors.h"
#include "files.h"
#include "flash_update.h"
#include "interrupts.h"
#include "output.h"
#include "records.h"
#include "text.h"

namespace tool {

namespace flash_command {

// A read moves this much at a time, so that progress can be shown.
constexpr uint64_t kChunk = uint64_t{1} << 20;

struct Options : Change {
    uint32_t flash = 0;
    uint64_t offset = 0, length = 0;
    CLI::Option* lengthOption = nullptr;
    std::string file, recovery, input;
    bool noVerify = false, json = false, abandon = false;
};

// "serial:0x00A1B2C3": how the card stays named when indexes shift.
std::string serialSelection(const Card& card) {
    return "serial:" + serialText(card.serial());
}

// The range of a command: --offset and --length, or to the end of the chip.
uint64_t lengthOf(const Options& o, const Chip& chip) {
    if (o.lengthOption != nullptr && o.lengthOption->count() > 0)
        return o.length;
    return o.offset < chip.size ? chip.size - o.offset : 0;
}

// The file's bytes, or as many of them as --length says.
Bytes fileData(const Options& o) {
    return readFileStart(o.file, o.lengthOption->count() ? std::optional(o.length) : std::nullopt);
}

void flashInfo(const Options& o) {
    const Card card = o.card.open();
    const Chip chip = chipOf(card, o.flash);
    json runs = json::array();
    for (const BlockRun& run : blockRuns(card, chip))
        runs.push_back({{"start", run.first.start},
                        {"size", run.first.size},
                        {"parameter", run.first.parameter()},
                        {"count", run.count}});
    if (o.json) {
        printJson({{"card", card.index()},
                   {"flash", chip.index},
                   {"name", chip.name},
                   {"size", chip.size},
                   {"blockSize", chip.blockSize},
                   {"busWidth", chip.busWidth},
                   {"blocks", runs}});
        return;
    }
    std::printf("%s: %s, %s in %s blocks, x%" PRIu64 "\n", chipName(card, chip).c_str(),
                chip.name.c_str(), sizeText(chip.size).c_str(), sizeText(chip.blockSize).c_str(),
                chip.busWidth);
    for (const json& run : runs) {
        const uint64_t count = run["count"].get<uint64_t>(), size = run["size"].get<uint64_t>();
        const uint64_t start = run["start"].get<uint64_t>();
        std::printf("  %s to %s: %" PRIu64 " %sblock%s of %s\n", hex(start, 8).c_str(),
                    hex(start + count * size, 8).c_str(), count,
                    run["parameter"].get<bool>() ? "parameter " : "", count == 1 ? "" : "s",
                    sizeText(size).c_str());
    }
}

// Saved through a temporary file: a failure leaves what was there before.
// Standard output, a device or a FIFO is written as it is.
void flashRead(const Options& o) {
    const Card card = o.card.open();
    warnOfPendingUpdate(card);
    const Chip chip = chipOf(card, o.flash);
    const uint64_t length = lengthOf(o, chip);
    checkChipRange(card, chip, o.offset, length);
    OutputFile out(o.file);
    std::vector<uint8_t> piece(static_cast<size_t>(std::min(kChunk, length)));
    const Stopwatch clock;
    Progress progress("reading", length, true);
    for (uint64_t done = 0; done < length;) {
        const size_t size = static_cast<size_t>(std::min(kChunk, length - done));
        readFlash(card, chip, o.offset + done, std::span(piece).first(size));
        out.write(piece.data(), size);
        done += size;
        progress.update(done);
    }
    progress.finish();
    out.commit();
    const double seconds = clock.seconds();
    std::fprintf(out.standardOutput() ? stderr : stdout, "read %s of %s from %s to %s in %s (%s)\n",
                 sizeText(length).c_str(), chipName(card, chip).c_str(), hex(o.offset).c_str(),
                 o.file.c_str(), durationText(seconds).c_str(), rateText(length, seconds).c_str());
}

// The folder of the recovery file: --recovery's, checked as the card's own
// is (this user's alone), or the card's own; none for a machine that ends
// with this process.
std::string recoveryFolder(const Options& o, const CardLock& lock) {
    if (!lock.place().keepsNotes())
        return "";
    if (o.recovery.empty())
        return lock.place().recoveryFolder();
    makePrivateFolder(o.recovery);
    return o.recovery;
}

// Everything is checked (the file, the card, the range, the lock, an
// update that did not finish) before the card is asked to change.
void flashWrite(const Options& o) {
    const Bytes data = fileData(o);
    const Card card = o.card.open();
    const CardLock lock(card, o.wait);
    lock.refuseUnfinishedUpdate(serialSelection(card));
    const Chip chip = chipOf(card, o.flash);
    checkChipRange(card, chip, o.offset, data.size());
    if (data.empty()) {
        std::printf("%s is empty: nothing written\n", o.file.c_str());
        return;
    }
    const Block first = blockAt(card, chip, o.offset);
    const Block last = blockAt(card, chip, o.offset + data.size() - 1);
    confirm(
        format("Erase %s from %s and write %s to %s?", sizeText(last.end() - first.start).c_str(),
               hex(first.start).c_str(), o.file.c_str(), chipName(card, chip).c_str()),
        o.yes);
    const FlashUpdate update{
        o.offset, data, !o.noVerify, true, o.file, recoveryFolder(o, lock), serialSelection(card)};
    const double seconds = updateFlash(card, chip, lock, update);
    std::printf("wrote %s to %s at %s%s in %s (%s)\n", o.file.c_str(), chipName(card, chip).c_str(),
                hex(o.offset).c_str(), o.noVerify ? "" : " and verified it",
                durationText(seconds).c_str(), rateText(data.size(), seconds).c_str());
}

// Whole blocks only: the range must start and end on block boundaries.
void checkWholeBlocks(const Card& card, const Chip& chip, uint64_t offset, uint64_t length) {
    const Block first = blockAt(card, chip, offset);
    if (first.start != offset)
        throw Failure(
            format("%s is not the start of a block of %s (the block holding it starts "
                   "at %s and is %s)",
                   hex(offset).c_str(), chipName(card, chip).c_str(), hex(first.start).c_str(),
                   sizeText(first.size).c_str()));
    const Block last = blockAt(card, chip, offset + length - 1);
    if (last.end() != offset + length)
        throw Failure(format("%s is not the end of a block of %s (the block holding it ends at %s)",
                             hex(offset + length).c_str(), chipName(card, chip).c_str(),
                             hex(last.end()).c_str()));
}

// A block at a time; an interrupt stops it between blocks.
void eraseBlocks(const Card& card, const Chip& chip, uint64_t start, uint64_t end) {
    interrupts::Hold hold(
        "veltra: interrupted: the erase stops once the block being erased is "
        "erased\n");
    Progress progress("erasing", end - start, true);
    for (uint64_t at = start; at < end;) {
        if (interrupts::requested()) {
            VELTRA_SyncFlash(card.handle(), chip.index, 0);
            throw Interrupted(format("interrupted: %s is erased from %s to %s, the rest as it was",
                                     chipName(card, chip).c_str(), hex(start).c_str(),
                                     hex(at).c_str()));
        }
        const Block block = blockAt(card, chip, at);
        check(VELTRA_EraseFlash(card.handle(), chip.index, 0, at, block.size),
              format("cannot erase %s from %s to %s", chipName(card, chip).c_str(), hex(at).c_str(),
                     hex(block.end()).c_str()));
        at = block.end();
        progress.update(at - start);
    }
    check(VELTRA_SyncFlash(card.handle(), chip.index, 0),
          "cannot finish erasing " + chipName(card, chip));
    progress.finish();
}

void flashErase(const Options& o) {
    const Card card = o.card.open();
    const CardLock lock(card, o.wait);
    lock.refuseUnfinishedUpdate(serialSelection(card));
    const Chip chip = chipOf(card, o.flash);
    const uint64_t length = lengthOf(o, chip);
    checkChipRange(card, chip, o.offset, length);
    if (length == 0) {
        std::printf("nothing to erase\n");
        return;
    }
    checkWholeBlocks(card, chip, o.offset, length);
    confirm(format("Erase %s of %s from %s?", sizeText(length).c_str(),
                   chipName(card, chip).c_str(), hex(o.offset).c_str()),
            o.yes);
    const Stopwatch clock;
    eraseBlocks(card, chip, o.offset, o.offset + length);
    std::printf("erased %s of %s from %s in %s\n", sizeText(length).c_str(),
                chipName(card, chip).c_str(), hex(o.offset).c_str(),
                durationText(clock.seconds()).c_str());
}

void flashVerify(const Options& o) {
    const Bytes data = fileData(o);
    const Card card = o.card.open();
    warnOfPendingUpdate(card);
    const Chip chip = chipOf(card, o.flash);
    checkChipRange(card, chip, o.offset, data.size());
    const Stopwatch clock;
    const FlashComparison c = compareFlash(card, chip, o.offset, data, true);
    if (c.differing != 0)
        throw Failure(format("%s differs from %s: %" PRIu64 " of %zu bytes differ, the first at %s",
                             chipName(card, chip).c_str(), o.file.c_str(), c.differing, data.size(),
                             hex(c.first).c_str()));
    std::printf("%s matches %s (%s at %s) in %s\n", chipName(card, chip).c_str(), o.file.c_str(),
                sizeText(data.size()).c_str(), hex(o.offset).c_str(),
                durationText(clock.seconds()).c_str());
}

void flashRecover(const Options& o) {
    if (o.abandon && !o.file.empty())
        throw Usage("--abandon ends the update without its recovery file: give one or the other");
    if (!o.abandon && o.file.empty())
        throw Usage("name the recovery file that finishes the update, or give --abandon");
    const Card card = o.card.open();
    const CardLock lock(card, o.wait);
    if (o.abandon) {
        std::printf("%s\n", abandonUpdate(card, lock, o.yes).c_str());
        return;
    }
    const Recover recover{o.file, o.input, serialSelection(card), o.yes, true};
    std::printf("%s\n", recoverFlash(card, lock, recover).c_str());
}

void addFlashOption(CLI::App& command, Options& o) {
    command.add_option("--flash", o.flash, "the flash bank (default 0)")->transform(numberForm());
}

void addRange(CLI::App& command, Options& o, const char* lengthHelp) {
    command.add_option("--offset", o.offset, "where the range starts (default 0)")
        ->transform(sizeForm());
    o.lengthOption = command.add_option("--length", o.length, lengthHelp)->transform(sizeForm());
}

template <void (*Run)(const Options&)>
Work run(std::shared_ptr<Options> o) {
    return [o] { Run(*o); };
}

Work defineInfo(CLI::App& command) {
    auto o = std::make_shared<Options>();
    addCardOption(command, o->card, true);
    addFlashOption(command, *o);
    command.add_flag("--json", o->json, "print JSON instead of text");
    return run<flashInfo>(o);
}

Work defineRead(CLI::App& command) {
    auto o = std::make_shared<Options>();
    addCardOption(command, o->card, true);
    addFlashOption(command, *o);
    addRange(command, *o, "how much (default: to the end of the chip)");
    command.add_option("--file", o->file, std::string("the file to write") + kOutputHelp)
        ->required();
    return run<flashRead>(o);
}

Work defineWrite(CLI::App& command) {
    auto o = std::make_shared<Options>();
    addChangeOptions(command, *o, true, true);
    addFlashOption(command, *o);
    addRange(command, *o, "write only this much of the file");
    command.add_option("--file", o->file, "the file to write")->required();
    command.add_flag("--no-verify", o->noVerify, "do not read back what was written");
    command.add_option("--recovery", o->recovery,
                       "the folder for the recovery file, which only you may write (default: "
                       "the card's own; `veltra sim state` names it on the simulator)");
    return run<flashWrite>(o);
}

Work defineErase(CLI::App& command) {
    auto o = std::make_shared<Options>();
    addChangeOptions(command, *o, true, true);
    addFlashOption(command, *o);
    addRange(command, *o, "how much (default: to the end of the chip)");
    return run<flashErase>(o);
}

Work defineVerify(CLI::App& command) {
    auto o = std::make_shared<Options>();
    addCardOption(command, o->card, true);
    addFlashOption(command, *o);
    addRange(command, *o, "compare only this much of the file");
    command.add_option("--file", o->file, "the file to compare with")->required();
    return run<flashVerify>(o);
}

Work defineRecover(CLI::App& command) {
    auto o = std::make_shared<Options>();
    addChangeOptions(command, *o, true, true);
    command.add_option("FILE", o->file,
                       "the recovery file the interrupted update named, wherever it is now");
    command.add_option("--input", o->input,
                       "a copy of the image the update wrote, when its file is gone or changed");
    command.add_flag("--abandon", o->abandon,
                     "end the update without finishing it: the range it erases then holds "
                     "neither image");
    return run<flashRecover>(o);
}

constexpr Command kCommands[] = {
    {"flash", "read, write, erase and verify a card's flash", nullptr},
    {"flash info", "the chip and its block layout", defineInfo},
    {"flash read", "save a range of the flash to a file", defineRead},
    {"flash write", "write a file, erasing the blocks it needs, and verify", defineWrite},
    {"flash erase", "erase whole blocks", defineErase},
    {"flash verify", "compare the flash with a file", defineVerify},
    {"flash recover",
     "finish an update that was interrupted, from its recovery file (or abandon it)",
     defineRecover},
};

}  // namespace flash_command

Commands flashCommands() {
    return flash_command::kCommands;
}

}  // namespace tool
