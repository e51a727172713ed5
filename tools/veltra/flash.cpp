// veltra flash: the configuration flash of a card, by ranges that respect
// its block layout; and veltra program: an FPGA configured from a file.
#include "tool.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <memory>

namespace tool {

namespace {

// Transfers move this much per request, so that progress can be shown.
constexpr uint64_t kChunk = uint64_t{1} << 20;

struct Chip {
    uint32_t index = 0;
    uint64_t size = 0, blockSize = 0, busWidth = 0;
    std::string name;
};

struct Block {
    uint64_t start = 0, size = 0;
    bool parameter = false;
};

Chip chipOf(const Card& card, uint32_t index) {
    VELTRA_FLASH_INFOA info{};
    const VELTRA_STATUS status = VELTRA_GetFlashInfoA(card.handle(), index, &info);
    if (status == VELTRA_INVALID_INDEX)
        throw Failure(format("%s has no flash %u", card.name().c_str(), index));
    check(status,
          format("cannot read the information of flash %u of %s", index, card.name().c_str()));
    return {index, info.attribute1, info.attribute2, info.attribute3, text(info.name)};
}

// The record of the block that holds `offset`, which must hold it.
VELTRA_FLASH_BLOCK_INFO blockRecord(const Card& card, uint32_t flash, uint64_t offset) {
    VELTRA_FLASH_BLOCK_INFO info{};
    check(VELTRA_GetFlashBlockInfo(card.handle(), flash, offset, &info),
          format("cannot read the flash block at %s", hex(offset).c_str()));
    if (info.attribute2 == 0 || offset < info.attribute1 ||
        offset - info.attribute1 >= info.attribute2)
        throw Failure(format("flash %u of %s reports a block at %s that does not hold %s", flash,
                             card.name().c_str(), hex(info.attribute1).c_str(),
                             hex(offset).c_str()));
    return info;
}

Block blockAt(const Card& card, const Chip& chip, uint64_t offset) {
    const VELTRA_FLASH_BLOCK_INFO info = blockRecord(card, chip.index, offset);
    return {info.attribute1, info.attribute2, (info.attribute3 & 1) != 0};
}

}  // namespace

std::vector<BlockRun> blockRuns(const Card& card, uint32_t flash, uint64_t size) {
    std::vector<BlockRun> runs;
    for (uint64_t offset = 0; offset < size;) {
        const VELTRA_FLASH_BLOCK_INFO block = blockRecord(card, flash, offset);
        if (!runs.empty() && runs.back().first.attribute2 == block.attribute2 &&
            runs.back().first.attribute3 == block.attribute3)
            ++runs.back().count;
        else
            runs.push_back({block, 1});
        offset = block.attribute1 + block.attribute2;
    }
    return runs;
}

namespace {

std::string chipName(const Card& card, const Chip& chip) {
    return format("flash %u of %s", chip.index, card.name().c_str());
}

// Every range is checked against the chip before anything is changed.
void checkRange(const Card& card, const Chip& chip, uint64_t offset, uint64_t length) {
    if (offset > chip.size || length > chip.size - offset)
        throw Failure(format("%s from %s passes the end of %s (%s, ending at %s)",
                             sizeText(length).c_str(), hex(offset).c_str(),
                             chipName(card, chip).c_str(), sizeText(chip.size).c_str(),
                             hex(chip.size).c_str()));
}

void readRange(const Card& card, const Chip& chip, uint64_t offset, uint64_t length, uint8_t* into,
               Progress* progress) {
    for (uint64_t done = 0; done < length;) {
        const uint64_t piece = std::min(kChunk, length - done);
        check(VELTRA_ReadFlash(card.handle(), chip.index, 0, offset + done, piece, into + done),
              format("cannot read %s at %s", chipName(card, chip).c_str(),
                     hex(offset + done).c_str()));
        done += piece;
        if (progress != nullptr)
            progress->update(done);
    }
}

void writeRange(const Card& card, const Chip& chip, uint64_t offset, uint64_t length,
                const uint8_t* from, Progress* progress, uint64_t progressBase = 0) {
    for (uint64_t done = 0; done < length;) {
        const uint64_t piece = std::min(kChunk, length - done);
        check(VELTRA_WriteFlash(card.handle(), chip.index, 0, offset + done, piece, from + done),
              format("cannot write %s at %s", chipName(card, chip).c_str(),
                     hex(offset + done).c_str()));
        done += piece;
        if (progress != nullptr)
            progress->update(progressBase + done);
    }
}

// Erases the blocks from `start` to `end` (both block boundaries), a run of
// equal blocks per request.
void eraseBlocks(const Card& card, const Chip& chip, uint64_t start, uint64_t end,
                 bool showProgress) {
    Progress progress("erasing", end - start, showProgress);
    for (uint64_t at = start; at < end;) {
        const Block first = blockAt(card, chip, at);
        uint64_t length = first.size;
        while (at + length < end && length < kChunk * 4) {
            const Block next = blockAt(card, chip, at + length);
            if (next.size != first.size)
                break;
            length += next.size;
        }
        length = std::min(length, end - at);
        check(VELTRA_EraseFlash(card.handle(), chip.index, 0, at, length),
              format("cannot erase %s from %s to %s", chipName(card, chip).c_str(), hex(at).c_str(),
                     hex(at + length).c_str()));
        at += length;
        progress.update(at - start);
    }
    progress.finish();
}

// Compares the chip with `data` from `offset`; the offset of the first
// difference and how many bytes differ.
struct Comparison {
    uint64_t differing = 0, first = 0;
};

Comparison compareRange(const Card& card, const Chip& chip, uint64_t offset,
                        std::span<const uint8_t> data, bool showProgress) {
    Progress progress("verifying", data.size(), showProgress);
    std::vector<uint8_t> back(std::min<uint64_t>(kChunk, data.size()));
    Comparison result;
    for (uint64_t done = 0; done < data.size();) {
        const uint64_t piece = std::min<uint64_t>(kChunk, data.size() - done);
        readRange(card, chip, offset + done, piece, back.data(), nullptr);
        if (std::memcmp(back.data(), data.data() + done, piece) != 0)
            for (uint64_t i = 0; i < piece; ++i)
                if (back[i] != data[done + i]) {
                    if (result.differing++ == 0)
                        result.first = offset + done + i;
                }
        done += piece;
        progress.update(done);
    }
    progress.finish();
    return result;
}

void verifyOrFail(const Card& card, const Chip& chip, uint64_t offset,
                  std::span<const uint8_t> data, const std::string& source, bool showProgress) {
    const Comparison comparison = compareRange(card, chip, offset, data, showProgress);
    if (comparison.differing != 0)
        throw Failure(format("%s differs from %s: %" PRIu64 " of %zu bytes differ, the first at %s",
                             chipName(card, chip).c_str(), source.c_str(), comparison.differing,
                             data.size(), hex(comparison.first).c_str()));
}

struct FlashOptions : Common {
    uint32_t flash = 0;
    uint64_t offset = 0, length = 0;
    CLI::Option* lengthOption = nullptr;
    std::string file;
    bool noVerify = false;
};

CLI::App* flashCommand(CLI::App& parent, const char* name, const char* description,
                       FlashOptions& options) {
    CLI::App* command = parent.add_subcommand(name, description);
    addCardOption(*command, options, true);
    command->add_option("--flash", options.flash, "the flash bank (default 0)")
        ->transform(numberForm());
    return command;
}

void addRange(CLI::App& command, FlashOptions& options, const char* lengthHelp) {
    command.add_option("--offset", options.offset, "where the range starts (default 0)")
        ->transform(sizeForm());
    options.lengthOption =
        command.add_option("--length", options.length, lengthHelp)->transform(sizeForm());
}

// The range of a command: --offset and --length, or to the end of the chip.
uint64_t lengthOf(const FlashOptions& options, const Chip& chip, uint64_t otherwise) {
    if (options.lengthOption != nullptr && options.lengthOption->count() > 0)
        return options.length;
    if (otherwise != UINT64_MAX)
        return otherwise;
    return options.offset < chip.size ? chip.size - options.offset : 0;
}

void flashInfo(const FlashOptions& options) {
    Card card(options.card);
    const Chip chip = chipOf(card, options.flash);
    json runs = json::array();
    for (const BlockRun& run : blockRuns(card, chip.index, chip.size))
        runs.push_back({{"start", run.first.attribute1},
                        {"size", run.first.attribute2},
                        {"parameter", (run.first.attribute3 & 1) != 0},
                        {"count", run.count}});
    if (options.json) {
        printJson({{"card", options.card},
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

void flashRead(const FlashOptions& options) {
    Card card(options.card);
    const Chip chip = chipOf(card, options.flash);
    const uint64_t length = lengthOf(options, chip, UINT64_MAX);
    checkRange(card, chip, options.offset, length);
    std::vector<uint8_t> data(length);
    const Stopwatch clock;
    {
        Progress progress("reading", length, true);
        readRange(card, chip, options.offset, length, data.data(), &progress);
        progress.finish();
    }
    const double seconds = clock.seconds();
    writeFile(options.file, data.data(), data.size());
    std::printf("read %s of %s from %s to %s in %s (%s)\n", sizeText(length).c_str(),
                chipName(card, chip).c_str(), hex(options.offset).c_str(), options.file.c_str(),
                durationText(seconds).c_str(), rateText(length, seconds).c_str());
}

}  // namespace

// Writes `data` at `offset`: erases exactly the blocks the range touches,
// keeping what those blocks hold outside the range, writes, and verifies
// unless told not to. Returns the seconds taken.
double writeFlash(const Card& card, uint32_t flash, uint64_t offset, std::span<const uint8_t> data,
                  bool verify, bool showProgress) {
    const Chip chip = chipOf(card, flash);
    checkRange(card, chip, offset, data.size());
    const Stopwatch clock;
    if (data.empty())
        return 0;
    const Block first = blockAt(card, chip, offset);
    const Block last = blockAt(card, chip, offset + data.size() - 1);
    const uint64_t eraseEnd = last.start + last.size;
    // What the erased blocks hold outside the range is kept, and written back
    // first, so that a failure later loses none of it.
    std::vector<uint8_t> head(offset - first.start), tail(eraseEnd - (offset + data.size()));
    readRange(card, chip, first.start, head.size(), head.data(), nullptr);
    readRange(card, chip, offset + data.size(), tail.size(), tail.data(), nullptr);
    auto writeKept = [&] {
        writeRange(card, chip, first.start, head.size(), head.data(), nullptr);
        writeRange(card, chip, offset + data.size(), tail.size(), tail.data(), nullptr);
    };
    try {
        eraseBlocks(card, chip, first.start, eraseEnd, showProgress);
    } catch (const Failure&) {
        try {
            writeKept();
        } catch (const Failure&) {
            // the erase's failure is the one to report
        }
        throw;
    }
    writeKept();
    {
        Progress progress("writing", data.size(), showProgress);
        writeRange(card, chip, offset, data.size(), data.data(), &progress);
        progress.finish();
    }
    check(VELTRA_SyncFlash(card.handle(), chip.index, 0),
          "cannot finish writing " + chipName(card, chip));
    if (verify) {
        verifyOrFail(card, chip, offset, data, "what was written", showProgress);
        verifyOrFail(card, chip, first.start, head, "what it held before the range", false);
        verifyOrFail(card, chip, offset + data.size(), tail, "what it held after the range", false);
    }
    return clock.seconds();
}

namespace {

void flashWrite(const FlashOptions& options) {
    const FileBytes file(options.file);
    const std::span<const uint8_t> data = file.first(options.lengthOption, options.length);
    Card card(options.card);
    const Chip chip = chipOf(card, options.flash);
    checkRange(card, chip, options.offset, data.size());
    if (data.empty()) {
        std::printf("%s is empty: nothing written\n", options.file.c_str());
        return;
    }
    const Block first = blockAt(card, chip, options.offset);
    const Block last = blockAt(card, chip, options.offset + data.size() - 1);
    confirm(format("Erase %s from %s and write %s to %s?",
                   sizeText(last.start + last.size - first.start).c_str(), hex(first.start).c_str(),
                   options.file.c_str(), chipName(card, chip).c_str()),
            options.yes);
    const double seconds =
        writeFlash(card, options.flash, options.offset, data, !options.noVerify, true);
    std::printf("wrote %s to %s at %s%s in %s (%s)\n", options.file.c_str(),
                chipName(card, chip).c_str(), hex(options.offset).c_str(),
                options.noVerify ? "" : " and verified it", durationText(seconds).c_str(),
                rateText(data.size(), seconds).c_str());
}

void flashErase(const FlashOptions& options) {
    Card card(options.card);
    const Chip chip = chipOf(card, options.flash);
    const uint64_t length = lengthOf(options, chip, UINT64_MAX);
    checkRange(card, chip, options.offset, length);
    if (length == 0) {
        std::printf("nothing to erase\n");
        return;
    }
    const Block first = blockAt(card, chip, options.offset);
    if (first.start != options.offset)
        throw Failure(
            format("%s is not the start of a block of %s (the block holding it starts at "
                   "%s and is %s)",
                   hex(options.offset).c_str(), chipName(card, chip).c_str(),
                   hex(first.start).c_str(), sizeText(first.size).c_str()));
    const Block last = blockAt(card, chip, options.offset + length - 1);
    if (last.start + last.size != options.offset + length)
        throw Failure(format("%s is not the end of a block of %s (the block holding it ends at %s)",
                             hex(options.offset + length).c_str(), chipName(card, chip).c_str(),
                             hex(last.start + last.size).c_str()));
    confirm(format("Erase %s of %s from %s?", sizeText(length).c_str(),
                   chipName(card, chip).c_str(), hex(options.offset).c_str()),
            options.yes);
    const Stopwatch clock;
    eraseBlocks(card, chip, options.offset, options.offset + length, true);
    std::printf("erased %s of %s from %s in %s\n", sizeText(length).c_str(),
                chipName(card, chip).c_str(), hex(options.offset).c_str(),
                durationText(clock.seconds()).c_str());
}

void flashVerify(const FlashOptions& options) {
    const FileBytes file(options.file);
    const std::span<const uint8_t> data = file.first(options.lengthOption, options.length);
    Card card(options.card);
    const Chip chip = chipOf(card, options.flash);
    checkRange(card, chip, options.offset, data.size());
    const Stopwatch clock;
    verifyOrFail(card, chip, options.offset, data, options.file, true);
    std::printf("%s matches %s (%s at %s) in %s\n", chipName(card, chip).c_str(),
                options.file.c_str(), sizeText(data.size()).c_str(), hex(options.offset).c_str(),
                durationText(clock.seconds()).c_str());
}

}  // namespace

void addFlashCommands(CLI::App& app) {
    CLI::App* flash = app.add_subcommand("flash", "read, write, erase and verify a card's flash");
    flash->require_subcommand(1);

    auto info = std::make_shared<FlashOptions>();
    CLI::App* infoCommand = flashCommand(*flash, "info", "the chip and its block layout", *info);
    addJsonFlag(*infoCommand, *info);
    infoCommand->callback([info] { flashInfo(*info); });

    auto read = std::make_shared<FlashOptions>();
    CLI::App* readCommand =
        flashCommand(*flash, "read", "save a range of the flash to a file", *read);
    addRange(*readCommand, *read, "how much (default: to the end of the chip)");
    readCommand->add_option("--file", read->file, "the file to write")->required();
    readCommand->callback([read] { flashRead(*read); });

    auto write = std::make_shared<FlashOptions>();
    CLI::App* writeCommand = flashCommand(
        *flash, "write", "write a file, erasing the blocks it needs, and verify", *write);
    addRange(*writeCommand, *write, "write only this much of the file");
    writeCommand->add_option("--file", write->file, "the file to write")->required();
    writeCommand->add_flag("--no-verify", write->noVerify, "do not read back what was written");
    addYesFlag(*writeCommand, *write);
    writeCommand->callback([write] { flashWrite(*write); });

    auto erase = std::make_shared<FlashOptions>();
    CLI::App* eraseCommand = flashCommand(*flash, "erase", "erase whole blocks", *erase);
    addRange(*eraseCommand, *erase, "how much (default: to the end of the chip)");
    addYesFlag(*eraseCommand, *erase);
    eraseCommand->callback([erase] { flashErase(*erase); });

    auto verify = std::make_shared<FlashOptions>();
    CLI::App* verifyCommand =
        flashCommand(*flash, "verify", "compare the flash with a file", *verify);
    addRange(*verifyCommand, *verify, "compare only this much of the file");
    verifyCommand->add_option("--file", verify->file, "the file to compare with")->required();
    verifyCommand->callback([verify] { flashVerify(*verify); });
}

}  // namespace tool
