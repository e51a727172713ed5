// The cost of a driver request through the platform: a synchronous
// DeviceIoControl round trip to a device that completes at once, with one
// and two threads on one handle, beside a bare system call.
#include <windows.h>

#include <benchmark/benchmark.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <vsim/driver.h>

namespace {

// Completes every request at once with a 4-byte reply.
class ImmediateDevice : public vsim::Device {
    class Context : public vsim::OpenContext {
        vsim::Outcome control(vsim::IoRequest& request) override {
            request.out<uint32_t>(0, 1);
            return vsim::Outcome::success(4);
        }
    };

  public:
    std::unique_ptr<vsim::OpenContext> open(const vsim::OpenParams&, uint32_t&) override {
        return std::make_unique<Context>();
    }
};

HANDLE g_device = INVALID_HANDLE_VALUE;

HANDLE sharedDevice() {
    if (g_device == INVALID_HANDLE_VALUE) {
        auto machine = std::make_shared<vsim::Machine>();
        const auto path =
            machine->add(vsim::kVeltraInterface, "bench", std::make_shared<ImmediateDevice>());
        vsim::installMachine(machine);
        g_device = CreateFileA(path.c_str(), FILE_READ_DATA | FILE_WRITE_DATA,
                               FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                               FILE_FLAG_OVERLAPPED, nullptr);
    }
    return g_device;
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

// The baseline: one bare system call.
void BareSystemCall(benchmark::State& state) {
    int fds[2];
    if (pipe(fds) != 0)
        state.SkipWithError("pipe");
    int available = 0;
    for (auto _ : state) {
        ioctl(fds[0], FIONREAD, &available);
        benchmark::DoNotOptimize(available);
    }
    close(fds[0]);
    close(fds[1]);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BareSystemCall)->Threads(1)->Threads(2)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
