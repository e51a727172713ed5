// The main program of every test binary. On Windows it first attaches the
// simulated driver below the imports of the program and of the libraries.
#include <gtest/gtest.h>

#include <vsim/hooks.h>

#include <cstdlib>

int main(int argc, char** argv) {
    // Each test process gets a fresh simulated machine of its own, and never
    // touches the user's state folder, unless a test asks otherwise.
#if defined(_WIN32)
    if (std::getenv("VELTRA_SIM_STATE") == nullptr)
        _putenv_s("VELTRA_SIM_STATE", "private");
#else
    setenv("VELTRA_SIM_STATE", "private", 0);
#endif
    // The program itself and whichever of the libraries it loaded.
    for (const char* module : {static_cast<const char*>(nullptr), "veltra.dll", "veltrad.dll",
                               "kesta.dll", "kestad.dll"})
        vsimAttach(module);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
