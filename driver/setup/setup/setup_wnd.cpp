#include "setup_wnd.h"

#include <cwchar>

#include "command_line.h"
#include "results.h"
#include "setup_app.h"

IMPLEMENT_DYNAMIC(CSetupWnd, CWnd)

BEGIN_MESSAGE_MAP(CSetupWnd, CWnd)
ON_BN_CLICKED(CSetupWnd::kIdFinish, &CSetupWnd::OnFinish)
ON_WM_CLOSE()
ON_WM_SIZE()
END_MESSAGE_MAP()

namespace {

constexpr wchar_t kClassName[] = L"CSetupWnd";
constexpr int kWidth = 480;
constexpr int kHeight = 320;
constexpr WORD kWindowIcon = 102;

void setFont(CWnd& control) {
    SendMessageW(control.m_hWnd, WM_SETFONT,
                 reinterpret_cast<WPARAM>(GetStockObject(DEFAULT_GUI_FONT)), TRUE);
}

}  // namespace

CSetupWnd::CSetupWnd(LPCWSTR title, bool noui) {
    m_brBackground = GetSysColorBrush(COLOR_BTNFACE);
    HINSTANCE instance = GetModuleHandleW(nullptr);
    RegisterClass(kClassName, 0, LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW)),
                  m_brBackground, LoadIconW(instance, MAKEINTRESOURCEW(kWindowIcon)));
    const int x = (GetSystemMetrics(SM_CXMAXIMIZED) - kWidth) / 2;
    const int y = (GetSystemMetrics(SM_CYMAXIMIZED) - kHeight) / 2;
    if (!CreateEx(0, kClassName, title, WS_OVERLAPPEDWINDOW, x, y, kWidth, kHeight, nullptr,
                  nullptr))
        return;

    RECT client;
    GetClientRect(m_hWnd, &client);
    const LONG l = client.left, t = client.top, r = client.right, b = client.bottom;
    m_stStatus.CreateControl(L"STATIC", L"", SS_CENTERIMAGE, {l + 10, t + 10, r - 10, t + 30}, this,
                             kIdStatus);
    m_edLog.CreateControl(L"EDIT", L"",
                          WS_VISIBLE | WS_BORDER | WS_VSCROLL | ES_MULTILINE | ES_READONLY,
                          {l + 10, t + 40, r - 10, b - 95}, this, kIdLog);
    m_stResult.CreateControl(L"STATIC", L"No hardware found", 0, {l + 10, b - 85, r - 10, b - 45},
                             this, kIdResult);
    m_stRebootNote.CreateControl(
        L"STATIC", L"NOTE: The driver will not be fully updated until you restart your computer.",
        SS_CENTERIMAGE, {l + 10, b - 35, r - 100, b - 10}, this, kIdRebootNote);
    m_btnFinish.CreateControl(L"BUTTON", L"&Finish", WS_VISIBLE | BS_CENTER | BS_VCENTER,
                              {r - 90, b - 35, r - 10, b - 10}, this, kIdFinish);
    for (CWnd* control : {&m_stStatus, &m_edLog, &m_stResult, &m_stRebootNote, &m_btnFinish})
        setFont(*control);
    EnableWindow(m_btnFinish.m_hWnd, FALSE);
    if (!noui) {
        ShowWindow(m_hWnd, SW_SHOW);
        repaint();
    }
}

CSetupWnd::~CSetupWnd() {
    DestroyWindow();
}

// The controls went with the window.
void CSetupWnd::PostNcDestroy() {
    for (CWnd* control : {&m_stStatus, &m_edLog, &m_stResult, &m_stRebootNote, &m_btnFinish})
        control->m_hWnd = nullptr;
}

void CSetupWnd::OnFinish() {
    DestroyWindow();
}

void CSetupWnd::OnClose() {
    DestroyWindow();
}

// Lays the controls out for a client area of cx by cy. A size message of the
// window's creation comes before the controls exist and moves nothing.
void CSetupWnd::OnSize(UINT, int cx, int cy) {
    struct Place {
        CWnd& control;
        int x, y, width, height;
    } places[] = {
        {m_stStatus, 10, 10, cx - 20, 20},       {m_edLog, 10, 40, cx - 20, cy - 135},
        {m_stResult, 10, cy - 85, cx - 20, 40},  {m_stRebootNote, 10, cy - 35, cx - 110, 25},
        {m_btnFinish, cx - 90, cy - 35, 80, 25},
    };
    for (const Place& p : places)
        if (p.control.m_hWnd != nullptr)
            MoveWindow(p.control.m_hWnd, p.x, p.y, p.width, p.height, TRUE);
}

void CSetupWnd::AppendLog(LPCWSTR description) {
    const int length = GetWindowTextLengthW(m_edLog.m_hWnd);
    std::wstring text(static_cast<size_t>(length) + 1, L'\0');
    text.resize(static_cast<size_t>(GetWindowTextW(m_edLog.m_hWnd, text.data(), length + 1)));
    if (!text.empty())
        text += L"\r\n";
    text += description != nullptr ? description : L"";
    SetWindowTextW(m_edLog.m_hWnd, text.c_str());
    SendMessageW(m_edLog.m_hWnd, EM_SETSEL, 0xFFFF, 0xFFFF);
    SendMessageW(m_edLog.m_hWnd, EM_SCROLLCARET, 0, 0);
    repaint();
}

void CSetupWnd::showStatus(LPCWSTR text) {
    SetWindowTextW(m_stStatus.m_hWnd, text);
    ShowWindow(m_stStatus.m_hWnd, SW_SHOW);
}

void CSetupWnd::showResult(LPCWSTR text) {
    SetWindowTextW(m_stResult.m_hWnd, text);
    ShowWindow(m_stResult.m_hWnd, SW_SHOW);
}

void CSetupWnd::repaint() {
    UpdateWindow(m_hWnd);
}

bool CSetupWnd::CheckWindowsVersion(int& exitCode) {
    static_assert(sizeof(OSVERSIONINFOEXW) == 284);
    const wchar_t* failure = nullptr;
    OSVERSIONINFOEXW version{};
    version.dwOSVersionInfoSize = sizeof version;
    if (!GetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(&version)) || version.dwMajorVersion < 5) {
        failure = L"This installer is incompatible with version of Windows before Windows 2000.";
    } else {
        using IsWow64ProcessFn = BOOL(WINAPI*)(HANDLE, PBOOL);
        auto isWow64Process = reinterpret_cast<IsWow64ProcessFn>(reinterpret_cast<void*>(
            GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "IsWow64Process")));
        BOOL wow64 = FALSE;
        if (isWow64Process != nullptr)
            isWow64Process(GetCurrentProcess(), &wow64);
        if (wow64)
            failure =
                L"This installer is incompatible with 64-bit editions of Windows. Please "
                L"use install64.exe.";
    }
    if (failure == nullptr)
        return true;
    showStatus(failure);
    exitCode = setup::kExitWindowsCheck;
    return false;
}

bool CSetupWnd::Install(const std::wstring& infPath, bool nopause, bool repair, int& exitCode) {
    return run(false, infPath,
               repair ? DRIVER_PACKAGE_FORCE | DRIVER_PACKAGE_REPAIR : DRIVER_PACKAGE_FORCE,
               nopause, exitCode);
}

bool CSetupWnd::Preinstall(const std::wstring& infPath, bool nopause, int& exitCode) {
    return run(true, infPath, DRIVER_PACKAGE_FORCE | DRIVER_PACKAGE_REPAIR, nopause, exitCode);
}

// The steps both operations share: the Windows check, the one DIFxAPI call
// with the log callback registered around it, and the result.
bool CSetupWnd::run(bool preinstall, const std::wstring& infPath, DWORD flags, bool nopause,
                    int& exitCode) {
    exitCode = setup::kExitSuccess;
    if (CheckWindowsVersion(exitCode)) {
        CSetupApp& app = theSetupApp();
        showStatus(preinstall ? L"Preinstalling driver..." : L"Installing driver...");
        repaint();
        app.m_pfnSetDifxLogCallback(DifxLogCallback, this);
        BOOL reboot = 0;
        const DWORD result =
            preinstall ? app.m_pfnDriverPackagePreinstall(infPath.c_str(), flags, nullptr, &reboot)
                       : app.m_pfnDriverPackageInstall(infPath.c_str(), flags, nullptr, &reboot);
        app.m_pfnSetDifxLogCallback(nullptr, nullptr);
        showStatus(preinstall ? L"Preinstalling driver... Done" : L"Installing driver... Done");

        const auto outcome = setup::outcomeOf(
            preinstall ? setup::Operation::Preinstall : setup::Operation::Install, result);
        std::wstring message;
        if (outcome.message != nullptr) {
            message = setup::widen<wchar_t>(outcome.message);
        } else {
            wchar_t text[128];
            std::swprintf(text, sizeof text / sizeof *text,
                          setup::widen<wchar_t>(setup::kUnexpectedResult).c_str(),
                          static_cast<unsigned long>(result), static_cast<unsigned long>(result));
            message = text;
        }
        exitCode = outcome.exitCode;
        showResult(message.c_str());
        if (reboot != 0)
            ShowWindow(m_stRebootNote.m_hWnd, SW_SHOW);
        repaint();
    }
    if (nopause)
        return false;
    EnableWindow(m_btnFinish.m_hWnd, TRUE);
    SetFocus(m_btnFinish.m_hWnd);
    return true;
}

void __cdecl DifxLogCallback(DIFXAPI_LOG, DWORD, PCWSTR description, PVOID context) {
    static_cast<CSetupWnd*>(context)->AppendLog(description);
}
