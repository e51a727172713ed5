// The main program of every benchmark: a private machine and, on Windows,
// the simulator attached, as in the tests; then the benchmarks.
#include <benchmark/benchmark.h>

#include "simulated_process.h"

int main(int argc, char** argv) {
    simtest::prepareSimulatedProcess();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
