// veltra program: configures an FPGA from a bitstream file, after checking
// that the file was built for that FPGA.
#include "tool.h"

#include <cctype>
#include <algorithm>
#include <cstdio>
#include <fstream>
#include <vector>
#include <memory>

namespace tool {

namespace {

struct Unload {
    void operator()(VELTRA_BITSTREAMA* bitstream) const { VELTRA_UnloadBitstreamA(bitstream); }
};
using Bitstream = std::unique_ptr<VELTRA_BITSTREAMA, Unload>;

std::string lower(std::string text) {
    for (char& ch : text)
        ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    return text;
}

// What a .bit file's header announces: the length of the configuration
// data and where it starts (the 'e' field: a big-endian 32-bit length, then
// the data), read from the file's first bytes. False if the header cannot
// be walked.
bool announcedData(const std::string& path, uint64_t& announced, uint64_t& held) {
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    if (!in)
        return false;
    const std::streamoff size = in.tellg();
    std::vector<uint8_t> head(static_cast<size_t>(std::min<std::streamoff>(size, 64 << 10)));
    in.seekg(0);
    if (size <= 0 ||
        !in.read(reinterpret_cast<char*>(head.data()), static_cast<std::streamsize>(head.size())))
        return false;
    auto be16 = [&](size_t at) { return (size_t{head[at]} << 8) | head[at + 1]; };
    size_t at = 0;
    if (head.size() < 2)
        return false;
    at = 2 + be16(0) + 2;  // the preamble, then the field count
    while (at < head.size()) {
        if (head[at] == 'e') {
            if (at + 5 > head.size())
                return false;
            announced = (uint64_t{head[at + 1]} << 24) | (uint64_t{head[at + 2]} << 16) |
                        (uint64_t{head[at + 3]} << 8) | head[at + 4];
            held = static_cast<uint64_t>(size) - (at + 5);
            return true;
        }
        if (at + 3 > head.size())
            return false;
        at += 3 + be16(at + 1);
    }
    return false;
}

// A line on stderr about what is happening now, at a terminal only.
void stage(bool show, const std::string& what) {
    if (show)
        std::fprintf(stderr, "%s\n", what.c_str());
}

}  // namespace

double programFpga(const Card& card, uint32_t fpga, const std::string& file, bool showProgress,
                   uint64_t* bytes) {
    const bool show = showProgress && stderrIsTerminal();
    const Stopwatch clock;
    stage(show, "loading " + file);
    VELTRA_BITSTREAMA* loaded = nullptr;
    const VELTRA_STATUS status = VELTRA_LoadBitstreamA(file.c_str(), &loaded);
    if (status == VELTRA_FILE_NOT_FOUND)
        throw Failure("cannot open " + file + ": " + statusText(status));
    if (status == VELTRA_INVALID_BITSTREAM)
        throw Failure(file +
                      " is not a usable bitstream, its header is damaged or the file is "
                      "truncated: " +
                      statusText(status));
    check(status, "cannot load " + file);
    const Bitstream bitstream(loaded);
    // The library takes what follows the header as the data; a file cut
    // short inside it holds less than its header announces.
    uint64_t announced = 0, held = 0;
    if (announcedData(file, announced, held) && held < announced)
        throw Failure(
            format("%s is truncated: its header announces %llu bytes of configuration "
                   "data, the file holds %llu",
                   file.c_str(), static_cast<unsigned long long>(announced),
                   static_cast<unsigned long long>(held)));
    if (text(bitstream->fpgaName).empty())
        throw Failure(file + " names no FPGA part in its header");

    VELTRA_FPGA_INFOA info{};
    const VELTRA_STATUS found = VELTRA_GetFpgaInfoA(card.handle(), fpga, &info);
    if (found == VELTRA_INVALID_INDEX)
        throw Failure(format("%s has no FPGA %u", card.name().c_str(), fpga));
    check(found, format("cannot read the information of FPGA %u of %s", fpga, card.name().c_str()));
    const std::string part = lower(text(bitstream->fpgaName)), cardPart = lower(text(info.name));
    if (part != cardPart)
        throw Failure(format("%s is built for %s; FPGA %u of %s is a %s", file.c_str(),
                             part.c_str(), fpga, card.name().c_str(), cardPart.c_str()));

    stage(show, format("configuring FPGA %u of %s with %s", fpga, card.name().c_str(),
                       sizeText(bitstream->length).c_str()));
    check(
        VELTRA_ConfigureFromBuffer(card.handle(), fpga, 0, bitstream->data, bitstream->length),
        format("cannot configure FPGA %u of %s from %s", fpga, card.name().c_str(), file.c_str()));
    if (bytes != nullptr)
        *bytes = bitstream->length;
    return clock.seconds();
}

void addProgramCommand(CLI::App& app) {
    struct Options : Common {
        uint32_t fpga = 0;
        std::string file;
    };
    auto options = std::make_shared<Options>();
    CLI::App* command =
        app.add_subcommand("program", "configure an FPGA from a bitstream file (.bit)");
    addCardOption(*command, *options, true);
    command->add_option("--fpga", options->fpga, "the FPGA's index (default 0)")
        ->transform(numberForm());
    command->add_option("FILE", options->file, "the bitstream file")->required();
    command->callback([options] {
        Card card(options->card);
        uint64_t bytes = 0;
        const double seconds = programFpga(card, options->fpga, options->file, true, &bytes);
        VELTRA_FPGA_INFOA info{};
        check(VELTRA_GetFpgaInfoA(card.handle(), options->fpga, &info),
              format("cannot read the information of FPGA %u of %s", options->fpga,
                     card.name().c_str()));
        std::printf("configured FPGA %u of %s (%s) from %s: %s in %s (%s)\n", options->fpga,
                    card.name().c_str(), text(info.name).c_str(), options->file.c_str(),
                    sizeText(bytes).c_str(), durationText(seconds).c_str(),
                    rateText(bytes, seconds).c_str());
    });
}

}  // namespace tool
