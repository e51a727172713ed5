// veltra dma: DMA between files and card memory, and its speed.
#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <memory>
#include <new>

#include "cards.h"
#include "command_table.h"
#include "errors.h"
#include "files.h"
#include "interrupts.h"
#include "output.h"
#include "records.h"
#include "text.h"

namespace tool {

namespace dma_command {

// Transfers of a file move this much per request, so that progress can be
// shown.
constexpr uint64_t kDmaChunk = uint64_t{4} << 20;
constexpr uint64_t kLatencyBytes = 64;

struct Options : Change {
    uint32_t channel = 0;
    uint64_t local = 0, length = 0;
    CLI::Option* lengthOption = nullptr;
    std::string file;
    double seconds = 0.2;
    bool json = false;
};

std::string dmaWhat(const Card& card, const Options& o, const char* direction, uint64_t at) {
    return format("DMA %s card memory at %s on channel %u of %s failed", direction, hex(at).c_str(),
                  o.channel, card.name().c_str());
}

// Ranges are checked against the card memory before anything moves (when a
// window says how large it is; otherwise the driver judges).
void checkCardMemory(const Card& card, uint64_t local, uint64_t length) {
    const auto all = windows(card);
    const int window = findWindow(all, kWindowCardMemory, 0);
    if (window < 0)
        return;
    const uint64_t size = all[static_cast<size_t>(window)].windowValue0;
    if (local > size || length > size - local)
        throw Failure(format("the range of %s at %s lies outside the card memory of %s (%s)",
                             sizeText(length).c_str(), hex(local).c_str(), card.name().c_str(),
                             sizeText(size).c_str()));
}

// Card memory into the file a piece at a time, through a temporary file: a
// failure leaves what was there before. Standard output, a device or a FIFO
// is written as it is.
void dmaRead(const Options& o) {
    const Card card = o.card.open();
    checkCardMemory(card, o.local, o.length);
    std::vector<uint8_t> piece(static_cast<size_t>(std::min(kDmaChunk, o.length)));
    OutputFile out(o.file);
    const Stopwatch clock;
    Progress progress("reading", o.length, true);
    for (uint64_t done = 0; done < o.length;) {
        const uint64_t length = std::min(kDmaChunk, o.length - done);
        check(VELTRA_ReadDMAEx(card.handle(), o.channel, 0, piece.data(), length, o.local + done),
              dmaWhat(card, o, "from", o.local + done));
        out.write(piece.data(), static_cast<size_t>(length));
        done += length;
        progress.update(done);
    }
    out.commit();
    progress.finish();
    const double seconds = clock.seconds();
    std::fprintf(out.standardOutput() ? stderr : stdout,
                 "read %s from card memory at %s of %s to %s in %s (%s)\n",
                 sizeText(o.length).c_str(), hex(o.local).c_str(), card.name().c_str(),
                 o.file.c_str(), durationText(seconds).c_str(),
                 rateText(o.length, seconds).c_str());
}

void dmaWrite(const Options& o) {
    const Bytes data =
        readFileStart(o.file, o.lengthOption->count() ? std::optional(o.length) : std::nullopt);
    const Card card = o.card.open();
    checkCardMemory(card, o.local, data.size());
    const Stopwatch clock;
    Progress progress("writing", data.size(), true);
    for (uint64_t done = 0; done < data.size();) {
        const uint64_t piece = std::min<uint64_t>(kDmaChunk, data.size() - done);
        check(VELTRA_WriteDMAEx(card.handle(), o.channel, 0, data.data() + done, piece,
                                o.local + done),
              dmaWhat(card, o, "to", o.local + done));
        done += piece;
        progress.update(done);
    }
    progress.finish();
    const double seconds = clock.seconds();
    std::printf("wrote %s to card memory at %s of %s in %s (%s)\n", o.file.c_str(),
                hex(o.local).c_str(), card.name().c_str(), durationText(seconds).c_str(),
                rateText(data.size(), seconds).c_str());
}

// Transfers of one size in one direction for about `budget` seconds; the
// seconds one transfer takes.
double timeTransfers(const Card& card, uint32_t channel, bool toCard, std::span<uint8_t> buffer,
                     uint64_t size, double budget) {
    auto once = [&] {
        const VELTRA_STATUS status =
            toCard ? VELTRA_WriteDMAEx(card.handle(), channel, 0, buffer.data(), size, 0)
                   : VELTRA_ReadDMAEx(card.handle(), channel, 0, buffer.data(), size, 0);
        check(status, format("DMA %s card memory on channel %u of %s failed",
                             toCard ? "to" : "from", channel, card.name().c_str()));
    };
    once();  // the first transfer touches the pages
    const Stopwatch clock;
    uint64_t count = 0;
    double seconds = 0;
    do {
        once();
        ++count;
        seconds = clock.seconds();
    } while ((seconds < budget || count < 3) && !interrupts::requested());
    return seconds / static_cast<double>(count);
}

constexpr std::align_val_t kPage{4096};

struct AlignedDelete {
    void operator()(uint8_t* block) const { ::operator delete(block, kPage); }
};

// What the test overwrites, put back when it ends, through the first
// channel that takes it.
class SavedMemory {
  public:
    SavedMemory(const Card& card, const std::vector<uint32_t>& channels, uint64_t length);
    ~SavedMemory() { restore(false); }
    void restore(bool report);

  private:
    bool transfer(bool toCard);
    const Card& card_;
    std::vector<uint32_t> channels_;
    std::vector<uint8_t> saved_;
    bool restored_ = false;
};

SavedMemory::SavedMemory(const Card& card, const std::vector<uint32_t>& channels, uint64_t length)
    : card_(card), channels_(channels), saved_(static_cast<size_t>(length)) {
    if (!transfer(false))
        throw Failure("cannot save the card memory of " + card.name() + " on any channel");
}

bool SavedMemory::transfer(bool toCard) {
    for (uint32_t channel : channels_)
        if ((toCard ? VELTRA_WriteDMAEx(card_.handle(), channel, 0, saved_.data(), saved_.size(), 0)
                    : VELTRA_ReadDMAEx(card_.handle(), channel, 0, saved_.data(), saved_.size(),
                                       0)) == VELTRA_SUCCESS)
            return true;
    return false;
}

void SavedMemory::restore(bool report) {
    if (restored_)
        return;
    restored_ = true;
    if (!transfer(true) && report)
        throw Failure("cannot restore the card memory of " + card_.name());
}

struct TestPlan {
    std::vector<uint32_t> channels;
    std::vector<uint64_t> sizes;
};

TestPlan planTest(const Card& card) {
    TestPlan plan{dmaChannels(card), {}};
    const uint64_t memory = cardMemorySize(card);
    for (uint64_t size :
         {uint64_t{4} << 10, uint64_t{64} << 10, uint64_t{1} << 20, uint64_t{16} << 20})
        if (size <= memory)
            plan.sizes.push_back(size);
    if (plan.sizes.empty() || plan.channels.empty())
        throw Failure(card.name() + " has no DMA channel or card memory to test");
    return plan;
}

// Each figure is shown as it is measured (a line of text, or a JSON line).
void showBandwidth(const Options& o, const Card& card, uint32_t channel, uint64_t size,
                   double write, double read) {
    if (o.json) {
        printJsonLine({{"card", card.index()},
                       {"channel", channel},
                       {"bandwidth",
                        {{"size", size},
                         {"writeBytesPerSecond", static_cast<double>(size) / write},
                         {"readBytesPerSecond", static_cast<double>(size) / read}}}});
        return;
    }
    std::printf("  %-10s %14s %14s\n", sizeText(size).c_str(), rateText(size, write).c_str(),
                rateText(size, read).c_str());
    std::fflush(stdout);
}

void showLatency(const Options& o, const Card& card, uint32_t channel, double write, double read) {
    if (o.json) {
        printJsonLine(
            {{"card", card.index()},
             {"channel", channel},
             {"latency",
              {{"size", kLatencyBytes}, {"writeSeconds", write}, {"readSeconds", read}}}});
        return;
    }
    std::printf("  latency of a %" PRIu64 "-byte transfer: write %s, read %s\n", kLatencyBytes,
                durationText(write).c_str(), durationText(read).c_str());
    std::fflush(stdout);
}

void testChannel(const Options& o, const Card& card, uint32_t channel, const TestPlan& plan,
                 std::span<uint8_t> buffer) {
    if (!o.json) {
        std::printf("channel %u\n  %-10s %14s %14s\n", channel, "size", "write", "read");
        std::fflush(stdout);
    }
    // Reads of each size are measured first, then writes; a figure that an
    // interrupt cut short is not shown.
    for (uint64_t size : plan.sizes) {
        const double read = timeTransfers(card, channel, false, buffer, size, o.seconds);
        const double write = timeTransfers(card, channel, true, buffer, size, o.seconds);
        if (interrupts::requested())
            return;
        showBandwidth(o, card, channel, size, write, read);
    }
    const double read = timeTransfers(card, channel, false, buffer, kLatencyBytes, o.seconds / 2);
    const double write = timeTransfers(card, channel, true, buffer, kLatencyBytes, o.seconds / 2);
    if (!interrupts::requested())
        showLatency(o, card, channel, write, read);
}

// A channel that fails keeps the figures of the others; the command fails
// at the end. An interrupt stops the test once the card memory is back.
void dmaTest(const Options& o) {
    const Card card = o.card.open();
    const TestPlan plan = planTest(card);
    SavedMemory saved(card, plan.channels, plan.sizes.back());
    interrupts::Hold hold("veltra: interrupted: the test stops once the card memory is back\n");
    // Page-aligned, as DMA buffers are: a copy to or from a buffer that is
    // not aligned as the card's memory is runs slower on some processors.
    const std::unique_ptr<uint8_t, AlignedDelete> owner(
        static_cast<uint8_t*>(::operator new(plan.sizes.back(), kPage)));
    const std::span<uint8_t> buffer(owner.get(), plan.sizes.back());
    for (size_t i = 0; i < buffer.size(); ++i)
        buffer[i] = static_cast<uint8_t>(i * 7);
    if (!o.json)
        std::printf("DMA on %s (to the card: write; from the card: read)\n", card.name().c_str());
    std::vector<std::string> failed;
    for (uint32_t channel : plan.channels) {
        if (interrupts::requested()) {
            saved.restore(true);
            throw Interrupted("interrupted: the card memory of " + card.name() + " is as it was");
        }
        try {
            testChannel(o, card, channel, plan, buffer);
        } catch (const Failure& failure) {
            failed.push_back(failure.what());
            if (o.json)
                printJsonLine(
                    {{"card", card.index()}, {"channel", channel}, {"error", failure.what()}});
            else
                std::printf("  FAILED: %s\n", failure.what());
        }
    }
    saved.restore(true);
    if (interrupts::requested())
        throw Interrupted("interrupted: the card memory of " + card.name() + " is as it was");
    if (!failed.empty())
        throw Failure(failed.front() + (failed.size() > 1 ? " (and more)" : ""));
}

Work defineTransfer(CLI::App& command, bool read) {
    auto o = std::make_shared<Options>();
    if (read)
        addCardOption(command, o->card, true);
    else
        addChangeOptions(command, *o, false, false);
    command.add_option("--channel", o->channel, "the DMA channel (default 0)")
        ->transform(numberForm());
    command.add_option("--local", o->local, "the card-local address")
        ->required()
        ->transform(sizeForm());
    o->lengthOption = command
                          .add_option("--length", o->length,
                                      read ? "how much" : "send only this much of the file")
                          ->transform(sizeForm());
    if (read)
        o->lengthOption->required();
    command
        .add_option("--file", o->file,
                    read ? std::string("the file to write") + kOutputHelp : "the file to send")
        ->required();
    return [o, read] { read ? dmaRead(*o) : dmaWrite(*o); };
}

Work defineRead(CLI::App& command) {
    return defineTransfer(command, true);
}

Work defineWrite(CLI::App& command) {
    return defineTransfer(command, false);
}

Work defineTest(CLI::App& command) {
    auto o = std::make_shared<Options>();
    addCardOption(command, o->card, true);
    command.add_option("--time", o->seconds, "seconds to measure each figure (default 0.2)")
        ->check(CLI::Range(0.001, 60.0));
    command.add_flag("--json", o->json, "JSON lines instead of text, one per figure");
    return [o] { dmaTest(*o); };
}

constexpr Command kCommands[] = {
    {"dma", "DMA between files and card memory, and its speed", nullptr},
    {"dma read", "card memory to a file", defineRead},
    {"dma write", "a file to card memory", defineWrite},
    {"dma test",
     "bandwidth both ways over a range of sizes and the latency of a small transfer, on every "
     "channel (card memory is put back as it was)",
     defineTest},
};

}  // namespace dma_command

Commands dmaCommands() {
    return dma_command::kCommands;
}

}  // namespace tool
