// The cost of a driver request through the platform: a synchronous
// DeviceIoControl round trip to a device that completes at once, with one
// and two threads on one handle, beside a bare system call, a wait on a set
// event and an event ping-pong between two threads.
#include "bench_common.h"

namespace {

HANDLE sharedDevice() {
    const std::string path = bench::installImmediateMachine();
    return CreateFileA(path.c_str(), FILE_READ_DATA | FILE_WRITE_DATA,
                       FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                       FILE_FLAG_OVERLAPPED, nullptr);
}

// As the libraries send a request: one buffer in and out, the calling
// thread's own OVERLAPPED and manual-reset event.
void DeviceRoundTrip(benchmark::State& state) {
    static HANDLE device = sharedDevice();
    OVERLAPPED overlapped{};
    overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    uint32_t record = 0;
    DWORD bytes = 0;
    for (auto _ : state) {
        if (!DeviceIoControl(device, 0x222004 + 8 * 30, &record, 4, &record, 4, &bytes,
                             &overlapped))
            state.SkipWithError("request failed");
        benchmark::DoNotOptimize(record);
    }
    CloseHandle(overlapped.hEvent);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(DeviceRoundTrip)->Threads(1)->Threads(2)->UseRealTime();

#if !defined(_WIN32)
BENCHMARK(bench::BareSystemCall)->Threads(1)->Threads(2)->UseRealTime();
#endif
BENCHMARK(bench::KernelObjectCall)->UseRealTime();
BENCHMARK(bench::EventPingPong)->UseRealTime();

}  // namespace
