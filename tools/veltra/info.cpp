// veltra list, veltra info: what the library can tell about the cards.
#include "tool.h"

#include <cinttypes>
#include <cstdio>
#include <memory>

namespace tool {

VELTRA_CARD_INFO_EX cardInfo(const Card& card) {
    VELTRA_CARD_INFO_EX info{};
    check(VELTRA_GetCardInfoEx(card.handle(), &info),
          "cannot read the information of " + card.name());
    return info;
}

std::string driverVersion(const Card& card) {
    VELTRA_VERSION_INFO version{};
    check(VELTRA_GetVersionInfo(card.handle(), &version),
          "cannot read the versions of " + card.name());
    return format("%u.%u.%u", version.driverMajor, version.driverMinor, version.driverBugfix);
}

std::vector<VELTRA_WINDOW_INFO> windows(const Card& card) {
    const uint32_t count = cardInfo(card).windowCount;
    std::vector<VELTRA_WINDOW_INFO> result(count);
    for (uint32_t index = 0; index < count; ++index)
        check(VELTRA_GetWindowInfo(card.handle(), index, &result[index]),
              format("cannot read window %u of %s", index, card.name().c_str()));
    return result;
}

std::vector<VELTRA_FPGA_INFOA> fpgas(const Card& card) {
    std::vector<VELTRA_FPGA_INFOA> result;
    forEachIndex("cannot read the information of FPGA", 64, [&](uint32_t index) {
        VELTRA_FPGA_INFOA info{};
        const VELTRA_STATUS status = VELTRA_GetFpgaInfoA(card.handle(), index, &info);
        if (status == VELTRA_SUCCESS)
            result.push_back(info);
        return status;
    });
    return result;
}

std::vector<VELTRA_SENSOR_INFOA> sensors(const Card& card) {
    std::vector<VELTRA_SENSOR_INFOA> result;
    forEachIndex("cannot read the information of sensor", 256, [&](uint32_t index) {
        VELTRA_SENSOR_INFOA info{};
        const VELTRA_STATUS status = VELTRA_GetSensorInfoA(card.handle(), index, &info);
        if (status == VELTRA_SUCCESS)
            result.push_back(info);
        return status;
    });
    return result;
}

int findWindow(const std::vector<VELTRA_WINDOW_INFO>& windows, uint64_t with, uint64_t without) {
    for (size_t index = 0; index < windows.size(); ++index) {
        const uint64_t attributes = windows[index].windowValue3;
        if ((attributes & with) == with && (attributes & without) == 0)
            return static_cast<int>(index);
    }
    return -1;
}

namespace {

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
                        {"windowValue1", w.windowValue1},
                        {"windowValue2", w.windowValue2},
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
        list.push_back({{"index", index}, {"value", value}, {"key", key}});
    }
    return list;
}

json banksJson(const Card& card) {
    json list = json::array();
    forEachIndex("cannot read memory bank", 256, [&](uint32_t index) {
        VELTRA_BANK_INFO b{};
        const VELTRA_STATUS status = VELTRA_GetBankInfo(card.handle(), index, &b);
        if (status == VELTRA_SUCCESS)
            list.push_back({{"index", index},
                            {"bankValue0", b.bankValue0},
                            {"bankValue1", b.bankValue1},
                            {"bankValue2", b.bankValue2},
                            {"bankHalf0", b.bankHalf0},
                            {"bankHalf1", b.bankHalf1},
                            {"bankHalfSum", b.bankHalfSum},
                            {"bankValue3", b.bankValue3},
                            {"bankValue4", b.bankValue4},
                            {"bBankFlag", b.bBankFlag}});
        return status;
    });
    return list;
}

json modulesJson(const Card& card) {
    json list = json::array();
    forEachIndex("cannot read module", 256, [&](uint32_t index) {
        VELTRA_MODULE_INFOA m{};
        const VELTRA_STATUS status = VELTRA_GetModuleInfoA(card.handle(), index, &m);
        if (status == VELTRA_SUCCESS)
            list.push_back({{"index", index},
                            {"moduleText0", text(m.moduleText0)},
                            {"moduleText1", text(m.moduleText1)},
                            {"moduleText2", text(m.moduleText2)},
                            {"moduleText3", text(m.moduleText3)},
                            {"moduleFixed", m.moduleFixed},
                            {"moduleValue0", m.moduleValue0},
                            {"moduleValue1", m.moduleValue1},
                            {"bModuleFlag", m.bModuleFlag}});
        return status;
    });
    return list;
}

json fpgaJson(uint32_t index, const VELTRA_FPGA_INFOA& f) {
    return {{"index", index},
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
            {"attribute3", f.attribute3}};
}

// The flash chip and its block layout, as runs of blocks of one size.
json flashJson(const Card& card) {
    json list = json::array();
    forEachIndex("cannot read the information of flash", 16, [&](uint32_t index) {
        VELTRA_FLASH_INFOA f{};
        const VELTRA_STATUS status = VELTRA_GetFlashInfoA(card.handle(), index, &f);
        if (status != VELTRA_SUCCESS)
            return status;
        json runs = json::array();
        for (const BlockRun& run : blockRuns(card, index, f.attribute1))
            runs.push_back({{"attribute1", run.first.attribute1},
                            {"attribute2", run.first.attribute2},
                            {"attribute3", run.first.attribute3},
                            {"count", run.count}});
        list.push_back({{"index", index},
                        {"name", text(f.name)},
                        {"attribute1", f.attribute1},
                        {"attribute2", f.attribute2},
                        {"attribute3", f.attribute3},
                        {"blocks", runs}});
        return status;
    });
    return list;
}

json clocksJson(const Card& card) {
    json list = json::array();
    forEachIndex("cannot read clock", 64, [&](uint32_t index) {
        double frequency = 0;
        const VELTRA_STATUS status = VELTRA_GetClockFrequency(card.handle(), index, &frequency);
        if (status == VELTRA_SUCCESS)
            list.push_back({{"index", index}, {"frequency", frequency}});
        return status;
    });
    return list;
}

json sensorsJson(const Card& card) {
    json list = json::array();
    const auto all = sensors(card);
    for (uint32_t index = 0; index < all.size(); ++index) {
        const VELTRA_SENSOR_INFOA& s = all[index];
        const SensorReading reading = readSensor(card, index, s);
        list.push_back({{"index", index},
                        {"description", text(s.description)},
                        {"attribute1", s.attribute1},
                        {"attribute2", s.attribute2},
                        {"attribute3", s.attribute3},
                        {"attribute4", s.attribute4},
                        {"attribute5", s.attribute5},
                        {"value", reading.value},
                        {"state", reading.state}});
    }
    return list;
}

json deviceStatusJson(const Card& card) {
    VELTRA_DEVICE_STATUS s{};
    uint32_t any = 0;
    check(VELTRA_GetDeviceStatus(card.handle(), 0, &s, &any),
          "cannot read the device status of " + card.name());
    return {{"status1", s.status1}, {"status2", s.status2}, {"status3", s.status3},
            {"status4", s.status4}, {"status5", s.status5}, {"anyError", any != 0}};
}

json describe(const Card& card) {
    json info;
    info["card"] = card.index();
    info["version"] = versionJson(card);
    info["cardInfo"] = cardInfoJson(cardInfo(card));
    info["windows"] = windowsJson(card);
    info["commonBuffers"] = commonBuffersJson(card);
    info["banks"] = banksJson(card);
    info["modules"] = modulesJson(card);
    json list = json::array();
    const auto all = fpgas(card);
    for (uint32_t index = 0; index < all.size(); ++index)
        list.push_back(fpgaJson(index, all[index]));
    info["fpgas"] = list;
    info["flash"] = flashJson(card);
    info["vpd"] = vpdJson(card);
    info["clocks"] = clocksJson(card);
    info["sensors"] = sensorsJson(card);
    info["deviceStatus"] = deviceStatusJson(card);
    return info;
}

uint64_t u64(const json& value) {
    return value.get<uint64_t>();
}

// A value of the driver's in its unit: up to three decimals, no trailing
// zeros ("0.95", "10000").
std::string decimal(double value) {
    std::string text = format("%.3f", value);
    while (text.back() == '0')
        text.pop_back();
    if (text.back() == '.')
        text.pop_back();
    return text;
}

// The human form: each record's values under their field names, with what
// the package's driver means by them.
void printInfo(const json& info) {
    const json& c = info["cardInfo"];
    std::printf("card %u\n", info["card"].get<unsigned>());
    std::printf("  library %s, driver %s\n", info["version"]["library"].get<std::string>().c_str(),
                info["version"]["driver"].get<std::string>().c_str());
    std::printf("card information\n");
    static const struct {
        const char* field;
        const char* meaning;
        int hexDigits;  // 0: decimal
    } kCardFields[] = {
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
    for (const auto& field : kCardFields) {
        const uint64_t value = u64(c[field.field]);
        const std::string shown =
            field.hexDigits ? hex(value, field.hexDigits) : std::to_string(value);
        if (*field.meaning == '\0')
            std::printf("  %-12s %s\n", field.field, shown.c_str());
        else
            std::printf("  %-12s %-12s %s\n", field.field, shown.c_str(), field.meaning);
    }
    std::printf("windows\n");
    for (const json& w : info["windows"]) {
        const uint64_t attributes = u64(w["windowValue3"]);
        std::string kind = (attributes & kWindowCardMemory)  ? "card memory"
                           : (attributes & kWindowDoorbell)  ? "doorbell"
                           : (attributes & kWindowRegisters) ? "registers"
                                                             : "memory";
        if (attributes & kWindowPrefetchable)
            kind += ", prefetchable";
        std::printf("  %u  %-9s at bus %s, local %s  (%s)\n", w["index"].get<unsigned>(),
                    sizeText(u64(w["windowValue0"])).c_str(), hex(u64(w["windowValue1"])).c_str(),
                    hex(u64(w["windowValue2"])).c_str(), kind.c_str());
    }
    std::printf("common buffers\n");
    for (const json& b : info["commonBuffers"])
        std::printf("  %u  key %s, value %s\n", b["index"].get<unsigned>(),
                    hex(u64(b["key"])).c_str(), hex(u64(b["value"])).c_str());
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
    std::printf("VPD\n  %s", sizeText(u64(info["vpd"]["size"])).c_str());
    const std::string vpd = info["vpd"]["text"].get<std::string>();
    std::string line;
    for (char ch : vpd) {
        if (ch == '\n') {
            std::printf("%s%s", line.empty() ? "" : "\n  ", line.c_str());
            line.clear();
            continue;
        }
        line += ch;
    }
    std::printf("%s%s\n", line.empty() ? "" : "\n  ", line.c_str());
    std::printf("clocks\n");
    for (const json& k : info["clocks"])
        std::printf("  %u  %s\n", k["index"].get<unsigned>(),
                    frequencyText(k["frequency"].get<double>()).c_str());
    std::printf("sensors\n");
    const auto sensorsList = info["sensors"];
    for (const json& s : sensorsList) {
        const double low = static_cast<int32_t>(u64(s["attribute4"])) / 1000.0;
        const double high = static_cast<int32_t>(u64(s["attribute5"])) / 1000.0;
        std::string limits =
            u64(s["attribute1"]) == kSensorFlags || (low == 0 && high == 0)
                ? std::string()
                : format(", limits %s to %s%s", decimal(low).c_str(), decimal(high).c_str(),
                         unitSuffix(static_cast<uint32_t>(u64(s["attribute3"]))).c_str());
        std::printf("  %u  %-27s nominal %s%s%s\n", s["index"].get<unsigned>(),
                    s["description"].get<std::string>().c_str(),
                    decimal(s["attribute2"].get<double>()).c_str(),
                    unitSuffix(static_cast<uint32_t>(u64(s["attribute3"]))).c_str(),
                    limits.c_str());
    }
    const json& d = info["deviceStatus"];
    std::printf("device status\n  %s %s %s %s %s%s\n", hex(u64(d["status1"]), 8).c_str(),
                hex(u64(d["status2"]), 8).c_str(), hex(u64(d["status3"]), 8).c_str(),
                hex(u64(d["status4"]), 8).c_str(), hex(u64(d["status5"]), 8).c_str(),
                d["anyError"].get<bool>() ? "  (errors: see veltra status)" : "  (no errors)");
}

// One card's line of `veltra list`.
json summary(const Card& card) {
    const VELTRA_CARD_INFO_EX info = cardInfo(card);
    json entry{{"card", card.index()},
               {"boardId", info.cardValue2},
               {"revision", info.cardValue0},
               {"serial", info.cardValue3},
               {"pcie", {{"width", info.cardValue10}, {"generation", info.cardValue11}}}};
    json list = json::array();
    for (const auto& f : fpgas(card))
        list.push_back({{"name", text(f.name)}, {"configured", f.attribute3 != 0}});
    entry["fpgas"] = list;
    entry["driver"] = driverVersion(card);
    return entry;
}

}  // namespace

void addInfoCommands(CLI::App& app) {
    auto common = std::make_shared<Common>();
    CLI::App* list = app.add_subcommand("list", "one line for each card");
    addJsonFlag(*list, *common);
    list->callback([common] {
        json cards = json::array();
        for (uint32_t index : allCards()) {
            Card card(index);
            cards.push_back(summary(card));
        }
        if (common->json) {
            printJson(cards);
            return;
        }
        if (cards.empty()) {
            std::printf("no cards\n");
            return;
        }
        for (const json& c : cards) {
            std::string parts;
            for (const json& f : c["fpgas"])
                parts += (parts.empty() ? "" : ", ") + f["name"].get<std::string>() +
                         (f["configured"].get<bool>() ? " (configured)" : " (not configured)");
            std::printf(
                "card %u  board %s revision %u serial %s  PCIe x%u gen %u  FPGA %s  "
                "driver %s\n",
                c["card"].get<unsigned>(), hex(u64(c["boardId"]), 4).c_str(),
                c["revision"].get<unsigned>(), hex(u64(c["serial"]), 8).c_str(),
                c["pcie"]["width"].get<unsigned>(), c["pcie"]["generation"].get<unsigned>(),
                parts.empty() ? "none" : parts.c_str(), c["driver"].get<std::string>().c_str());
        }
    });

    auto infoOptions = std::make_shared<Common>();
    CLI::App* info = app.add_subcommand("info", "everything the library can tell about a card");
    addCardOption(*info, *infoOptions, false);
    addJsonFlag(*info, *infoOptions);
    info->callback([infoOptions] {
        Card card(infoOptions->card);
        const json document = describe(card);
        if (infoOptions->json)
            printJson(document);
        else
            printInfo(document);
    });
}

}  // namespace tool
