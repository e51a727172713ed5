// veltra list, veltra info: what the library can tell about the cards.
#include <cinttypes>
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

namespace list_info_command {

uint64_t u64(const json& value) {
    return value.is_string() ? std::stoull(value.get<std::string>(), nullptr, 16)
                             : value.get<uint64_t>();
}

json versionJson(const Card& card) {
    VELTRA_VERSION_INFO v{};
    check(VELTRA_GetVersionInfo(card.handle(), &v), "cannot read the versions of " + card.name());
    return {{"library", format("%u.%u.%u", v.apiMajor, v.apiMinor, v.apiBugfix)},
            {"driver", format("%u.%u.%u", v.driverMajor, v.driverMinor, v.driverBugfix)}};
}

json cardInfoJson(const VELTRA_CARD_INFO_EX& i) {
    return {{"cardValue0", i.cardValue0},   {"reserved1", i.reserved1},
            {"cardValue2", i.cardValue2},   {"cardValue3", i.cardValue3},
            {"cardValue4", i.cardValue4},   {"cardValue5", i.cardValue5},
            {"cardValue6", i.cardValue6},   {"cardValue7", i.cardValue7},
            {"windowCount", i.windowCount}, {"cardValue9", i.cardValue9},
            {"cardValue10", i.cardValue10}, {"cardValue11", i.cardValue11},
            {"reserved12", i.reserved12}};
}

json windowsJson(const Card& card) {
    json list = json::array();
    const auto all = windows(card);
    for (size_t index = 0; index < all.size(); ++index) {
        const VELTRA_WINDOW_INFO& w = all[index];
        list.push_back({{"index", index},
                        {"windowValue0", w.windowValue0},
                        {"windowValue1", hexValue(w.windowValue1)},
                        {"windowValue2", hexValue(w.windowValue2)},
                        {"windowValue3", w.windowValue3},
                        {"windowValue4", w.windowValue4}});
    }
    return list;
}

json commonBuffersJson(const Card& card) {
    uint32_t count = 0;
    check(VELTRA_GetCommonBufferCount(card.handle(), &count),
          "cannot count the common buffers of " + card.name());
    json list = json::array();
    for (uint32_t index = 0; index < count; ++index) {
        uint64_t value = 0, key = 0;
        check(VELTRA_GetCommonBuffer(card.handle(), index, &value, &key),
              format("cannot read common buffer %u of %s", index, card.name().c_str()));
        list.push_back({{"index", index}, {"value", hexValue(value)}, {"key", hexValue(key)}});
    }
    return list;
}

json banksJson(const Card& card) {
    json list = json::array();
    const uint32_t count = card.info().cardValue6;
    for (uint32_t index = 0; index < count; ++index) {
        VELTRA_BANK_INFO b{};
        check(VELTRA_GetBankInfo(card.handle(), index, &b),
              format("cannot read memory bank %u of %s", index, card.name().c_str()));
        list.push_back({{"index", index},
                        {"bankValue0", hexValue(b.bankValue0)},
                        {"bankValue1", b.bankValue1},
                        {"bankValue2", b.bankValue2},
                        {"bankHalf0", b.bankHalf0},
                        {"bankHalf1", b.bankHalf1},
                        {"bankHalfSum", b.bankHalfSum},
                        {"bankValue3", b.bankValue3},
                        {"bankValue4", b.bankValue4},
                        {"bBankFlag", b.bBankFlag}});
    }
    return list;
}

json moduleJson(uint32_t index, const VELTRA_MODULE_INFOA& m) {
    return {{"index", index},
            {"moduleText0", text(m.moduleText0)},
            {"moduleText1", text(m.moduleText1)},
            {"moduleText2", text(m.moduleText2)},
            {"moduleText3", text(m.moduleText3)},
            {"moduleFixed", m.moduleFixed},
            {"moduleValue0", m.moduleValue0},
            {"moduleValue1", m.moduleValue1},
            {"bModuleFlag", m.bModuleFlag}};
}

// The driver reports no count of modules: they are read until the index
// it refuses.
json modulesJson(const Card& card) {
    json list = json::array();
    for (uint32_t index = 0; index < 256; ++index) {
        VELTRA_MODULE_INFOA m{};
        const VELTRA_STATUS status = VELTRA_GetModuleInfoA(card.handle(), index, &m);
        if (status == VELTRA_INVALID_INDEX)
            break;
        check(status, format("cannot read module %u of %s", index, card.name().c_str()));
        list.push_back(moduleJson(index, m));
    }
    return list;
}

json fpgasJson(const Card& card) {
    json list = json::array();
    const auto all = fpgas(card);
    for (uint32_t index = 0; index < all.size(); ++index) {
        const VELTRA_FPGA_INFOA& f = all[index];
        list.push_back({{"index", index},
                        {"name", text(f.name)},
                        {"typeCode", f.typeCode},
                        {"family", f.family},
                        {"attribute1", f.attribute1},
                        {"packageCode", f.packageCode},
                        {"deviceName", text(f.deviceName)},
                        {"packageName", text(f.packageName)},
                        {"attribute2", f.attribute2},
                        {"text1", text(f.text1)},
                        {"text2", text(f.text2)},
                        {"attribute3", f.attribute3}});
    }
    return list;
}

// The flash chips and their block layouts, as runs of blocks of one size.
json flashJson(const Card& card) {
    json list = json::array();
    const uint32_t count = card.info().cardValue5;
    for (uint32_t index = 0; index < count; ++index) {
        const Chip chip = chipOf(card, index);
        json runs = json::array();
        for (const BlockRun& run : blockRuns(card, chip))
            runs.push_back({{"attribute1", run.first.start},
                            {"attribute2", run.first.size},
                            {"attribute3", run.first.flags},
                            {"count", run.count}});
        list.push_back({{"index", index},
                        {"name", chip.name},
                        {"attribute1", chip.size},
                        {"attribute2", chip.blockSize},
                        {"attribute3", chip.busWidth},
                        {"blocks", runs}});
    }
    return list;
}

json vpdJson(const Card& card) {
    const uint64_t size = vpdSize(card);
    return {{"size", size}, {"text", recordText(readVpd(card, 0, size))}};
}

json clocksJson(const Card& card) {
    json list = json::array();
    const std::vector<double> all = clocks(card);
    for (size_t index = 0; index < all.size(); ++index)
        list.push_back({{"index", index}, {"frequency", all[index]}});
    return list;
}

json sensorsJson(const Card& card) {
    json list = json::array();
    const auto all = sensors(card);
    for (uint32_t index = 0; index < all.size(); ++index) {
        const VELTRA_SENSOR_INFOA& s = all[index];
        json entry{{"index", index},
                   {"description", text(s.description)},
                   {"attribute1", s.attribute1},
                   {"attribute2", s.attribute2},
                   {"attribute3", s.attribute3},
                   {"attribute4", s.attribute4},
                   {"attribute5", s.attribute5}};
        entry.update(readingJson(s, readSensor(card, index, s)));
        list.push_back(entry);
    }
    return list;
}

json deviceStatusJson(const Card& card) {
    const DeviceStatus s = deviceStatus(card);
    return {{"status1", s.word[0]}, {"status2", s.word[1]}, {"status3", s.word[2]},
            {"status4", s.word[3]}, {"status5", s.word[4]}, {"anyError", s.any}};
}

json describe(const Card& card) {
    return {{"card", card.index()},
            {"identity", identity(card)},
            {"version", versionJson(card)},
            {"cardInfo", cardInfoJson(card.info())},
            {"windows", windowsJson(card)},
            {"commonBuffers", commonBuffersJson(card)},
            {"banks", banksJson(card)},
            {"modules", modulesJson(card)},
            {"fpgas", fpgasJson(card)},
            {"flash", flashJson(card)},
            {"vpd", vpdJson(card)},
            {"clocks", clocksJson(card)},
            {"sensors", sensorsJson(card)},
            {"deviceStatus", deviceStatusJson(card)},
            {"pendingUpdate", pendingUpdateJson(card)}};
}

// The text form: each record's values under their field names, with what
// the package's driver means by them.
void printCardInformation(const json& c) {
    static const struct {
        const char* field;
        const char* meaning;
        int hexDigits;  // 0: decimal
    } kFields[] = {
        {"cardValue0", "board revision", 0},
        {"reserved1", "", 0},
        {"cardValue2", "board id", 4},
        {"cardValue3", "serial number", 8},
        {"cardValue4", "FPGAs", 0},
        {"cardValue5", "flash banks", 0},
        {"cardValue6", "memory banks", 0},
        {"cardValue7", "DMA channels", 0},
        {"windowCount", "windows", 0},
        {"cardValue9", "clock generators", 0},
        {"cardValue10", "PCIe link width", 0},
        {"cardValue11", "PCIe generation", 0},
        {"reserved12", "", 0},
    };
    std::printf("card information\n");
    for (const auto& field : kFields) {
        const uint64_t value = u64(c[field.field]);
        const std::string shown =
            field.hexDigits ? hex(value, field.hexDigits) : std::to_string(value);
        if (*field.meaning == '\0')
            std::printf("  %-12s %s\n", field.field, shown.c_str());
        else
            std::printf("  %-12s %-12s %s\n", field.field, shown.c_str(), field.meaning);
    }
}

void printWindows(const json& info) {
    std::printf("windows\n");
    for (const json& w : info["windows"]) {
        const uint64_t attributes = u64(w["windowValue3"]);
        const std::string kind =
            windowKind(attributes) + ((attributes & kWindowPrefetchable) ? ", prefetchable" : "");
        std::printf("  %u  %-9s at bus %s, local %s  (%s)\n", w["index"].get<unsigned>(),
                    sizeText(u64(w["windowValue0"])).c_str(), hex(u64(w["windowValue1"])).c_str(),
                    hex(u64(w["windowValue2"])).c_str(), kind.c_str());
    }
    std::printf("common buffers\n");
    for (const json& b : info["commonBuffers"])
        std::printf("  %u  key %s, value %s\n", b["index"].get<unsigned>(),
                    hex(u64(b["key"])).c_str(), hex(u64(b["value"])).c_str());
}

void printBanksAndModules(const json& info) {
    std::printf("memory banks\n");
    for (const json& b : info["banks"])
        std::printf("  %u  %s at %s, %" PRIu64 " MT/s, %" PRIu64 " bits, %" PRIu64
                    " ranks, CL %" PRIu64 ", vendor %s%s\n",
                    b["index"].get<unsigned>(), sizeText(u64(b["bankValue1"])).c_str(),
                    hex(u64(b["bankValue0"])).c_str(), u64(b["bankValue2"]), u64(b["bankHalf0"]),
                    u64(b["bankHalf1"]), u64(b["bankValue3"]), hex(u64(b["bankValue4"]), 2).c_str(),
                    u64(b["bBankFlag"]) ? ", ECC" : "");
    std::printf("modules\n");
    for (const json& m : info["modules"])
        std::printf("  %u  %s %s, serial %s, revision %s, %.2f C, %" PRIu64 " Mb/s%s\n",
                    m["index"].get<unsigned>(), m["moduleText0"].get<std::string>().c_str(),
                    m["moduleText1"].get<std::string>().c_str(),
                    m["moduleText2"].get<std::string>().c_str(),
                    m["moduleText3"].get<std::string>().c_str(), m["moduleFixed"].get<double>(),
                    u64(m["moduleValue1"]), u64(m["bModuleFlag"]) ? "" : ", not present");
}

void printFpgasAndFlash(const json& info) {
    std::printf("FPGAs\n");
    for (const json& f : info["fpgas"])
        std::printf("  %u  %s (%s %s, speed %s, temperature %s, IDCODE %s), %s\n",
                    f["index"].get<unsigned>(), f["name"].get<std::string>().c_str(),
                    f["deviceName"].get<std::string>().c_str(),
                    f["packageName"].get<std::string>().c_str(),
                    f["text1"].get<std::string>().c_str(), f["text2"].get<std::string>().c_str(),
                    hex(u64(f["attribute2"]), 8).c_str(),
                    u64(f["attribute3"]) ? "configured" : "not configured");
    std::printf("flash\n");
    for (const json& f : info["flash"]) {
        std::printf("  %u  %s, %s, x%" PRIu64 "\n", f["index"].get<unsigned>(),
                    f["name"].get<std::string>().c_str(), sizeText(u64(f["attribute1"])).c_str(),
                    u64(f["attribute3"]));
        for (const json& run : f["blocks"])
            std::printf(
                "     from %s: %" PRIu64 " %sblock%s of %s\n", hex(u64(run["attribute1"])).c_str(),
                u64(run["count"]), (u64(run["attribute3"]) & 1) ? "parameter " : "",
                u64(run["count"]) == 1 ? "" : "s", sizeText(u64(run["attribute2"])).c_str());
    }
}

void printVpdAndClocks(const json& info) {
    std::printf("VPD\n  %s\n", sizeText(u64(info["vpd"]["size"])).c_str());
    std::string line;
    for (char ch : info["vpd"]["text"].get<std::string>() + "\n") {
        if (ch != '\n') {
            line += ch;
            continue;
        }
        if (!line.empty())
            std::printf("  %s\n", line.c_str());
        line.clear();
    }
    std::printf("clocks\n");
    for (const json& k : info["clocks"])
        std::printf("  %u  %s\n", k["index"].get<unsigned>(),
                    frequencyText(k["frequency"].get<double>()).c_str());
}

void printSensorsAndStatus(const json& info) {
    std::printf("sensors\n");
    for (const json& s : info["sensors"]) {
        const std::string unit = unitSuffix(static_cast<uint32_t>(u64(s["attribute3"])));
        const std::string limits =
            s["limits"].is_null()
                ? std::string()
                : format(", limits %s to %s%s", decimal(s["limits"]["low"].get<double>()).c_str(),
                         decimal(s["limits"]["high"].get<double>()).c_str(), unit.c_str());
        std::printf("  %u  %-27s nominal %s%s%s\n", s["index"].get<unsigned>(),
                    s["description"].get<std::string>().c_str(),
                    decimal(s["attribute2"].get<double>()).c_str(), unit.c_str(), limits.c_str());
    }
    const json& d = info["deviceStatus"];
    std::printf("device status\n  %s %s %s %s %s%s\n", hex(u64(d["status1"]), 8).c_str(),
                hex(u64(d["status2"]), 8).c_str(), hex(u64(d["status3"]), 8).c_str(),
                hex(u64(d["status4"]), 8).c_str(), hex(u64(d["status5"]), 8).c_str(),
                d["anyError"].get<bool>() ? "  (errors: see veltra status)" : "  (no errors)");
}

void printInfo(const json& info) {
    std::printf("card %u\n", info["card"].get<unsigned>());
    std::printf("  library %s, driver %s\n", info["version"]["library"].get<std::string>().c_str(),
                info["version"]["driver"].get<std::string>().c_str());
    std::printf("  serial %s, path %s\n", info["identity"]["serial"].get<std::string>().c_str(),
                info["identity"]["path"].get<std::string>().c_str());
    printCardInformation(info["cardInfo"]);
    printWindows(info);
    printBanksAndModules(info);
    printFpgasAndFlash(info);
    printVpdAndClocks(info);
    printSensorsAndStatus(info);
}

json listEntry(const Card& card) {
    json entry{{"card", card.index()}};
    entry.update(identity(card));
    return entry;
}

void printListLine(const json& c) {
    std::string parts;
    for (const json& f : c["fpgas"])
        parts += (parts.empty() ? "" : ", ") + f["name"].get<std::string>() +
                 (f["configured"].get<bool>() ? " (configured)" : " (not configured)");
    std::printf(
        "card %u  board %s revision %u serial %s  PCIe x%u gen %u  FPGA %s  driver %s  path "
        "%s\n",
        c["card"].get<unsigned>(), hex(u64(c["boardId"]), 4).c_str(), c["revision"].get<unsigned>(),
        c["serial"].get<std::string>().c_str(), c["pcie"]["width"].get<unsigned>(),
        c["pcie"]["generation"].get<unsigned>(), parts.empty() ? "none" : parts.c_str(),
        c["driver"].get<std::string>().c_str(), c["path"].get<std::string>().c_str());
}

struct ListOptions {
    bool json = false;
};

// With no card there is nothing to list: a failure, which says why.
void list(const ListOptions& options) {
    json cards = json::array();
    for (const Card& card : openAllCards())
        cards.push_back(listEntry(card));
    if (options.json)
        printJson({{"cards", cards}});
    else
        for (const json& c : cards)
            printListLine(c);
    if (cards.empty())
        throw Failure("no cards: " + whyNoCards());
}

Work defineList(CLI::App& command) {
    auto options = std::make_shared<ListOptions>();
    command.add_flag("--json", options->json, "print JSON instead of text");
    return [options] { list(*options); };
}

struct InfoOptions {
    CardChoice card;
    bool json = false;
};

// One card's document as it is with -c; every card's under "cards".
void info(const InfoOptions& options) {
    const std::vector<Card> cards = options.card.openEach();
    if (options.json && options.card.given()) {
        warnOfPendingUpdate(cards.front());
        printJson(describe(cards.front()));
        return;
    }
    json documents = json::array();
    for (const Card& card : cards) {
        warnOfPendingUpdate(card);
        if (options.json) {
            documents.push_back(describe(card));
            continue;
        }
        if (card.index() != cards.front().index())
            std::printf("\n");
        printInfo(describe(card));
    }
    if (options.json)
        printJson({{"cards", documents}});
}

Work defineInfo(CLI::App& command) {
    auto options = std::make_shared<InfoOptions>();
    addCardOption(command, options->card, false);
    command.add_flag("--json", options->json, "print JSON instead of text");
    return [options] { info(*options); };
}

constexpr Command kCommands[] = {
    {"list", "one line for each card", defineList},
    {"info", "everything the library can tell about a card (every card without -c)", defineInfo},
};

}  // namespace list_info_command

Commands listCommands() {
    return list_info_command::kCommands;
}

}  // namespace tool
