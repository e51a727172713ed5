// veltra program: configures an FPGA from a bitstream file, after checking
// the file whole and that it was built for that FPGA.
#include <cstdio>
#include <cstring>
#include <memory>

#include "bitfile.h"
#include "card_lock.h"
#include "cards.h"
#include "command_table.h"
#include "errors.h"
#include "output.h"
#include "text.h"
#include "veltra_part.h"

#if defined(_WIN32)
#include "wide.h"
#endif

namespace tool {

namespace program_command {

struct Unload {
    void operator()(void* bitstream) const { VELTRA_UnloadBitstreamA(bitstream); }
};

// A bitstream the library loaded, of either form: its part name, and its
// data where the library holds it.
struct Bitstream {
    std::unique_ptr<void, Unload> object;
    char fpgaName[32] = {};
    uint32_t length = 0;
    const uint8_t* data = nullptr;
};

// The library's object as the tool reads it. On Windows the wide form is
// loaded, by the wide file name, which holds any name.
Bitstream loadBitstream(const std::string& file, VELTRA_STATUS& status) {
    Bitstream loaded;
#if defined(_WIN32)
    VELTRA_BITSTREAMW* wide = nullptr;
    const std::wstring name = widen(file);
    status = VELTRA_LoadBitstreamW(reinterpret_cast<const WCHAR*>(name.c_str()), &wide);
    loaded.object.reset(wide);
    if (wide != nullptr) {
        for (size_t i = 0; i + 1 < sizeof loaded.fpgaName && wide->fpgaName[i] != 0; ++i)
            loaded.fpgaName[i] =
                wide->fpgaName[i] < 0x80 ? static_cast<char>(wide->fpgaName[i]) : '?';
        loaded.length = wide->length;
        loaded.data = wide->data;
    }
#else
    VELTRA_BITSTREAMA* narrowForm = nullptr;
    status = VELTRA_LoadBitstreamA(file.c_str(), &narrowForm);
    loaded.object.reset(narrowForm);
    if (narrowForm != nullptr) {
        std::memcpy(loaded.fpgaName, narrowForm->fpgaName, sizeof loaded.fpgaName);
        loaded.length = narrowForm->length;
        loaded.data = narrowForm->data;
    }
#endif
    return loaded;
}

struct Options : Change {
    uint32_t fpga = 0;
    std::string file;
    bool dryRun = false;
};

// A line on stderr about what is happening now, at a terminal only.
void stage(const std::string& what) {
    if (isTerminal(stderr))
        std::fprintf(stderr, "%s\n", what.c_str());
}

// Loads the whole file and checks it: a .bit file whose header is whole and
// announces no more data than it holds, and that did not change while it
// was read.
Bitstream loadChecked(const std::string& file, BitHeader& header) {
    VELTRA_STATUS status = VELTRA_SUCCESS;
    Bitstream bitstream = loadBitstream(file, status);
    if (status == VELTRA_FILE_NOT_FOUND)
        throw Failure("cannot open " + file + ": " + statusText(status));
    header = readBitHeader(file);
    if (status == VELTRA_INVALID_BITSTREAM && !header.standardStart)
        throw Failure(file +
                      " is not a Xilinx .bit file (it does not begin with the .bit "
                      "preamble)");
    if (status == VELTRA_INVALID_BITSTREAM || (status == VELTRA_SUCCESS && !header.complete))
        throw Failure(file +
                      " is not a usable bitstream, its header is damaged or the file is "
                      "truncated: " +
                      statusText(VELTRA_INVALID_BITSTREAM));
    check(status, "cannot load " + file);
    // The library takes what follows the header as the data; a file cut
    // short inside it holds less than its header announces.
    if (header.held < header.announced)
        throw Failure(
            format("%s is truncated: its header announces %llu bytes of configuration "
                   "data, the file holds %llu",
                   file.c_str(), static_cast<unsigned long long>(header.announced),
                   static_cast<unsigned long long>(header.held)));
    if (bitstream.length != header.held ||
        !veltra_part::sameDevice(bitstream.fpgaName, header.part))
        throw Failure(file + " changed while it was read");
    if (text(bitstream.fpgaName).empty())
        throw Failure(file + " names no FPGA part in its header");
    return bitstream;
}

VELTRA_FPGA_INFOA fpgaOf(const Card& card, uint32_t fpga) {
    VELTRA_FPGA_INFOA info{};
    const VELTRA_STATUS found = VELTRA_GetFpgaInfoA(card.handle(), fpga, &info);
    if (found == VELTRA_INVALID_INDEX)
        throw Failure(format("%s has no FPGA %u", card.name().c_str(), fpga));
    check(found, format("cannot read the information of FPGA %u of %s", fpga, card.name().c_str()));
    return info;
}

// The file's part against the FPGA's: the same device and package, however
// the file writes it.
void checkPart(const Card& card, uint32_t fpga, const VELTRA_FPGA_INFOA& info,
               const std::string& file, const Bitstream& bitstream) {
    if (!veltra_part::sameDevice(text(info.name), text(bitstream.fpgaName)))
        throw Failure(format("%s is built for %s; FPGA %u of %s is a %s", file.c_str(),
                             text(bitstream.fpgaName).c_str(), fpga, card.name().c_str(),
                             text(info.name).c_str()));
}

std::string builtText(const BitHeader& header) {
    std::string design = header.design.substr(0, header.design.find(';'));
    return format("design %s, built %s %s", design.empty() ? "(unnamed)" : design.c_str(),
                  header.date.c_str(), header.time.c_str());
}

void configure(const Card& card, const Options& o, const Bitstream& bitstream,
               const VELTRA_FPGA_INFOA& info) {
    stage(format("configuring FPGA %u of %s with %s", o.fpga, card.name().c_str(),
                 sizeText(bitstream.length).c_str()));
    const Stopwatch clock;
    check(VELTRA_ConfigureFromBuffer(card.handle(), o.fpga, 0, bitstream.data, bitstream.length),
          format("cannot configure FPGA %u of %s from %s", o.fpga, card.name().c_str(),
                 o.file.c_str()));
    const double seconds = clock.seconds();
    std::printf("configured FPGA %u of %s (%s) from %s: %s in %s (%s)\n", o.fpga,
                card.name().c_str(), text(info.name).c_str(), o.file.c_str(),
                sizeText(bitstream.length).c_str(), durationText(seconds).c_str(),
                rateText(bitstream.length, seconds).c_str());
}

void program(const Options& o) {
    stage("loading " + o.file);
    BitHeader header;
    const Bitstream bitstream = loadChecked(o.file, header);
    const Card card = o.card.open();
    const VELTRA_FPGA_INFOA info = fpgaOf(card, o.fpga);
    checkPart(card, o.fpga, info, o.file, bitstream);
    std::printf("%s: %s\n", o.file.c_str(), builtText(header).c_str());
    if (o.dryRun) {
        std::printf("it fits FPGA %u of %s (%s): nothing changed (--dry-run)\n", o.fpga,
                    card.name().c_str(), text(info.name).c_str());
        return;
    }
    const CardLock lock(card, o.wait);
    configure(card, o, bitstream, info);
}

Work defineProgram(CLI::App& command) {
    auto options = std::make_shared<Options>();
    addChangeOptions(command, *options, false, true);
    command.add_option("--fpga", options->fpga, "the FPGA's index (default 0)")
        ->transform(numberForm());
    command.add_flag("--dry-run", options->dryRun, "check the file and the card, change nothing");
    command.add_option("FILE", options->file, "the bitstream file")->required();
    return [options] { program(*options); };
}

constexpr Command kCommands[] = {
    {"program", "configure an FPGA from a bitstream file (.bit)", defineProgram},
};

}  // namespace program_command

Commands programCommands() {
    return program_command::kCommands;
}

}  // namespace tool
