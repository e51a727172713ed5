// Shared pieces of the benchmarks: a device that completes every request at
// once, and the platform's own primitives that serve as baselines (on
// Windows under Wine each kernel-object call is a round trip to the Wine
// server, so a request is judged against those, not against Linux's).
#pragma once

#include <windows.h>

#include <benchmark/benchmark.h>

#include <atomic>
#include <thread>

#if !defined(_WIN32)
#include <sys/ioctl.h>
#include <unistd.h>
#endif

#include <vsim/driver.h>

namespace bench {

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

// Installs a machine whose only VELTRA interface is an immediate device;
// returns its path.
inline std::string installImmediateMachine() {
    auto machine = std::make_shared<vsim::Machine>();
    const auto path =
        machine->add(vsim::kVeltraInterface, "bench", std::make_shared<ImmediateDevice>());
    vsim::installMachine(machine);
    return path;
}

#if !defined(_WIN32)
// The baseline on Linux: one bare system call, ioctl(FIONREAD) on a pipe.
inline void BareSystemCall(benchmark::State& state) {
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
#endif

// The cheapest kernel-object call: a wait on an event that is set.
inline void KernelObjectCall(benchmark::State& state) {
    HANDLE event = CreateEventA(nullptr, TRUE, TRUE, nullptr);
    for (auto _ : state)
        if (WaitForSingleObject(event, INFINITE) != WAIT_OBJECT_0)
            state.SkipWithError("WaitForSingleObject");
    CloseHandle(event);
    state.SetItemsProcessed(state.iterations());
}

// One thread wakes another through an event and waits for the answer on a
// second one: the cost of a wake-up each way, as a request that pends pays it.
inline void EventPingPong(benchmark::State& state) {
    HANDLE ping = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    HANDLE pong = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    std::atomic<bool> stop{false};
    std::thread partner([&] {
        for (;;) {
            WaitForSingleObject(ping, INFINITE);
            if (stop.load())
                return;
            SetEvent(pong);
        }
    });
    for (auto _ : state) {
        SetEvent(ping);
        WaitForSingleObject(pong, INFINITE);
    }
    stop.store(true);
    SetEvent(ping);
    partner.join();
    CloseHandle(ping);
    CloseHandle(pong);
    state.SetItemsProcessed(state.iterations());
}

}  // namespace bench
