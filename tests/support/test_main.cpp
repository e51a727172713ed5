// The main program of every test binary. On Windows it first attaches the
// simulated driver below the imports of the program and of the libraries.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "simulated_process.h"

namespace {

// A program that CTest runs as several tests (each a part of its cases)
// writes each part's XML report under the test's name: a report asked for
// as a folder (GTEST_OUTPUT=xml:DIR/) would otherwise be named after the
// program, the same for every part. Such tests set VELTRA_CTEST_NAME.
void nameReportAfterTheTest() {
    const char* test = std::getenv("VELTRA_CTEST_NAME");
    std::string& output = ::testing::GTEST_FLAG(output);
    if (test == nullptr || output.empty())
        return;
    const char last = output.back();
    if (last == '/' || last == '\\')
        output += std::string(test) + ".xml";
}

}  // namespace

int main(int argc, char** argv) {
    simtest::prepareSimulatedProcess();
    nameReportAfterTheTest();  // before the command line, which may name another
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
