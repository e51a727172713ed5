#include "setup_app.h"

#include <commctrl.h>

#include <cwchar>
#include <new>
#include <string_view>

#include "command_line.h"
#include "usage.h"

namespace {

CSetupApp theApp;

constexpr wchar_t kProduct[] = L"KESTA Driver";
// Room for the program's path; a longer one arrives cut short.
constexpr DWORD kPathRoom = 512;

int showBox(const std::wstring& text, const std::wstring& caption, UINT icon) {
    return MessageBoxW(nullptr, text.c_str(), caption.c_str(), MB_OK | icon);
}

std::wstring caption() {
    wchar_t text[64];
    std::swprintf(text, sizeof text / sizeof *text, L"%ls Installer", kProduct);
    return text;
}

std::wstring programFolder() {
    wchar_t path[kPathRoom];
    const DWORD length = GetModuleFileNameW(nullptr, path, kPathRoom);
    if (length == 0)
        return {};
    return setup::programFolder(std::wstring_view(path, length));
}

}  // namespace

CSetupApp& theSetupApp() {
    return theApp;
}

CSetupApp::~CSetupApp() {
    if (m_hDifxApi != nullptr)
        FreeLibrary(m_hDifxApi);
}

BOOL CSetupApp::InitInstance() {
    INITCOMMONCONTROLSEX classes{sizeof classes, 0xFF};
    InitCommonControlsEx(&classes);

    const auto commandLine = setup::parseCommandLine(std::wstring_view(GetCommandLineW()));
    const std::wstring title = caption();
    using Outcome = setup::CommandLine<wchar_t>::Outcome;
    switch (commandLine.outcome) {
        case Outcome::Help:
            showBox(setup::usageText<wchar_t>(), title, 0);
            return FALSE;
        case Outcome::InvalidOption:
            showBox(L"Invalid option: " + commandLine.token, title, MB_ICONERROR);
            m_nExitCode = commandLine.exitCode();
            return FALSE;
        case Outcome::TwoPaths:
            showBox(L"Specify at most one .inf file.", title, MB_ICONERROR);
            m_nExitCode = commandLine.exitCode();
            return FALSE;
        case Outcome::Run:
            break;
    }

    const std::wstring folder = programFolder();
    const std::wstring infPath = setup::infPathOf(commandLine, folder);
    if (!bindDifxApi(setup::difxApiPathOf(folder)))
        return FALSE;

    // A window that the system could not create counts as one that could
    // not be allocated: without it the message loop would never end.
    m_pSetupWnd.reset(new (std::nothrow) CSetupWnd(title.c_str(), commandLine.noui));
    if (m_pSetupWnd == nullptr || m_pSetupWnd->m_hWnd == nullptr) {
        m_pSetupWnd.reset();
        m_nExitCode = setup::kExitNoWindow;
        return FALSE;
    }
    m_pMainWnd = m_pSetupWnd.get();
    if (commandLine.preinstall)
        return m_pSetupWnd->Preinstall(infPath, commandLine.nopause, m_nExitCode);
    return m_pSetupWnd->Install(infPath, commandLine.nopause, commandLine.repair, m_nExitCode);
}

int CSetupApp::ExitInstance() {
    m_pSetupWnd.reset();
    m_pMainWnd = nullptr;
    CWinApp::ExitInstance();
    return m_nExitCode;
}

bool CSetupApp::bindDifxApi(const std::wstring& path) {
    const std::wstring title = caption();
    auto failure = [&](const wchar_t* what, int exitCode) {
        const DWORD error = GetLastError();
        wchar_t text[160];
        std::swprintf(text, sizeof text / sizeof *text, L"%ls, GetLastError=%lu(0x%lx)", what,
                      static_cast<unsigned long>(error), static_cast<unsigned long>(error));
        showBox(text, title, MB_ICONERROR);
        m_nExitCode = exitCode;
        return false;
    };
    m_hDifxApi = LoadLibraryW(path.c_str());
    if (m_hDifxApi == nullptr)
        return failure(L"Failed to load difxapi.dll", setup::kExitNoDifxApi);
    auto bind = [&](const char* name) {
        return reinterpret_cast<void*>(GetProcAddress(m_hDifxApi, name));
    };
    m_pfnDriverPackageInstall =
        reinterpret_cast<PFN_DRIVER_PACKAGE_INSTALL_W>(bind("DriverPackageInstallW"));
    if (m_pfnDriverPackageInstall == nullptr)
        return failure(L"Failed to get DriverPackageInstall entry point from difxapi.dll",
                       setup::kExitNoEntryPoint);
    m_pfnDriverPackagePreinstall =
        reinterpret_cast<PFN_DRIVER_PACKAGE_PREINSTALL_W>(bind("DriverPackagePreinstallW"));
    if (m_pfnDriverPackagePreinstall == nullptr)
        return failure(L"Failed to get DriverPackagePreinstall entry point from difxapi.dll",
                       setup::kExitNoEntryPoint);
    m_pfnSetDifxLogCallback =
        reinterpret_cast<PFN_SET_DIFX_LOG_CALLBACK_W>(bind("SetDifxLogCallbackW"));
    if (m_pfnSetDifxLogCallback == nullptr)
        return failure(L"Failed to get SetDifxLogCallback entry point from difxapi.dll",
                       setup::kExitNoEntryPoint);
    return true;
}

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
    return AfxWinMain(instance);
}
