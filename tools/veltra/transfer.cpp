// veltra reg, veltra dma: registers of a window, and DMA to and from card
// memory.
#include "tool.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <memory>
#include <new>

namespace tool {

namespace {

struct RegisterOptions : Common {
    uint32_t window = 0;
    uint64_t offset = 0, value = 0;
    unsigned width = 32;
    bool mapped = false;
};

CLI::App* registerCommand(CLI::App& parent, const char* name, const char* description,
                          RegisterOptions& options) {
    CLI::App* command = parent.add_subcommand(name, description);
    addCardOption(*command, options, true);
    command->add_option("WINDOW", options.window, "the window's index")
        ->required()
        ->transform(numberForm());
    command->add_option("OFFSET", options.offset, "the register's offset in the window")
        ->required()
        ->transform(sizeForm());
    command->add_option("--width", options.width, "bits: 8, 16, 32 (default) or 64")
        ->check(CLI::IsMember({8u, 16u, 32u, 64u}));
    command->add_flag("--mapped", options.mapped,
                      "through a mapping of the window instead of VELTRA_Read/VELTRA_Write");
    return command;
}

uint64_t widthMask(unsigned width) {
    return width == 64 ? UINT64_MAX : (uint64_t{1} << width) - 1;
}

void checkAlignment(const RegisterOptions& options) {
    if (options.offset % (options.width / 8) != 0)
        throw Usage(format("offset %s is not a multiple of the register's %u bytes",
                           hex(options.offset).c_str(), options.width / 8));
}

// One access through a mapping of exactly the register.
uint64_t mappedAccess(const Card& card, const RegisterOptions& options, const uint64_t* write) {
    void* base = nullptr;
    const uint64_t bytes = options.width / 8;
    check(VELTRA_MapWindow(card.handle(), options.window, options.offset, bytes, &base),
          format("cannot map window %u of %s at %s", options.window, card.name().c_str(),
                 hex(options.offset).c_str()));
    uint64_t value = 0;
    switch (options.width) {
        case 8:
            if (write)
                *static_cast<volatile uint8_t*>(base) = static_cast<uint8_t>(*write);
            else
                value = *static_cast<volatile uint8_t*>(base);
            break;
        case 16:
            if (write)
                *static_cast<volatile uint16_t*>(base) = static_cast<uint16_t>(*write);
            else
                value = *static_cast<volatile uint16_t*>(base);
            break;
        case 32:
            if (write)
                *static_cast<volatile uint32_t*>(base) = static_cast<uint32_t>(*write);
            else
                value = *static_cast<volatile uint32_t*>(base);
            break;
        default:
            if (write)
                *static_cast<volatile uint64_t*>(base) = *write;
            else
                value = *static_cast<volatile uint64_t*>(base);
            break;
    }
    check(VELTRA_UnmapWindow(card.handle(), base),
          "cannot unmap window " + std::to_string(options.window));
    return value;
}

void addRegisterCommands(CLI::App& app) {
    CLI::App* reg = app.add_subcommand("reg", "read or write one register of a window");
    reg->require_subcommand(1);

    auto read = std::make_shared<RegisterOptions>();
    registerCommand(*reg, "read", "read a register", *read)->callback([read] {
        checkAlignment(*read);
        Card card(read->card);
        uint64_t value = 0;
        if (read->mapped)
            value = mappedAccess(card, *read, nullptr);
        else
            check(
                VELTRA_Read(card.handle(), read->window, 0, read->offset, read->width / 8, &value),
                format("cannot read window %u of %s at %s", read->window, card.name().c_str(),
                       hex(read->offset).c_str()));
        std::printf("%s\n",
                    hex(value & widthMask(read->width), static_cast<int>(read->width / 4)).c_str());
    });

    auto write = std::make_shared<RegisterOptions>();
    CLI::App* writeCommand = registerCommand(*reg, "write", "write a register", *write);
    writeCommand->add_option("VALUE", write->value, "the value")
        ->required()
        ->transform(numberForm());
    writeCommand->callback([write] {
        checkAlignment(*write);
        if ((write->value & ~widthMask(write->width)) != 0)
            throw Usage(
                format("%s does not fit in %u bits", hex(write->value).c_str(), write->width));
        Card card(write->card);
        if (write->mapped)
            mappedAccess(card, *write, &write->value);
        else
            check(VELTRA_Write(card.handle(), write->window, 0, write->offset, write->width / 8,
                               &write->value),
                  format("cannot write window %u of %s at %s", write->window, card.name().c_str(),
                         hex(write->offset).c_str()));
    });
}

// Transfers of a file move this much per request, so that progress can be
// shown.
constexpr uint64_t kDmaChunk = uint64_t{4} << 20;

struct DmaOptions : Common {
    uint32_t channel = 0;
    uint64_t local = 0, length = 0;
    CLI::Option* lengthOption = nullptr;
    std::string file;
    double seconds = 0.2;
};

std::string dmaWhat(const Card& card, const DmaOptions& options, const char* direction,
                    uint64_t at) {
    return format("DMA %s card memory at %s on channel %u of %s failed", direction, hex(at).c_str(),
                  options.channel, card.name().c_str());
}

// Ranges are checked against the card memory before anything moves (when
// a window says how large it is; otherwise the driver judges).
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

// Reads card memory into the file a piece at a time; a failure leaves no
// file behind.
void dmaRead(const DmaOptions& options) {
    Card card(options.card);
    checkCardMemory(card, options.local, options.length);
    std::vector<uint8_t> piece(std::min(kDmaChunk, options.length));
    std::ofstream out(options.file, std::ios::binary | std::ios::trunc);
    if (!out)
        throw Failure("cannot create " + options.file + ": " + std::strerror(errno));
    const Stopwatch clock;
    try {
        Progress progress("reading", options.length, true);
        for (uint64_t done = 0; done < options.length;) {
            const uint64_t length = std::min(kDmaChunk, options.length - done);
            check(VELTRA_ReadDMAEx(card.handle(), options.channel, 0, piece.data(), length,
                                   options.local + done),
                  dmaWhat(card, options, "from", options.local + done));
            if (!out.write(reinterpret_cast<const char*>(piece.data()),
                           static_cast<std::streamsize>(length)))
                throw Failure("cannot write " + options.file);
            done += length;
            progress.update(done);
        }
        out.close();
        if (!out)
            throw Failure("cannot write " + options.file);
        progress.finish();
    } catch (const Failure&) {
        out.close();
        std::remove(options.file.c_str());
        throw;
    }
    const double seconds = clock.seconds();
    std::printf("read %s from card memory at %s of %s to %s in %s (%s)\n",
                sizeText(options.length).c_str(), hex(options.local).c_str(), card.name().c_str(),
                options.file.c_str(), durationText(seconds).c_str(),
                rateText(options.length, seconds).c_str());
}

void dmaWrite(const DmaOptions& options) {
    const FileBytes file(options.file);
    const std::span<const uint8_t> data = file.first(options.lengthOption, options.length);
    Card card(options.card);
    checkCardMemory(card, options.local, data.size());
    const Stopwatch clock;
    {
        Progress progress("writing", data.size(), true);
        for (uint64_t done = 0; done < data.size();) {
            const uint64_t piece = std::min<uint64_t>(kDmaChunk, data.size() - done);
            check(VELTRA_WriteDMAEx(card.handle(), options.channel, 0, data.data() + done, piece,
                                    options.local + done),
                  dmaWhat(card, options, "to", options.local + done));
            done += piece;
            progress.update(done);
        }
        progress.finish();
    }
    const double seconds = clock.seconds();
    std::printf("wrote %s to card memory at %s of %s in %s (%s)\n", options.file.c_str(),
                hex(options.local).c_str(), card.name().c_str(), durationText(seconds).c_str(),
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
    } while (seconds < budget || count < 3);
    return seconds / static_cast<double>(count);
}

}  // namespace

std::vector<uint32_t> dmaChannels(const Card& card) {
    std::vector<uint32_t> channels;
    for (uint32_t channel = 0; channel < 64; ++channel) {
        const VELTRA_STATUS status = VELTRA_WriteDMAEx(card.handle(), channel, 0, nullptr, 0, 0);
        if (status == VELTRA_INVALID_INDEX)
            break;
        check(status, format("cannot use DMA channel %u of %s", channel, card.name().c_str()));
        channels.push_back(channel);
    }
    return channels;
}

uint64_t cardMemorySize(const Card& card) {
    const auto all = windows(card);
    const int window = findWindow(all, kWindowCardMemory, 0);
    return window < 0 ? uint64_t{1} << 20 : all[static_cast<size_t>(window)].windowValue0;
}

namespace {

constexpr uint64_t kLatencyBytes = 64;
constexpr std::align_val_t kPage{4096};

struct AlignedDelete {
    void operator()(uint8_t* block) const { ::operator delete(block, kPage); }
};

void dmaTest(const DmaOptions& options) {
    Card card(options.card);
    const std::vector<uint32_t> channels = dmaChannels(card);
    const uint64_t memory = cardMemorySize(card);
    std::vector<uint64_t> sizes;
    for (uint64_t size :
         {uint64_t{4} << 10, uint64_t{64} << 10, uint64_t{1} << 20, uint64_t{16} << 20})
        if (size <= memory)
            sizes.push_back(size);
    if (sizes.empty() || channels.empty())
        throw Failure(card.name() + " has no DMA channel or card memory to test");
    // What the test overwrites is put back afterwards.
    std::vector<uint8_t> saved(sizes.back());
    check(VELTRA_ReadDMAEx(card.handle(), channels[0], 0, saved.data(), saved.size(), 0),
          "cannot save the card memory of " + card.name());
    // Page-aligned, as DMA buffers are: a copy to or from a buffer that is
    // not aligned as the card's memory is runs slower on some processors.
    std::span<uint8_t> buffer(static_cast<uint8_t*>(::operator new(sizes.back(), kPage)),
                              sizes.back());
    const std::unique_ptr<uint8_t, AlignedDelete> owner(buffer.data());
    for (size_t i = 0; i < buffer.size(); ++i)
        buffer[i] = static_cast<uint8_t>(i * 7);

    struct Restore {
        const Card& card;
        uint32_t channel;
        const std::vector<uint8_t>& saved;
        bool done = false;
        void now() {
            done = true;
            check(VELTRA_WriteDMAEx(card.handle(), channel, 0, saved.data(), saved.size(), 0),
                  "cannot restore the card memory of " + card.name());
        }
        ~Restore() {
            if (!done)
                VELTRA_WriteDMAEx(card.handle(), channel, 0, saved.data(), saved.size(), 0);
        }
    } restore{card, channels[0], saved};

    json document{{"card", card.index()}, {"channels", json::array()}};
    for (uint32_t channel : channels) {
        json entry{{"channel", channel}, {"bandwidth", json::array()}};
        for (uint64_t size : sizes) {
            const double write = timeTransfers(card, channel, true, buffer, size, options.seconds);
            const double read = timeTransfers(card, channel, false, buffer, size, options.seconds);
            entry["bandwidth"].push_back(
                {{"size", size},
                 {"writeBytesPerSecond", static_cast<double>(size) / write},
                 {"readBytesPerSecond", static_cast<double>(size) / read}});
        }
        entry["latency"] = {{"size", kLatencyBytes},
                            {"writeSeconds", timeTransfers(card, channel, true, buffer,
                                                           kLatencyBytes, options.seconds / 2)},
                            {"readSeconds", timeTransfers(card, channel, false, buffer,
                                                          kLatencyBytes, options.seconds / 2)}};
        document["channels"].push_back(entry);
    }
    restore.now();

    if (options.json) {
        printJson(document);
        return;
    }
    std::printf("DMA on %s (to the card: write; from the card: read)\n", card.name().c_str());
    for (const json& entry : document["channels"]) {
        std::printf("channel %u\n  %-10s %14s %14s\n", entry["channel"].get<unsigned>(), "size",
                    "write", "read");
        for (const json& row : entry["bandwidth"]) {
            const uint64_t size = row["size"].get<uint64_t>();
            std::printf("  %-10s %14s %14s\n", sizeText(size).c_str(),
                        rateText(size, size / row["writeBytesPerSecond"].get<double>()).c_str(),
                        rateText(size, size / row["readBytesPerSecond"].get<double>()).c_str());
        }
        std::printf("  latency of a %" PRIu64 "-byte transfer: write %s, read %s\n", kLatencyBytes,
                    durationText(entry["latency"]["writeSeconds"].get<double>()).c_str(),
                    durationText(entry["latency"]["readSeconds"].get<double>()).c_str());
    }
}

void addDmaCommands(CLI::App& app) {
    CLI::App* dma = app.add_subcommand("dma", "DMA between files and card memory, and its speed");
    dma->require_subcommand(1);
    auto transfer = [&](const char* name, const char* description, bool read) {
        auto options = std::make_shared<DmaOptions>();
        CLI::App* command = dma->add_subcommand(name, description);
        addCardOption(*command, *options, true);
        command->add_option("--channel", options->channel, "the DMA channel (default 0)")
            ->transform(numberForm());
        command->add_option("--local", options->local, "the card-local address")
            ->required()
            ->transform(sizeForm());
        options->lengthOption =
            command
                ->add_option("--length", options->length,
                             read ? "how much" : "send only this much of the file")
                ->transform(sizeForm());
        if (read)
            options->lengthOption->required();
        command
            ->add_option("--file", options->file, read ? "the file to write" : "the file to send")
            ->required();
        command->callback([options, read] { read ? dmaRead(*options) : dmaWrite(*options); });
    };
    transfer("read", "card memory to a file", true);
    transfer("write", "a file to card memory", false);

    auto test = std::make_shared<DmaOptions>();
    CLI::App* testCommand = dma->add_subcommand(
        "test",
        "bandwidth both ways over a range of sizes and the latency of a small transfer, "
        "on every channel (card memory is put back as it was)");
    addCardOption(*testCommand, *test, true);
    testCommand->add_option("--time", test->seconds, "seconds to measure each figure (default 0.2)")
        ->check(CLI::Range(0.001, 60.0));
    addJsonFlag(*testCommand, *test);
    testCommand->callback([test] { dmaTest(*test); });
}

}  // namespace

void addTransferCommands(CLI::App& app) {
    addRegisterCommands(app);
    addDmaCommands(app);
}

}  // namespace tool
