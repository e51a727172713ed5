// Drives install.exe as a user would: a package folder with the program and
// a stand-in difxapi.dll, the program started with a command line, its
// message boxes and window found, read and operated from outside.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

namespace installer {

// The folder of the running test program.
std::wstring programFolder();

// A driver package folder: install.exe, and x86_64\difxapi.dll of a
// stand-in variant ("complete", "no-install", "no-preinstall",
// "no-log-callback"; empty: no DLL at all).
class Package {
  public:
    explicit Package(const std::wstring& name, const std::string& variant = "complete");
    const std::wstring& folder() const { return folder_; }
    std::wstring program() const { return folder_ + L"\\install.exe"; }
    // The stand-in's script (see difxapi_standin.cpp).
    void script(const std::string& text) const;
    // The calls the stand-in recorded, one per line.
    std::vector<std::string> calls() const;
    // Lets a "hold" step of the script go on.
    void release() const;

  private:
    std::wstring folder_;
};

// A child window as the test sees it.
struct Control {
    HWND hwnd;
    std::wstring className;
    int id;
    std::wstring text;
    LONG style;
    bool visible;
    bool enabled;
    RECT rect;  // in the parent's client coordinates
};

// A message box of the installer.
struct Box {
    HWND hwnd = nullptr;
    std::wstring caption;
    std::wstring text;
    bool hasIcon = false;
    HICON icon = nullptr;
    HWND owner = nullptr;
    std::vector<std::wstring> buttons;
};

class Session {
  public:
    // Starts the program with `arguments` after its name; `programToken` is
    // the program name as the command line spells it (default: the full
    // path in quotes).
    Session(const Package& package, const std::wstring& arguments,
            const std::wstring& programToken = {});
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // The exit code, once the program has ended (or STILL_ACTIVE after the
    // time-out).
    DWORD exitCode(DWORD milliseconds = 30000);
    bool running() const;

    // The first message box the program shows; empty if none came.
    Box waitForBox(DWORD milliseconds = 20000);
    // Presses the box's OK button.
    void dismiss(const Box& box);

    // The installer's main window, once it exists.
    HWND waitForWindow(DWORD milliseconds = 20000);
    // Waits until the Finish button is enabled: the operation is over and
    // the program waits for the user.
    bool waitForFinish(DWORD milliseconds = 20000);
    // The main window's controls, in creation order.
    std::vector<Control> controls();
    // The window with the keyboard focus in the program's UI thread.
    HWND focus() const;
    void clickFinish();
    void closeWindow();

    DWORD processId() const { return process_.dwProcessId; }

  private:
    PROCESS_INFORMATION process_{};
    HWND window_ = nullptr;
};

std::wstring widen(const std::string& text);
std::string narrow(const std::wstring& text);

}  // namespace installer
