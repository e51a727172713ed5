// The machine description file: TOML, read with toml++. Every key is
// checked, so that a misspelt one is an error rather than a default.
#include "machine/description.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <set>

#include <toml++/toml.h>

namespace vsim::model {
namespace {

// Raised while reading; becomes the one line of the error message.
struct Failure {
    uint32_t line;
    std::string what;
};

uint32_t lineOf(const toml::node& node) {
    return node.source().begin.line;
}

// Reads the keys of one table, each at most once, and refuses the keys that
// nobody asked for.
class Fields {
  public:
    Fields(const toml::table& table, std::string where) : table_(table), where_(std::move(where)) {}

    [[noreturn]] void fail(const toml::node& node, const std::string& what) const {
        throw Failure{lineOf(node), what};
    }
    [[noreturn]] void fail(const std::string& what) const { throw Failure{lineOf(table_), what}; }

    const toml::node* find(std::string_view key) {
        used_.insert(std::string(key));
        return table_.get(key);
    }
    const toml::node& require(std::string_view key) {
        const toml::node* node = find(key);
        if (node == nullptr)
            fail(where_ + " needs '" + std::string(key) + "'");
        return *node;
    }

    uint64_t integer(std::string_view key, uint64_t fallback, uint64_t maximum) {
        const toml::node* node = find(key);
        return node == nullptr ? fallback : integerOf(*node, key, maximum);
    }
    uint64_t requiredInteger(std::string_view key, uint64_t maximum) {
        return integerOf(require(key), key, maximum);
    }
    uint64_t integerOf(const toml::node& node, std::string_view key, uint64_t maximum) const {
        const auto* value = node.as_integer();
        if (value == nullptr)
            fail(node, "'" + std::string(key) + "' must be a whole number");
        if (value->get() < 0 || static_cast<uint64_t>(value->get()) > maximum)
            fail(node,
                 "'" + std::string(key) + "' must lie between 0 and " + std::to_string(maximum));
        return static_cast<uint64_t>(value->get());
    }

    // A number of bytes: a whole number, or text such as "64 MiB".
    uint64_t size(std::string_view key, uint64_t fallback, uint64_t maximum) {
        const toml::node* node = find(key);
        return node == nullptr ? fallback : sizeOf(*node, key, maximum);
    }
    uint64_t requiredSize(std::string_view key, uint64_t maximum) {
        return sizeOf(require(key), key, maximum);
    }
    uint64_t sizeOf(const toml::node& node, std::string_view key, uint64_t maximum) const {
        if (node.is_integer())
            return integerOf(node, key, maximum);
        const auto* text = node.as_string();
        const std::string name(key);
        if (text == nullptr)
            fail(node,
                 "'" + name + "' must be a size: a number of bytes or text such as \"64 MiB\"");
        const std::string& s = text->get();
        size_t digits = 0;
        while (digits < s.size() && s[digits] >= '0' && s[digits] <= '9')
            ++digits;
        size_t unitStart = digits;
        while (unitStart < s.size() && s[unitStart] == ' ')
            ++unitStart;
        const std::string unit = s.substr(unitStart);
        static const std::pair<const char*, unsigned> kUnits[] = {
            {"", 0}, {"B", 0}, {"KiB", 10}, {"MiB", 20}, {"GiB", 30}, {"TiB", 40}};
        std::optional<unsigned> shift;
        for (const auto& [u, bits] : kUnits)
            if (unit == u)
                shift = bits;
        if (digits == 0 || digits > 12 || !shift)
            fail(node, "'" + name + "' is not a size: \"" + s +
                           "\" (write a number of bytes, or one with B, KiB, MiB, GiB or TiB)");
        const uint64_t count = std::stoull(s.substr(0, digits));
        if (count > (maximum >> *shift))
            fail(node, "'" + name + "' is too large: \"" + s + "\"");
        return count << *shift;
    }

    double number(std::string_view key, double fallback) {
        const toml::node* node = find(key);
        return node == nullptr ? fallback : numberOf(*node, key);
    }
    double numberOf(const toml::node& node, std::string_view key) const {
        if (const auto* i = node.as_integer())
            return static_cast<double>(i->get());
        if (const auto* f = node.as_floating_point()) {
            if (std::isfinite(f->get()))
                return f->get();
        }
        fail(node, "'" + std::string(key) + "' must be a number");
    }

    std::string text(std::string_view key, const std::string& fallback, size_t maximum) {
        const toml::node* node = find(key);
        if (node == nullptr)
            return fallback;
        const auto* value = node->as_string();
        if (value == nullptr)
            fail(*node, "'" + std::string(key) + "' must be text");
        if (value->get().size() > maximum)
            fail(*node, "'" + std::string(key) + "' is longer than " + std::to_string(maximum) +
                            " characters");
        return value->get();
    }

    bool boolean(std::string_view key, bool fallback) {
        const toml::node* node = find(key);
        if (node == nullptr)
            return fallback;
        const auto* value = node->as_boolean();
        if (value == nullptr)
            fail(*node, "'" + std::string(key) + "' must be true or false");
        return value->get();
    }

    // One of a few names.
    template <typename T, size_t N>
    T choice(std::string_view key, const std::pair<const char*, T> (&names)[N], T fallback) {
        const toml::node* node = find(key);
        if (node == nullptr)
            return fallback;
        std::string list;
        for (const auto& [name, value] : names) {
            if (node->is_string() && node->as_string()->get() == name)
                return value;
            list += std::string(list.empty() ? "" : ", ") + "\"" + name + "\"";
        }
        fail(*node, "'" + std::string(key) + "' must be one of " + list);
    }

    // A table, or an array of tables, with its own fields.
    const toml::table* table(std::string_view key) {
        const toml::node* node = find(key);
        if (node == nullptr)
            return nullptr;
        if (!node->is_table())
            fail(*node, "'" + std::string(key) + "' must be a table");
        return node->as_table();
    }
    std::vector<const toml::table*> tables(std::string_view key, size_t maximum) {
        std::vector<const toml::table*> result;
        const toml::node* node = find(key);
        if (node == nullptr)
            return result;
        const auto* array = node->as_array();
        if (array == nullptr)
            fail(*node, "'" + std::string(key) + "' must be written [[" + where_ + "." +
                            std::string(key) + "]]");
        for (const auto& item : *array) {
            if (!item.is_table())
                fail(item, "each '" + std::string(key) + "' must be a table");
            result.push_back(item.as_table());
        }
        if (result.size() > maximum)
            fail(*node, "at most " + std::to_string(maximum) + " '" + std::string(key) +
                            "' entries are allowed");
        return result;
    }
    // An array of numbers of a fixed length.
    std::vector<double> numbers(std::string_view key, size_t count) {
        const toml::node* node = find(key);
        if (node == nullptr)
            return {};
        const auto* array = node->as_array();
        if (array == nullptr || array->size() != count)
            fail(*node, "'" + std::string(key) + "' must be a list of " + std::to_string(count) +
                            " numbers");
        std::vector<double> result;
        for (const auto& item : *array)
            result.push_back(numberOf(item, key));
        return result;
    }

    // Refuses the keys that were never asked for.
    void finish() const {
        for (const auto& [key, node] : table_)
            if (used_.count(std::string(key.str())) == 0)
                fail(node, "unknown key '" + std::string(key.str()) + "' in " + where_);
    }
    const std::string& where() const { return where_; }

  private:
    const toml::table& table_;
    std::string where_;
    std::set<std::string> used_;
};

constexpr uint64_t kU8 = 0xFF, kU16 = 0xFFFF, kU32 = 0xFFFFFFFF;
constexpr uint64_t kU64 = std::numeric_limits<int64_t>::max();
constexpr uint64_t kMaxMemory = 64ull << 30;  // any one memory of a card

// A reading's value or step, which a reading's whole part must hold.
double readingNumber(Fields& f, std::string_view key, double fallback) {
    const double value = f.number(key, fallback);
    if (value <= -1e9 || value >= 1e9)
        f.fail(f.require(key), "'" + std::string(key) + "' must lie between -1e9 and 1e9");
    return value;
}

// "2.1.3"
void readVersion(Fields& f, std::string_view key, uint16_t (&version)[3]) {
    const toml::node* node = f.find(key);
    if (node == nullptr)
        return;
    const auto* text = node->as_string();
    unsigned parts[3] = {};
    char tail = 0;
    if (text == nullptr ||
        std::sscanf(text->get().c_str(), "%u.%u.%u%c", &parts[0], &parts[1], &parts[2], &tail) !=
            3 ||
        parts[0] > kU16 || parts[1] > kU16 || parts[2] > kU16)
        f.fail(*node, "'" + std::string(key) + "' must be a version such as \"2.1.3\"");
    for (int i = 0; i < 3; ++i)
        version[i] = static_cast<uint16_t>(parts[i]);
}

void readBridge(const toml::table& table, BridgeConfig& b) {
    Fields f(table, "[card.bridge]");
    b.uniqueId = f.integer("unique_id", 0, kU64);
    b.flashSize = f.size("flash_size", 64ull << 20, kMaxMemory);
    if (const toml::table* test = f.table("production_test")) {
        Fields t(*test, "production_test");
        b.testDate = static_cast<uint32_t>(t.integer("date", 0, 99991231));
        b.testStation = static_cast<uint8_t>(t.integer("station", 0, kU8));
        b.testPasses = static_cast<uint8_t>(t.integer("passes", 0, kU8));
        b.testRetries = static_cast<uint8_t>(t.integer("retries", 0, kU8));
        b.testProgram = static_cast<uint32_t>(t.integer("program", 0, kU32));
        b.testChecksum = static_cast<uint32_t>(t.integer("checksum", 0, kU32));
        t.finish();
    }
    f.finish();
}

FpgaConfig readFpga(const toml::table& table) {
    Fields f(table, "[[card.fpga]]");
    FpgaConfig c{};
    c.part = f.text("part", "", 63);
    c.typeCode = static_cast<uint32_t>(f.requiredInteger("type", kU32));
    c.family = static_cast<uint32_t>(f.integer("family", 0, kU32));
    if (const toml::node* package = f.find("package")) {
        // Two capital letters and a pin count: "FF1157".
        const auto* text = package->as_string();
        const std::string s = text != nullptr ? text->get() : "";
        bool good = s.size() >= 3 && s.size() <= 7 && s[0] >= 'A' && s[0] <= 'Z' && s[1] >= 'A' &&
                    s[1] <= 'Z';
        for (size_t i = 2; good && i < s.size(); ++i)
            good = s[i] >= '0' && s[i] <= '9';
        if (!good || std::stoul(s.substr(2)) > kU16)
            f.fail(*package,
                   "'package' must be two capital letters and a pin count, as \"FF1157\"");
        c.packageCode = static_cast<uint32_t>(s[0]) << 24 | static_cast<uint32_t>(s[1]) << 16 |
                        static_cast<uint32_t>(std::stoul(s.substr(2)));
    }
    c.speedGrade = static_cast<uint32_t>(f.integer("speed_grade", 0, kU32));
    c.speedText = f.text("speed", "", 15);
    c.temperatureText = f.text("temperature", "", 15);
    c.idcode = static_cast<uint32_t>(f.integer("idcode", 0, kU32));
    f.finish();
    return c;
}

WindowConfig readWindow(const toml::table& table, uint64_t& cardMemoryWindows) {
    Fields f(table, "[[card.window]]");
    static const std::pair<const char*, uint64_t> kKinds[] = {{"memory", 0},
                                                              {"card-memory", kWindowCardMemory},
                                                              {"registers", kWindowRegisters},
                                                              {"doorbell", kWindowDoorbell}};
    WindowConfig w{};
    (void)f.require("kind");
    w.attributes = f.choice("kind", kKinds, uint64_t{0});
    w.size = f.requiredSize("size", kMaxMemory);
    if (w.size == 0)
        f.fail(f.require("size"), "a window's 'size' must not be 0");
    w.busAddress = f.integer("bus_address", 0, kU64);
    w.localAddress = f.integer("local_address", 0, kU64);
    if (f.boolean("prefetchable", false))
        w.attributes |= kWindowPrefetchable;
    w.watched = f.boolean("watch", false);
    if (w.watched && (w.attributes & kWindowCardMemory))
        f.fail(f.require("watch"),
               "a card-memory window cannot be watched (the model hears of DMA instead)");
    // A watched window is compared whole, every watch interval.
    constexpr uint64_t kMaxWatched = 64 << 20;
    if (w.watched && w.size > kMaxWatched)
        f.fail(f.require("watch"), "a watched window's 'size' must not exceed 64 MiB");
    if (w.attributes & kWindowCardMemory)
        ++cardMemoryWindows;
    f.finish();
    return w;
}

FlashConfig readFlash(const toml::table& table) {
    Fields f(table, "[[card.flash]]");
    FlashConfig c{};
    c.vendor = static_cast<uint16_t>(f.integer("vendor", 0, kU16));
    c.device = static_cast<uint16_t>(f.integer("device", 0, kU16));
    c.size = f.requiredSize("size", kMaxMemory);
    c.blockSize = f.requiredSize("block_size", kMaxMemory);
    c.busWidth = static_cast<uint32_t>(f.integer("bus_width", 16, 64));
    if (const toml::table* p = f.table("parameter_blocks")) {
        Fields pf(*p, "parameter_blocks");
        c.parameterBlocks = static_cast<uint32_t>(pf.requiredInteger("count", 1024));
        c.parameterBlockSize = pf.requiredSize("size", kMaxMemory);
        static const std::pair<const char*, bool> kEnds[] = {{"top", true}, {"bottom", false}};
        c.parametersAtTop = pf.choice("at", kEnds, true);
        pf.finish();
    }
    const uint64_t parameterArea = c.parameterBlockSize * c.parameterBlocks;
    if (c.size == 0 || c.blockSize == 0 || parameterArea > c.size ||
        (c.size - parameterArea) % c.blockSize != 0 ||
        (c.parameterBlocks != 0 && c.parameterBlockSize == 0))
        f.fail(
            "the flash's 'size' must be whole main blocks of 'block_size' plus its parameter "
            "blocks");
    f.finish();
    return c;
}

ClockConfig readClock(const toml::table& table) {
    Fields f(table, "[[card.clock]]");
    ClockConfig c{};
    constexpr uint64_t kFastest = 1000000000000;  // 1 THz
    c.frequency = static_cast<int64_t>(f.requiredInteger("frequency", kFastest));
    const toml::node* range = f.find("range");
    if (range != nullptr) {
        const auto* array = range->as_array();
        if (array == nullptr || array->size() != 2 || !(*array)[0].is_integer() ||
            !(*array)[1].is_integer())
            f.fail(*range, "'range' must be the lowest and the highest frequency, in Hz");
        c.programmable = true;
        c.minimum = static_cast<int64_t>(f.integerOf((*array)[0], "range", kFastest));
        c.maximum = static_cast<int64_t>(f.integerOf((*array)[1], "range", kFastest));
        c.step = static_cast<int64_t>(f.integer("step", 1, kFastest));
        if (c.step == 0 || c.minimum < 0 || c.minimum > c.frequency || c.frequency > c.maximum)
            f.fail(*range,
                   "a clock's 'range' must hold its 'frequency', and its 'step' must not "
                   "be 0");
    } else if (f.find("step") != nullptr) {
        f.fail(*f.find("step"), "'step' needs a 'range'");
    }
    f.finish();
    return c;
}

SensorReading readReading(Fields& f, const toml::node& node, double nominal) {
    SensorReading r;
    if (node.is_string() && node.as_string()->get() == "alarms") {
        r.kind = SensorReading::Kind::Alarms;
        return r;
    }
    const auto* table = node.as_table();
    if (table == nullptr || table->size() != 1)
        f.fail(node,
               "'reading' must be \"alarms\", or one of { constant = V }, { ramp = { from, "
               "step, steps } }, { noise = { level, amplitude } }");
    Fields rf(*table, "reading");
    if (rf.find("constant") != nullptr) {
        r.value = fixed32(readingNumber(rf, "constant", 0));
    } else if (const toml::table* ramp = rf.table("ramp")) {
        Fields p(*ramp, "ramp");
        r.kind = SensorReading::Kind::Ramp;
        const double from = readingNumber(p, "from", nominal);
        const double step = readingNumber(p, "step", 0);
        r.value = fixed32(from);
        r.step = fixed32(step);
        r.steps = static_cast<uint32_t>(p.integer("steps", 1, 1000000));
        if (r.steps == 0)
            p.fail("a ramp's 'steps' must not be 0");
        // Every reading of the ramp lies within the readings' range, so that
        // no step of it overflows.
        if (std::fabs(from + step * (r.steps - 1.0)) >= 1e9)
            p.fail(
                "a ramp's last reading (from + step * (steps - 1)) must lie between -1e9 and "
                "1e9");
        p.finish();
    } else if (const toml::table* noise = rf.table("noise")) {
        Fields p(*noise, "noise");
        r.kind = SensorReading::Kind::Noise;
        r.value = fixed32(readingNumber(p, "level", nominal));
        r.step = fixed32(readingNumber(p, "amplitude", 0));
        if (r.step < 0)
            p.fail("noise's 'amplitude' must not be negative");
        p.finish();
    }
    rf.finish();
    return r;
}

SensorConfig readSensor(const toml::table& table) {
    Fields f(table, "[[card.sensor]]");
    SensorConfig s{};
    s.description = f.text("description", "", 27);
    static const std::pair<const char*, uint32_t> kTypes[] = {
        {"integer", 0}, {"fixed", 1}, {"flags", 2}};
    static const std::pair<const char*, uint32_t> kUnits[] = {
        {"none", 0}, {"celsius", 1}, {"volts", 2}, {"rpm", 3}};
    s.datatype = f.choice("datatype", kTypes, 1u);
    s.unit = f.choice("unit", kUnits, 0u);
    const double nominal = f.number("nominal", 0);
    if (nominal < -32768 || nominal >= 32768)
        f.fail(f.require("nominal"), "'nominal' must lie between -32768 and 32767");
    const int64_t nominal16 = std::llround(nominal * 65536);
    s.nominalWhole = static_cast<int16_t>(nominal16 >> 16);
    s.nominalFraction = static_cast<uint16_t>(nominal16 & 0xFFFF);
    const auto limits = f.numbers("limits", 2);
    if (!limits.empty()) {
        for (double l : limits)
            if (l < 0 || l * 1000 > static_cast<double>(kU32))
                f.fail(f.require("limits"), "'limits' must lie between 0 and 4294967 of the unit");
        s.lowerLimit = static_cast<uint32_t>(std::llround(limits[0] * 1000));
        s.upperLimit = static_cast<uint32_t>(std::llround(limits[1] * 1000));
    }
    s.reading.value = fixed32(nominal);
    if (const toml::node* reading = f.find("reading"))
        s.reading = readReading(f, *reading, nominal);
    f.finish();
    return s;
}

BankConfig readBank(const toml::table& table) {
    Fields f(table, "[[card.bank]]");
    BankConfig b{};
    b.base = f.integer("base", 0, kU64);
    b.size = f.requiredSize("size", kU64);
    b.rateMts = f.integer("rate_mts", 0, kU32);
    b.dataWidth = static_cast<uint16_t>(f.integer("data_width", 64, kU16));
    b.ranks = static_cast<uint16_t>(f.integer("ranks", 1, kU16));
    b.casLatency = static_cast<uint32_t>(f.integer("cas_latency", 0, kU32));
    b.vendor = static_cast<uint32_t>(f.integer("vendor", 0, kU32));
    b.ecc = f.boolean("ecc", false);
    f.finish();
    return b;
}

ModuleConfig readModule(const toml::table& table) {
    Fields f(table, "[[card.module]]");
    ModuleConfig m{};
    m.vendor = f.text("vendor", "", 31);
    m.part = f.text("part", "", 31);
    m.serial = f.text("serial", "", 31);
    m.revision = f.text("revision", "", 7);
    const double t = f.number("temperature", 0);
    if (t < -32768 || t >= 32768)
        f.fail(f.require("temperature"), "'temperature' must lie between -32768 and 32767");
    const int64_t t16 = std::llround(t * 65536);
    m.temperatureWhole = static_cast<int16_t>(t16 >> 16);
    m.temperatureFraction = static_cast<uint16_t>(t16 & 0xFFFF);
    if (const toml::node* values = f.find("values")) {
        const auto* array = values->as_array();
        if (array == nullptr || array->size() != 2)
            f.fail(*values, "'values' must be a list of 2 whole numbers");
        m.value0 = static_cast<uint32_t>(f.integerOf((*array)[0], "values", kU32));
        m.value1 = static_cast<uint32_t>(f.integerOf((*array)[1], "values", kU32));
    }
    m.present = f.boolean("present", true);
    f.finish();
    return m;
}

// A fault on purpose: `kind` and the keys of that kind only. In a fault
// file each names its `card`; in a description it belongs to its card.
FaultSpec readFault(const toml::table& table, bool withCard) {
    using Kind = FaultSpec::Kind;
    Fields f(table, withCard ? "[[fault]]" : "[[card.fault]]");
    static const std::pair<const char*, Kind> kKinds[] = {{"dma", Kind::Dma},
                                                          {"removed", Kind::Removed},
                                                          {"flash-erase", Kind::FlashErase},
                                                          {"flash-program", Kind::FlashProgram},
                                                          {"flash-id", Kind::FlashId},
                                                          {"configure", Kind::Configure},
                                                          {"sensor-alarm", Kind::SensorAlarm},
                                                          {"clock-unlock", Kind::ClockUnlock},
                                                          {"slow", Kind::Slow}};
    FaultSpec fault;
    (void)f.require("kind");
    fault.kind = f.choice("kind", kKinds, Kind::Dma);
    if (withCard)
        fault.card = static_cast<uint32_t>(f.requiredInteger("card", kMaxCards - 1));
    switch (fault.kind) {
        case Kind::Dma:
            fault.channel = static_cast<uint32_t>(f.integer("channel", FaultSpec::kAnyChannel, 15));
            fault.countsBytes = table.contains("after_bytes");
            if (fault.countsBytes && table.contains("after_transfers"))
                f.fail("a DMA fault counts 'after_transfers' or 'after_bytes', not both");
            fault.afterTransfers = f.integer("after_transfers", 0, kU64);
            fault.afterBytes = f.size("after_bytes", 0, kU64);
            break;
        case Kind::Removed:
            fault.afterRequests = f.integer("after_requests", 0, kU64);
            break;
        case Kind::FlashErase:
        case Kind::FlashProgram:
            fault.bank = static_cast<uint32_t>(f.integer("bank", 0, 7));
            fault.offset = f.requiredSize("offset", kMaxMemory);
            break;
        case Kind::FlashId:
            fault.bank = static_cast<uint32_t>(f.integer("bank", 0, 7));
            fault.vendor = static_cast<uint16_t>(f.requiredInteger("vendor", kU16));
            fault.device = static_cast<uint16_t>(f.requiredInteger("device", kU16));
            break;
        case Kind::Configure:
            break;
        case Kind::SensorAlarm:
            fault.index = static_cast<uint32_t>(f.requiredInteger("sensor", 63));
            break;
        case Kind::ClockUnlock:
            fault.index = static_cast<uint32_t>(f.requiredInteger("clock", kMaxClocks - 1));
            break;
        case Kind::Slow: {
            fault.bandwidth = f.size("bandwidth", 0, kU64);
            if (fault.bandwidth != 0 && fault.bandwidth < (1u << 20))
                f.fail(f.require("bandwidth"),
                       "'bandwidth' must be 0 (unchanged) or at least 1 MiB a second");
            const double latency = f.number("latency_us", 0);
            if (latency < 0 || latency > 1e6)
                f.fail(f.require("latency_us"), "'latency_us' must lie between 0 and 1000000");
            fault.latencyNs = static_cast<uint64_t>(std::llround(latency * 1000));
            break;
        }
    }
    f.finish();
    return fault;
}

CardConfig readCard(const toml::table& table, const uint16_t (&driverVersion)[3]) {
    Fields f(table, "[[card]]");
    CardConfig c{};
    std::copy(std::begin(driverVersion), std::end(driverVersion), c.driverVersion);
    readVersion(f, "driver_version", c.driverVersion);
    c.boardId = static_cast<uint32_t>(f.integer("board_id", 0, kU32));
    c.revision = static_cast<uint32_t>(f.integer("revision", 0, kU32));
    c.serial = static_cast<uint32_t>(f.integer("serial", 0, kU32));
    if (const toml::table* link = f.table("pcie_link")) {
        Fields l(*link, "pcie_link");
        c.pcieLinkWidth = static_cast<uint32_t>(l.integer("width", 1, 32));
        c.pcieLinkSpeed = static_cast<uint32_t>(l.integer("speed", 1, 7));
        l.finish();
    } else {
        c.pcieLinkWidth = 1;
        c.pcieLinkSpeed = 1;
    }
    c.cardMemorySize = f.size("card_memory", 0, kMaxMemory);
    c.dmaChannels = 2;
    if (const toml::table* dma = f.table("dma")) {
        Fields d(*dma, "dma");
        c.dmaChannels = static_cast<uint32_t>(d.integer("channels", 2, 16));
        // At the slowest a 64 MiB transfer takes a minute and a half.
        c.dmaBandwidth = d.size("bandwidth", 0, kU64);
        if (c.dmaBandwidth != 0 && c.dmaBandwidth < (1u << 20))
            d.fail(d.require("bandwidth"),
                   "'bandwidth' must be 0 (as fast as memory) or at least "
                   "1 MiB a second");
        const double latency = d.number("latency_us", 0);
        if (latency < 0 || latency > 1e6)
            d.fail(d.require("latency_us"), "'latency_us' must lie between 0 and 1000000");
        c.dmaLatencyNs = static_cast<uint64_t>(std::llround(latency * 1000));
        d.finish();
    }
    if (const toml::node* status = f.find("device_status")) {
        const auto* array = status->as_array();
        if (array == nullptr || array->size() != 5)
            f.fail(*status,
                   "'device_status' must be a list of 5 words (configuration, DMA, "
                   "flash, bus, sensor)");
        for (size_t i = 0; i < 5; ++i)
            c.deviceStatus[i] =
                static_cast<uint32_t>(f.integerOf((*array)[i], "device_status", kU32));
    }
    if (const toml::table* model = f.table("model")) {
        Fields m(*model, "model");
        c.model.library = m.text("library", "", 4096);
        if (c.model.library.empty())
            m.fail(m.require("library"), "a model needs the 'library' that holds it");
        c.model.argument = m.text("argument", "", 4096);
        c.model.watchIntervalUs =
            static_cast<uint32_t>(m.integer("watch_interval_us", 1000, 1000000));
        if (c.model.watchIntervalUs < 50)
            m.fail(m.require("watch_interval_us"),
                   "'watch_interval_us' must lie between 50 and 1000000");
        m.finish();
    }
    if (const toml::table* bridge = f.table("bridge"))
        readBridge(*bridge, c.bridge);
    else
        c.bridge.flashSize = 64ull << 20;
    for (const auto* t : f.tables("fpga", kMaxFpgas))
        c.fpgas.push_back(readFpga(*t));
    uint64_t cardMemoryWindows = 0;
    for (const auto* t : f.tables("window", kMaxWindows)) {
        c.windows.push_back(readWindow(*t, cardMemoryWindows));
        if ((c.windows.back().attributes & kWindowCardMemory) &&
            c.windows.back().size > c.cardMemorySize)
            Fields(*t, "[[card.window]]")
                .fail(
                    "a card-memory window can show no more than the "
                    "card's 'card_memory' (" +
                    std::to_string(c.cardMemorySize) + " bytes)");
    }
    for (const auto* t : f.tables("common_buffer", 16)) {
        Fields b(*t, "[[card.common_buffer]]");
        const uint64_t size = b.requiredSize("size", kMaxMemory);
        if (size == 0)
            b.fail(b.require("size"), "a common buffer's 'size' must not be 0");
        c.commonBuffers.push_back(
            {size, b.integer("key", 0, kU64), b.integer("bus_address", 0, kU64)});
        b.finish();
    }
    for (const auto* t : f.tables("flash", 8))
        c.flash.push_back(readFlash(*t));
    c.vpdSize = 8192;
    if (const toml::table* vpd = f.table("vpd")) {
        Fields v(*vpd, "[card.vpd]");
        c.vpdSize = v.size("size", 8192, 1ull << 20);
        c.vpdRecord = v.text("content", "", 1ull << 20);
        if (c.vpdSize == 0 || c.vpdRecord.size() > c.vpdSize)
            v.fail("the VPD's 'content' must fit in its 'size', which must not be 0");
        v.finish();
    }
    for (const auto* t : f.tables("clock", kMaxClocks))
        c.clocks.push_back(readClock(*t));
    for (const auto* t : f.tables("sensor", 64))
        c.sensors.push_back(readSensor(*t));
    for (const auto* t : f.tables("bank", 64))
        c.banks.push_back(readBank(*t));
    for (const auto* t : f.tables("module", 64))
        c.modules.push_back(readModule(*t));
    for (const auto* t : f.tables("fault", 32)) {
        c.faults.push_back(readFault(*t, false));
        if (const std::string misfit = faultMisfit(c, c.faults.back()); !misfit.empty())
            Fields(*t, "[[card.fault]]").fail("the card " + misfit);
    }
    f.finish();
    return c;
}

// The folder name: letters, digits, '.', '-' and '_'.
std::string folderName(const std::string& name) {
    std::string result;
    for (char ch : name)
        result +=
            (std::isalnum(static_cast<unsigned char>(ch)) || ch == '.' || ch == '-' || ch == '_')
                ? ch
                : '_';
    // Never "." or "..", nor a hidden folder.
    if (!result.empty() && result[0] == '.')
        result[0] = '_';
    return result.empty() ? "machine" : result;
}

// toml++ 3.3 reaches __builtin_unreachable when it asks whether some non-ASCII
// characters outside strings and comments are white space (U+00A1 is one).
// So the parser only ever sees ASCII: each byte of a non-ASCII character
// becomes '~', which is an error everywhere but in strings and comments,
// with the lines and columns unchanged. Text values must be ASCII (the
// libraries hand them out as such), so a non-ASCII byte may only have been
// in a comment, where it changes nothing.
struct AsciiText {
    std::string text;
    std::vector<toml::source_position> replaced;
};

AsciiText asciiOnly(std::string_view original) {
    AsciiText result;
    result.text.reserve(original.size());
    toml::source_position at{1, 1};
    for (char ch : original) {
        if (static_cast<unsigned char>(ch) >= 0x80) {
            result.replaced.push_back(at);
            ch = '~';
        }
        result.text += ch;
        if (ch == '\n')
            at = {at.line + 1, 1};
        else
            ++at.column;
    }
    return result;
}

bool before(const toml::source_position& a, const toml::source_position& b) {
    return a.line < b.line || (a.line == b.line && a.column < b.column);
}

bool inside(const toml::source_region& region, const toml::source_position& p) {
    return !before(p, region.begin) && before(p, region.end);
}

// Refuses a string or a key that held a replaced byte.
void refuseReplaced(const toml::node& node, const std::vector<toml::source_position>& replaced) {
    // `replaced` is in text order: the first one at or after the region's
    // start is the only one to look at.
    auto check = [&replaced](const toml::source_region& region) {
        const auto p = std::lower_bound(replaced.begin(), replaced.end(), region.begin, before);
        if (p != replaced.end() && inside(region, *p))
            throw Failure{p->line, "text must be plain ASCII (a non-ASCII character in column " +
                                       std::to_string(p->column) + ")"};
    };
    if (node.is_string())
        check(node.source());
    if (const auto* table = node.as_table()) {
        for (const auto& [key, value] : *table) {
            check(key.source());
            refuseReplaced(value, replaced);
        }
    } else if (const auto* array = node.as_array()) {
        for (const auto& item : *array)
            refuseReplaced(item, replaced);
    }
}

// One line: the parser quotes what it saw, which may be a line break.
std::string oneLine(std::string_view text) {
    std::string line;
    for (char ch : text) {
        if (ch == '\n')
            line += "\\n";
        else if (ch == '\r')
            line += "\\r";
        else if (static_cast<unsigned char>(ch) < 0x20 || ch == 0x7F)
            line += '?';
        else
            line += ch;
    }
    return line;
}

uint64_t fingerprintOf(std::string_view text) {
    uint64_t hash = 0xCBF29CE484222325ull;
    for (unsigned char ch : text)
        hash = (hash ^ ch) * 0x100000001B3ull;
    return hash;
}

}  // namespace

namespace {

// Parses TOML text as a description or a fault file does: the tree to
// `read`, every failure as one line "SOURCE:LINE: what is wrong".
template <typename Read>
bool parseText(std::string_view text, const std::string& source, std::string& error, Read read) {
    try {
        // A byte-order mark, as some editors write, is no part of the text.
        if (text.substr(0, 3) == "\xEF\xBB\xBF")
            text.remove_prefix(3);
        const AsciiText ascii = asciiOnly(text);
        toml::table root = toml::parse(ascii.text, source);
        if (!ascii.replaced.empty())
            refuseReplaced(root, ascii.replaced);
        read(root);
    } catch (const toml::parse_error& e) {
        error =
            source + ":" + std::to_string(e.source().begin.line) + ": " + oneLine(e.description());
        return false;
    } catch (const Failure& e) {
        error = source + ":" + std::to_string(e.line) + ": " + oneLine(e.what);
        return false;
    } catch (const std::exception& e) {  // std::bad_alloc, or a number no type holds
        error = source + ": " + oneLine(e.what());
        return false;
    }
    return true;
}

}  // namespace

bool parseFaults(std::string_view text, const std::string& source, std::vector<FaultSpec>& faults,
                 std::string& error) {
    std::vector<FaultSpec> result;
    if (!parseText(text, source, error, [&result](const toml::table& root) {
            Fields f(root, "the fault file");
            for (const auto* t : f.tables("fault", 256))
                result.push_back(readFault(*t, true));
            f.finish();
        }))
        return false;
    faults = std::move(result);
    return true;
}

bool parseMachineDescription(std::string_view text, const std::string& source,
                             const std::string& fallbackName, MachineDescription& machine,
                             std::string& error) {
    MachineDescription result;
    if (text.substr(0, 3) == "\xEF\xBB\xBF")
        text.remove_prefix(3);  // the fingerprint is the text's without it
    if (!parseText(text, source, error, [&](const toml::table& root) {
            Fields f(root, "the machine description");
            uint16_t driverVersion[3] = {2, 1, 3};
            std::string name = fallbackName;
            if (const toml::table* m = f.table("machine")) {
                Fields mf(*m, "[machine]");
                name = mf.text("name", fallbackName, 64);
                readVersion(mf, "driver_version", driverVersion);
                mf.finish();
            }
            for (const auto* card : f.tables("card", kMaxCards))
                result.cards.push_back(readCard(*card, driverVersion));
            f.finish();
            result.name = folderName(name);
        }))
        return false;
    result.fingerprint = fingerprintOf(text);
    machine = std::move(result);
    return true;
}

std::string faultMisfit(const CardConfig& config, const FaultSpec& f) {
    if (f.kind == FaultSpec::Kind::Dma && f.channel != FaultSpec::kAnyChannel &&
        f.channel >= config.dmaChannels)
        return "has no DMA channel " + std::to_string(f.channel);
    if ((f.kind == FaultSpec::Kind::FlashErase || f.kind == FaultSpec::Kind::FlashProgram ||
         f.kind == FaultSpec::Kind::FlashId) &&
        f.bank >= config.flash.size())
        return "has no flash bank " + std::to_string(f.bank);
    if ((f.kind == FaultSpec::Kind::FlashErase || f.kind == FaultSpec::Kind::FlashProgram) &&
        f.offset >= config.flash[f.bank].size)
        return "flash bank " + std::to_string(f.bank) + " ends before " + hexText(f.offset);
    if (f.kind == FaultSpec::Kind::SensorAlarm && f.index >= config.sensors.size())
        return "has no sensor " + std::to_string(f.index);
    if (f.kind == FaultSpec::Kind::ClockUnlock &&
        (f.index >= config.clocks.size() || !config.clocks[f.index].programmable))
        return "has no programmable clock " + std::to_string(f.index);
    return "";
}

std::string hexText(uint64_t value) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(value));
    return text;
}

}  // namespace vsim::model
