// The main program of every test binary. On Windows it first attaches the
// simulated driver below the imports of the program and of the libraries.
#include <gtest/gtest.h>

#include <vsim/hooks.h>

int main(int argc, char** argv) {
    // The program itself and whichever of the libraries it loaded.
    for (const char* module : {static_cast<const char*>(nullptr), "veltra.dll", "veltrad.dll",
                               "kesta.dll", "kestad.dll"})
        vsimAttach(module);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
