// The installer's application object: reads the command line, binds
// DIFxAPI, creates the window and runs the one operation.
#pragma once

#include <memory>
#include <string>

#include "difx_api.h"
#include "framework.h"
#include "setup_wnd.h"

class CSetupApp : public CWinApp {
  public:
    CSetupApp() = default;
    ~CSetupApp() override;

    BOOL InitInstance() override;
    int ExitInstance() override;

    HMODULE m_hDifxApi = nullptr;
    PFN_DRIVER_PACKAGE_INSTALL_W m_pfnDriverPackageInstall = nullptr;
    PFN_DRIVER_PACKAGE_PREINSTALL_W m_pfnDriverPackagePreinstall = nullptr;
    PFN_SET_DIFX_LOG_CALLBACK_W m_pfnSetDifxLogCallback = nullptr;
    int m_nExitCode = 0;
    std::unique_ptr<CSetupWnd> m_pSetupWnd;

  private:
    // Loads difxapi.dll and binds its three entry points; on failure shows
    // why and sets the exit code.
    bool bindDifxApi(const std::wstring& path);
};

CSetupApp& theSetupApp();
