// Files as Windows has them: what the creation dispositions report, sharing,
// transfers at an offset and on overlapped handles, folders, and the errors
// of paths and arguments.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "simtest.h"

namespace {

// A scratch file of this test process, deleted when it goes.
struct Scratch {
    explicit Scratch(const char* base) : path(simtest::scratchName(base) + ".tmp") {
        DeleteFileA(path.c_str());
    }
    ~Scratch() { DeleteFileA(path.c_str()); }
    HANDLE open(DWORD access, DWORD share, DWORD disposition, DWORD flags = 0) const {
        return CreateFileA(path.c_str(), access, share, nullptr, disposition, flags, nullptr);
    }
    const std::string path;
};

LONGLONG sizeOf(HANDLE file) {
    LARGE_INTEGER size{};
    EXPECT_TRUE(GetFileSizeEx(file, &size));
    return size.QuadPart;
}

void writeAll(HANDLE file, const char* text) {
    DWORD n = 0;
    ASSERT_TRUE(WriteFile(file, text, static_cast<DWORD>(std::strlen(text)), &n, nullptr));
}

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// CREATE_ALWAYS and OPEN_ALWAYS succeed either way and say by the last error
// whether the file was there: ERROR_ALREADY_EXISTS, or 0 when they made it.
TEST(FileCreation, AlwaysDispositionsSayWhetherTheFileWasThere) {
    for (DWORD disposition : {static_cast<DWORD>(CREATE_ALWAYS), static_cast<DWORD>(OPEN_ALWAYS)}) {
        SCOPED_TRACE(disposition);
        Scratch scratch("created");
        SetLastError(0xDEAD);
        HANDLE file = scratch.open(GENERIC_WRITE, 0, disposition);
        ASSERT_NE(file, INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetLastError(), 0u) << "made";
        writeAll(file, "abc");
        CloseHandle(file);
        SetLastError(0xDEAD);
        file = scratch.open(GENERIC_WRITE, 0, disposition);
        ASSERT_NE(file, INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
        EXPECT_EQ(sizeOf(file), disposition == CREATE_ALWAYS ? 0 : 3)
            << "only CREATE_ALWAYS empties";
        CloseHandle(file);
        EXPECT_EQ(scratch.open(GENERIC_WRITE, 0, CREATE_NEW), INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_EXISTS));
    }
    // Overwriting empties the file also for a handle that only reads.
    Scratch scratch("overwritten");
    HANDLE file = scratch.open(GENERIC_WRITE, 0, CREATE_ALWAYS);
    writeAll(file, "abc");
    CloseHandle(file);
    file = scratch.open(GENERIC_READ, 0, CREATE_ALWAYS);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    EXPECT_EQ(sizeOf(file), 0);
    CloseHandle(file);
}

// An open that wants an access another handle does not share, or that does
// not share an access another handle has, fails; opens for no data access
// take no part.
TEST(FileSharing, ConflictingOpensAreSharingViolations) {
    const struct {
        DWORD firstAccess, firstShare, secondAccess, secondShare;
        bool opens;
    } cases[] = {
        {GENERIC_READ, FILE_SHARE_READ, GENERIC_READ, FILE_SHARE_READ, true},
        {GENERIC_READ, FILE_SHARE_READ, GENERIC_WRITE, kShareAll, false},
        {GENERIC_READ, kShareAll, GENERIC_WRITE, FILE_SHARE_WRITE, false},
        {GENERIC_READ, kShareAll, GENERIC_WRITE, FILE_SHARE_READ, true},
        {GENERIC_WRITE, 0, GENERIC_READ, kShareAll, false},
        {GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
         GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, true},
        {GENERIC_READ, 0, 0, 0, true},
        {0, 0, GENERIC_WRITE, kShareAll, true},
    };
    Scratch scratch("shared");
    CloseHandle(scratch.open(GENERIC_WRITE, 0, CREATE_ALWAYS));
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.firstAccess << "/" << c.firstShare
                                        << " then " << c.secondAccess << "/" << c.secondShare);
        HANDLE first = scratch.open(c.firstAccess, c.firstShare, OPEN_EXISTING);
        ASSERT_NE(first, INVALID_HANDLE_VALUE);
        HANDLE second = scratch.open(c.secondAccess, c.secondShare, OPEN_EXISTING);
        EXPECT_EQ(second != INVALID_HANDLE_VALUE, c.opens);
        if (second == INVALID_HANDLE_VALUE) {
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
        } else {
            CloseHandle(second);
        }
        CloseHandle(first);
        HANDLE after = scratch.open(c.secondAccess, c.secondShare, OPEN_EXISTING);
        EXPECT_NE(after, INVALID_HANDLE_VALUE) << "free again once the first is closed";
        CloseHandle(after);
    }
    // A file open without FILE_SHARE_DELETE cannot be deleted, and a
    // CREATE_ALWAYS that is refused has not emptied it.
    HANDLE open = scratch.open(GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, OPEN_EXISTING);
    writeAll(open, "kept");
    EXPECT_FALSE(DeleteFileA(scratch.path.c_str()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    EXPECT_EQ(scratch.open(GENERIC_WRITE, kShareAll, CREATE_ALWAYS), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    EXPECT_EQ(sizeOf(open), 4);
    CloseHandle(open);
    open = scratch.open(GENERIC_READ, kShareAll, OPEN_EXISTING);
    EXPECT_TRUE(DeleteFileA(scratch.path.c_str())) << "a handle that shares deletion";
    CloseHandle(open);
}

// The count is cleared before anything else; a write from no buffer is an
// invalid user buffer, a read into none no access.
TEST(FileTransfers, CountsAreClearedAndBuffersChecked) {
    Scratch scratch("counts");
    HANDLE file = scratch.open(GENERIC_READ | GENERIC_WRITE, 0, CREATE_ALWAYS);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    char buffer[8];
    DWORD n = 77;
    EXPECT_FALSE(ReadFile(reinterpret_cast<HANDLE>(0x12340), buffer, 8, &n, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(n, 0u);
    n = 77;
    EXPECT_FALSE(WriteFile(file, nullptr, 5, &n, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_USER_BUFFER));
    EXPECT_EQ(n, 0u);
    n = 77;
    EXPECT_FALSE(ReadFile(file, nullptr, 5, &n, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOACCESS));
    EXPECT_EQ(n, 0u);
    CloseHandle(file);
}

// With an OVERLAPPED, a synchronous handle reads and writes at its offset,
// leaves its position just past what moved, and reports the outcome in the
// OVERLAPPED too; reading past the end is ERROR_HANDLE_EOF.
TEST(FileTransfers, AtAnOffsetOnASynchronousHandle) {
    Scratch scratch("offset");
    HANDLE file = scratch.open(GENERIC_READ | GENERIC_WRITE, 0, CREATE_ALWAYS);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    writeAll(file, "0123456789");
    char text[8] = {};
    DWORD n = 0;
    OVERLAPPED ov{};
    ov.Offset = 4;
    ASSERT_TRUE(ReadFile(file, text, 3, &n, &ov));
    EXPECT_EQ(n, 3u);
    EXPECT_EQ(std::string(text, 3), "456");
    EXPECT_EQ(ov.Internal, 0u);
    EXPECT_EQ(ov.InternalHigh, 3u);
    ASSERT_TRUE(ReadFile(file, text, 2, &n, nullptr));
    EXPECT_EQ(std::string(text, 2), "78") << "the position follows the transfer";
    ov = OVERLAPPED{};
    ov.Offset = 8;
    ASSERT_TRUE(WriteFile(file, "AB", 2, &n, &ov));
    EXPECT_TRUE(ReadFile(file, text, 4, &n, nullptr));
    EXPECT_EQ(n, 0u) << "the position is past the write, at the end";
    ov = OVERLAPPED{};
    ASSERT_TRUE(ReadFile(file, text, 8, &n, &ov));
    EXPECT_EQ(std::string(text, 8), "01234567");
    ov = OVERLAPPED{};
    ov.Offset = 100;
    n = 5;
    EXPECT_FALSE(ReadFile(file, text, 4, &n, &ov));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_HANDLE_EOF));
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(ov.Internal, 0xC0000011u) << "STATUS_END_OF_FILE";
    EXPECT_EQ(sizeOf(file), 10);
    // All offset bits set: at the end of the file.
    ov = OVERLAPPED{};
    ov.Offset = ov.OffsetHigh = 0xFFFFFFFF;
    ASSERT_TRUE(WriteFile(file, "yz", 2, &n, &ov));
    EXPECT_EQ(sizeOf(file), 12);
    ov = OVERLAPPED{};
    ov.Offset = 10;
    ASSERT_TRUE(ReadFile(file, text, 2, &n, &ov));
    EXPECT_EQ(std::string(text, 2), "yz");
    CloseHandle(file);
}

// A call that fails leaves the OVERLAPPED pending, not with an earlier
// outcome.
TEST(FileTransfers, FailedCallLeavesTheOverlappedPending) {
    Scratch scratch("failing");
    HANDLE file = scratch.open(GENERIC_WRITE, 0, CREATE_ALWAYS);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    OVERLAPPED ov{};
    DWORD n = 5;
    ov = OVERLAPPED{};
    ASSERT_TRUE(WriteFile(file, "abc", 3, &n, &ov));
    EXPECT_EQ(ov.InternalHigh, 3u);
    char text[4];
    EXPECT_FALSE(ReadFile(file, text, 3, &n, &ov)) << "a handle that only writes";
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_FALSE(GetOverlappedResult(file, &ov, &n, FALSE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_INCOMPLETE));
    CloseHandle(file);
}

// Waits for a transfer on an overlapped handle, whether it completed at once
// or pended; returns the count, or -1 with the last error.
long finish(HANDLE file, BOOL started, OVERLAPPED& ov) {
    if (!started && GetLastError() != ERROR_IO_PENDING)
        return -1;
    DWORD n = 0;
    EXPECT_EQ(WaitForSingleObject(ov.hEvent, 10000), WAIT_OBJECT_0) << "the event is set";
    return GetOverlappedResult(file, &ov, &n, TRUE) ? static_cast<long>(n) : -1;
}

// An overlapped handle takes every transfer at an OVERLAPPED's offset and
// reports it through the OVERLAPPED's event and GetOverlappedResult.
TEST(FileTransfers, OnAnOverlappedHandle) {
    Scratch scratch("overlapped");
    HANDLE file =
        scratch.open(GENERIC_READ | GENERIC_WRITE, 0, CREATE_ALWAYS, FILE_FLAG_OVERLAPPED);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    OVERLAPPED ov{};
    ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ov.Offset = 2;
    EXPECT_EQ(finish(file, WriteFile(file, "xyz", 3, nullptr, &ov), ov), 3);
    char text[4] = {};
    ResetEvent(ov.hEvent);
    ov.Offset = 3;
    EXPECT_EQ(finish(file, ReadFile(file, text, 4, nullptr, &ov), ov), 2);
    EXPECT_EQ(std::string(text, 2), "yz");
    ResetEvent(ov.hEvent);
    ov.Offset = 50;
    EXPECT_EQ(finish(file, ReadFile(file, text, 4, nullptr, &ov), ov), -1);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_HANDLE_EOF));
    DWORD n = 0;
    EXPECT_FALSE(ReadFile(file, text, 4, &n, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER))
        << "an overlapped handle needs an OVERLAPPED";
    CloseHandle(ov.hEvent);
    CloseHandle(file);
}

// A read past the cache is under way when ReadFile returns, even when it
// finds the end of the file: the count and the end come from
// GetOverlappedResult.
TEST(FileTransfers, AnUncachedOverlappedReadIsPendingAtTheEndToo) {
    Scratch scratch("uncached");
    {
        HANDLE writer = scratch.open(GENERIC_WRITE, 0, CREATE_ALWAYS, 0);
        ASSERT_NE(writer, INVALID_HANDLE_VALUE);
        std::vector<char> page(4096, 'u');
        DWORD n = 0;
        EXPECT_TRUE(WriteFile(writer, page.data(), 4096, &n, nullptr));
        CloseHandle(writer);
    }
    HANDLE file = scratch.open(GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING,
                               FILE_FLAG_OVERLAPPED | FILE_FLAG_NO_BUFFERING);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    // Uncached transfers want sector-aligned buffers: a page of its own.
    auto* buffer =
        static_cast<char*>(VirtualAlloc(nullptr, 4096, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
    ASSERT_NE(buffer, nullptr);
    OVERLAPPED ov{};
    ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    DWORD count = 0xDEAD;
    EXPECT_FALSE(ReadFile(file, buffer, 4096, &count, &ov));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    EXPECT_EQ(count, 0u) << "no count while pending";
    DWORD got = 0;
    EXPECT_TRUE(GetOverlappedResult(file, &ov, &got, TRUE));
    EXPECT_EQ(got, 4096u);
    EXPECT_EQ(buffer[0], 'u');
    EXPECT_EQ(buffer[4095], 'u');

    ResetEvent(ov.hEvent);
    ov.Offset = 4096;
    EXPECT_FALSE(ReadFile(file, buffer, 4096, nullptr, &ov));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    EXPECT_FALSE(GetOverlappedResult(file, &ov, &got, TRUE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_HANDLE_EOF));
    EXPECT_EQ(got, 0u);
    VirtualFree(buffer, 0, MEM_RELEASE);
    CloseHandle(ov.hEvent);
    CloseHandle(file);
}

// A missing folder on the way is a path not found, a missing last part a
// file not found; a folder opens with backup semantics only, then also for
// writing.
TEST(Paths, MissingFoldersAndFolders) {
    EXPECT_EQ(CreateFileA("no_such_folder_here/file.bin", GENERIC_READ, kShareAll, nullptr,
                          OPEN_EXISTING, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    EXPECT_EQ(CreateFileA("no_such_file_here.bin", GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING,
                          0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_FALSE(DeleteFileA(""));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    EXPECT_FALSE(DeleteFileA("no_such_folder_here/file.bin"));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    EXPECT_FALSE(DeleteFileA("no_such_file_here.bin"));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));

    EXPECT_EQ(CreateFileA(".", GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(CreateFileA(".", GENERIC_READ, kShareAll, nullptr, CREATE_NEW,
                          FILE_FLAG_BACKUP_SEMANTICS, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_EXISTS));
    HANDLE folder = CreateFileA(".", GENERIC_READ | GENERIC_WRITE, kShareAll, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    EXPECT_NE(folder, INVALID_HANDLE_VALUE);
    CloseHandle(folder);
}

}  // namespace
