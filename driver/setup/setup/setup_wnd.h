// The installer's window: a status line, the log box that DIFxAPI's log
// fills, a result line, a reboot note and the Finish button.
#pragma once

#include <string>

#include "difx_api.h"
#include "framework.h"

class CSetupWnd : public CWnd {
    DECLARE_DYNAMIC(CSetupWnd)

  public:
    // Creates the window and its controls, and shows it unless `noui`.
    CSetupWnd(LPCWSTR title, bool noui);
    ~CSetupWnd() override;

    // The two operations; each writes the exit code and returns whether to
    // wait for the user.
    bool Install(const std::wstring& infPath, bool nopause, bool repair, int& exitCode);
    bool Preinstall(const std::wstring& infPath, bool nopause, int& exitCode);
    bool CheckWindowsVersion(int& exitCode);

    // Adds one line to the log box.
    void AppendLog(LPCWSTR description);

    // Control ids.
    static constexpr UINT kIdFinish = 1;
    static constexpr UINT kIdStatus = 2;
    static constexpr UINT kIdLog = 2;
    static constexpr UINT kIdResult = 4;
    static constexpr UINT kIdRebootNote = 5;

  protected:
    void OnFinish();
    void OnClose();
    void OnSize(UINT type, int cx, int cy);
    DECLARE_MESSAGE_MAP()
    void PostNcDestroy() override;

  private:
    bool run(bool preinstall, const std::wstring& infPath, DWORD flags, bool nopause,
             int& exitCode);
    void showStatus(LPCWSTR text);
    void showResult(LPCWSTR text);
    void repaint();

    HBRUSH m_brBackground;
    CWnd m_stStatus;
    CWnd m_stResult;
    CWnd m_stRebootNote;
    CWnd m_edLog;
    CWnd m_btnFinish;
};

// DIFxAPI's log callback: each event becomes one line of the window's log.
void __cdecl DifxLogCallback(DIFXAPI_LOG eventType, DWORD error, PCWSTR description, PVOID context);
