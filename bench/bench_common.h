// Shared pieces of the benchmarks: a device that completes every request at
// once, and the bare system call that serves as the baseline.
#pragma once

#include <windows.h>

#include <benchmark/benchmark.h>
#include <sys/ioctl.h>
#include <unistd.h>

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

// The baseline: one bare system call, ioctl(FIONREAD) on a pipe.
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

}  // namespace bench
