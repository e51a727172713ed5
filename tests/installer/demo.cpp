// The installer in the demo: install.exe -noui in a package folder with the
// stand-in DIFxAPI, which sends a few log lines and holds the call until
// this program has read them from the installer's hidden window.
#include <windows.h>

#include <cstdio>
#include <string>

#include "installer_driver.h"

int main() {
    using installer::narrow;
    installer::Package package(L"demo");
    package.script(
        "log 1 0 DIFXAPI: INFO: Installing driver package 'kesta.inf'.\n"
        "log 1 0 DIFXAPI: INFO: Copying the driver package to the driver store.\n"
        "log 0 0 DIFXAPI: SUCCESS: Installed the driver on 2 device(s).\n"
        "hold\nresult 0\n");
    std::printf("package folder: %s\n", narrow(package.folder()).c_str());
    std::printf("running: install.exe -noui\n");
    installer::Session run(package, L"-noui");
    HWND window = run.waitForWindow();
    std::wstring log;
    for (int i = 0; i < 500 && window != nullptr; ++i) {
        const auto controls = run.controls();
        if (controls.size() == 5 && controls[1].text.find(L"SUCCESS") != std::wstring::npos) {
            log = controls[1].text;
            break;
        }
        Sleep(20);
    }
    std::printf("the installer's window is %s\n",
                window != nullptr && IsWindowVisible(window) ? "VISIBLE" : "hidden (-noui)");
    std::printf("log lines it received from DIFxAPI:\n");
    size_t start = 0;
    while (start < log.size()) {
        size_t end = log.find(L"\r\n", start);
        if (end == std::wstring::npos)
            end = log.size();
        std::printf("  %s\n", narrow(log.substr(start, end - start)).c_str());
        start = end + 2;
    }
    package.release();
    const DWORD code = run.exitCode();
    std::printf("exit code: %lu\n", static_cast<unsigned long>(code));
    std::printf("calls the stand-in DIFxAPI received:\n");
    for (const auto& call : package.calls())
        std::printf("  %s\n", call.c_str());
    return code == 0 ? 0 : 1;
}
