// The main program of every test binary. On Windows it first attaches the
// simulated driver below the program's own imports.
#include <gtest/gtest.h>

#include <vsim/hooks.h>

int main(int argc, char** argv) {
    vsimAttach(nullptr);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
