// The main program of every benchmark. On Windows it first attaches the
// simulated driver below the imports of the program and of the libraries.
#include <benchmark/benchmark.h>

#include <vsim/hooks.h>

#include <cstdlib>

int main(int argc, char** argv) {
    // A machine of the process's own, so that runs never meet each other's
    // (or the user's) state.
#if defined(_WIN32)
    if (std::getenv("VELTRA_SIM_STATE") == nullptr)
        _putenv_s("VELTRA_SIM_STATE", "private");
#else
    setenv("VELTRA_SIM_STATE", "private", 0);
#endif
    for (const char* module : {static_cast<const char*>(nullptr), "veltra.dll", "veltrad.dll",
                               "kesta.dll", "kestad.dll"})
        vsimAttach(module);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
