// veltra sensors: the sensors of the cards, with units, limits and alarm
// state, once or every few seconds. A reading outside its limits or in
// alarm fails the command (exit 1) unless --no-fail; so does a card that
// goes away while the sensors are watched.
#include <cstdio>
#include <memory>

#include "cards.h"
#include "command_table.h"
#include "errors.h"
#include "interrupts.h"
#include "monitor.h"
#include "output.h"
#include "records.h"
#include "text.h"

namespace tool {

namespace sensors_command {

struct Options {
    CardChoice card;
    double watch = 0;
    uint32_t count = 0;
    bool json = false, noFail = false;
};

// One round of readings: the table's rows, the JSON entries, and what is
// out of order.
struct Round {
    std::string table;
    json readings = json::array();
    std::vector<std::string> problems;
};

std::string stateText(const SensorReading& reading, const std::string& alarms) {
    return alarms.empty() ? reading.state : reading.state + ": " + alarms;
}

void readCard(const Card& card, Round& round) {
    Round mine;
    const auto all = sensors(card);
    for (uint32_t s = 0; s < all.size(); ++s) {
        const SensorReading reading = readSensor(card, s, all[s]);
        const std::string name = text(all[s].description);
        const std::string alarms = all[s].attribute1 == kSensorFlags
                                       ? alarmedSensors(static_cast<uint32_t>(reading.value), all)
                                       : "";
        json entry{{"card", card.index()},
                   {"serial", serialText(card.serial())},
                   {"index", s},
                   {"description", name}};
        entry.update(readingJson(all[s], reading));
        if (!alarms.empty())
            entry["alarms"] = alarms;
        mine.readings.push_back(entry);
        mine.table += format("%-4u %-3u %-27s %14s  %s\n", card.index(), s, name.c_str(),
                             reading.text.c_str(), stateText(reading, alarms).c_str());
        if (!reading.ok())
            mine.problems.push_back(format("%s: %s is %s", card.name().c_str(), name.c_str(),
                                           stateText(reading, alarms).c_str()));
    }
    round.table += mine.table;
    for (json& entry : mine.readings)
        round.readings.push_back(std::move(entry));
    round.problems.insert(round.problems.end(), mine.problems.begin(), mine.problems.end());
}

void cardGone(uint32_t serial, uint32_t index, Round& round) {
    round.readings.push_back({{"card", index}, {"serial", serialText(serial)}, {"state", "gone"}});
    round.table += format("%-4u %-3s %-27s %14s  %s\n", index, "-",
                          ("serial " + serialText(serial)).c_str(), "-", "gone");
    round.problems.push_back(
        format("card %u (serial %s) is gone", index, serialText(serial).c_str()));
}

void show(const Options& o, const Round& round, uint32_t number) {
    if (o.json && o.watch > 0) {
        printJsonLine({{"time", timestamp()}, {"readings", round.readings}});
        return;
    }
    if (o.json) {
        printJson({{"readings", round.readings}});
        return;
    }
    // At a terminal the table is redrawn in place; otherwise each one follows
    // the last.
    if (o.watch > 0 && isTerminal(stdout))
        std::printf("\x1b[H\x1b[2J");
    else if (number > 0)
        std::printf("\n");
    std::printf("card sensor description                          value  state\n%s",
                round.table.c_str());
    flushOutput();
}

// Watched: Ctrl-C ends the watch, with the verdict of what it saw.
void sensorsCommand(const Options& o) {
    Watched cards(o.card);
    interrupts::Hold hold("");
    std::string first;
    size_t problems = 0;
    for (uint32_t number = 0;; ++number) {
        Round round;
        cards.round([&](const Card& card) { readCard(card, round); },
                    [&](uint32_t serial, uint32_t index) { cardGone(serial, index, round); });
        show(o, round, number);
        if (first.empty() && !round.problems.empty())
            first = round.problems.front();
        problems += round.problems.size();
        if (o.watch <= 0 || (o.count != 0 && number + 1 >= o.count) ||
            !interrupts::sleepUnlessInterrupted(o.watch))
            break;
    }
    if (cards.anyLost())
        throw Failure("a card went away while its sensors were watched");
    if (problems != 0 && !o.noFail)
        throw Failure(first + (problems > 1 ? format(" (and %zu more)", problems - 1) : ""));
}

Work defineSensors(CLI::App& command) {
    auto o = std::make_shared<Options>();
    addCardOption(command, o->card, false);
    CLI::Option* watch =
        command.add_option("--watch", o->watch, "refresh every SECONDS until interrupted")
            ->check(CLI::Range(0.05, 3600.0));
    command.add_option("--count", o->count, "stop after this many tables")->needs(watch);
    command.add_flag("--no-fail", o->noFail,
                     "exit 0 although a reading is outside its limits or in alarm");
    command.add_flag("--json", o->json, "print JSON instead of text (a line a table with --watch)");
    return [o] { sensorsCommand(*o); };
}

constexpr Command kCommands[] = {
    {"sensors", "the sensors, with units, limits and alarm state (every card without -c)",
     defineSensors},
};

}  // namespace sensors_command

Commands sensorsCommands() {
    return sensors_command::kCommands;
}

}  // namespace tool
