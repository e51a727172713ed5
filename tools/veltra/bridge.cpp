// veltra bridge: the bridge device (KESTA) of a card.
#include <cstdio>
#include <memory>

#include "cards.h"
#include "command_table.h"
#include "errors.h"
#include "output.h"
#include "text.h"

namespace tool {

namespace bridge_command {

// What the states of an IPROG slot mean to the package's driver.
const char* iprogState(uint32_t state) {
    static const char* const kStates[] = {"idle", "scheduled", "aborted"};
    return state < 3 ? kStates[state] : "unknown";
}

struct Options : Change {
    uint32_t slot = 0;
    CLI::Option* slotOption = nullptr;
    uint64_t address = 0;
    uint32_t value = 0, flags = 0;
    CLI::Option* flagsOption = nullptr;
    bool nextReset = false, golden = false, json = false;
};

void bridgeId(const Options& o) {
    const Card card = o.card.open();
    const Bridge bridge(card);
    uint64_t value = 0;
    checkBridge(KESTA_GetUniqueId(bridge.handle(), &value),
                format("cannot read the unique id of %s", card.name().c_str()));
    if (o.json)
        printJson({{"card", card.index()}, {"uniqueId", hexValue(value, 16)}});
    else
        std::printf("%s\n", hex(value, 16).c_str());
}

void bridgeProdTest(const Options& o) {
    const Card card = o.card.open();
    const Bridge bridge(card);
    KESTA_PROD_TEST_INFO t{};
    checkBridge(KESTA_GetProdTestInfo(bridge.handle(), &t),
                format("cannot read the production-test record of %s", card.name().c_str()));
    if (o.json) {
        printJson({{"card", card.index()},
                   {"testValue0", t.testValue0},
                   {"testByte0", t.testByte0},
                   {"testByte1", t.testByte1},
                   {"testByte2", t.testByte2},
                   {"testValue1", t.testValue1},
                   {"testValue2", t.testValue2}});
        return;
    }
    std::printf(
        "production test of %s: date %u, station %u, passes %u, retries %u, program %s, checksum "
        "%s\n",
        card.name().c_str(), t.testValue0, t.testByte0, t.testByte1, t.testByte2,
        hex(t.testValue1, 8).c_str(), hex(t.testValue2, 8).c_str());
}

void bridgeIrq(const Options& o) {
    const Card card = o.card.open();
    const Bridge bridge(card);
    uint32_t serviced = 0;
    checkBridge(KESTA_ServiceIRQ(bridge.handle(), &serviced),
                format("cannot service the interrupt of %s", card.name().c_str()));
    std::printf("%s: %s\n", card.name().c_str(),
                serviced ? "an interrupt was pending and is serviced" : "no interrupt pending");
}

json slotJson(uint32_t slot, uint32_t state, uint64_t address, uint32_t value) {
    return {{"slot", slot},
            {"state", state},
            {"stateName", iprogState(state)},
            {"address", hexValue(address)},
            {"value", value}};
}

// One slot, or every slot there is (until the index the bridge refuses).
json iprogSlots(const Card& card, const Bridge& bridge, const Options& o) {
    json slots = json::array();
    const bool one = o.slotOption->count() > 0;
    for (uint32_t slot = one ? o.slot : 0; slot < 256; ++slot) {
        uint32_t state = 0, value = 0;
        uint64_t address = 0;
        const KESTA_STATUS status =
            KESTA_StatusIPROG(bridge.handle(), slot, &state, &address, &value);
        if (status == KESTA_INVALID_INDEX && !one && slot > 0)
            break;
        checkBridge(status, format("cannot read IPROG slot %u of %s", slot, card.name().c_str()));
        slots.push_back(slotJson(slot, state, address, value));
        if (one)
            break;
    }
    return slots;
}

void iprogStatus(const Options& o) {
    const Card card = o.card.open();
    const Bridge bridge(card);
    const json slots = iprogSlots(card, bridge, o);
    if (o.json) {
        printJson({{"card", card.index()}, {"slots", slots}});
        return;
    }
    for (const json& s : slots)
        std::printf("IPROG slot %u of %s: %s (%u), address %s, value %s\n",
                    s["slot"].get<unsigned>(), card.name().c_str(),
                    s["stateName"].get<std::string>().c_str(), s["state"].get<unsigned>(),
                    hex(std::stoull(s["address"].get<std::string>(), nullptr, 16), 8).c_str(),
                    hex(s["value"].get<uint64_t>()).c_str());
}

void iprogSchedule(const Options& o) {
    const uint32_t flags =
        o.flagsOption->count() ? o.flags : (o.nextReset ? 1u : 0u) | (o.golden ? 2u : 0u);
    const Card card = o.card.open();
    const Bridge bridge(card);
    checkBridge(KESTA_ScheduleIPROG(bridge.handle(), o.slot, flags, o.address, o.value),
                format("cannot schedule IPROG slot %u of %s", o.slot, card.name().c_str()));
    std::printf("IPROG slot %u of %s scheduled from %s (flags %s)\n", o.slot, card.name().c_str(),
                hex(o.address, 8).c_str(), hex(flags).c_str());
}

void iprogAbort(const Options& o) {
    const Card card = o.card.open();
    const Bridge bridge(card);
    checkBridge(KESTA_AbortIPROG(bridge.handle(), o.slot),
                format("cannot abort IPROG slot %u of %s", o.slot, card.name().c_str()));
    std::printf("IPROG slot %u of %s aborted\n", o.slot, card.name().c_str());
}

template <void (*Run)(const Options&)>
Work run(std::shared_ptr<Options> o) {
    return [o] { Run(*o); };
}

void addSlot(CLI::App& command, Options& o) {
    o.slotOption =
        command.add_option("--slot", o.slot, "the IPROG slot (default 0)")->transform(numberForm());
}

Work defineId(CLI::App& command) {
    auto o = std::make_shared<Options>();
    addCardOption(command, o->card, true);
    command.add_flag("--json", o->json, "print JSON instead of text");
    return run<bridgeId>(o);
}

Work defineProdTest(CLI::App& command) {
    auto o = std::make_shared<Options>();
    addCardOption(command, o->card, true);
    command.add_flag("--json", o->json, "print JSON instead of text");
    return run<bridgeProdTest>(o);
}

Work defineIrq(CLI::App& command) {
    auto o = std::make_shared<Options>();
    addCardOption(command, o->card, true);
    return run<bridgeIrq>(o);
}

Work defineSchedule(CLI::App& command) {
    auto o = std::make_shared<Options>();
    addChangeOptions(command, *o, false, false);
    addSlot(command, *o);
    command.add_option("--address", o->address, "the flash address of the image")
        ->required()
        ->transform(sizeForm());
    command.add_option("--value", o->value, "the value passed with it (default 0)")
        ->transform(numberForm());
    auto* nextReset =
        command.add_flag("--next-reset", o->nextReset, "at the next reset (flag bit 0)");
    auto* golden =
        command.add_flag("--golden", o->golden, "fall back to the golden image (flag bit 1)");
    o->flagsOption = command.add_option("--flags", o->flags, "the flags as a number")
                         ->transform(numberForm())
                         ->excludes(nextReset)
                         ->excludes(golden);
    return run<iprogSchedule>(o);
}

Work defineStatus(CLI::App& command) {
    auto o = std::make_shared<Options>();
    addCardOption(command, o->card, true);
    addSlot(command, *o);
    command.add_flag("--json", o->json, "print JSON instead of text");
    return run<iprogStatus>(o);
}

Work defineAbort(CLI::App& command) {
    auto o = std::make_shared<Options>();
    addChangeOptions(command, *o, false, false);
    addSlot(command, *o);
    return run<iprogAbort>(o);
}

constexpr Command kCommands[] = {
    {"bridge", "the bridge device (KESTA) of a card", nullptr},
    {"bridge id", "the card's 64-bit unique identifier", defineId},
    {"bridge prodtest", "the production-test record", defineProdTest},
    {"bridge irq", "service the bridge's interrupt", defineIrq},
    {"bridge iprog", "schedule, query or abort an FPGA reconfiguration", nullptr},
    {"bridge iprog schedule", "reconfigure the FPGA from a flash address", defineSchedule},
    {"bridge iprog status", "the state of one slot, or of all", defineStatus},
    {"bridge iprog abort", "abort a scheduled reconfiguration", defineAbort},
};

}  // namespace bridge_command

Commands bridgeCommands() {
    return bridge_command::kCommands;
}

}  // namespace tool
