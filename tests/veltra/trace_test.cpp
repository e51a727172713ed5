// The checked build's trace lines of the entry point.
#include "veltra_fixture.h"

namespace {

DWORD WINAPI nothing(LPVOID) {
    return 0;
}

TEST(Traces, ThreadAttachAndDetachAreTracedInTheCheckedBuildOnly) {
    vsimClearDebugOutput();
    HANDLE thread = CreateThread(nullptr, 0, nothing, nullptr, 0, nullptr);
    ASSERT_EQ(WaitForSingleObject(thread, 10000), WAIT_OBJECT_0);
    CloseHandle(thread);
    const std::string expected = kCheckedBuild ? "wdmDllMain(VELTRA): DLL_THREAD_ATTACH start\n"
                                                 "wdmDllMain(VELTRA): DLL_THREAD_ATTACH done\n"
                                                 "wdmDllMain(VELTRA): DLL_THREAD_DETACH start\n"
                                                 "wdmDllMain(VELTRA): DLL_THREAD_DETACH done\n"
                                               : "";
    EXPECT_EQ(simtest::debugText(), expected);
}

}  // namespace
