#include "installer_driver.h"

#include <algorithm>
#include <chrono>
#include <stdexcept>
#include <thread>

namespace installer {
namespace {

std::wstring pathOf(HMODULE module) {
    wchar_t path[MAX_PATH];
    const DWORD length = GetModuleFileNameW(module, path, MAX_PATH);
    return std::wstring(path, length);
}

std::wstring parentOf(const std::wstring& path) {
    return path.substr(0, path.rfind(L'\\'));
}

void writeFile(const std::wstring& path, const std::string& text) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        throw std::runtime_error("cannot write " + narrow(path));
    DWORD written = 0;
    WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    CloseHandle(file);
}

std::string readFile(const std::wstring& path) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
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

// Deletes a folder and everything in it.
void removeTree(const std::wstring& folder) {
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            const std::wstring name = found.cFileName;
            if (name == L"." || name == L"..")
                continue;
            const std::wstring path = folder + L"\\" + name;
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                removeTree(path);
            else
                DeleteFileW(path.c_str());
        } while (FindNextFileW(search, &found));
        FindClose(search);
    }
    RemoveDirectoryW(folder.c_str());
}

std::wstring classOf(HWND hwnd) {
    wchar_t name[256];
    const int length = GetClassNameW(hwnd, name, 256);
    return std::wstring(name, static_cast<size_t>(length > 0 ? length : 0));
}

std::wstring textOf(HWND hwnd) {
    // WM_GETTEXT works across processes (the system copies the text).
    const LRESULT length = SendMessageW(hwnd, WM_GETTEXTLENGTH, 0, 0);
    std::wstring text(static_cast<size_t>(length) + 1, L'\0');
    const LRESULT got = SendMessageW(hwnd, WM_GETTEXT, static_cast<WPARAM>(length + 1),
                                     reinterpret_cast<LPARAM>(text.data()));
    text.resize(static_cast<size_t>(got));
    return text;
}

// The top-level windows of a process with a class.
std::vector<HWND> topWindows(DWORD processId, const wchar_t* className) {
    struct Search {
        DWORD processId;
        const wchar_t* className;
        std::vector<HWND> found;
    } search{processId, className, {}};
    EnumWindows(
        [](HWND hwnd, LPARAM context) -> BOOL {
            auto* s = reinterpret_cast<Search*>(context);
            DWORD owner = 0;
            GetWindowThreadProcessId(hwnd, &owner);
            if (owner == s->processId && classOf(hwnd) == s->className)
                s->found.push_back(hwnd);
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.found;
}

template <typename Predicate>
bool waitUntil(DWORD milliseconds, Predicate done) {
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    for (;;) {
        if (done())
            return true;
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

std::vector<HWND> children(HWND parent) {
    std::vector<HWND> found;
    for (HWND child = GetWindow(parent, GW_CHILD); child != nullptr;
         child = GetWindow(child, GW_HWNDNEXT))
        found.push_back(child);
    return found;
}

}  // namespace

std::wstring widen(const std::string& text) {
    const int size =
        MultiByteToWideChar(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring out(static_cast<size_t>(size), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), out.data(), size);
    return out;
}

std::string narrow(const std::wstring& text) {
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()),
                                         nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), out.data(), size,
                        nullptr, nullptr);
    return out;
}

std::wstring programFolder() {
    return parentOf(pathOf(nullptr));
}

Package::Package(const std::wstring& name, const std::string& variant) {
    // bin\ holds the programs; difxapi\VARIANT\ the stand-ins.
    const std::wstring bin = programFolder();
    const std::wstring root = parentOf(bin);
    const std::wstring packages = root + L"\\installer-packages";
    CreateDirectoryW(packages.c_str(), nullptr);
    folder_ = packages + L"\\" + name;
    removeTree(folder_);
    CreateDirectoryW(folder_.c_str(), nullptr);
    CreateDirectoryW((folder_ + L"\\x86_64").c_str(), nullptr);
    if (!CopyFileW((bin + L"\\install.exe").c_str(), program().c_str(), FALSE))
        throw std::runtime_error("cannot copy install.exe");
    if (!variant.empty() &&
        !CopyFileW((root + L"\\difxapi\\" + widen(variant) + L"\\difxapi.dll").c_str(),
                   (folder_ + L"\\x86_64\\difxapi.dll").c_str(), FALSE))
        throw std::runtime_error("cannot copy the stand-in difxapi.dll " + variant);
}

void Package::script(const std::string& text) const {
    writeFile(folder_ + L"\\x86_64\\difxapi.script", text);
}

std::vector<std::string> Package::calls() const {
    const std::string text = readFile(folder_ + L"\\x86_64\\difxapi.calls");
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

void Package::release() const {
    writeFile(folder_ + L"\\x86_64\\difxapi.release", "");
}

Session::Session(const Package& package, const std::wstring& arguments,
                 const std::wstring& programToken) {
    // Each run records its own calls, and a hold waits for its own release.
    DeleteFileW((package.folder() + L"\\x86_64\\difxapi.calls").c_str());
    DeleteFileW((package.folder() + L"\\x86_64\\difxapi.release").c_str());
    const std::wstring program = package.program();
    std::wstring commandLine =
        (programToken.empty() ? L"\"" + program + L"\"" : programToken) + L" " + arguments;
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    // Wine now and then refuses to start a program copied a moment ago; a
    // start that still fails after a few tries is a failure.
    for (int attempt = 1;; ++attempt) {
        if (CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                           package.folder().c_str(), &startup, &process_))
            break;
        const DWORD error = GetLastError();
        if (attempt == 5)
            throw std::runtime_error("cannot start install.exe (error " + std::to_string(error) +
                                     ")");
        Sleep(200);
    }
}

Session::~Session() {
    if (running()) {
        TerminateProcess(process_.hProcess, 255);
        WaitForSingleObject(process_.hProcess, 10000);
    }
    CloseHandle(process_.hThread);
    CloseHandle(process_.hProcess);
}

bool Session::running() const {
    return WaitForSingleObject(process_.hProcess, 0) == WAIT_TIMEOUT;
}

DWORD Session::exitCode(DWORD milliseconds) {
    WaitForSingleObject(process_.hProcess, milliseconds);
    DWORD code = STILL_ACTIVE;
    GetExitCodeProcess(process_.hProcess, &code);
    return code;
}

Box Session::waitForBox(DWORD milliseconds) {
    Box box;
    waitUntil(milliseconds, [&] {
        auto found = topWindows(process_.dwProcessId, L"#32770");
        if (found.empty() || !IsWindowVisible(found.front()))
            return !running();
        box.hwnd = found.front();
        return true;
    });
    if (box.hwnd == nullptr)
        return box;
    box.caption = textOf(box.hwnd);
    box.owner = GetWindow(box.hwnd, GW_OWNER);
    for (HWND child : children(box.hwnd)) {
        const std::wstring cls = classOf(child);
        const LONG style = GetWindowLongW(child, GWL_STYLE);
        if (_wcsicmp(cls.c_str(), L"Button") == 0) {
            if (style & WS_VISIBLE)
                box.buttons.push_back(textOf(child));
        } else if (_wcsicmp(cls.c_str(), L"Static") == 0) {
            if ((style & SS_TYPEMASK) == SS_ICON) {
                box.icon = reinterpret_cast<HICON>(SendMessageW(child, STM_GETICON, 0, 0));
                box.hasIcon = box.icon != nullptr && (style & WS_VISIBLE);
            } else if (box.text.empty()) {
                box.text = textOf(child);
            }
        }
    }
    return box;
}

void Session::dismiss(const Box& box) {
    for (HWND child : children(box.hwnd)) {
        if (_wcsicmp(classOf(child).c_str(), L"Button") == 0 &&
            (GetWindowLongW(child, GWL_STYLE) & WS_VISIBLE)) {
            PostMessageW(child, BM_CLICK, 0, 0);
            return;
        }
    }
}

HWND Session::waitForWindow(DWORD milliseconds) {
    waitUntil(milliseconds, [&] {
        auto found = topWindows(process_.dwProcessId, L"CSetupWnd");
        if (found.empty())
            return !running();
        window_ = found.front();
        return true;
    });
    return window_;
}

bool Session::waitForFinish(DWORD milliseconds) {
    if (window_ == nullptr && waitForWindow(milliseconds) == nullptr)
        return false;
    return waitUntil(milliseconds,
                     [&] {
                         for (const Control& c : controls())
                             if (c.id == 1 && c.enabled)
                                 return true;
                         return !running();
                     }) &&
           running();
}

std::vector<Control> Session::controls() {
    std::vector<Control> found;
    if (window_ == nullptr)
        return found;
    for (HWND child : children(window_)) {
        Control c;
        c.hwnd = child;
        c.className = classOf(child);
        c.id = GetDlgCtrlID(child);
        c.text = textOf(child);
        c.style = GetWindowLongW(child, GWL_STYLE);
        c.visible = IsWindowVisible(child) != FALSE;
        c.enabled = IsWindowEnabled(child) != FALSE;
        GetWindowRect(child, &c.rect);
        MapWindowPoints(nullptr, window_, reinterpret_cast<POINT*>(&c.rect), 2);
        found.push_back(c);
    }
    return found;
}

HWND Session::focus() const {
    GUITHREADINFO info{};
    info.cbSize = sizeof info;
    if (!GetGUIThreadInfo(process_.dwThreadId, &info))
        return nullptr;
    return info.hwndFocus;
}

void Session::clickFinish() {
    for (const Control& c : controls())
        if (c.id == 1)
            PostMessageW(c.hwnd, BM_CLICK, 0, 0);
}

void Session::closeWindow() {
    PostMessageW(window_, WM_SYSCOMMAND, SC_CLOSE, 0);
}

}  // namespace installer
