// vsim-run: starts a program with the simulated driver attached below the
// VELTRA and KESTA libraries, without any change to the program.
//
//   vsim-run [--machine FILE] PROGRAM [ARGS...]
//
// The program starts suspended; its first thread is given vsim.dll (from
// beside this launcher) to load before the program's own code runs, once the
// libraries it imports are loaded; vsim.dll then redirects their imports and
// those of the libraries the program loads later. The exit code is the
// program's.
#include <windows.h>
#include <shellapi.h>

#include <cstdio>
#include <cwchar>
#include <string>

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
    wchar_t path[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder(path, length);
    const size_t slash = folder.find_last_of(L"\\/");
    return slash == std::wstring::npos ? L"." : folder.substr(0, slash);
}

int fail(const char* what, const std::wstring& name) {
    std::fwprintf(stderr, L"vsim-run: %hs %ls (error %lu)\n", what, name.c_str(), GetLastError());
    return 1;
}

int usage() {
    std::fprintf(stderr,
                 "usage: vsim-run [--machine FILE] PROGRAM [ARGS...]\n"
                 "  Runs PROGRAM on the simulated machine (FILE: a machine description; the\n"
                 "  state folder is VELTRA_SIM_STATE's, as for every program on the simulator).\n");
    return 2;
}

}  // namespace

int main() {
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (argv == nullptr)
        return usage();
    int next = 1;
    if (next < argc && std::wcscmp(argv[next], L"--machine") == 0) {
        if (next + 1 >= argc)
            return usage();
        wchar_t full[MAX_PATH];
        if (GetFullPathNameW(argv[next + 1], MAX_PATH, full, nullptr) == 0)
            return fail("cannot find the machine description", argv[next + 1]);
        SetEnvironmentVariableW(L"VELTRA_SIM_MACHINE", full);
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
    char attachedName[64];
    std::snprintf(attachedName, sizeof attachedName, "Local\\veltra-sim-attached-%lu",
                  process.dwProcessId);
    HANDLE attached = CreateEventA(nullptr, TRUE, FALSE, attachedName);
    if (attached == nullptr)
        return abandon("cannot make the attach event for", argv[next]);

    // The path goes into the program's memory, and its first thread loads it
    // as an asynchronous procedure call: after the loader has run, before the
    // program's entry point.
    const size_t bytes = (simulator.size() + 1) * sizeof(wchar_t);
    void* remote =
        VirtualAllocEx(process.hProcess, nullptr, bytes, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    const auto loadLibrary = reinterpret_cast<PAPCFUNC>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "LoadLibraryW")));
    if (remote == nullptr ||
        !WriteProcessMemory(process.hProcess, remote, simulator.c_str(), bytes, nullptr) ||
        loadLibrary == nullptr ||
        QueueUserAPC(loadLibrary, process.hThread, reinterpret_cast<ULONG_PTR>(remote)) == 0) {
        CloseHandle(attached);
        return abandon("cannot attach the simulated driver to", argv[next]);
    }
    ResumeThread(process.hThread);
    const HANDLE either[] = {attached, process.hProcess};
    const DWORD first = WaitForMultipleObjects(2, either, FALSE, 60000);
    const bool ready = first == WAIT_OBJECT_0 || WaitForSingleObject(attached, 0) == WAIT_OBJECT_0;
    CloseHandle(attached);
    if (!ready)
        return abandon("the simulated driver did not attach to", argv[next]);
    CloseHandle(process.hThread);
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 1;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hProcess);
    LocalFree(argv);
    return static_cast<int>(code);
}
