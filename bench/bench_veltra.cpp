// The cost of VELTRA requests on a device that completes at once, with one
// and two threads on one handle, beside a bare system call: VELTRA_Cancel
// (no record) and VELTRA_GetCardInfo (a 36-byte reply turned into a record).
#include <veltra.h>

#include "bench_common.h"

namespace {

VELTRA_HANDLE sharedCard() {
    static VELTRA_HANDLE card = [] {
        bench::installImmediateMachine();
        VELTRA_HANDLE h = nullptr;
        VELTRA_Open(0, &h);
        return h;
    }();
    return card;
}

void CancelRoundTrip(benchmark::State& state) {
    VELTRA_HANDLE card = sharedCard();
    for (auto _ : state)
        if (VELTRA_Cancel(card) != VELTRA_SUCCESS)
            state.SkipWithError("request failed");
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(CancelRoundTrip)->Threads(1)->Threads(2)->UseRealTime();

void GetCardInfoRoundTrip(benchmark::State& state) {
    VELTRA_HANDLE card = sharedCard();
    VELTRA_CARD_INFO info;
    for (auto _ : state) {
        if (VELTRA_GetCardInfo(card, &info) != VELTRA_SUCCESS)
            state.SkipWithError("request failed");
        benchmark::DoNotOptimize(info);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(GetCardInfoRoundTrip)->Threads(1)->Threads(2)->UseRealTime();

#if !defined(_WIN32)
BENCHMARK(bench::BareSystemCall)->Threads(1)->Threads(2)->UseRealTime();
#endif
BENCHMARK(bench::KernelObjectCall)->UseRealTime();

}  // namespace
