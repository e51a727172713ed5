// A stand-in for Microsoft's difxapi.dll, for the installer's tests and the
// demo. It installs nothing: it answers from a script beside it and records
// every call it receives beside it, for the test to read.
//
// difxapi.script (optional; one setting per line, UTF-8):
//   result N          the result of the next install or pre-install (0x.. or decimal)
//   reboot N          the reboot flag it sets (0 or 1)
//   log TYPE ERROR TEXT   a log event sent during the call (TYPE 0 success,
//                         1 information, 2 warning, 3 error)
//   hold              during the call, wait until difxapi.release exists
//                     beside it (at most a minute), answering messages sent
//                     to the caller's windows, so that a test can look at the
//                     installer while DIFxAPI works
// The log and hold steps run in the order of the script.
// difxapi.calls (appended, UTF-8, one line per call):
//   SetDifxLogCallbackW callback=set|null context=set|null
//   DriverPackageInstallW path=PATH flags=N info=null|set reboot=set|null callback=set|null
//   DriverPackagePreinstallW ... the same
//
// Variants built with STANDIN_OMIT_INSTALL, STANDIN_OMIT_PREINSTALL or
// STANDIN_OMIT_LOG_CALLBACK lack that entry point.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "difx_api.h"

namespace {

HMODULE g_module = nullptr;
DIFXAPILOGCALLBACK_W g_callback = nullptr;
PVOID g_context = nullptr;

struct Script {
    DWORD result = 0;
    DWORD reboot = 0;
    struct Step {
        bool hold;
        DWORD type;
        DWORD error;
        std::wstring text;
    };
    std::vector<Step> steps;
};

std::wstring besideMe(const wchar_t* name) {
    wchar_t path[MAX_PATH];
    const DWORD length = GetModuleFileNameW(g_module, path, MAX_PATH);
    std::wstring folder(path, length);
    folder.resize(folder.rfind(L'\\') + 1);
    return folder + name;
}

std::string utf8(const std::wstring& text) {
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()),
                                         nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), out.data(), size,
                        nullptr, nullptr);
    return out;
}

std::wstring wide(const std::string& text) {
    const int size =
        MultiByteToWideChar(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring out(static_cast<size_t>(size), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), out.data(), size);
    return out;
}

std::string readFile(const std::wstring& path) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return {};
    std::string text;
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got > 0)
        text.append(buffer, got);
    CloseHandle(file);
    return text;
}

void record(const std::string& line) {
    HANDLE file = CreateFileW(besideMe(L"difxapi.calls").c_str(), FILE_APPEND_DATA,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return;
    const std::string text = line + "\n";
    DWORD written = 0;
    WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    CloseHandle(file);
}

Script readScript() {
    Script script;
    const std::string text = readFile(besideMe(L"difxapi.script"));
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(start, end - start);
        start = end + 1;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        const size_t space = line.find(' ');
        const std::string key = line.substr(0, space);
        const std::string rest = space == std::string::npos ? "" : line.substr(space + 1);
        char* after = nullptr;
        if (key == "result") {
            script.result = static_cast<DWORD>(std::strtoul(rest.c_str(), nullptr, 0));
        } else if (key == "reboot") {
            script.reboot = static_cast<DWORD>(std::strtoul(rest.c_str(), nullptr, 0));
        } else if (key == "log") {
            Script::Step step{false, 0, 0, {}};
            step.type = static_cast<DWORD>(std::strtoul(rest.c_str(), &after, 0));
            step.error = static_cast<DWORD>(std::strtoul(after, &after, 0));
            if (*after == ' ')
                ++after;
            step.text = wide(after);
            script.steps.push_back(std::move(step));
        } else if (key == "hold") {
            script.steps.push_back({true, 0, 0, {}});
        }
    }
    return script;
}

const char* setOrNull(const void* p) {
    return p != nullptr ? "set" : "null";
}

DWORD operation(const char* name, PCWSTR path, DWORD flags, PCINSTALLERINFO_W info,
                BOOL* needReboot) {
    const Script script = readScript();
    record(std::string(name) + " path=" + (path != nullptr ? utf8(path) : "(null)") + " flags=" +
           std::to_string(flags) + " info=" + setOrNull(info) + " reboot=" + setOrNull(needReboot) +
           " callback=" + setOrNull(reinterpret_cast<void*>(g_callback)));
    // The log goes to the callback during the call, on the calling thread.
    for (const auto& step : script.steps) {
        if (step.hold) {
            const std::wstring release = besideMe(L"difxapi.release");
            // Messages that other programs send to the caller's windows are
            // answered meanwhile (nothing posted is taken), so a test can
            // read the window while the call is held.
            for (int i = 0;
                 i < 3000 && GetFileAttributesW(release.c_str()) == INVALID_FILE_ATTRIBUTES; ++i) {
                MSG msg;
                PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
                Sleep(20);
            }
        } else if (g_callback != nullptr) {
            g_callback(static_cast<DIFXAPI_LOG>(step.type), step.error, step.text.c_str(),
                       g_context);
        }
    }
    if (needReboot != nullptr)
        *needReboot = script.reboot != 0 ? TRUE : FALSE;
    return script.result;
}

}  // namespace

extern "C" {

#if !defined(STANDIN_OMIT_INSTALL)
__declspec(dllexport) DWORD WINAPI
    DriverPackageInstallW(PCWSTR DriverPackageInfPath, DWORD Flags,
                          PCINSTALLERINFO_W pInstallerInfo, BOOL* pNeedReboot) {
    return operation("DriverPackageInstallW", DriverPackageInfPath, Flags, pInstallerInfo,
                     pNeedReboot);
}
#endif

#if !defined(STANDIN_OMIT_PREINSTALL)
__declspec(dllexport) DWORD WINAPI
    DriverPackagePreinstallW(PCWSTR DriverPackageInfPath, DWORD Flags,
                             PCINSTALLERINFO_W pInstallerInfo, BOOL* pNeedReboot) {
    return operation("DriverPackagePreinstallW", DriverPackageInfPath, Flags, pInstallerInfo,
                     pNeedReboot);
}
#endif

#if !defined(STANDIN_OMIT_LOG_CALLBACK)
__declspec(dllexport) VOID WINAPI
    SetDifxLogCallbackW(DIFXAPILOGCALLBACK_W LogCallback, PVOID CallbackContext) {
    record(std::string("SetDifxLogCallbackW callback=") +
           setOrNull(reinterpret_cast<void*>(LogCallback)) +
           " context=" + setOrNull(CallbackContext));
    g_callback = LogCallback;
    g_context = CallbackContext;
}
#endif

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH)
        g_module = instance;
    return TRUE;
}

}  // extern "C"
