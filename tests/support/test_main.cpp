// The main program of every test binary. On Windows it first attaches the
// simulated driver below the imports of the program and of the libraries.
#include <gtest/gtest.h>

#include "simulated_process.h"

int main(int argc, char** argv) {
    simtest::prepareSimulatedProcess();
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
