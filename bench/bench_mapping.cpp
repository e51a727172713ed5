// Mapping and unmapping a window region through the mapping worker, against
// the exchange it is made of: a ping-pong of a 40-byte request and a 16-byte
// reply over two pipes between two threads.
#include <veltra.h>

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <thread>

#include <vsim/driver.h>

namespace {

VELTRA_HANDLE defaultCard() {
    static VELTRA_HANDLE card = [] {
        vsim::resetMachine();
        VELTRA_HANDLE h = nullptr;
        VELTRA_Open(0, &h);
        return h;
    }();
    return card;
}

void mapAndUnmap(benchmark::State& state, VELTRA_HANDLE card) {
    void* base = nullptr;
    if (VELTRA_MapWindow(card, 0, 0, 4096, &base) != VELTRA_SUCCESS ||
        VELTRA_UnmapWindow(card, base) != VELTRA_SUCCESS)
        state.SkipWithError("mapping failed");
}

// Another region stays mapped, so the worker keeps running.
void MapUnmapWorkerRunning(benchmark::State& state) {
    VELTRA_HANDLE card = defaultCard();
    void* kept = nullptr;
    VELTRA_MapWindow(card, 3, 0, 4096, &kept);
    for (auto _ : state)
        mapAndUnmap(state, card);
    VELTRA_UnmapWindow(card, kept);
}
BENCHMARK(MapUnmapWorkerRunning)->UseRealTime();

// No other region: every map starts the worker and every unmap stops it.
void MapUnmapCold(benchmark::State& state) {
    VELTRA_HANDLE card = defaultCard();
    for (auto _ : state)
        mapAndUnmap(state, card);
}
BENCHMARK(MapUnmapCold)->UseRealTime();

// The baseline: one request and one reply between two threads over two pipes.
void PipePingPong(benchmark::State& state) {
    int request[2], reply[2];
    if (pipe(request) != 0 || pipe(reply) != 0)
        state.SkipWithError("pipe");
    std::thread echo([&] {
        char in[40], out[16] = {};
        while (read(request[0], in, sizeof in) == sizeof in)
            if (write(reply[1], out, sizeof out) != sizeof out)
                break;
    });
    char out[40] = {}, in[16];
    for (auto _ : state) {
        if (write(request[1], out, sizeof out) != sizeof out ||
            read(reply[0], in, sizeof in) != sizeof in)
            state.SkipWithError("pipe transfer");
    }
    close(request[1]);
    echo.join();
    close(request[0]);
    close(reply[0]);
    close(reply[1]);
}
BENCHMARK(PipePingPong)->UseRealTime();

}  // namespace
