// Library entry points are called as the Windows loader calls them.
#include <windows.h>

#include <gtest/gtest.h>

namespace {

using ProbeCounts = void (*)(LONG[4]);

DWORD WINAPI quickThread(LPVOID) {
    return 0;
}

TEST(Loader, EntryPointSeesProcessAttachAndEachThreadComingAndGoing) {
    HMODULE probe = LoadLibraryA(LOADER_PROBE_PATH);
    ASSERT_NE(probe, nullptr) << GetLastError();
    auto counts = reinterpret_cast<ProbeCounts>(
        reinterpret_cast<void*>(GetProcAddress(probe, "probeCounts")));
    ASSERT_NE(counts, nullptr);
    LONG before[4];
    counts(before);
    EXPECT_EQ(before[DLL_PROCESS_ATTACH], 1);

    for (int i = 0; i < 3; ++i) {
        HANDLE thread = CreateThread(nullptr, 0, quickThread, nullptr, 0, nullptr);
        ASSERT_NE(thread, nullptr);
        // The handle is signalled only after the thread's detach notifications.
        ASSERT_EQ(WaitForSingleObject(thread, 5000), WAIT_OBJECT_0);
        CloseHandle(thread);
    }
    LONG after[4];
    counts(after);
    EXPECT_EQ(after[DLL_THREAD_ATTACH] - before[DLL_THREAD_ATTACH], 3);
    EXPECT_EQ(after[DLL_THREAD_DETACH] - before[DLL_THREAD_DETACH], 3);
    EXPECT_EQ(after[DLL_PROCESS_DETACH], 0);
    EXPECT_TRUE(FreeLibrary(probe));
}

TEST(Loader, MissingLibraryIsNotFound) {
    EXPECT_EQ(LoadLibraryA("no_such_library_here.dll"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
}

}  // namespace
