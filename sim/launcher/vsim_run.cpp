// vsim-run: starts a program with the simulated driver attached below the
// VELTRA and KESTA libraries, without any change to the program.
//
//   vsim-run [--machine FILE] PROGRAM [ARGS...]
//
// The program starts suspended; its first thread is given vsim.dll (from
// beside this launcher) to load before the program's own code runs, once the
// libraries it imports are loaded, and then stops until this launcher has
// seen that the simulator attached; vsim.dll redirects the imports of those
// libraries and of the libraries the program loads later. A program whose
// simulator did not attach is ended before its own code runs. The exit code
// is the program's, however it ends.
#include <windows.h>
#include <shellapi.h>

#include <cstdio>
#include <cwchar>
#include <string>

#include "platform/object_names_win32.h"

namespace {

// One argument as the C run-time's command-line parser reads it back.
std::wstring quoted(const std::wstring& argument) {
    if (!argument.empty() && argument.find_first_of(L" \t\n\v\"") == std::wstring::npos)
        return argument;
    std::wstring result = L"\"";
    size_t backslashes = 0;
    for (wchar_t ch : argument) {
        if (ch == L'\\') {
            ++backslashes;
            continue;
        }
        result.append(ch == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
        backslashes = 0;
        result += ch;
    }
    result.append(backslashes * 2, L'\\');
    return result + L"\"";
}

std::wstring folderOfThisProgram() {
    std::wstring path(MAX_PATH, L'\0');
    DWORD length = 0;
    while ((length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()))) ==
               path.size() &&
           path.size() < 32768)
        path.resize(path.size() * 2);
    path.resize(length);
    const size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? L"." : path.substr(0, slash);
}

// The full path of `name`, however long; empty if there is none.
std::wstring fullPath(const wchar_t* name) {
    const DWORD needed = GetFullPathNameW(name, 0, nullptr, nullptr);
    if (needed == 0)
        return L"";
    std::wstring full(needed, L'\0');
    const DWORD length = GetFullPathNameW(name, needed, full.data(), nullptr);
    if (length == 0 || length >= needed)
        return L"";
    full.resize(length);
    return full;
}

// Waits until `thread` has stopped itself (its suspend count is above the
// one it was resumed with) or `process` has ended; false at the deadline.
bool awaitStop(HANDLE process, HANDLE thread, DWORD milliseconds, bool& ended) {
    const ULONGLONG deadline = GetTickCount64() + milliseconds;
    ended = false;
    while (GetTickCount64() < deadline) {
        if (WaitForSingleObject(process, 2) == WAIT_OBJECT_0) {
            ended = true;
            return true;
        }
        const DWORD before = SuspendThread(thread);
        if (before != static_cast<DWORD>(-1))
            ResumeThread(thread);
        if (before != static_cast<DWORD>(-1) && before >= 1)
            return true;
    }
    return false;
}

int fail(const char* what, const std::wstring& name) {
    std::fwprintf(stderr, L"vsim-run: %hs %ls (error %lu)\n", what, name.c_str(), GetLastError());
    return 1;
}

// The usage text: asked for (--help, -h, /?, -?) on stdout with exit code
// 0; after a wrong command line on stderr with 2.
int usage(bool asked = false) {
    std::fprintf(asked ? stdout : stderr,
                 "usage: vsim-run [--machine FILE] PROGRAM [ARGS...]\n"
                 "  Runs PROGRAM on the simulated machine (FILE: a machine description; the\n"
                 "  state folder is VELTRA_SIM_STATE's, as for every program on the simulator).\n");
    return asked ? 0 : 2;
}

}  // namespace

int main() {
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (argv == nullptr)
        return usage();
    int next = 1;
    if (next < argc &&
        (std::wcscmp(argv[next], L"--help") == 0 || std::wcscmp(argv[next], L"-h") == 0 ||
         std::wcscmp(argv[next], L"/?") == 0 || std::wcscmp(argv[next], L"-?") == 0))
        return usage(true);
    if (next < argc && std::wcscmp(argv[next], L"--machine") == 0) {
        if (next + 1 >= argc)
            return usage();
        const std::wstring full = fullPath(argv[next + 1]);
        if (full.empty())
            return fail("cannot find the machine description", argv[next + 1]);
        SetEnvironmentVariableW(L"VELTRA_SIM_MACHINE", full.c_str());
        next += 2;
    }
    if (next >= argc || argv[next][0] == L'-')
        return usage();
    std::wstring command;
    for (int i = next; i < argc; ++i)
        command += (i == next ? L"" : L" ") + quoted(argv[i]);
    const std::wstring simulator = folderOfThisProgram() + L"\\vsim.dll";
    if (GetFileAttributesW(simulator.c_str()) == INVALID_FILE_ATTRIBUTES)
        return fail("cannot find the simulated driver", simulator);
    SetEnvironmentVariableW(L"VELTRA_SIM_ATTACH", L"1");

    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    // A program that dies before it is set up is reported as an internal
    // error (Wine's loader does so now and then when it cannot lay out the
    // new address space); such a start is tried again a few times.
    for (int attempt = 1;; ++attempt) {
        if (CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, CREATE_SUSPENDED,
                           nullptr, nullptr, &startup, &process))
            break;
        if (GetLastError() != ERROR_INTERNAL_ERROR || attempt == 4)
            return fail("cannot start", argv[next]);
        Sleep(100 * attempt);
    }
    auto abandon = [&process](const char* why, const std::wstring& name) {
        const int result = fail(why, name);
        TerminateProcess(process.hProcess, 1);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
        return result;
    };
    BOOL wow64 = FALSE;
    if (!IsWow64Process(process.hProcess, &wow64) || wow64)
        return abandon("cannot attach the 64-bit simulated driver to the 32-bit program",
                       argv[next]);
    // An event of this user's alone: no one else can say that it attached.
    std::string problem;
    HANDLE attached =
        vsim::os::userObject(false, vsim::os::attachEventName(process.dwProcessId), problem);
    if (attached == nullptr)
        return abandon("cannot make the attach event for", argv[next]);

    // The path goes into the program's memory, and its first thread loads it
    // as an asynchronous procedure call (after the loader has run, before
    // the program's entry point), then stops itself with a second one.
    const size_t bytes = (simulator.size() + 1) * sizeof(wchar_t);
    void* remote =
        VirtualAllocEx(process.hProcess, nullptr, bytes, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    const HMODULE kernel32 = GetModuleHandleW(L"kernel32.dll");
    const auto loadLibrary = reinterpret_cast<PAPCFUNC>(
        reinterpret_cast<void*>(GetProcAddress(kernel32, "LoadLibraryW")));
    const auto suspendThread = reinterpret_cast<PAPCFUNC>(
        reinterpret_cast<void*>(GetProcAddress(kernel32, "SuspendThread")));
    const auto currentThread = reinterpret_cast<ULONG_PTR>(static_cast<HANDLE>(GetCurrentThread()));
    if (remote == nullptr ||
        !WriteProcessMemory(process.hProcess, remote, simulator.c_str(), bytes, nullptr) ||
        loadLibrary == nullptr || suspendThread == nullptr ||
        QueueUserAPC(loadLibrary, process.hThread, reinterpret_cast<ULONG_PTR>(remote)) == 0 ||
        QueueUserAPC(suspendThread, process.hThread, currentThread) == 0) {
        CloseHandle(attached);
        return abandon("cannot attach the simulated driver to", argv[next]);
    }
    ResumeThread(process.hThread);
    bool ended = false;
    const bool stopped = awaitStop(process.hProcess, process.hThread, 60000, ended);
    const bool ready = WaitForSingleObject(attached, 0) == WAIT_OBJECT_0;
    CloseHandle(attached);
    // A program that ends before its code runs (a library it needs is not
    // there, say) ends with its own code.
    if (!ended) {
        if (!stopped)
            return abandon("the simulated driver did not attach in time to", argv[next]);
        if (!ready)
            return abandon("cannot load the simulated driver into", argv[next]);
        ResumeThread(process.hThread);
    }
    CloseHandle(process.hThread);
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 1;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hProcess);
    LocalFree(argv);
    return static_cast<int>(code);
}
