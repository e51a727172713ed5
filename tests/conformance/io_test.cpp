// Files, pipes, handle validation and code-page conversion behave as on Windows.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

DWORD lastErrorOf(BOOL result) {
    EXPECT_FALSE(result);
    return GetLastError();
}

std::string tempPath(const char* name) {
    // Both platforms accept a path relative to the current directory.
    return std::string("conformance_") + name;
}

TEST(Handles, ValuesThatAreNotHandlesAreRefused) {
    const HANDLE garbage[] = {nullptr, INVALID_HANDLE_VALUE, reinterpret_cast<HANDLE>(0x12345678),
                              reinterpret_cast<HANDLE>(0x7FFFFFFFFFFF0000ull)};
    for (HANDLE h : garbage) {
        if (h == INVALID_HANDLE_VALUE)
            continue;  // the current-process pseudo-handle on Windows
        SetLastError(0);
        EXPECT_EQ(lastErrorOf(CloseHandle(h)), static_cast<DWORD>(ERROR_INVALID_HANDLE));
        SetLastError(0);
        EXPECT_EQ(WaitForSingleObject(h, 0), WAIT_FAILED);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
        SetLastError(0);
        EXPECT_EQ(lastErrorOf(SetEvent(h)), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    }
}

TEST(Handles, ClosingTwiceFailsTheSecondTime) {
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ASSERT_TRUE(CloseHandle(event));
    SetLastError(0);
    EXPECT_EQ(lastErrorOf(CloseHandle(event)), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(lastErrorOf(SetEvent(event)), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST(Handles, AHandleOfTheWrongTypeFailsAsOnWindows) {
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    char buffer[4];
    DWORD n = 0;
    EXPECT_EQ(lastErrorOf(ReadFile(event, buffer, 4, &n, nullptr)),
              static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(lastErrorOf(ReleaseMutex(event)), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    HANDLE mutex = CreateMutexA(nullptr, FALSE, nullptr);
    EXPECT_EQ(lastErrorOf(SetEvent(mutex)), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    CloseHandle(mutex);
    CloseHandle(event);
}

struct PipePair {
    HANDLE read = nullptr;
    HANDLE write = nullptr;
    PipePair() {
        SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, FALSE};
        EXPECT_TRUE(CreatePipe(&read, &write, &sa, 80));
    }
    ~PipePair() {
        if (read)
            CloseHandle(read);
        if (write)
            CloseHandle(write);
    }
};

struct Echo {
    PipePair* requests;
    PipePair* responses;
};

// Reads 40-byte records and answers each with a 16-byte record.
DWORD WINAPI echoRecords(LPVOID arg) {
    auto* echo = static_cast<Echo*>(arg);
    unsigned char request[40];
    DWORD n = 0;
    while (ReadFile(echo->requests->read, request, sizeof request, &n, nullptr) && n == 40) {
        unsigned char response[16] = {};
        std::memcpy(response, request, 8);
        response[15] = request[39];
        DWORD written = 0;
        if (!WriteFile(echo->responses->write, response, sizeof response, &written, nullptr))
            break;
    }
    return GetLastError();
}

TEST(Pipes, MoveExactFortyAndSixteenByteRecordsBetweenThreads) {
    PipePair requests, responses;
    Echo echo{&requests, &responses};
    HANDLE thread = CreateThread(nullptr, 0, echoRecords, &echo, 0, nullptr);
    for (int round = 0; round < 100; ++round) {
        unsigned char request[40];
        for (int i = 0; i < 40; ++i)
            request[i] = static_cast<unsigned char>(round + i);
        DWORD n = 0;
        ASSERT_TRUE(WriteFile(requests.write, request, 40, &n, nullptr));
        ASSERT_EQ(n, 40u);
        unsigned char response[16];
        ASSERT_TRUE(ReadFile(responses.read, response, 16, &n, nullptr));
        ASSERT_EQ(n, 16u);
        EXPECT_EQ(std::memcmp(response, request, 8), 0);
        EXPECT_EQ(response[15], request[39]);
    }
    // Closing the write end ends the reader with ERROR_BROKEN_PIPE.
    CloseHandle(requests.write);
    requests.write = nullptr;
    ASSERT_EQ(WaitForSingleObject(thread, 5000), WAIT_OBJECT_0);
    DWORD code = 0;
    GetExitCodeThread(thread, &code);
    EXPECT_EQ(code, static_cast<DWORD>(ERROR_BROKEN_PIPE));
    CloseHandle(thread);
}

// A read, of no bytes too, of a pipe that is drained and whose writer is
// gone fails with ERROR_BROKEN_PIPE; before that it succeeds.
TEST(Pipes, ZeroByteReadOfADrainedPipeWithoutWriterIsBroken) {
    PipePair pipe;
    char byte = 7;
    DWORD n = 5;
    ASSERT_TRUE(WriteFile(pipe.write, &byte, 1, &n, nullptr));
    EXPECT_TRUE(ReadFile(pipe.read, &byte, 0, &n, nullptr));
    EXPECT_EQ(n, 0u);
    CloseHandle(pipe.write);
    pipe.write = nullptr;
    ASSERT_TRUE(ReadFile(pipe.read, &byte, 1, &n, nullptr)) << "what was written is still there";
    EXPECT_EQ(n, 1u);
    n = 5;
    EXPECT_FALSE(ReadFile(pipe.read, &byte, 0, &n, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BROKEN_PIPE));
    EXPECT_EQ(n, 0u);
}

struct ZeroRead {
    HANDLE pipe;
    std::atomic<bool> done{false};
    BOOL result = FALSE;
};

DWORD WINAPI readNothing(LPVOID arg) {
    auto* z = static_cast<ZeroRead*>(arg);
    char byte;
    DWORD n = 0;
    z->result = ReadFile(z->pipe, &byte, 0, &n, nullptr);
    z->done = true;
    return 0;
}

// A read of no bytes waits, as a longer one does, until there is something
// to read.
TEST(Pipes, ZeroByteReadWaitsForData) {
    PipePair pipe;
    ZeroRead z{pipe.read};
    HANDLE thread = CreateThread(nullptr, 0, readNothing, &z, 0, nullptr);
    Sleep(200);
    EXPECT_FALSE(z.done) << "nothing written yet";
    char byte = 1;
    DWORD n = 0;
    ASSERT_TRUE(WriteFile(pipe.write, &byte, 1, &n, nullptr));
    EXPECT_EQ(WaitForSingleObject(thread, 5000), WAIT_OBJECT_0);
    EXPECT_TRUE(z.result);
    CloseHandle(thread);
    ASSERT_TRUE(ReadFile(pipe.read, &byte, 1, &n, nullptr)) << "the byte is still there";
    EXPECT_EQ(n, 1u);
}

TEST(Pipes, EndsOnlyGoOneWay) {
    PipePair pipe;
    char byte = 1;
    DWORD n = 0;
    EXPECT_FALSE(WriteFile(pipe.read, &byte, 1, &n, nullptr));
    EXPECT_FALSE(ReadFile(pipe.write, &byte, 1, &n, nullptr));
}

TEST(Files, WriteSeekReadAndSize) {
    const std::string path = tempPath("file.bin");
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    std::vector<unsigned char> data(100000);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<unsigned char>(i * 7);
    DWORD n = 0;
    ASSERT_TRUE(WriteFile(file, data.data(), static_cast<DWORD>(data.size()), &n, nullptr));
    EXPECT_EQ(n, data.size());
    LARGE_INTEGER size{};
    ASSERT_TRUE(GetFileSizeEx(file, &size));
    EXPECT_EQ(size.QuadPart, 100000);
    LARGE_INTEGER to{}, at{};
    to.QuadPart = 1000;
    ASSERT_TRUE(SetFilePointerEx(file, to, &at, FILE_BEGIN));
    EXPECT_EQ(at.QuadPart, 1000);
    std::vector<unsigned char> back(200000);
    ASSERT_TRUE(ReadFile(file, back.data(), static_cast<DWORD>(back.size()), &n, nullptr));
    EXPECT_EQ(n, 99000u) << "a read stops at the end of the file";
    EXPECT_EQ(std::memcmp(back.data(), data.data() + 1000, 99000), 0);
    ASSERT_TRUE(ReadFile(file, back.data(), 10, &n, nullptr));
    EXPECT_EQ(n, 0u);
    to.QuadPart = -1;
    EXPECT_FALSE(SetFilePointerEx(file, to, nullptr, FILE_BEGIN));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NEGATIVE_SEEK));
    CloseHandle(file);

    // A read-only handle cannot write.
    file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(WriteFile(file, data.data(), 1, &n, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    CloseHandle(file);
    EXPECT_TRUE(DeleteFileA(path.c_str()));
}

TEST(Files, WideNamesReachTheFileSystem) {
    // "conformance_" + e-acute + "t" + euro + ".bin" in UTF-16.
    const WCHAR name[] = {'c', 'o', 'n',    'f', 'o',    'r', 'm', 'a', 'n', 'c',
                          'e', '_', 0x00E9, 't', 0x20AC, '.', 'b', 'i', 'n', 0};
    HANDLE file =
        CreateFileW(name, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    DWORD n = 0;
    ASSERT_TRUE(WriteFile(file, "xyz", 3, &n, nullptr));
    CloseHandle(file);
    file = CreateFileW(name, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    LARGE_INTEGER size{};
    ASSERT_TRUE(GetFileSizeEx(file, &size));
    EXPECT_EQ(size.QuadPart, 3);
    CloseHandle(file);
    EXPECT_TRUE(DeleteFileW(name));
}

TEST(Files, MissingFileIsNotFound) {
    HANDLE file = CreateFileA("conformance_no_such_file.bin", GENERIC_READ, FILE_SHARE_READ,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    EXPECT_EQ(file, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

// Each disposition against a file that exists and one that does not, and
// the names and arguments that are refused.
TEST(Files, DispositionsAndRefusedArguments) {
    const std::string path = tempPath("dispositions.bin");
    DeleteFileA(path.c_str());
    auto open = [&](DWORD disposition, DWORD access = GENERIC_READ | GENERIC_WRITE) {
        return CreateFileA(path.c_str(), access, 0, nullptr, disposition, FILE_ATTRIBUTE_NORMAL,
                           nullptr);
    };
    auto sizeOf = [](HANDLE file) {
        LARGE_INTEGER size{};
        EXPECT_TRUE(GetFileSizeEx(file, &size));
        return size.QuadPart;
    };
    DWORD n = 0;
    EXPECT_EQ(open(TRUNCATE_EXISTING), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    HANDLE file = open(CREATE_NEW);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(WriteFile(file, "12345", 5, &n, nullptr));
    CloseHandle(file);
    EXPECT_EQ(open(CREATE_NEW), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_EXISTS));
    file = open(OPEN_ALWAYS);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    EXPECT_EQ(sizeOf(file), 5) << "open-always keeps the contents";
    CloseHandle(file);
    file = open(TRUNCATE_EXISTING);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    EXPECT_EQ(sizeOf(file), 0);
    EXPECT_TRUE(WriteFile(file, "12", 2, &n, nullptr));
    CloseHandle(file);
    file = open(CREATE_ALWAYS);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    EXPECT_EQ(sizeOf(file), 0) << "create-always truncates";
    CloseHandle(file);

    for (DWORD bad : {0u, 6u}) {
        SetLastError(0);
        EXPECT_EQ(open(bad), INVALID_HANDLE_VALUE) << bad;
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER)) << bad;
    }
    EXPECT_EQ(CreateFileA("", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    const std::string inside = path + "/inner.bin";
    EXPECT_EQ(CreateFileA(inside.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr),
              INVALID_HANDLE_VALUE)
        << "a file used as a folder";
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    EXPECT_TRUE(DeleteFileA(path.c_str()));
    EXPECT_FALSE(DeleteFileA(path.c_str()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST(CodePages, AnsiIsWindows1252) {
    EXPECT_EQ(GetACP(), 1252u);
    const char text[] = "A\x80\xE9\x9F";
    WCHAR wide[8];
    std::memset(wide, 0x55, sizeof wide);
    ASSERT_EQ(MultiByteToWideChar(CP_ACP, 0, text, -1, wide, 8), 5);
    EXPECT_EQ(wide[0], 'A');
    EXPECT_EQ(wide[1], 0x20AC);
    EXPECT_EQ(wide[2], 0x00E9);
    EXPECT_EQ(wide[3], 0x0178);
    EXPECT_EQ(wide[4], 0);
    EXPECT_EQ(wide[5], 0x5555) << "nothing is written past the converted text";
}

TEST(CodePages, SizeQueryAndShortBuffer) {
    EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, "hello", -1, nullptr, 0), 6);
    EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, "hello", 5, nullptr, 0), 5);
    EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, "hello", -2, nullptr, 0), 6)
        << "every negative length reads to the terminator";
    EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, "hello", -1000, nullptr, 0), 6);
    WCHAR wide[4];
    SetLastError(0);
    EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, "hello", -1, wide, 4), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    SetLastError(0);
    EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, nullptr, -1, wide, 4), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

// UTF-8: one to four bytes per character (four as a surrogate pair); a
// malformed byte becomes U+FFFD, or fails the strict conversion.
TEST(CodePages, Utf8BothWaysOfMalformedInput) {
    WCHAR wide[16];
    ASSERT_EQ(
        MultiByteToWideChar(CP_UTF8, 0, "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80", -1, wide, 16), 6);
    const WCHAR expected[] = {'a', 0x00E9, 0x20AC, 0xD83D, 0xDE00, 0};
    for (int i = 0; i < 6; ++i)
        EXPECT_EQ(wide[i], expected[i]) << i;

    ASSERT_EQ(MultiByteToWideChar(CP_UTF8, 0,
                                  "a\x80"
                                  "b",
                                  3, wide, 16),
              3);
    EXPECT_EQ(wide[1], 0xFFFD) << "a lone continuation byte";
    ASSERT_EQ(MultiByteToWideChar(CP_UTF8, 0,
                                  "\xFF"
                                  "c",
                                  2, wide, 16),
              2);
    EXPECT_EQ(wide[0], 0xFFFD) << "a byte that starts nothing";
    EXPECT_EQ(wide[1], 'c');
    for (const char* bad : {"x\x80", "\xC3", "\xE2\x82", "\xC0\x80", "\xED\xA0\x80", "\xF8\x88"}) {
        SetLastError(0);
        EXPECT_EQ(MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, bad,
                                      static_cast<int>(std::strlen(bad)), wide, 16),
                  0)
            << bad;
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_UNICODE_TRANSLATION)) << bad;
    }
}

TEST(CodePages, FlagsAndCodePagesThatAreRefused) {
    WCHAR wide[8];
    SetLastError(0);
    EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0x80000, "a", -1, wide, 8), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_FLAGS));
    EXPECT_EQ(MultiByteToWideChar(1252, MB_PRECOMPOSED, "a", -1, wide, 8), 2)
        << "the ANSI code page by its number";
    SetLastError(0);
    EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, "a", 0, wide, 8), 0) << "nothing to convert";
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    SetLastError(0);
    EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, "a", -1, nullptr, 8), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

}  // namespace
