// Library entry points are called as the Windows loader calls them.
#include <windows.h>

#include <gtest/gtest.h>

#include <vector>

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

// What the loader calls refuse: no module, a missing export.
TEST(Loader, RefusedArguments) {
    SetLastError(0);
    EXPECT_FALSE(FreeLibrary(nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    HMODULE probe = LoadLibraryA(LOADER_PROBE_PATH);
    ASSERT_NE(probe, nullptr);
    SetLastError(0);
    EXPECT_EQ(GetProcAddress(probe, "noSuchExportHere"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PROC_NOT_FOUND));
    EXPECT_TRUE(FreeLibrary(probe));
}

// Threads with a stack size of their own, and the thread calls given a
// handle that is not a thread.
TEST(Threads, StackSizeAndHandlesThatAreNotThreads) {
    HANDLE thread = CreateThread(nullptr, 256 * 1024, quickThread, nullptr, 0, nullptr);
    ASSERT_NE(thread, nullptr);
    EXPECT_EQ(WaitForSingleObject(thread, 5000), WAIT_OBJECT_0);
    DWORD code = 99;
    EXPECT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(code, 0u);
    CloseHandle(thread);
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    SetLastError(0);
    EXPECT_EQ(ResumeThread(event), static_cast<DWORD>(-1));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    SetLastError(0);
    EXPECT_FALSE(GetExitCodeThread(event, &code));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    CloseHandle(event);
}

// Thread slots run out, and a slot that was never handed out is refused.
TEST(Threads, SlotsRunOutAndUnknownOnesAreRefused) {
    std::vector<DWORD> slots;
    for (int i = 0; i < 5000; ++i) {
        const DWORD slot = TlsAlloc();
        if (slot == TLS_OUT_OF_INDEXES)
            break;
        slots.push_back(slot);
    }
    EXPECT_LT(slots.size(), 5000u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
    for (DWORD slot : slots)
        EXPECT_TRUE(TlsFree(slot));
    SetLastError(0);
    EXPECT_FALSE(TlsFree(1000000));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

}  // namespace
