// veltra status: the device-status words, decoded as the package's driver
// sets them (bit 0 of each word: an event of the word's kind; in the sensor
// word, bit 1 + n: sensor n). A device error fails the command (exit 1)
// unless --no-fail.
#include <algorithm>
#include <cstdio>
#include <memory>

#include "card_lock.h"
#include "cards.h"
#include "command_table.h"
#include "errors.h"
#include "output.h"
#include "records.h"
#include "text.h"

namespace tool {

namespace status_command {

constexpr const char* kWords[] = {"configuration", "DMA", "flash", "bus", "sensor"};
constexpr const char* kEvents[] = {"a configuration failed", "a DMA transfer faulted",
                                   "a flash operation failed", "a bus error", "a sensor alarm"};
constexpr int kSensorWord = 4;

struct Options {
    CardChoice card;
    bool clear = false, json = false, noFail = false;
};

// What a word's bits mean: its event, the sensors of the sensor word's
// alarm bits, and other bits raw.
std::string meaning(int w, uint32_t bits, const std::vector<VELTRA_SENSOR_INFOA>& sensorList) {
    std::string text = (bits & 1) ? kEvents[w] : "";
    uint32_t other = bits & ~1u;
    if (w == kSensorWord) {
        const std::string names = alarmedSensors(bits, sensorList);
        if (!names.empty())
            text += (text.empty() ? "" : ": ") + names;
        const size_t named = std::min<size_t>(sensorList.size(), 31);
        other &= ~static_cast<uint32_t>((uint64_t{1} << (named + 1)) - 2);
    }
    if (other != 0)
        text += format("%sother bits %s", text.empty() ? "" : "; ", hex(other, 8).c_str());
    return text;
}

json cardStatus(const Card& card, const DeviceStatus& words,
                const std::vector<VELTRA_SENSOR_INFOA>& list, bool cleared) {
    json entry{
        {"card", card.index()}, {"serial", serialText(card.serial())}, {"anyError", words.any}};
    json events = json::array();
    for (int w = 0; w < 5; ++w) {
        entry[format("status%d", w + 1)] = words.word[w];
        if (words.word[w] & 1)
            events.push_back(kEvents[w]);
    }
    entry["events"] = events;
    entry["alarms"] = alarmedSensors(words.word[kSensorWord], list);
    entry["cleared"] = cleared;
    entry["pendingUpdate"] = pendingUpdateJson(card);
    return entry;
}

void printStatus(const Card& card, const DeviceStatus& words,
                 const std::vector<VELTRA_SENSOR_INFOA>& list, bool cleared) {
    std::printf("%s: %s\n", card.name().c_str(),
                words.any ? (cleared ? "device errors (now cleared)" : "device errors")
                          : "no device errors");
    for (int w = 0; w < 5; ++w) {
        const std::string text = meaning(w, words.word[w], list);
        std::printf("  status%d  %-14s %s%s%s\n", w + 1, kWords[w], hex(words.word[w], 8).c_str(),
                    text.empty() ? "" : "  ", text.c_str());
    }
}

void status(const Options& o) {
    json document = json::array();
    size_t withErrors = 0;
    for (const Card& card : o.card.openEach()) {
        const DeviceStatus words = deviceStatus(card);
        const auto list = sensors(card);
        warnOfPendingUpdate(card);
        if (o.clear)
            check(VELTRA_ClearDeviceErrors(card.handle()),
                  "cannot clear the device errors of " + card.name());
        withErrors += words.any ? 1 : 0;
        if (o.json)
            document.push_back(cardStatus(card, words, list, o.clear));
        else
            printStatus(card, words, list, o.clear);
    }
    if (o.json)
        printJson({{"cards", document}});
    if (withErrors != 0 && !o.noFail)
        throw Failure(plural(withErrors, "card") + " reported device errors" +
                      (o.clear ? " (now cleared)" : ""));
}

Work defineStatus(CLI::App& command) {
    auto o = std::make_shared<Options>();
    addCardOption(command, o->card, false);
    command.add_flag("--clear", o->clear, "clear the errors after showing them");
    command.add_flag("--no-fail", o->noFail, "exit 0 although a card reports device errors");
    command.add_flag("--json", o->json, "print JSON instead of text");
    return [o] { status(*o); };
}

constexpr Command kCommands[] = {
    {"status", "the device-status words, decoded (every card without -c)", defineStatus},
};

}  // namespace status_command

Commands statusCommands() {
    return status_command::kCommands;
}

}  // namespace tool
