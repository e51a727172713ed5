// veltra bridge: the KESTA device of a card. veltra sim: the simulated
// machine's own controls, found at run time (real cards have none).
#include "tool.h"

#include "bitstream_writer.h"

#include <cinttypes>
#include <fstream>
#include <iterator>
#include <optional>
#include <cstdio>
#include <memory>

#if !defined(_WIN32)
#include <dlfcn.h>
#endif

namespace tool {

namespace {

// What the states of an IPROG slot mean to the package's driver.
const char* iprogState(uint32_t state) {
    switch (state) {
        case 0:
            return "idle";
        case 1:
            return "scheduled";
        case 2:
            return "aborted";
        default:
            return "unknown";
    }
}

struct BridgeOptions : Common {
    uint32_t slot = 0;
    CLI::Option* slotOption = nullptr;
    uint64_t address = 0;
    uint32_t value = 0, flags = 0;
    CLI::Option* flagsOption = nullptr;
    bool nextReset = false, golden = false;
};

CLI::App* bridgeCommand(CLI::App& parent, const char* name, const char* description,
                        BridgeOptions& options) {
    CLI::App* command = parent.add_subcommand(name, description);
    addCardOption(*command, options, true);
    return command;
}

void iprogStatus(const BridgeOptions& options) {
    Bridge bridge(options.card);
    json slots = json::array();
    for (uint32_t slot = options.slotOption->count() ? options.slot : 0;; ++slot) {
        uint32_t state = 0, value = 0;
        uint64_t address = 0;
        const KESTA_STATUS status =
            KESTA_StatusIPROG(bridge.handle(), slot, &state, &address, &value);
        if (status == KESTA_INVALID_INDEX && !options.slotOption->count() && slot > 0)
            break;
        checkBridge(status, format("cannot read IPROG slot %u of card %u", slot, options.card));
        slots.push_back({{"slot", slot},
                         {"state", state},
                         {"stateName", iprogState(state)},
                         {"address", address},
                         {"value", value}});
        if (options.slotOption->count() || slot >= 255)
            break;
    }
    if (options.json) {
        printJson(slots);
        return;
    }
    for (const json& s : slots)
        std::printf(
            "IPROG slot %u of card %u: %s (%u), address %s, value %s\n", s["slot"].get<unsigned>(),
            options.card, s["stateName"].get<std::string>().c_str(), s["state"].get<unsigned>(),
            hex(s["address"].get<uint64_t>(), 8).c_str(), hex(s["value"].get<uint64_t>()).c_str());
}

void addIprogCommands(CLI::App& bridge) {
    CLI::App* iprog =
        bridge.add_subcommand("iprog", "schedule, query or abort an FPGA reconfiguration");
    iprog->require_subcommand(1);
    auto slotOption = [](CLI::App& command, BridgeOptions& options) {
        options.slotOption =
            command.add_option("--slot", options.slot, "the IPROG slot (default 0)")
                ->transform(numberForm());
    };

    auto schedule = std::make_shared<BridgeOptions>();
    CLI::App* scheduleCommand =
        bridgeCommand(*iprog, "schedule", "reconfigure the FPGA from a flash address", *schedule);
    slotOption(*scheduleCommand, *schedule);
    scheduleCommand->add_option("--address", schedule->address, "the flash address of the image")
        ->required()
        ->transform(sizeForm());
    scheduleCommand->add_option("--value", schedule->value, "the value passed with it (default 0)")
        ->transform(numberForm());
    auto* nextReset = scheduleCommand->add_flag("--next-reset", schedule->nextReset,
                                                "at the next reset (flag bit 0)");
    auto* golden = scheduleCommand->add_flag("--golden", schedule->golden,
                                             "fall back to the golden image (flag bit 1)");
    schedule->flagsOption =
        scheduleCommand->add_option("--flags", schedule->flags, "the flags as a number")
            ->transform(numberForm())
            ->excludes(nextReset)
            ->excludes(golden);
    scheduleCommand->callback([schedule] {
        const uint32_t flags = schedule->flagsOption->count()
                                   ? schedule->flags
                                   : (schedule->nextReset ? 1u : 0u) | (schedule->golden ? 2u : 0u);
        Bridge bridge(schedule->card);
        checkBridge(
            KESTA_ScheduleIPROG(bridge.handle(), schedule->slot, flags, schedule->address,
                                schedule->value),
            format("cannot schedule IPROG slot %u of card %u", schedule->slot, schedule->card));
        std::printf("IPROG slot %u of card %u scheduled from %s (flags %s)\n", schedule->slot,
                    schedule->card, hex(schedule->address, 8).c_str(), hex(flags).c_str());
    });

    auto status = std::make_shared<BridgeOptions>();
    CLI::App* statusCommand =
        bridgeCommand(*iprog, "status", "the state of one slot, or of all", *status);
    slotOption(*statusCommand, *status);
    addJsonFlag(*statusCommand, *status);
    statusCommand->callback([status] { iprogStatus(*status); });

    auto abort = std::make_shared<BridgeOptions>();
    CLI::App* abortCommand =
        bridgeCommand(*iprog, "abort", "abort a scheduled reconfiguration", *abort);
    slotOption(*abortCommand, *abort);
    abortCommand->callback([abort] {
        Bridge bridge(abort->card);
        checkBridge(KESTA_AbortIPROG(bridge.handle(), abort->slot),
                    format("cannot abort IPROG slot %u of card %u", abort->slot, abort->card));
        std::printf("IPROG slot %u of card %u aborted\n", abort->slot, abort->card);
    });
}

}  // namespace

void addBridgeCommands(CLI::App& app) {
    CLI::App* bridge = app.add_subcommand("bridge", "the bridge device (KESTA) of a card");
    bridge->require_subcommand(1);

    auto id = std::make_shared<BridgeOptions>();
    CLI::App* idCommand = bridgeCommand(*bridge, "id", "the card's 64-bit unique identifier", *id);
    addJsonFlag(*idCommand, *id);
    idCommand->callback([id] {
        Bridge bridge(id->card);
        uint64_t value = 0;
        checkBridge(KESTA_GetUniqueId(bridge.handle(), &value),
                    format("cannot read the unique id of card %u", id->card));
        if (id->json)
            printJson({{"card", id->card}, {"uniqueId", value}});
        else
            std::printf("%s\n", hex(value, 16).c_str());
    });

    auto prodtest = std::make_shared<BridgeOptions>();
    CLI::App* prodtestCommand =
        bridgeCommand(*bridge, "prodtest", "the production-test record", *prodtest);
    addJsonFlag(*prodtestCommand, *prodtest);
    prodtestCommand->callback([prodtest] {
        Bridge bridge(prodtest->card);
        KESTA_PROD_TEST_INFO t{};
        checkBridge(KESTA_GetProdTestInfo(bridge.handle(), &t),
                    format("cannot read the production-test record of card %u", prodtest->card));
        if (prodtest->json) {
            printJson({{"card", prodtest->card},
                       {"testValue0", t.testValue0},
                       {"testByte0", t.testByte0},
                       {"testByte1", t.testByte1},
                       {"testByte2", t.testByte2},
                       {"testValue1", t.testValue1},
                       {"testValue2", t.testValue2}});
            return;
        }
        std::printf(
            "production test of card %u: date %u, station %u, passes %u, retries %u, "
            "program %s, checksum %s\n",
            prodtest->card, t.testValue0, t.testByte0, t.testByte1, t.testByte2,
            hex(t.testValue1, 8).c_str(), hex(t.testValue2, 8).c_str());
    });

    auto irq = std::make_shared<BridgeOptions>();
    bridgeCommand(*bridge, "irq", "service the bridge's interrupt", *irq)->callback([irq] {
        Bridge bridge(irq->card);
        uint32_t serviced = 0;
        checkBridge(KESTA_ServiceIRQ(bridge.handle(), &serviced),
                    format("cannot service the interrupt of card %u", irq->card));
        std::printf("card %u: %s\n", irq->card,
                    serviced ? "an interrupt was pending and is serviced" : "no interrupt pending");
    });

    addIprogCommands(*bridge);
}

namespace {

// A control of the simulated driver, or null on a machine with real cards.
template <typename Function>
Function simulatorControl(const char* name) {
#if defined(_WIN32)
    HMODULE simulator = GetModuleHandleA("vsim.dll");
    void* address =
        simulator != nullptr ? reinterpret_cast<void*>(GetProcAddress(simulator, name)) : nullptr;
#else
    void* address = dlsym(RTLD_DEFAULT, name);
#endif
    if (address == nullptr)
        throw Failure(
            "not on the simulated driver (on Windows, give --sim or start veltra.exe "
            "through vsim-run)");
    return reinterpret_cast<Function>(address);
}

using MachineState = int (*)(char*, size_t, char*, size_t);

// The machine's state file ("" for a private machine), and why it is
// private or has no cards.
std::pair<std::string, std::string> machineState() {
    auto state = simulatorControl<MachineState>("vsimMachineState");
    VELTRA_HANDLE card = nullptr;  // the machine comes with the first open
    if (VELTRA_Open(0, &card) == VELTRA_SUCCESS)
        VELTRA_Close(card);
    char file[1024] = "", problem[512] = "";
    state(file, sizeof file, problem, sizeof problem);
    return {file, problem};
}

}  // namespace

void addSimulatorCommands(CLI::App& app) {
    CLI::App* sim = app.add_subcommand("sim", "the simulated machine's own controls");
    sim->require_subcommand(1);

    auto card = std::make_shared<uint32_t>(0);
    CLI::App* powerCycle = sim->add_subcommand("power-cycle", "switch a simulated card off and on");
    powerCycle->add_option("CARD", *card, "the card's index")->required()->transform(numberForm());
    powerCycle->callback([card] {
        auto cycle = simulatorControl<int (*)(uint32_t)>("vsimPowerCycle");
        if (machineState().first.empty())
            throw Failure(
                "the simulated machine is private to this process (VELTRA_SIM_STATE): "
                "nothing to switch off");
        if (cycle(*card) == 0)
            throw Failure(format("the simulated machine has no card %u", *card));
        std::printf("card %u switched off and on\n", *card);
    });

    // Faults on purpose, armed in the shared state: they hit the processes
    // that use the machine now.
    auto requireShared = [] {
        if (machineState().first.empty())
            throw Failure(
                "the simulated machine is private to this process (VELTRA_SIM_STATE): "
                "no other process would see a fault");
    };
    struct FaultOptions {
        std::string file, text;
    };
    auto faults = std::make_shared<FaultOptions>();
    CLI::App* fault = sim->add_subcommand(
        "fault", "make the simulated cards fail on purpose: arm the faults of a fault file");
    auto* fileOption = fault->add_option("FILE", faults->file, "the fault file (.toml)");
    fault->add_option("--text", faults->text, "the faults as text, in the form of a fault file")
        ->excludes(fileOption);
    fault->callback([faults, requireShared] {
        auto apply = simulatorControl<int (*)(const char*, char*, size_t)>("vsimArmCardFaults");
        requireShared();
        std::string text = faults->text;
        if (!faults->file.empty()) {
            std::ifstream in(faults->file, std::ios::binary);
            if (!in)
                throw Failure("cannot read " + faults->file);
            text.assign(std::istreambuf_iterator<char>(in), {});
        } else if (text.empty()) {
            throw Usage("name a fault file, or give --text");
        }
        char problem[512] = "";
        if (apply(text.c_str(), problem, sizeof problem) == 0)
            throw Failure(problem);
        auto describe = simulatorControl<int (*)(char*, size_t)>("vsimCardFaults");
        char armed[4096] = "";
        describe(armed, sizeof armed);
        std::printf("armed; the faults now:\n%s", armed);
    });

    auto clearCard = std::make_shared<std::optional<uint32_t>>();
    CLI::App* clear = sim->add_subcommand(
        "clear-faults", "clear the faults of a card (of every card without CARD)");
    clear->add_option("CARD", *clearCard, "the card's index")->transform(numberForm());
    clear->callback([clearCard, requireShared] {
        auto clearFaults = simulatorControl<int (*)(uint32_t)>("vsimClearCardFaults");
        requireShared();
        if (clearFaults(clearCard->value_or(0xFFFFFFFF)) == 0)
            throw Failure(format("the simulated machine has no card %u", clearCard->value_or(0)));
        std::printf("%s: no faults\n", clearCard->has_value()
                                           ? format("card %u", clearCard->value()).c_str()
                                           : "every card");
    });

    sim->add_subcommand("faults", "the faults armed on the simulated cards")->callback([] {
        auto describe = simulatorControl<int (*)(char*, size_t)>("vsimCardFaults");
        machineState();  // the machine comes with the first open
        char armed[4096] = "";
        describe(armed, sizeof armed);
        std::printf("%s", armed[0] != 0 ? armed : "no faults\n");
    });

    auto file = std::make_shared<std::string>();
    CLI::App* checkCommand = sim->add_subcommand("check", "check a machine description");
    checkCommand->add_option("FILE", *file, "the machine description (.toml)")->required();
    checkCommand->callback([file] {
        auto checkFile =
            simulatorControl<int (*)(const char*, char*, size_t)>("vsimCheckMachineDescription");
        char problem[512] = "";
        if (checkFile(file->c_str(), problem, sizeof problem) == 0)
            throw Failure(problem);
        std::printf("%s: a good machine description\n", file->c_str());
    });

    sim->add_subcommand("state", "where the simulated machine's state lives")->callback([] {
        const auto [file, problem] = machineState();
        std::printf("%s\n", file.empty() ? "private (this process's own)" : file.c_str());
        if (!problem.empty())
            std::printf("%s\n", problem.c_str());
    });

    struct Sample {
        std::string file, part = "7vx690tffg1157";
        uint64_t size = uint64_t{1} << 20;
        bool noSyncWord = false;
    };
    auto sample = std::make_shared<Sample>();
    CLI::App* bitstream = sim->add_subcommand(
        "bitstream", "write a sample bitstream file that configures a simulated FPGA");
    bitstream->add_option("FILE", sample->file, "the file to write")->required();
    bitstream->add_option("--part", sample->part,
                          "the part it is built for (default 7vx690tffg1157)");
    bitstream->add_option("--size", sample->size, "bytes of configuration data (default 1 MiB)")
        ->transform(sizeForm());
    bitstream->add_flag("--no-sync-word", sample->noSyncWord,
                        "data without the sync word: the FPGA never finishes configuring");
    bitstream->callback([sample] {
        if (sample->size < 64 || sample->size >= (uint64_t{1} << 32) - 64)
            throw Usage("--size must lie between 64 bytes and 4 GiB");
        if (!bitstream::Writer::standard(
                 sample->part, bitstream::configurationData(sample->size, !sample->noSyncWord))
                 .writeTo(sample->file))
            throw Failure("cannot write " + sample->file);
        std::printf("wrote %s: a design for %s with %s of configuration data\n",
                    sample->file.c_str(), sample->part.c_str(), sizeText(sample->size).c_str());
    });
}

}  // namespace tool
