// veltra query: chosen fields of every card, one line per card (and per
// round with -l), as CSV or JSON lines, for scripts and monitors.
#include <algorithm>
#include <cstdio>
#include <memory>
#include <map>
#include <optional>
#include <regex>

#include "cards.h"
#include "command_table.h"
#include "errors.h"
#include "interrupts.h"
#include "monitor.h"
#include "output.h"
#include "records.h"
#include "text.h"

namespace tool {

namespace query_command {

// The fields, as --help-fields lists them; N is an index.
constexpr struct {
    const char* name;
    const char* meaning;
} kFields[] = {
    {"timestamp", "the time of the reading, ISO 8601 in UTC"},
    {"card", "the card's index"},
    {"serial", "the card's serial"},
    {"path", "the card's device path"},
    {"state", "ok, or gone when the card went away"},
    {"boardId", "the board id"},
    {"revision", "the board revision"},
    {"driver", "the driver's version"},
    {"pcie.width", "the PCIe link width"},
    {"pcie.generation", "the PCIe link generation"},
    {"fpga.N.name", "FPGA N's part"},
    {"fpga.N.configured", "whether FPGA N holds a configuration"},
    {"sensor.N", "sensor N's reading, in its unit"},
    {"sensor.N.name", "sensor N's description"},
    {"sensor.N.unit", "sensor N's unit"},
    {"sensor.N.state", "sensor N's state: ok, LOW, HIGH, ALARM, - (no limits)"},
    {"status.any", "whether a device error is set"},
    {"status.N", "device-status word N (1 to 5)"},
    {"clock.N", "clock N's frequency, Hz"},
};

struct Options {
    CardChoice card;
    std::string fields = "timestamp,card,serial,state";
    std::string format = "csv";
    bool noHeader = false, helpFields = false;
    double loop = 0;
    uint32_t count = 0;
};

// A field asked for: its name with N as written, and the number N.
struct Field {
    std::string name, pattern;
    uint32_t number = 0;
};

std::vector<Field> parseFields(const std::string& list) {
    std::vector<std::string> known;
    for (const auto& f : kFields)
        known.emplace_back(f.name);
    std::vector<Field> fields;
    const std::regex numbered(R"(^([a-z]+)\.([0-9]+)(\.[a-z]+)?$)");
    for (const std::string& name : CLI::detail::split(list, ',')) {
        Field field{name, name, 0};
        std::smatch m;
        if (std::regex_match(name, m, numbered)) {
            field.pattern = m[1].str() + ".N" + m[3].str();
            const std::string number = m[2].str();
            if (number.size() > 10 || std::stoull(number) > UINT32_MAX)
                throw Usage("unknown field '" + name + "': no " + m[1].str() + " has that number");
            field.number = static_cast<uint32_t>(std::stoull(number));
        }
        if (std::find(known.begin(), known.end(), field.pattern) == known.end()) {
            throw Usage("unknown field '" + name + "'" + didYouMean(field.pattern, known) +
                        " (veltra query --help-fields lists them)");
        }
        fields.push_back(field);
    }
    return fields;
}

// What one card reports, read as the fields ask for it, each record once.
class Reading {
  public:
    explicit Reading(const Card& card) : card_(card) {}
    json value(const Field& f);

  private:
    const VELTRA_CARD_INFO_EX& info() {
        if (!info_)
            info_ = cardInfo(card_);
        return *info_;
    }
    const std::vector<VELTRA_SENSOR_INFOA>& sensorList() {
        if (!sensors_)
            sensors_ = sensors(card_);
        return *sensors_;
    }
    const json& identityOf() {
        if (!identity_)
            identity_ = identity(card_);
        return *identity_;
    }
    json sensorField(const Field& f);
    json fpgaField(const Field& f);
    json statusField(const Field& f);

    const Card& card_;
    std::optional<VELTRA_CARD_INFO_EX> info_;
    std::optional<std::vector<VELTRA_SENSOR_INFOA>> sensors_;
    std::optional<json> identity_;
    std::optional<DeviceStatus> status_;
    std::map<uint32_t, SensorReading> readings_;
};

json Reading::sensorField(const Field& f) {
    const auto& list = sensorList();
    if (f.number >= list.size())
        return nullptr;
    const VELTRA_SENSOR_INFOA& info = list[f.number];
    if (f.pattern == "sensor.N.name")
        return text(info.description);
    if (f.pattern == "sensor.N.unit")
        return unitName(info.attribute3);
    auto reading = readings_.find(f.number);
    if (reading == readings_.end())
        reading = readings_.emplace(f.number, readSensor(card_, f.number, info)).first;
    return f.pattern == "sensor.N" ? json(reading->second.value) : json(reading->second.state);
}

json Reading::fpgaField(const Field& f) {
    VELTRA_FPGA_INFOA fpga{};
    if (f.number >= info().cardValue4 ||
        VELTRA_GetFpgaInfoA(card_.handle(), f.number, &fpga) != VELTRA_SUCCESS)
        return nullptr;
    return f.pattern == "fpga.N.name" ? json(text(fpga.name)) : json(fpga.attribute3 != 0);
}

json Reading::statusField(const Field& f) {
    if (!status_)
        status_ = deviceStatus(card_);
    if (f.pattern == "status.any")
        return status_->any;
    return f.number >= 1 && f.number <= 5 ? json(status_->word[f.number - 1]) : json(nullptr);
}

json Reading::value(const Field& f) {
    const std::string& p = f.pattern;
    if (p == "timestamp")
        return timestamp();
    if (p == "card")
        return card_.index();
    if (p == "serial")
        return serialText(card_.serial());
    if (p == "state")
        return "ok";
    if (p.rfind("sensor.", 0) == 0)
        return sensorField(f);
    if (p.rfind("fpga.", 0) == 0)
        return fpgaField(f);
    if (p.rfind("status.", 0) == 0)
        return statusField(f);
    if (p == "clock.N") {
        double frequency = 0;
        return VELTRA_GetClockFrequency(card_.handle(), f.number, &frequency) == VELTRA_SUCCESS
                   ? json(frequency)
                   : json(nullptr);
    }
    const json& id = identityOf();
    if (p == "pcie.width" || p == "pcie.generation")
        return id["pcie"][p.substr(5)];
    return id[p];
}

std::string csvValue(const json& value) {
    if (value.is_null())
        return "";
    std::string text = value.is_string() ? value.get<std::string>() : value.dump();
    if (text.find_first_of(",\"\n") == std::string::npos)
        return text;
    std::string quoted = "\"";
    for (char ch : text)
        quoted += ch == '"' ? std::string("\"\"") : std::string(1, ch);
    return quoted + "\"";
}

void printRow(const Options& o, const std::vector<Field>& fields, const std::vector<json>& values) {
    if (o.format == "json") {
        json line = json::object();
        for (size_t i = 0; i < fields.size(); ++i)
            line[fields[i].name] = values[i];
        printJsonLine(line);
        return;
    }
    std::string row;
    for (size_t i = 0; i < values.size(); ++i)
        row += (i == 0 ? "" : ",") + csvValue(values[i]);
    std::printf("%s\n", row.c_str());
    flushOutput();
}

std::vector<json> presentRow(const Card& card, const std::vector<Field>& fields) {
    Reading reading(card);
    std::vector<json> values;
    for (const Field& f : fields)
        values.push_back(reading.value(f));
    return values;
}

// A card that went away: what is still known of it.
std::vector<json> goneRow(uint32_t serial, uint32_t index, const std::vector<Field>& fields) {
    std::vector<json> values;
    for (const Field& f : fields)
        values.push_back(f.pattern == "timestamp" ? json(timestamp())
                         : f.pattern == "card"    ? json(index)
                         : f.pattern == "serial"  ? json(serialText(serial))
                         : f.pattern == "state"   ? json("gone")
                                                  : json(nullptr));
    return values;
}

void helpFields() {
    for (const auto& f : kFields)
        std::printf("%-18s %s\n", f.name, f.meaning);
}

void query(const Options& o) {
    if (o.helpFields) {
        helpFields();
        return;
    }
    const std::vector<Field> fields = parseFields(o.fields);
    Watched cards(o.card);
    if (o.format == "csv" && !o.noHeader)
        std::printf("%s\n", o.fields.c_str());
    interrupts::Hold hold("");
    for (uint32_t round = 0;; ++round) {
        cards.round([&](const Card& card) { printRow(o, fields, presentRow(card, fields)); },
                    [&](uint32_t serial, uint32_t index) {
                        printRow(o, fields, goneRow(serial, index, fields));
                    });
        if (o.loop <= 0 || (o.count != 0 && round + 1 >= o.count) ||
            !interrupts::sleepUnlessInterrupted(o.loop))
            break;
    }
    if (cards.anyLost())
        throw Failure("a card went away while it was queried");
}

Work defineQuery(CLI::App& command) {
    auto o = std::make_shared<Options>();
    addCardOption(command, o->card, false);
    command.add_option("--fields", o->fields,
                       "the fields, separated by commas (default timestamp,card,serial,state)");
    command.add_option("--format", o->format, "csv (default) or json (a line per card)")
        ->check(CLI::IsMember({"csv", "json"}));
    command.add_flag("--noheader", o->noHeader, "CSV without the line of field names");
    CLI::Option* loop =
        command.add_option("-l,--loop", o->loop, "query again every SECONDS until interrupted")
            ->check(CLI::Range(0.05, 86400.0));
    command.add_option("--count", o->count, "stop after this many rounds")->needs(loop);
    command.add_flag("--help-fields", o->helpFields, "list the fields there are");
    return [o] { query(*o); };
}

constexpr Command kCommands[] = {
    {"query", "chosen fields of each card as CSV or JSON lines, once or every few seconds",
     defineQuery},
};

}  // namespace query_command

Commands queryCommands() {
    return query_command::kCommands;
}

}  // namespace tool
