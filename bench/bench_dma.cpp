// Requests to the default machine's first card against the platform's own
// primitives, measured in the same process: blocking DMA against memcpy of
// the same sizes; a request that completes at once (VELTRA_GetCardInfo) and a
// Start/Finish pair with nothing to move against a wait on a set event; a
// notification round trip (start a wait, ring the doorbell, finish the wait)
// against an event ping-pong between two threads.
#include <veltra.h>

#include <cstring>
#include <vector>

#include "bench_common.h"

namespace {

VELTRA_HANDLE openCard(benchmark::State& state) {
    vsim::resetMachine();
    VELTRA_HANDLE card = nullptr;
    if (VELTRA_Open(0, &card) != VELTRA_SUCCESS)
        state.SkipWithError("VELTRA_Open");
    return card;
}

// Host memory already touched, as an application's buffer would be.
std::vector<uint8_t> buffer(size_t length) {
    std::vector<uint8_t> data(length);
    for (size_t i = 0; i < length; i += 4096)
        data[i] = static_cast<uint8_t>(i);
    return data;
}

void Memcpy(benchmark::State& state) {
    const size_t length = state.range(0);
    auto from = buffer(length), to = buffer(length);
    for (auto _ : state) {
        std::memcpy(to.data(), from.data(), length);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * length);
}

// Blocking transfers of one size, each way, to card memory already touched
// once (as the memcpy target is).
void blockingDma(benchmark::State& state, bool toCard) {
    const size_t length = state.range(0);
    VELTRA_HANDLE card = openCard(state);
    auto data = buffer(length);
    VELTRA_WriteDMA(card, 0, 0, data.data(), length, 0);
    for (auto _ : state) {
        const VELTRA_STATUS status = toCard ? VELTRA_WriteDMA(card, 0, 0, data.data(), length, 0)
                                            : VELTRA_ReadDMA(card, 0, 0, data.data(), length, 0);
        if (status != VELTRA_SUCCESS)
            state.SkipWithError(toCard ? "VELTRA_WriteDMA" : "VELTRA_ReadDMA");
    }
    state.SetBytesProcessed(state.iterations() * length);
    VELTRA_Close(card);
}

void WriteDMA(benchmark::State& state) {
    blockingDma(state, true);
}

void ReadDMA(benchmark::State& state) {
    blockingDma(state, false);
}

// A Start/Finish pair of a transfer with nothing to move: the overhead.
void StartFinish(benchmark::State& state) {
    VELTRA_HANDLE card = openCard(state);
    OVERLAPPED ov{};
    ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    for (auto _ : state) {
        VELTRA_STATUS status = VELTRA_StartWriteDMA(card, &ov, 0, 0, nullptr, 0, 0);
        if (status == VELTRA_PENDING)
            status = VELTRA_FinishDMA(card, &ov, 1);
        if (status != VELTRA_SUCCESS)
            state.SkipWithError("VELTRA_StartWriteDMA");
    }
    CloseHandle(ov.hEvent);
    state.SetItemsProcessed(state.iterations());
    VELTRA_Close(card);
}

void GetCardInfo(benchmark::State& state) {
    VELTRA_HANDLE card = openCard(state);
    VELTRA_CARD_INFO info;
    for (auto _ : state) {
        if (VELTRA_GetCardInfo(card, &info) != VELTRA_SUCCESS)
            state.SkipWithError("VELTRA_GetCardInfo");
        benchmark::DoNotOptimize(info);
    }
    state.SetItemsProcessed(state.iterations());
    VELTRA_Close(card);
}

// The default card's third window is its doorbell: writing a number to its
// offset 0 raises that notification.
void NotificationRoundTrip(benchmark::State& state) {
    constexpr uint32_t kDoorbell = 2, kNotification = 1;
    VELTRA_HANDLE card = openCard(state);
    OVERLAPPED ov{};
    ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    for (auto _ : state) {
        VELTRA_STATUS status = VELTRA_StartNotificationWait(card, &ov, kNotification);
        if (status == VELTRA_PENDING) {
            uint32_t ring = kNotification;
            if (VELTRA_Write(card, kDoorbell, 0, 0, sizeof ring, &ring) != VELTRA_SUCCESS)
                state.SkipWithError("VELTRA_Write");
            status = VELTRA_FinishNotificationWait(card, &ov, 1);
        }
        if (status != VELTRA_SUCCESS)
            state.SkipWithError("VELTRA_StartNotificationWait");
    }
    CloseHandle(ov.hEvent);
    state.SetItemsProcessed(state.iterations());
    VELTRA_Close(card);
}

constexpr int64_t kSizes[] = {4 << 10, 1 << 20, 16 << 20, 64 << 20};

void sizes(benchmark::internal::Benchmark* b) {
    for (int64_t size : kSizes)
        b->Arg(size);
}

}  // namespace

#if !defined(_WIN32)
BENCHMARK(bench::BareSystemCall);
#endif
BENCHMARK(bench::KernelObjectCall)->UseRealTime();
BENCHMARK(bench::EventPingPong)->UseRealTime();
BENCHMARK(GetCardInfo)->UseRealTime();
BENCHMARK(NotificationRoundTrip)->UseRealTime();
BENCHMARK(Memcpy)->Apply(sizes)->UseRealTime();
BENCHMARK(WriteDMA)->Apply(sizes)->UseRealTime();
BENCHMARK(ReadDMA)->Apply(sizes)->UseRealTime();
BENCHMARK(StartFinish)->UseRealTime();
