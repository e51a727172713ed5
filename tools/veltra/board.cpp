// veltra vpd, clock, sensors, status: the board services of a card.
#include "tool.h"

#include <cinttypes>
#include <cstdio>
#include <memory>
#include <thread>

namespace tool {

std::string unitName(uint32_t unit) {
    switch (unit) {
        case 0:
            return "";
        case 1:
            return "C";
        case 2:
            return "V";
        case 3:
            return "RPM";
        default:
            return format("unit %u", unit);
    }
}

std::string unitSuffix(uint32_t unit) {
    const std::string name = unitName(unit);
    return name.empty() ? name : " " + name;
}

SensorReading readSensor(const Card& card, uint32_t index, const VELTRA_SENSOR_INFOA& info) {
    VELTRA_SENSOR_VALUE value{};
    check(VELTRA_ReadSensor(card.handle(), index, &value),
          format("cannot read sensor %u of %s", index, card.name().c_str()));
    SensorReading reading;
    const std::string unit = unitSuffix(info.attribute3);
    if (info.attribute1 == kSensorFlags) {
        reading.value = value.value32;
        reading.text = hex(value.value32, 8);
        reading.state = value.value32 != 0 ? "ALARM" : "ok";
        return reading;
    }
    if (info.attribute1 == kSensorFixed) {
        reading.value = value.doubleValue;
        reading.text = format("%.3f%s", value.doubleValue, unit.c_str());
    } else {
        reading.value = value.value32;
        reading.text = format("%u%s", value.value32, unit.c_str());
    }
    const double low = static_cast<int32_t>(info.attribute4) / 1000.0;
    const double high = static_cast<int32_t>(info.attribute5) / 1000.0;
    if (low == 0 && high == 0)
        reading.state = "-";
    else if (reading.value < low)
        reading.state = "LOW";
    else if (reading.value > high)
        reading.state = "HIGH";
    else
        reading.state = "ok";
    return reading;
}

uint64_t vpdSize(const Card& card) {
    // The driver refuses a range past the end: the size is the first offset
    // that cannot be read.
    uint8_t byte = 0;
    const VELTRA_STATUS first = VELTRA_ReadVPD(card.handle(), 0, 0, 1, &byte);
    if (first == VELTRA_INVALID_REGION)
        return 0;
    check(first, "cannot read the VPD of " + card.name());
    uint64_t good = 1, bad = uint64_t{1} << 32;
    while (bad - good > 1) {
        const uint64_t middle = good + (bad - good) / 2;
        const VELTRA_STATUS status = VELTRA_ReadVPD(card.handle(), 0, middle - 1, 1, &byte);
        if (status == VELTRA_SUCCESS)
            good = middle;
        else if (status == VELTRA_INVALID_REGION)
            bad = middle;
        else
            check(status, "cannot read the VPD of " + card.name());
    }
    return good;
}

namespace {

std::vector<uint8_t> readVpd(const Card& card, uint64_t offset, uint64_t length) {
    std::vector<uint8_t> data(length);
    check(VELTRA_ReadVPD(card.handle(), 0, offset, length, data.data()),
          format("cannot read %s of VPD at %s from %s", sizeText(length).c_str(),
                 hex(offset).c_str(), card.name().c_str()));
    return data;
}

// The record as text: up to the first NUL or erased (0xFF) byte.
std::string recordText(const std::vector<uint8_t>& data) {
    std::string record;
    for (uint8_t byte : data) {
        if (byte == 0 || byte == 0xFF)
            break;
        record += static_cast<char>(byte);
    }
    return record;
}

}  // namespace

json vpdJson(const Card& card) {
    const uint64_t size = vpdSize(card);
    return {{"size", size}, {"text", recordText(readVpd(card, 0, size))}};
}

namespace {

void addVpdCommands(CLI::App& app) {
    CLI::App* vpd = app.add_subcommand("vpd", "read or write a card's vital product data");
    vpd->require_subcommand(1);

    struct Options : Common {
        uint64_t offset = 0, length = 0;
        std::string file, text;
        CLI::Option* lengthOption = nullptr;
    };
    auto read = std::make_shared<Options>();
    CLI::App* readCommand =
        vpd->add_subcommand("read", "print the VPD record, or save the VPD to a file");
    addCardOption(*readCommand, *read, true);
    readCommand->add_option("--offset", read->offset, "where to start (default 0)")
        ->transform(sizeForm());
    read->lengthOption =
        readCommand->add_option("--length", read->length, "how much (default: to the end)")
            ->transform(sizeForm());
    readCommand->add_option("--file", read->file, "save the bytes to this file");
    readCommand->callback([read] {
        Card card(read->card);
        const uint64_t size = vpdSize(card);
        if (read->offset > size)
            throw Failure(format("offset %s is past the end of the VPD of %s (%s)",
                                 hex(read->offset).c_str(), card.name().c_str(),
                                 sizeText(size).c_str()));
        const uint64_t length = read->lengthOption->count() ? read->length : size - read->offset;
        if (length > size - read->offset)
            throw Failure(format("%s from %s passes the end of the VPD of %s (%s)",
                                 sizeText(length).c_str(), hex(read->offset).c_str(),
                                 card.name().c_str(), sizeText(size).c_str()));
        const std::vector<uint8_t> data = readVpd(card, read->offset, length);
        if (read->file.empty()) {
            std::printf("%s", recordText(data).c_str());
            return;
        }
        writeFile(read->file, data.data(), data.size());
        std::printf("saved %s of VPD of %s to %s\n", sizeText(data.size()).c_str(),
                    card.name().c_str(), read->file.c_str());
    });

    auto write = std::make_shared<Options>();
    CLI::App* writeCommand = vpd->add_subcommand("write", "write the VPD from a file or a text");
    addCardOption(*writeCommand, *write, true);
    writeCommand->add_option("--offset", write->offset, "where to start (default 0)")
        ->transform(sizeForm());
    auto* file = writeCommand->add_option("--file", write->file, "the bytes to write");
    writeCommand->add_option("--text", write->text, "a text to write (\\n for a new line)")
        ->excludes(file);
    addYesFlag(*writeCommand, *write);
    writeCommand->callback([write] {
        std::vector<uint8_t> data;
        if (!write->file.empty()) {
            const FileBytes file(write->file);
            data.assign(file.bytes().begin(), file.bytes().end());
            if (data.empty())
                throw Failure(write->file + " is empty: nothing written");
        } else {
            for (size_t i = 0; i < write->text.size(); ++i) {
                if (write->text[i] == '\\' && i + 1 < write->text.size() &&
                    write->text[i + 1] == 'n') {
                    data.push_back('\n');
                    ++i;
                } else {
                    data.push_back(static_cast<uint8_t>(write->text[i]));
                }
            }
        }
        if (data.empty())
            throw Usage("nothing to write: give --file or --text");
        Card card(write->card);
        const uint64_t size = vpdSize(card);
        if (write->offset > size || data.size() > size - write->offset)
            throw Failure(format("%s at %s does not fit in the VPD of %s (%s)",
                                 sizeText(data.size()).c_str(), hex(write->offset).c_str(),
                                 card.name().c_str(), sizeText(size).c_str()));
        confirm(format("Write %s of VPD at %s on %s?", sizeText(data.size()).c_str(),
                       hex(write->offset).c_str(), card.name().c_str()),
                write->yes);
        check(VELTRA_WriteVPD(card.handle(), 0, write->offset, data.size(), data.data()),
              "cannot write the VPD of " + card.name());
        if (readVpd(card, write->offset, data.size()) != data)
            throw Failure("the VPD of " + card.name() + " does not read back as written");
        std::printf("wrote %s of VPD at %s on %s\n", sizeText(data.size()).c_str(),
                    hex(write->offset).c_str(), card.name().c_str());
    });
}

void addClockCommands(CLI::App& app) {
    CLI::App* clock = app.add_subcommand("clock", "read or set a clock generator");
    clock->require_subcommand(1);

    struct Options : Common {
        uint32_t clock = 0;
        CLI::Option* clockOption = nullptr;
        std::string frequency;
    };
    auto get = std::make_shared<Options>();
    CLI::App* getCommand = clock->add_subcommand("get", "the frequency of one clock, or of all");
    addCardOption(*getCommand, *get, true);
    get->clockOption = getCommand->add_option("--clock", get->clock, "the clock generator's index")
                           ->transform(numberForm());
    addJsonFlag(*getCommand, *get);
    getCommand->callback([get] {
        Card card(get->card);
        json list = json::array();
        auto one = [&](uint32_t index) {
            double frequency = 0;
            const VELTRA_STATUS status = VELTRA_GetClockFrequency(card.handle(), index, &frequency);
            if (status == VELTRA_SUCCESS)
                list.push_back({{"index", index}, {"frequency", frequency}});
            return status;
        };
        if (get->clockOption->count())
            check(one(get->clock),
                  format("cannot read clock %u of %s", get->clock, card.name().c_str()));
        else
            forEachIndex("cannot read clock", 64, one);
        if (get->json) {
            printJson(list);
            return;
        }
        for (const json& k : list)
            std::printf("clock %u: %s\n", k["index"].get<unsigned>(),
                        frequencyText(k["frequency"].get<double>()).c_str());
    });

    auto set = std::make_shared<Options>();
    CLI::App* setCommand =
        clock->add_subcommand("set", "set a programmable clock: FREQ as 156.25MHz");
    addCardOption(*setCommand, *set, true);
    setCommand->add_option("--clock", set->clock, "the clock generator's index")
        ->required()
        ->transform(numberForm());
    setCommand->add_option("FREQ", set->frequency, "the frequency, with a unit (Hz, kHz, MHz, GHz)")
        ->required();
    setCommand->callback([set] {
        const double frequency = parseFrequency(set->frequency, "FREQ");
        Card card(set->card);
        double actual = 0;
        check(VELTRA_SetClockFrequency(card.handle(), set->clock, 0, frequency, &actual),
              format("cannot set clock %u of %s to %s", set->clock, card.name().c_str(),
                     frequencyText(frequency).c_str()));
        std::printf("clock %u of %s runs at %s\n", set->clock, card.name().c_str(),
                    frequencyText(actual).c_str());
    });
}

void addSensorsCommand(CLI::App& app) {
    struct Options : Common {
        double watch = 0;
        uint32_t count = 0;
    };
    auto options = std::make_shared<Options>();
    CLI::App* command = app.add_subcommand("sensors", "the sensors, with units and alarm state");
    addCardOption(*command, *options, false);
    CLI::Option* watch =
        command->add_option("--watch", options->watch, "refresh every SECONDS until interrupted")
            ->check(CLI::Range(0.05, 3600.0));
    command->add_option("--count", options->count, "stop after this many tables")->needs(watch);
    addJsonFlag(*command, *options);
    command->callback([options] {
        const std::vector<uint32_t> cards = selectedCards(options->cardOption, options->card);
        // At a terminal the table is redrawn in place; otherwise each one
        // follows the last (and with --json each is one line).
        const bool refresh = options->watch > 0 && !options->json && stdoutIsTerminal();
        for (uint32_t round = 0;; ++round) {
            json document = json::array();
            std::string table;
            for (uint32_t index : cards) {
                Card card(index);
                const auto all = sensors(card);
                for (uint32_t s = 0; s < all.size(); ++s) {
                    const SensorReading reading = readSensor(card, s, all[s]);
                    document.push_back({{"card", index},
                                        {"index", s},
                                        {"description", text(all[s].description)},
                                        {"value", reading.value},
                                        {"unit", unitName(all[s].attribute3)},
                                        {"state", reading.state}});
                    table += format("%-4u %-3u %-27s %14s  %s\n", index, s,
                                    text(all[s].description).c_str(), reading.text.c_str(),
                                    reading.state.c_str());
                }
            }
            if (options->json && options->watch > 0) {
                std::printf("%s\n",
                            document.dump(-1, ' ', false, json::error_handler_t::replace).c_str());
            } else if (options->json) {
                printJson(document);
            } else {
                if (refresh)
                    std::printf("\x1b[H\x1b[2J");
                else if (round > 0)
                    std::printf("\n");
                std::printf("card sensor description                          value  state\n%s",
                            table.c_str());
            }
            std::fflush(stdout);
            if (options->watch <= 0 || (options->count != 0 && round + 1 >= options->count))
                return;
            std::this_thread::sleep_for(std::chrono::duration<double>(options->watch));
        }
    });
}

// What each device-status word means to the package's driver: bit 0 is set
// by an event of the word's kind; other bits are shown as they are.
constexpr const char* kStatusWords[] = {"configuration", "DMA", "flash", "bus", "sensor"};
constexpr const char* kStatusEvents[] = {"a configuration failed", "a DMA transfer faulted",
                                         "a flash operation failed", "a bus error",
                                         "a sensor alarm"};

void addStatusCommand(CLI::App& app) {
    struct Options : Common {
        bool clear = false;
    };
    auto options = std::make_shared<Options>();
    CLI::App* command = app.add_subcommand("status", "the device-status words, decoded");
    addCardOption(*command, *options, false);
    command->add_flag("--clear", options->clear, "clear the errors after showing them");
    addJsonFlag(*command, *options);
    command->callback([options] {
        json document = json::array();
        for (uint32_t index : selectedCards(options->cardOption, options->card)) {
            Card card(index);
            VELTRA_DEVICE_STATUS s{};
            uint32_t any = 0;
            check(VELTRA_GetDeviceStatus(card.handle(), 0, &s, &any),
                  "cannot read the device status of " + card.name());
            const uint32_t words[] = {s.status1, s.status2, s.status3, s.status4, s.status5};
            json entry{{"card", index}, {"anyError", any != 0}};
            json events = json::array();
            for (int w = 0; w < 5; ++w) {
                entry[format("status%d", w + 1)] = words[w];
                if (words[w] & 1)
                    events.push_back(kStatusEvents[w]);
            }
            entry["events"] = events;
            if (options->clear)
                check(VELTRA_ClearDeviceErrors(card.handle()),
                      "cannot clear the device errors of " + card.name());
            entry["cleared"] = options->clear;
            document.push_back(entry);
            if (options->json)
                continue;
            std::printf("card %u: %s\n", index,
                        any ? (options->clear ? "device errors (now cleared)" : "device errors")
                            : "no device errors");
            for (int w = 0; w < 5; ++w) {
                std::string meaning = (words[w] & 1) ? kStatusEvents[w] : "";
                if (words[w] & ~1u)
                    meaning += format("%sother bits %s", meaning.empty() ? "" : "; ",
                                      hex(words[w] & ~1u, 8).c_str());
                std::printf("  status%d  %-14s %s%s%s\n", w + 1, kStatusWords[w],
                            hex(words[w], 8).c_str(), meaning.empty() ? "" : "  ", meaning.c_str());
            }
        }
        if (options->json)
            printJson(document);
    });
}

}  // namespace

void addBoardCommands(CLI::App& app) {
    addVpdCommands(app);
    addClockCommands(app);
    addSensorsCommand(app);
    addStatusCommand(app);
}

}  // namespace tool
