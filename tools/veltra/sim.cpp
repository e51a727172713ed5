// veltra sim: the simulated machine's own controls, found at run time (real
// cards have none).
#include <cstdio>
#include <memory>
#include <optional>

#include "bitstream_writer.h"
#include "card_lock.h"
#include "cards.h"
#include "command_table.h"
#include "errors.h"
#include "files.h"
#include "simulator.h"
#include "text.h"

namespace tool {

namespace sim_command {

struct Options {
    std::string card, expectSerial, file, text;
    CLI::Option* cardOption = nullptr;
    std::string part = "7vx690tffg1157";
    uint64_t size = uint64_t{1} << 20;
    bool noSyncWord = false;
};

void requireShared(const char* why) {
    if (machineState().file.empty())
        throw Failure(std::string("the simulated machine is private to this process "
                                  "(VELTRA_SIM_STATE): ") +
                      why);
}

// The machine's own index of a card: by index as the machine counts its
// cards (removed ones too), or by serial; --expect-serial must match.
uint32_t machineCard(const std::string& text, const std::string& expectSerial) {
    const Selection selection = Selection::parse(text);
    if (selection.by == Selection::By::Path)
        throw Usage("CARD: the simulated machine's cards are named by index or serial");
    std::optional<uint32_t> card = selection.index;
    if (selection.by == Selection::By::Serial)
        card = simulatedCardOfSerial(selection.serial);
    if (!card.has_value())
        throw Failure("the simulated machine has no card with serial " +
                      serialText(selection.serial));
    if (!expectSerial.empty()) {
        const uint32_t serial = parseSerial(expectSerial, "--expect-serial");
        if (simulatedCardOfSerial(serial) != card)
            throw Failure(
                format("card %u of the simulated machine does not have serial %s; "
                       "nothing changed",
                       *card, serialText(serial).c_str()));
    }
    return *card;
}

void powerCycle(const Options& o) {
    requireSimulator();
    requireShared("nothing to switch off");
    const uint32_t card = machineCard(o.card, o.expectSerial);
    if (simulatorControl<int (*)(uint32_t)>("vsimPowerCycle")(card) == 0)
        throw Failure(format("the simulated machine has no card %u", card));
    std::printf("card %u switched off and on\n", card);
}

std::string faultText(const Options& o) {
    if (o.file.empty()) {
        if (o.text.empty())
            throw Usage("name a fault file, or give --text");
        return o.text;
    }
    const Bytes bytes = readWholeFile(o.file);
    return std::string(bytes.begin(), bytes.end());
}

// Faults on purpose, armed in the shared state: they hit the processes that
// use the machine now.
void fault(const Options& o) {
    requireSimulator();
    const std::string text = faultText(o);
    requireShared("no other process would see a fault");
    auto apply = simulatorControl<int (*)(const char*, char*, size_t)>("vsimArmCardFaults");
    char problem[512] = "";
    if (apply(text.c_str(), problem, sizeof problem) == 0)
        throw Failure(problem);
    std::printf("armed; the faults now:\n%s", simulatedFaults().c_str());
}

void clearFaults(const Options& o) {
    requireSimulator();
    requireShared("no other process would see a fault");
    const std::optional<uint32_t> card =
        o.cardOption->count() ? std::optional<uint32_t>(machineCard(o.card, "")) : std::nullopt;
    auto clear = simulatorControl<int (*)(uint32_t)>("vsimClearCardFaults");
    if (clear(card.value_or(0xFFFFFFFF)) == 0)
        throw Failure(format("the simulated machine has no card %u", card.value_or(0)));
    std::printf("%s: no faults\n",
                card.has_value() ? format("card %u", *card).c_str() : "every card");
}

void faults(const Options&) {
    const std::string armed = simulatedFaults();
    std::printf("%s", armed.empty() ? "no faults\n" : armed.c_str());
}

void checkDescription(const Options& o) {
    requireSimulator();
    auto checkFile =
        simulatorControl<int (*)(const char*, char*, size_t)>("vsimCheckMachineDescription");
    char problem[512] = "";
    if (checkFile(o.file.c_str(), problem, sizeof problem) == 0)
        throw Failure(problem);
    std::printf("%s: a good machine description\n", o.file.c_str());
}

// Where the machine's state lives, and where the tool keeps its cards'
// locks, notes of unfinished updates and recovery files (SERIAL stands for
// a card's serial).
void state(const Options&) {
    const MachineState s = machineState();
    std::printf("%s\n", s.file.empty() ? "private (this process's own)" : s.file.c_str());
    if (!s.problem.empty())
        std::printf("%s\n", s.problem.c_str());
    const CardPlace place(0);
    if (!place.keepsNotes()) {
        std::printf("card locks: in this process; no recovery files\n");
        return;
    }
    auto shown = [&](std::string text) {
        const size_t at = text.find(place.key().substr(0, 8));
        return at == std::string::npos ? text : text.replace(at, 8, "SERIAL");
    };
    std::printf("card locks: %s\n", shown(place.lockName()).c_str());
    std::printf("notes of unfinished updates: %s\n", shown(place.notePath()).c_str());
    std::printf("recovery files: %s\n", place.recoveryFolder().c_str());
}

void bitstream(const Options& o) {
    if (o.size < 64 || o.size >= (uint64_t{1} << 32) - 64)
        throw Usage("--size must lie between 64 bytes and 4 GiB");
    const std::vector<uint8_t> file =
        bitstream::Writer::standard(o.part, bitstream::configurationData(o.size, !o.noSyncWord))
            .bytes();
    // An output the user names: "-", a device or a FIFO is written in place.
    const bool standardOutput = writeOutput(o.file, file.data(), file.size());
    std::fprintf(standardOutput ? stderr : stdout,
                 "wrote %s: a design for %s with %s of configuration data\n", o.file.c_str(),
                 o.part.c_str(), sizeText(o.size).c_str());
}

template <void (*Run)(const Options&)>
Work run(std::shared_ptr<Options> o) {
    return [o] { Run(*o); };
}

Work definePowerCycle(CLI::App& command) {
    auto o = std::make_shared<Options>();
    command.add_option("CARD", o->card, "the card: its index on the machine, or serial:0xSERIAL")
        ->required();
    command.add_option("--expect-serial", o->expectSerial,
                       "refuse unless the card has this serial");
    return run<powerCycle>(o);
}

Work defineFault(CLI::App& command) {
    auto o = std::make_shared<Options>();
    auto* file = command.add_option("FILE", o->file, "the fault file (.toml)");
    command.add_option("--text", o->text, "the faults as text, in the form of a fault file")
        ->excludes(file);
    return run<fault>(o);
}

Work defineClearFaults(CLI::App& command) {
    auto o = std::make_shared<Options>();
    o->cardOption = command.add_option("CARD", o->card, "the card: its index, or serial:0xSERIAL");
    return run<clearFaults>(o);
}

Work defineFaults(CLI::App&) {
    return run<faults>(std::make_shared<Options>());
}

Work defineCheck(CLI::App& command) {
    auto o = std::make_shared<Options>();
    command.add_option("FILE", o->file, "the machine description (.toml)")->required();
    return run<checkDescription>(o);
}

Work defineState(CLI::App&) {
    return run<state>(std::make_shared<Options>());
}

Work defineBitstream(CLI::App& command) {
    auto o = std::make_shared<Options>();
    command.add_option("FILE", o->file, "the file to write")->required();
    command.add_option("--part", o->part, "the part it is built for (default 7vx690tffg1157)");
    command.add_option("--size", o->size, "bytes of configuration data (default 1 MiB)")
        ->transform(sizeForm());
    command.add_flag("--no-sync-word", o->noSyncWord,
                     "data without the sync word: the FPGA never finishes configuring");
    return run<bitstream>(o);
}

constexpr Command kCommands[] = {
    {"sim", "the simulated machine's own controls", nullptr},
    {"sim power-cycle", "switch a simulated card off and on", definePowerCycle},
    {"sim fault", "make the simulated cards fail on purpose: arm the faults of a fault file",
     defineFault},
    {"sim clear-faults", "clear the faults of a card (of every card without CARD)",
     defineClearFaults},
    {"sim faults", "the faults armed on the simulated cards", defineFaults},
    {"sim check", "check a machine description", defineCheck},
    {"sim state", "where the simulated machine's state lives", defineState},
    {"sim bitstream", "write a sample bitstream file that configures a simulated FPGA",
     defineBitstream},
};

}  // namespace sim_command

Commands simCommands() {
    return sim_command::kCommands;
}

}  // namespace tool
