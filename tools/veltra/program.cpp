// veltra program: configures an FPGA from a bitstream file, after checking
// that the file was built for that FPGA.
#include "tool.h"

#include <cctype>
#include <cstdio>
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
