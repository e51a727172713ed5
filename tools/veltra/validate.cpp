// veltra validate: a self-test of each card that leaves its memory as it
// found it. Each check has a stable id for scripts.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>

#include "cards.h"
#include "command_table.h"
#include "errors.h"
#include "interrupts.h"
#include "output.h"
#include "records.h"
#include "text.h"

namespace tool {

namespace validate_command {

// Memory tests cover at most this much of a window or of card memory.
constexpr uint64_t kTestBytes = uint64_t{1} << 20;
// The notification the round trip raises.
constexpr uint32_t kNotification = 0x7E57;

struct Options {
    CardChoice card;
    bool json = false;
    std::string expectLink;
};

// A pattern in which every 8-byte word differs from its neighbours and from
// the same word of another seed, so that swapped or stuck addresses show.
std::vector<uint8_t> pattern(uint64_t length, uint64_t seed) {
    std::vector<uint8_t> data(static_cast<size_t>(length));
    uint64_t x = seed * 0x9E3779B97F4A7C15ull + 1;
    for (uint64_t i = 0; i < length; i += 8) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        std::memcpy(data.data() + i, &x, static_cast<size_t>(std::min<uint64_t>(8, length - i)));
    }
    return data;
}

struct Check {
    std::string id, name, result, detail;
};

class Validation {
  public:
    // Runs one check: PASS with the detail `body` returns, FAIL with the
    // message of a failure.
    void run(const std::string& id, const std::string& name,
             const std::function<std::string()>& body) {
        try {
            checks_.push_back({id, name, "PASS", body()});
        } catch (const Failure& failure) {
            checks_.push_back({id, name, "FAIL", failure.what()});
        }
    }
    void skip(const std::string& id, const std::string& name, const std::string& why) {
        checks_.push_back({id, name, "SKIP", why});
    }
    const std::vector<Check>& checks() const { return checks_; }
    size_t failed() const {
        return static_cast<size_t>(std::count_if(
            checks_.begin(), checks_.end(), [](const Check& c) { return c.result == "FAIL"; }));
    }

  private:
    std::vector<Check> checks_;
};

// Window memory through a mapping: written there, read back there and
// without the mapping. Its contents are restored.
std::string mappedMemory(const Card& card, uint32_t window, uint64_t length) {
    std::vector<uint8_t> saved(static_cast<size_t>(length)), back(static_cast<size_t>(length));
    check(VELTRA_Read(card.handle(), window, 0, 0, length, saved.data()), "cannot save the window");
    void* base = nullptr;
    check(VELTRA_MapWindow(card.handle(), window, 0, length, &base),
          format("cannot map window %u", window));
    const std::vector<uint8_t> data = pattern(length, 1);
    std::memcpy(base, data.data(), data.size());
    const bool mappedSame = std::memcmp(base, data.data(), data.size()) == 0;
    const VELTRA_STATUS read = VELTRA_Read(card.handle(), window, 0, 0, length, back.data());
    std::memcpy(base, saved.data(), saved.size());
    check(VELTRA_UnmapWindow(card.handle(), base), format("cannot unmap window %u", window));
    check(read, "cannot read the window without the mapping");
    if (!mappedSame)
        throw Failure("the mapping does not read back what was written through it");
    if (back != data)
        throw Failure("VELTRA_Read does not show what was written through the mapping");
    return format("%s of window %u", sizeText(length).c_str(), window);
}

// Window memory with VELTRA_Write and VELTRA_Read. Its contents are restored.
std::string unmappedMemory(const Card& card, uint32_t window, uint64_t length) {
    std::vector<uint8_t> saved(static_cast<size_t>(length)), back(static_cast<size_t>(length));
    check(VELTRA_Read(card.handle(), window, 0, 0, length, saved.data()), "cannot save the window");
    std::vector<uint8_t> data = pattern(length, 2);
    const VELTRA_STATUS wrote = VELTRA_Write(card.handle(), window, 0, 0, length, data.data());
    const VELTRA_STATUS read = wrote == VELTRA_SUCCESS
                                   ? VELTRA_Read(card.handle(), window, 0, 0, length, back.data())
                                   : wrote;
    check(VELTRA_Write(card.handle(), window, 0, 0, length, saved.data()),
          "cannot restore the window");
    check(wrote, "VELTRA_Write failed");
    check(read, "VELTRA_Read failed");
    if (back != data)
        throw Failure("VELTRA_Read does not return what VELTRA_Write wrote");
    return format("%s of window %u", sizeText(length).c_str(), window);
}

// Card memory by DMA on one channel: written, read back, restored.
std::string dmaLoopback(const Card& card, uint32_t channel, uint64_t length) {
    std::vector<uint8_t> saved(static_cast<size_t>(length)), back(static_cast<size_t>(length));
    check(VELTRA_ReadDMAEx(card.handle(), channel, 0, saved.data(), length, 0),
          "cannot save card memory");
    std::vector<uint8_t> data = pattern(length, 3 + channel);
    const VELTRA_STATUS wrote =
        VELTRA_WriteDMAEx(card.handle(), channel, 0, data.data(), length, 0);
    const VELTRA_STATUS read = wrote == VELTRA_SUCCESS ? VELTRA_ReadDMAEx(card.handle(), channel, 0,
                                                                          back.data(), length, 0)
                                                       : wrote;
    check(VELTRA_WriteDMAEx(card.handle(), channel, 0, saved.data(), length, 0),
          "cannot restore card memory");
    check(wrote, "the write to the card failed");
    check(read, "the read from the card failed");
    if (back != data)
        throw Failure("card memory does not read back what was written");
    return format("%s both ways", sizeText(length).c_str());
}

struct Event {
    HANDLE handle = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ~Event() {
        if (handle != nullptr)
            CloseHandle(handle);
    }
};

// A wait for a notification, finished by ringing the doorbell.
std::string notificationRoundTrip(const Card& card, uint32_t doorbell) {
    Event event;
    if (event.handle == nullptr)
        throw Failure("cannot create an event");
    OVERLAPPED overlapped{};
    overlapped.hEvent = event.handle;
    VELTRA_STATUS status = VELTRA_StartNotificationWait(card.handle(), &overlapped, kNotification);
    if (status != VELTRA_PENDING)
        check(status == VELTRA_SUCCESS ? VELTRA_UNEXPECTED_ERROR : status,
              "the wait did not start pending");
    const Stopwatch clock;
    uint32_t value = kNotification;
    status = VELTRA_Write(card.handle(), doorbell, 0, 0, sizeof value, &value);
    if (status == VELTRA_SUCCESS && WaitForSingleObject(event.handle, 5000) != WAIT_OBJECT_0)
        status = VELTRA_CANCELLED;
    if (status != VELTRA_SUCCESS) {
        VELTRA_Cancel(card.handle());
        VELTRA_FinishNotificationWait(card.handle(), &overlapped, 1);
        check(status, status == VELTRA_CANCELLED ? "no notification within 5 s"
                                                 : "cannot ring the doorbell");
    }
    check(VELTRA_FinishNotificationWait(card.handle(), &overlapped, 1), "the wait failed");
    return format("notification %s through window %u in %s", hex(kNotification).c_str(), doorbell,
                  durationText(clock.seconds()).c_str());
}

std::string sensorCheck(const Card& card) {
    const auto all = sensors(card);
    std::string bad;
    for (uint32_t index = 0; index < all.size(); ++index) {
        const SensorReading reading = readSensor(card, index, all[index]);
        if (!reading.ok())
            bad += format("%s%s %s is %s", bad.empty() ? "" : "; ",
                          text(all[index].description).c_str(), reading.text.c_str(),
                          reading.state.c_str());
    }
    if (!bad.empty())
        throw Failure(bad);
    return format("%s within their limits", plural(all.size(), "sensor").c_str());
}

// Each flash chip answers with its identity and a block layout that covers
// it exactly.
std::string flashIdentity(const Card& card) {
    std::string detail;
    const uint32_t count = card.info().cardValue5;
    for (uint32_t index = 0; index < count; ++index) {
        const Chip chip = chipOf(card, index);
        if (chip.size == 0 || chip.name.empty())
            throw Failure(format("flash %u reports no size or no identity", index));
        uint64_t covered = 0;
        for (const BlockRun& run : blockRuns(card, chip))
            covered += run.first.size * run.count;
        if (covered != chip.size)
            throw Failure(format("the blocks of flash %u cover %s of its %s", index,
                                 sizeText(covered).c_str(), sizeText(chip.size).c_str()));
        const bool named = chip.name.rfind("Vendor 0x", 0) != 0;
        detail +=
            format("%s%s%s, %s", detail.empty() ? "" : "; ", chip.name.c_str(),
                   named ? "" : " (not a chip the library names)", sizeText(chip.size).c_str());
    }
    if (count == 0)
        return "no flash";
    return detail;
}

// "x8g3": a link of 8 lanes at generation 3.
std::pair<uint32_t, uint32_t> parseLink(const std::string& text) {
    unsigned width = 0, generation = 0;
    char end = 0;
    if (std::sscanf(text.c_str(), "x%ug%u%c", &width, &generation, &end) != 2 || width == 0 ||
        generation == 0)
        throw Usage("--expect-link: '" + text + "' is not a link such as x8g3");
    return {width, generation};
}

std::string pcieLink(const Card& card, const std::string& expected) {
    const VELTRA_CARD_INFO_EX info = cardInfo(card);
    const std::string link = format("x%u gen %u", info.cardValue10, info.cardValue11);
    if (info.cardValue10 == 0 || info.cardValue11 == 0)
        throw Failure("the card reports no link (" + link + ")");
    if (!expected.empty()) {
        const auto [width, generation] = parseLink(expected);
        if (width != info.cardValue10 || generation != info.cardValue11)
            throw Failure(
                format("%s, not the x%u gen %u expected", link.c_str(), width, generation));
    }
    return link;
}

void memoryChecks(Validation& v, const Card& card, const std::vector<VELTRA_WINDOW_INFO>& all) {
    const int memory = findWindow(all, 0, kWindowDoorbell | kWindowRegisters | kWindowCardMemory);
    const int shown = memory >= 0 ? memory : findWindow(all, kWindowCardMemory, 0);
    if (shown < 0) {
        v.skip("memory-mapped", "memory through a mapping", "no memory window");
        v.skip("memory-unmapped", "memory without a mapping", "no memory window");
        return;
    }
    const auto window = static_cast<uint32_t>(shown);
    const uint64_t length = std::min(kTestBytes, all[window].windowValue0);
    v.run("memory-mapped", "memory through a mapping",
          [&] { return mappedMemory(card, window, length); });
    v.run("memory-unmapped", "memory without a mapping",
          [&] { return unmappedMemory(card, window, length); });
}

void dmaChecks(Validation& v, const Card& card) {
    std::vector<uint32_t> channels;
    uint64_t cardMemory = 0;
    v.run("dma-channels", "DMA channels", [&] {
        channels = dmaChannels(card);
        cardMemory = cardMemorySize(card);
        return format("%s, %s of card memory", plural(channels.size(), "channel").c_str(),
                      sizeText(cardMemory).c_str());
    });
    for (uint32_t channel : channels)
        v.run(format("dma-loopback-%u", channel), format("DMA loopback, channel %u", channel),
              [&] { return dmaLoopback(card, channel, std::min(kTestBytes, cardMemory)); });
}

void boardChecks(Validation& v, const Card& card, const std::vector<VELTRA_WINDOW_INFO>& all,
                 const Options& o) {
    const int doorbell = findWindow(all, kWindowDoorbell, 0);
    if (doorbell < 0)
        v.skip("notification", "notification round trip", "no doorbell window");
    else
        v.run("notification", "notification round trip",
              [&] { return notificationRoundTrip(card, static_cast<uint32_t>(doorbell)); });
    v.run("sensors", "sensors", [&] { return sensorCheck(card); });
    v.run("flash-id", "flash chip identity", [&] { return flashIdentity(card); });
    v.run("pcie-link", "PCIe link", [&] { return pcieLink(card, o.expectLink); });
    v.run("bridge", "bridge device", [&] {
        Bridge bridge(card);
        uint64_t id = 0;
        checkBridge(KESTA_GetUniqueId(bridge.handle(), &id), "cannot read the unique id");
        return "unique id " + hex(id, 16);
    });
}

void deviceStatusCheck(Validation& v, const Card& card) {
    v.run("device-status", "device status", [&] {
        const DeviceStatus s = deviceStatus(card);
        if (s.any)
            throw Failure(format("device errors %s %s %s %s %s (see veltra status)",
                                 hex(s.word[0], 8).c_str(), hex(s.word[1], 8).c_str(),
                                 hex(s.word[2], 8).c_str(), hex(s.word[3], 8).c_str(),
                                 hex(s.word[4], 8).c_str()));
        return std::string("no errors");
    });
}

Validation validateCard(const Card& card, const Options& o) {
    Validation v;
    v.run("open", "open", [] { return std::string("VELTRA_Open"); });
    std::vector<VELTRA_WINDOW_INFO> all;
    v.run("info", "information", [&] {
        const std::string driver = driverVersion(card);
        all = windows(card);
        return format("driver %s, %s, %s", driver.c_str(), plural(all.size(), "window").c_str(),
                      plural(fpgas(card).size(), "FPGA").c_str());
    });
    memoryChecks(v, card, all);
    dmaChecks(v, card);
    boardChecks(v, card, all, o);
    deviceStatusCheck(v, card);
    return v;
}

json checksJson(const Validation& v) {
    json checks = json::array();
    for (const Check& c : v.checks())
        checks.push_back(
            {{"id", c.id}, {"name", c.name}, {"result", c.result}, {"detail", c.detail}});
    return checks;
}

void validate(const Options& o) {
    if (!o.expectLink.empty())
        parseLink(o.expectLink);
    const std::vector<Card> cards = o.card.openEach();
    size_t total = 0, failed = 0;
    json document = json::array();
    // The memory checks put back what they overwrite: an interrupt waits for
    // the card being checked.
    interrupts::Hold hold("veltra: interrupted: validate stops once this card's memory is back\n");
    for (const Card& card : cards) {
        if (interrupts::requested())
            throw Interrupted(format("interrupted: validate stopped before card %u", card.index()));
        const Validation v = validateCard(card, o);
        total += v.checks().size();
        failed += v.failed();
        document.push_back({{"card", card.index()},
                            {"serial", serialText(card.serial())},
                            {"result", v.failed() == 0 ? "PASS" : "FAIL"},
                            {"checks", checksJson(v)}});
        if (o.json)
            continue;
        std::printf("card %u\n", card.index());
        for (const Check& c : v.checks())
            std::printf("  %-4s  %-26s %s\n", c.result.c_str(), c.name.c_str(), c.detail.c_str());
    }
    if (o.json)
        printJson({{"result", failed == 0 ? "PASS" : "FAIL"}, {"cards", document}});
    else
        std::printf("%s, %zu checks: %s\n", plural(cards.size(), "card").c_str(), total,
                    failed == 0 ? "all passed" : format("%zu FAILED", failed).c_str());
    if (failed != 0)
        throw Failure(format("validate: %zu of %zu checks failed", failed, total));
}

Work defineValidate(CLI::App& command) {
    auto o = std::make_shared<Options>();
    addCardOption(command, o->card, false);
    command.add_option("--expect-link", o->expectLink,
                       "the PCIe link each card must report, as x8g3 (8 lanes, generation 3)");
    command.add_flag("--json", o->json, "print JSON instead of text");
    return [o] { validate(*o); };
}

constexpr Command kCommands[] = {
    {"validate",
     "a self-test of each card: information, memory, DMA, notifications, sensors, flash, link",
     defineValidate},
};

}  // namespace validate_command

Commands validateCommands() {
    return validate_command::kCommands;
}

}  // namespace tool
