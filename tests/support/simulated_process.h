// What every test and benchmark program does first: a simulated machine of
// the process's own (unless VELTRA_SIM_STATE names another), so that runs
// never meet each other's state or the user's, and, on Windows, the
// simulated driver attached below the imports of the program and of
// whichever of the libraries it loaded.
#pragma once

#include <vsim/hooks.h>

#include <cstdlib>

namespace simtest {

inline void prepareSimulatedProcess() {
#if defined(_WIN32)
    if (std::getenv("VELTRA_SIM_STATE") == nullptr)
        _putenv_s("VELTRA_SIM_STATE", "private");
#else
    setenv("VELTRA_SIM_STATE", "private", 0);
#endif
    for (const char* module : {static_cast<const char*>(nullptr), "veltra.dll", "veltrad.dll",
                               "kesta.dll", "kestad.dll"})
        vsimAttach(module);
}

}  // namespace simtest
