// The cost of a VELTRA request: VELTRA_Cancel on a device that completes at
// once, with one and two threads on one handle, beside a bare system call.
#include <veltra.h>

#include "bench_common.h"

namespace {

VELTRA_HANDLE sharedCard() {
    bench::installImmediateMachine();
    VELTRA_HANDLE card = nullptr;
    VELTRA_Open(0, &card);
    return card;
}

void CancelRoundTrip(benchmark::State& state) {
    static VELTRA_HANDLE card = sharedCard();
    for (auto _ : state)
        if (VELTRA_Cancel(card) != VELTRA_SUCCESS) state.SkipWithError("request failed");
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(CancelRoundTrip)->Threads(1)->Threads(2)->UseRealTime();

BENCHMARK(bench::BareSystemCall)->Threads(1)->Threads(2)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
