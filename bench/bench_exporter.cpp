// A scrape of the exporter against the library calls it makes alone, on the
// default machine: the scrape lists the cards (SetupAPI), hands each to its
// card's thread, which reads it on the handle it keeps open, and writes the
// exposition; the baseline makes the same library calls on open handles in
// one thread. With one card and with both; on the simulated card, whose
// requests end in a fraction of a microsecond, and on cards that take 20 us
// a request (the `slow` fault), nearer a real driver's round trip. Then the
// exporter's memory over 10,000 scrapes.
#include <veltra.h>

#if defined(_WIN32)
#include <psapi.h>
#else
#include <unistd.h>

#include <fstream>
#endif

#include <chrono>
#include <vector>

#include <vsim/cards.h>

#include "bench_common.h"
#include "cards.h"
#include "exporter.h"

namespace {

using tool::Selection;
using tool::exporter::Fleet;

// What a scrape asks of an open card, as the exporter asks it.
struct OpenCard {
    VELTRA_HANDLE handle = nullptr;
    uint32_t fpgas = 0, clocks = 0, sensors = 0;
};

OpenCard openCard(uint32_t index) {
    OpenCard card;
    VELTRA_Open(index, &card.handle);
    VELTRA_CARD_INFO_EX info{};
    VELTRA_GetCardInfoEx(card.handle, &info);
    card.fpgas = info.cardValue4;
    card.clocks = info.cardValue9;
    VELTRA_SENSOR_INFOA sensor{};
    while (VELTRA_GetSensorInfoA(card.handle, card.sensors, &sensor) == VELTRA_SUCCESS)
        ++card.sensors;
    return card;
}

void readCard(const OpenCard& card) {
    for (uint32_t f = 0; f < card.fpgas; ++f) {
        VELTRA_FPGA_INFOA fpga{};
        VELTRA_GetFpgaInfoA(card.handle, f, &fpga);
        benchmark::DoNotOptimize(fpga);
    }
    VELTRA_DEVICE_STATUS status{};
    uint32_t any = 0;
    VELTRA_GetDeviceStatus(card.handle, 0, &status, &any);
    for (uint32_t s = 0; s < card.sensors; ++s) {
        VELTRA_SENSOR_VALUE value{};
        VELTRA_ReadSensor(card.handle, s, &value);
        benchmark::DoNotOptimize(value);
    }
    for (uint32_t c = 0; c < card.clocks; ++c) {
        double hertz = 0;
        VELTRA_GetClockFrequency(card.handle, c, &hertz);
        benchmark::DoNotOptimize(hertz);
    }
}

// Every request of the default machine's two cards takes this long while
// it lives.
class Latency {
  public:
    Latency(benchmark::State& state, int64_t microseconds) : armed_(microseconds > 0) {
        std::string problem;
        for (int card = 0; armed_ && card < 2; ++card)
            if (!vsim::applyFaults(
                    "[[fault]]\ncard = " + std::to_string(card) +
                        "\nkind = \"slow\"\nlatency_us = " + std::to_string(microseconds) + "\n",
                    problem))
                state.SkipWithError(problem.c_str());
    }
    ~Latency() {
        if (armed_)
            vsim::clearFaults(vsim::kEveryCard);
    }

  private:
    bool armed_;
};

void LibraryCallsAlone(benchmark::State& state) {
    const Latency latency(state, state.range(1));
    std::vector<OpenCard> cards;
    for (uint32_t i = 0; i < static_cast<uint32_t>(state.range(0)); ++i)
        cards.push_back(openCard(i));
    for (auto _ : state)
        for (const OpenCard& card : cards)
            readCard(card);
    for (const OpenCard& card : cards)
        VELTRA_Close(card.handle);
}
BENCHMARK(LibraryCallsAlone)
    ->ArgsProduct({{1, 2}, {0, 20}})
    ->ArgNames({"cards", "latency_us"})
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime();

std::vector<Selection> firstCards(int64_t count) {
    if (count == 2)
        return {};
    std::vector<Selection> selections;
    for (uint32_t i = 0; i < count; ++i)
        selections.push_back(Selection::parse(std::to_string(i)));
    return selections;
}

void Scrape(benchmark::State& state) {
    const Latency latency(state, state.range(1));
    Fleet fleet(firstCards(state.range(0)), std::chrono::seconds(5));
    fleet.scrape();  // the cards opened
    for (auto _ : state)
        benchmark::DoNotOptimize(fleet.scrape());
}
BENCHMARK(Scrape)
    ->ArgsProduct({{1, 2}, {0, 20}})
    ->ArgNames({"cards", "latency_us"})
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime();

// The part of a scrape that is no library call: the list of cards.
void CardList(benchmark::State& state) {
    for (auto _ : state)
        benchmark::DoNotOptimize(tool::interfacePaths());
}
BENCHMARK(CardList)->Unit(benchmark::kMicrosecond)->UseRealTime();

// The process's resident memory, KiB.
double residentKiB() {
#if defined(_WIN32)
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof counters;
    GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters);
    return static_cast<double>(counters.WorkingSetSize) / 1024;
#else
    std::ifstream statm("/proc/self/statm");
    long pages = 0, resident = 0;
    statm >> pages >> resident;
    return static_cast<double>(resident) * static_cast<double>(sysconf(_SC_PAGESIZE)) / 1024;
#endif
}

// 1,000 scrapes to settle, then 10,000: the growth of the resident memory
// over those.
void MemoryOver10000Scrapes(benchmark::State& state) {
    for (auto _ : state) {
        Fleet fleet({}, std::chrono::seconds(5));
        for (int i = 0; i < 1000; ++i)
            benchmark::DoNotOptimize(fleet.scrape());
        const double before = residentKiB();
        for (int i = 0; i < 10000; ++i)
            benchmark::DoNotOptimize(fleet.scrape());
        const double after = residentKiB();
        state.counters["resident_KiB"] = after;
        state.counters["growth_KiB"] = after - before;
    }
}
BENCHMARK(MemoryOver10000Scrapes)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
