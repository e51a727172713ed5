// veltra clock: a card's clock generators.
#include <cstdio>
#include <memory>

#include "cards.h"
#include "command_table.h"
#include "errors.h"
#include "output.h"
#include "records.h"
#include "simulator.h"
#include "text.h"

namespace tool {

namespace clock_command {

struct Options : Change {
    uint32_t clock = 0;
    CLI::Option* clockOption = nullptr;
    bool json = false;
    std::string frequency;
};

void clockGet(const Options& o) {
    const Card card = o.card.open();
    json list = json::array();
    if (o.clockOption->count()) {
        double frequency = 0;
        check(VELTRA_GetClockFrequency(card.handle(), o.clock, &frequency),
              format("cannot read clock %u of %s", o.clock, card.name().c_str()));
        list.push_back({{"index", o.clock}, {"frequency", frequency}});
    } else {
        const std::vector<double> all = clocks(card);
        for (size_t index = 0; index < all.size(); ++index)
            list.push_back({{"index", index}, {"frequency", all[index]}});
    }
    if (o.json) {
        printJson({{"card", card.index()}, {"clocks", list}});
        return;
    }
    for (const json& k : list)
        std::printf("clock %u: %s\n", k["index"].get<unsigned>(),
                    frequencyText(k["frequency"].get<double>()).c_str());
}

// The range a clock takes, where the card says it (the simulated machine
// does; the package's driver reports only frequencies).
std::string rangeText(const Card& card, uint32_t clock) {
    double minimum = 0, maximum = 0;
    if (!simulatedClockRange(card.serial(), clock, minimum, maximum))
        return format("; the card does not say which frequencies clock %u takes", clock);
    return format("; clock %u takes %s to %s", clock, frequencyText(minimum).c_str(),
                  frequencyText(maximum).c_str());
}

void clockSet(const Options& o) {
    const double frequency = parseFrequency(o.frequency, "FREQ");
    const Card card = o.card.open();
    double actual = 0;
    const VELTRA_STATUS status =
        VELTRA_SetClockFrequency(card.handle(), o.clock, 0, frequency, &actual);
    const std::string what = format("cannot set clock %u of %s to %s", o.clock, card.name().c_str(),
                                    frequencyText(frequency).c_str());
    if (status == VELTRA_INVALID_FREQUENCY)
        throw Failure(what + ": " + statusText(status) + rangeText(card, o.clock));
    check(status, what);
    std::printf("clock %u of %s runs at %s\n", o.clock, card.name().c_str(),
                frequencyText(actual).c_str());
}

Work defineGet(CLI::App& command) {
    auto o = std::make_shared<Options>();
    addCardOption(command, o->card, true);
    o->clockOption = command.add_option("--clock", o->clock, "the clock generator's index")
                         ->transform(numberForm());
    command.add_flag("--json", o->json, "print JSON instead of text");
    return [o] { clockGet(*o); };
}

Work defineSet(CLI::App& command) {
    auto o = std::make_shared<Options>();
    addChangeOptions(command, *o, false, false);
    command.add_option("--clock", o->clock, "the clock generator's index")
        ->required()
        ->transform(numberForm());
    command.add_option("FREQ", o->frequency, "the frequency, with a unit (Hz, kHz, MHz, GHz)")
        ->required();
    return [o] { clockSet(*o); };
}

constexpr Command kCommands[] = {
    {"clock", "read or set a clock generator", nullptr},
    {"clock get", "the frequency of one clock, or of all", defineGet},
    {"clock set", "set a programmable clock: FREQ as 156.25MHz", defineSet},
};

}  // namespace clock_command

Commands clockCommands() {
    return clock_command::kCommands;
}

}  // namespace tool
