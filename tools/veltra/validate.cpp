// veltra validate: a self-test of each card that leaves its memory as it
// found it.
#include "tool.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>

namespace tool {

namespace {

// Memory tests cover at most this much of a window or of card memory.
constexpr uint64_t kTestBytes = uint64_t{1} << 20;
// The notification the round trip raises.
constexpr uint32_t kNotification = 0x7E57;

// A pattern in which every 8-byte word differs from its neighbours and
// from the same word of another seed, so that swapped or stuck addresses
// show.
std::vector<uint8_t> pattern(uint64_t length, uint64_t seed) {
    std::vector<uint8_t> data(length);
    uint64_t x = seed * 0x9E3779B97F4A7C15ull + 1;
    for (uint64_t i = 0; i < length; i += 8) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        std::memcpy(data.data() + i, &x, std::min<uint64_t>(8, length - i));
    }
    return data;
}

struct Check {
    std::string name, result, detail;
};

class Validation {
  public:
    explicit Validation(uint32_t index) : index_(index) {}

    // Runs one check: PASS with the detail `body` returns, FAIL with the
    // message of a failure.
    void run(const std::string& name, const std::function<std::string()>& body) {
        try {
            checks_.push_back({name, "PASS", body()});
        } catch (const Failure& failure) {
            checks_.push_back({name, "FAIL", failure.what()});
        }
    }
    void skip(const std::string& name, const std::string& why) {
        checks_.push_back({name, "SKIP", why});
    }
    const std::vector<Check>& checks() const { return checks_; }
    uint32_t index() const { return index_; }

  private:
    uint32_t index_;
    std::vector<Check> checks_;
};

// Window memory through a mapping: written there, read back there and
// without the mapping. Its contents are restored.
std::string mappedMemory(const Card& card, uint32_t window, uint64_t length) {
    std::vector<uint8_t> saved(length);
    check(VELTRA_Read(card.handle(), window, 0, 0, length, saved.data()), "cannot save the window");
    void* base = nullptr;
    check(VELTRA_MapWindow(card.handle(), window, 0, length, &base),
          format("cannot map window %u", window));
    const std::vector<uint8_t> data = pattern(length, 1);
    std::memcpy(base, data.data(), length);
    std::vector<uint8_t> back(length);
    const bool mappedSame = std::memcmp(base, data.data(), length) == 0;
    const VELTRA_STATUS read = VELTRA_Read(card.handle(), window, 0, 0, length, back.data());
    std::memcpy(base, saved.data(), length);
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
    std::vector<uint8_t> saved(length), back(length);
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
    std::vector<uint8_t> saved(length), back(length);
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

// A wait for a notification, finished by ringing the doorbell.
std::string notificationRoundTrip(const Card& card, uint32_t doorbell) {
    OVERLAPPED overlapped{};
    overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (overlapped.hEvent == nullptr)
        throw Failure("cannot create an event");
    struct CloseEvent {
        HANDLE event;
        ~CloseEvent() { CloseHandle(event); }
    } closer{overlapped.hEvent};
    VELTRA_STATUS status = VELTRA_StartNotificationWait(card.handle(), &overlapped, kNotification);
    if (status != VELTRA_PENDING)
        check(status == VELTRA_SUCCESS ? VELTRA_UNEXPECTED_ERROR : status,
              "the wait did not start pending");
    const Stopwatch clock;
    uint32_t value = kNotification;
    status = VELTRA_Write(card.handle(), doorbell, 0, 0, sizeof value, &value);
    if (status == VELTRA_SUCCESS && WaitForSingleObject(overlapped.hEvent, 5000) != WAIT_OBJECT_0)
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
    return format("%zu sensor%s within their limits", all.size(), all.size() == 1 ? "" : "s");
}

Validation validateCard(uint32_t index) {
    Validation v(index);
    std::unique_ptr<Card> card;
    v.run("open", [&] {
        card = std::make_unique<Card>(index);
        return std::string("VELTRA_Open");
    });
    if (!card)
        return v;
    std::vector<VELTRA_WINDOW_INFO> all;
    v.run("information", [&] {
        const std::string driver = driverVersion(*card);
        all = windows(*card);
        const size_t fpgaCount = fpgas(*card).size();
        return format("driver %s, %zu window%s, %zu FPGA%s", driver.c_str(), all.size(),
                      all.size() == 1 ? "" : "s", fpgaCount, fpgaCount == 1 ? "" : "s");
    });
    const int memory = findWindow(all, 0, kWindowDoorbell | kWindowRegisters | kWindowCardMemory);
    const int shown = memory >= 0 ? memory : findWindow(all, kWindowCardMemory, 0);
    if (shown < 0) {
        v.skip("memory through a mapping", "no memory window");
        v.skip("memory without a mapping", "no memory window");
    } else {
        const uint32_t window = static_cast<uint32_t>(shown);
        const uint64_t length = std::min(kTestBytes, all[window].windowValue0);
        v.run("memory through a mapping", [&] { return mappedMemory(*card, window, length); });
        v.run("memory without a mapping", [&] { return unmappedMemory(*card, window, length); });
    }
    std::vector<uint32_t> channels;
    uint64_t cardMemory = 0;
    v.run("DMA channels", [&] {
        channels = dmaChannels(*card);
        cardMemory = cardMemorySize(*card);
        return format("%zu channel%s, %s of card memory", channels.size(),
                      channels.size() == 1 ? "" : "s", sizeText(cardMemory).c_str());
    });
    for (uint32_t channel : channels)
        v.run(format("DMA loopback, channel %u", channel),
              [&] { return dmaLoopback(*card, channel, std::min(kTestBytes, cardMemory)); });
    const int doorbell = findWindow(all, kWindowDoorbell, 0);
    if (doorbell < 0)
        v.skip("notification round trip", "no doorbell window");
    else
        v.run("notification round trip",
              [&] { return notificationRoundTrip(*card, static_cast<uint32_t>(doorbell)); });
    v.run("sensors", [&] { return sensorCheck(*card); });
    v.run("bridge device", [&] {
        Bridge bridge(index);
        uint64_t id = 0;
        checkBridge(KESTA_GetUniqueId(bridge.handle(), &id), "cannot read the unique id");
        return "unique id " + hex(id, 16);
    });
    v.run("device status", [&] {
        VELTRA_DEVICE_STATUS s{};
        uint32_t any = 0;
        check(VELTRA_GetDeviceStatus(card->handle(), 0, &s, &any), "cannot read the device status");
        if (any)
            throw Failure(format("device errors %s %s %s %s %s (see veltra status)",
                                 hex(s.status1, 8).c_str(), hex(s.status2, 8).c_str(),
                                 hex(s.status3, 8).c_str(), hex(s.status4, 8).c_str(),
                                 hex(s.status5, 8).c_str()));
        return std::string("no errors");
    });
    return v;
}

}  // namespace

void addValidateCommand(CLI::App& app) {
    auto options = std::make_shared<Common>();
    CLI::App* command = app.add_subcommand(
        "validate", "a self-test of each card: information, memory, DMA, notifications, sensors");
    addCardOption(*command, *options, false);
    addJsonFlag(*command, *options);
    command->callback([options] {
        const std::vector<uint32_t> cards = selectedCards(options->cardOption, options->card);
        if (options->cardOption->count() > 0)
            Card named(options->card);  // a card that cannot be opened is the failure to report
        size_t total = 0, failed = 0;
        json document = json::array();
        for (uint32_t index : cards) {
            const Validation v = validateCard(index);
            json checks = json::array();
            if (!options->json)
                std::printf("card %u\n", index);
            for (const Check& c : v.checks()) {
                ++total;
                failed += c.result == "FAIL";
                checks.push_back({{"name", c.name}, {"result", c.result}, {"detail", c.detail}});
                if (!options->json)
                    std::printf("  %-4s  %-26s %s\n", c.result.c_str(), c.name.c_str(),
                                c.detail.c_str());
            }
            document.push_back({{"card", index}, {"checks", checks}});
        }
        if (options->json)
            printJson(document);
        else
            std::printf("%zu card%s, %zu checks: %s\n", cards.size(), cards.size() == 1 ? "" : "s",
                        total, failed == 0 ? "all passed" : format("%zu FAILED", failed).c_str());
        if (failed != 0)
            throw Failure(format("validate: %zu of %zu checks failed", failed, total));
    });
}

}  // namespace tool
