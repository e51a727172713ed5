// install.exe under Wine, driven from outside as a user would drive it, with
// the stand-in difxapi.dll beside it.
#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "command_line.h"
#include "expected_results.h"
#include "installer_driver.h"

using installer::Box;
using installer::Control;
using installer::narrow;
using installer::Package;
using installer::Session;
using installer::widen;

namespace {

const std::wstring kCaption = L"KESTA Driver Installer";

// The usage box's text, with the default .inf name in its place.
std::wstring usageText() {
    return L"Usage:\n"
           L"\n"
           L"install[64].exe -h|-help|-?\n"
           L"  Displays this help.\n"
           L"\n"
           L"install[64].exe [-noui] [-nopause] [-repair] [drive:\\path\\to\\file.inf]\n"
           L"  Installs the driver (use when hardware already present).\n"
           L"  If -repair specified, attempts to repair already-installed driver package at the "
           L"same time.\n"
           L"\n"
           L"install[64].exe [-noui] [-nopause] -preinstall [drive:\\path\\to\\file.inf]\n"
           L"  Pre-installs the driver (use when hardware is not yet present).\n"
           L"\n"
           L"If no .inf file is specified, default is kesta.inf in same folder.\n"
           L"The -nopause option causes this program to exit when done without waiting for user "
           L"input.\n"
           L"The -noui option causes this program to hide its user interface (implies -nopause).\n"
           L"\n"
           L"Exit code:\n"
           L"  0 => No errors.\n"
           L"  1 => Windows version is too low, or trying to run 32-bit version in 64-bit "
           L"Windows.\n"
           L"  2 => Failed to open .inf file (when not -preinstall).\n"
           L"  3 => Failed to parse .inf file (when not -preinstall).\n"
           L"  4 => No suitable hardware found (when not -preinstall).\n"
           L"  5 => An unexpected error occurred during installation (when not -preinstall).\n"
           L"  6 => Bad command-line arguments.\n"
           L"  7 => Insufficient resources, e.g. memory allocation failure.\n"
           L"  8 => Failed to load DIFxAPI.dll.\n"
           L"  9 => Failed to get an entry point in DIFxAPI.dll.\n"
           L"  100-123 => Error in pre-installation (when -preinstall). See "
           L"DriverPackagePreinstall in MSDN.\n"
           L"  200-222 => Error in installation (when not -preinstall). See DriverPackageInstall "
           L"in MSDN.\n"
           L"\n";
}

void expectBox(const Box& box, const std::wstring& text, bool errorIcon) {
    ASSERT_NE(box.hwnd, nullptr) << "no message box";
    EXPECT_EQ(narrow(box.caption), narrow(kCaption));
    EXPECT_EQ(narrow(box.text), narrow(text));
    EXPECT_EQ(box.hasIcon, errorIcon);
    EXPECT_EQ(box.owner, nullptr) << "no owner window";
    EXPECT_EQ(box.buttons, std::vector<std::wstring>{L"OK"});
}

// Runs the program to its message box, checks the box, presses OK, and
// returns the exit code. The program shows no window of its own.
DWORD boxRun(const Package& package, const std::wstring& arguments, const std::wstring& text,
             bool errorIcon = true) {
    Session run(package, arguments);
    const Box box = run.waitForBox();
    expectBox(box, text, errorIcon);
    EXPECT_EQ(run.waitForWindow(0), nullptr) << "no main window";
    run.dismiss(box);
    return run.exitCode();
}

// The recorded DIFxAPI call of a run, e.g. "DriverPackageInstallW path=...".
std::string operationCall(const Package& package) {
    for (const auto& line : package.calls())
        if (line.rfind("DriverPackage", 0) == 0)
            return line;
    return {};
}

std::string defaultInf(const Package& package) {
    return narrow(package.folder()) + "\\kesta.inf";
}

}  // namespace

// ---------------------------------------------------------------------------
// The command line

TEST(CommandLine, HelpShowsTheUsageWhateverFollows) {
    Package package(L"help");
    for (const wchar_t* arguments :
         {L"-h", L"/HELP", L"-?", L"/?", L"-noui -help", L"-help -bad", L"-Help a.inf b.inf"}) {
        SCOPED_TRACE(narrow(arguments));
        EXPECT_EQ(boxRun(package, arguments, usageText(), false), 0u);
    }
    EXPECT_TRUE(package.calls().empty()) << "DIFxAPI is not even loaded";
}

TEST(CommandLine, AnUnrecognisedOptionIsNamedWhole) {
    Package package(L"bad-option");
    const struct {
        const wchar_t* arguments;
        const wchar_t* shown;
    } cases[] = {
        {L"-bad -help", L"-bad"},
        {L"-", L"-"},
        {L"/", L"/"},
        {L"-noui /x a.inf", L"/x"},
        {L"--noui", L"--noui"},
        {L"-noui\ta.inf", L"-noui\ta.inf"},
        {L"-nouix", L"-nouix"},
        {L"-%s%n%ls", L"-%s%n%ls"},  // shown, never a format
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(narrow(c.arguments));
        EXPECT_EQ(boxRun(package, c.arguments, std::wstring(L"Invalid option: ") + c.shown), 6u);
    }
    EXPECT_TRUE(package.calls().empty());
}

TEST(CommandLine, AtMostOnePath) {
    Package package(L"two-paths");
    for (const wchar_t* arguments :
         {L"a.inf b.inf", L"C:\\my driver\\kesta.inf", L"-noui a.inf -repair b.inf",
          L"\"C:\\my driver\\kesta.inf\""}) {
        SCOPED_TRACE(narrow(arguments));
        EXPECT_EQ(boxRun(package, arguments, L"Specify at most one .inf file."), 6u);
    }
    EXPECT_TRUE(package.calls().empty());
}

TEST(CommandLine, OptionsIgnoreLetterCaseAndRepeats) {
    Package package(L"case");
    for (const wchar_t* arguments : {L"/NOUI", L"-NoUi", L"-noui", L"-noui -NOUI /noui"}) {
        SCOPED_TRACE(narrow(arguments));
        Session run(package, arguments);
        EXPECT_EQ(run.exitCode(), 0u);
        EXPECT_EQ(operationCall(package), "DriverPackageInstallW path=" + defaultInf(package) +
                                              " flags=4 info=null reboot=set callback=set");
    }
}

// The .inf path reaches DIFxAPI exactly as the command line has it; without
// one it is kesta.inf in the program's folder.
TEST(CommandLine, ThePathReachesDifxApiUnchanged) {
    Package package(L"paths");
    const struct {
        const wchar_t* arguments;
        std::string path;
    } cases[] = {
        {L"-noui", defaultInf(package)},
        {L"-noui \"C:\\pkg\\a.inf\"", "\"C:\\pkg\\a.inf\""},
        {L"sub\\x.inf -noui", "sub\\x.inf"},
        {L"  -noui    D:\\drivers\\kesta.inf   ", "D:\\drivers\\kesta.inf"},
        {L"-nopause -noui \"quoted", "\"quoted"},
        {L"\"-noui\" -noui", "\"-noui\""},  // a quoted option is a path
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(narrow(c.arguments));
        Session run(package, c.arguments);
        EXPECT_EQ(run.exitCode(), 0u);
        EXPECT_EQ(operationCall(package), "DriverPackageInstallW path=" + c.path +
                                              " flags=4 info=null reboot=set callback=set");
    }
}

TEST(CommandLine, FlagsOfTheTwoOperations) {
    Package package(L"flags");
    const struct {
        const wchar_t* arguments;
        const char* call;
    } cases[] = {
        {L"-noui", "DriverPackageInstallW"},
        {L"-noui -repair", "DriverPackageInstallW"},
        {L"-preinstall -noui", "DriverPackagePreinstallW"},
        {L"-repair -preinstall -noui", "DriverPackagePreinstallW"},
        {L"-noui -preinstall -repair", "DriverPackagePreinstallW"},
    };
    const int flags[] = {4, 5, 5, 5, 5};
    for (size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(narrow(cases[i].arguments));
        Session run(package, cases[i].arguments);
        EXPECT_EQ(run.exitCode(), 0u);
        EXPECT_EQ(operationCall(package),
                  std::string(cases[i].call) + " path=" + defaultInf(package) +
                      " flags=" + std::to_string(flags[i]) + " info=null reboot=set callback=set");
    }
}

// The program name ends at the first blank outside quotes; the blanks and
// control characters after it are not part of the arguments.
TEST(CommandLine, TheProgramNameAndWhatFollowsIt) {
    Package spaced(L"with space");
    {
        Session run(spaced, L"-noui");  // "...\with space\install.exe" -noui
        EXPECT_EQ(run.exitCode(), 0u);
        EXPECT_EQ(operationCall(spaced), "DriverPackageInstallW path=" + defaultInf(spaced) +
                                             " flags=4 info=null reboot=set callback=set");
    }
    Package package(L"program-name");
    {
        Session run(package, L"\t\x01\x1f -noui", L"install.exe");
        EXPECT_EQ(run.exitCode(), 0u);
    }
    {
        // A quote in the middle of the name keeps the space inside it.
        Session run(package, L"-noui", L"inst\"all .\"exe");
        EXPECT_EQ(run.exitCode(), 0u);
    }
}

// ---------------------------------------------------------------------------
// Binding DIFxAPI

TEST(Binding, AMissingLibraryEndsWithCode8) {
    Package package(L"no-difxapi", "");
    EXPECT_EQ(boxRun(package, L"-noui", L"Failed to load difxapi.dll, GetLastError=126(0x7e)"), 8u);
}

TEST(Binding, AMissingEntryPointEndsWithCode9) {
    const struct {
        const char* variant;
        const wchar_t* name;
    } cases[] = {{"no-install", L"DriverPackageInstall"},
                 {"no-preinstall", L"DriverPackagePreinstall"},
                 {"no-log-callback", L"SetDifxLogCallback"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.variant);
        Package package(widen(c.variant), c.variant);
        EXPECT_EQ(boxRun(package, L"-noui",
                         std::wstring(L"Failed to get ") + c.name +
                             L" entry point from difxapi.dll, GetLastError=127(0x7f)"),
                  9u);
        EXPECT_TRUE(package.calls().empty()) << "nothing was called";
    }
}

// ---------------------------------------------------------------------------
// The window

class Window : public testing::Test {
  protected:
    static RECT rectOf(int left, int top, int right, int bottom) {
        return {left, top, right, bottom};
    }
    static void expectRect(const Control& c, const RECT& r) {
        EXPECT_EQ(c.rect.left, r.left) << narrow(c.className) << " " << c.id;
        EXPECT_EQ(c.rect.top, r.top) << narrow(c.className) << " " << c.id;
        EXPECT_EQ(c.rect.right, r.right) << narrow(c.className) << " " << c.id;
        EXPECT_EQ(c.rect.bottom, r.bottom) << narrow(c.className) << " " << c.id;
    }
    // The layout rule for a client area of w by h.
    static std::vector<RECT> layout(int w, int h) {
        return {rectOf(10, 10, w - 10, 30), rectOf(10, 40, w - 10, h - 95),
                rectOf(10, h - 85, w - 10, h - 45), rectOf(10, h - 35, w - 100, h - 10),
                rectOf(w - 90, h - 35, w - 10, h - 10)};
    }
};

TEST_F(Window, ControlsAndLayoutWhileWaitingForTheUser) {
    Package package(L"window");
    package.script(
        "log 1 0 First line\nlog 2 5 Second line, a warning\nlog 3 87 Third: 100% "
        "%s %n done\nlog 0 0 Fourth\nresult 0\n");
    Session run(package, L"");
    ASSERT_TRUE(run.waitForFinish());
    HWND window = run.waitForWindow();

    wchar_t title[64];
    GetWindowTextW(window, title, 64);
    EXPECT_EQ(narrow(title), narrow(kCaption));
    const LONG style = GetWindowLongW(window, GWL_STYLE);
    EXPECT_EQ(style & WS_OVERLAPPEDWINDOW, WS_OVERLAPPEDWINDOW);
    EXPECT_TRUE(IsWindowVisible(window));
    EXPECT_EQ(GetWindowLongW(window, GWL_EXSTYLE) & ~WS_EX_WINDOWEDGE, 0);
    RECT outer;
    GetWindowRect(window, &outer);
    EXPECT_EQ(outer.right - outer.left, 480);
    EXPECT_EQ(outer.bottom - outer.top, 320);
    EXPECT_EQ(outer.left, (GetSystemMetrics(SM_CXMAXIMIZED) - 480) / 2);
    EXPECT_EQ(outer.top, (GetSystemMetrics(SM_CYMAXIMIZED) - 320) / 2);

    auto controls = run.controls();
    ASSERT_EQ(controls.size(), 5u);
    const struct {
        const wchar_t* className;
        int id;
        LONG style;  // besides WS_CHILD and WS_VISIBLE
        const char* text;
        bool visible, enabled;
    } expected[] = {
        {L"Static", 2, SS_CENTERIMAGE, "Installing driver... Done", true, true},
        // The edit control takes WS_BORDER off its style and draws the one-pixel
        // border itself, and adds ES_AUTOVSCROLL to a multi-line box with
        // a vertical scroll bar.
        {L"Edit", 2, WS_VSCROLL | ES_MULTILINE | ES_READONLY | ES_AUTOVSCROLL,
         "First line\r\nSecond line, a warning\r\nThird: 100% %s %n done\r\nFourth", true, true},
        {L"Static", 4, 0, "The driver was successfully installed.", true, true},
        {L"Static", 5, SS_CENTERIMAGE,
         "NOTE: The driver will not be fully updated until you restart your computer.", false,
         true},
        {L"Button", 1, BS_CENTER | BS_VCENTER, "&Finish", true, true},
    };
    RECT client;
    GetClientRect(window, &client);
    const auto initial = layout(client.right, client.bottom);
    for (size_t i = 0; i < 5; ++i) {
        const Control& c = controls[i];
        SCOPED_TRACE(i);
        EXPECT_EQ(_wcsicmp(c.className.c_str(), expected[i].className), 0) << narrow(c.className);
        EXPECT_EQ(c.id, expected[i].id);
        EXPECT_EQ(c.style & ~(WS_CHILD | WS_VISIBLE | WS_DISABLED | WS_TABSTOP | WS_GROUP),
                  expected[i].style);
        EXPECT_EQ(narrow(c.text), expected[i].text);
        EXPECT_EQ(c.visible, expected[i].visible);
        EXPECT_EQ(c.enabled, expected[i].enabled);
        expectRect(c, initial[i]);
    }
    EXPECT_EQ(run.focus(), controls[4].hwnd) << "Finish has the keyboard focus";

    // A client area of 600 by 400.
    RECT wanted{0, 0, 600, 400};
    AdjustWindowRectEx(&wanted, static_cast<DWORD>(style), FALSE,
                       static_cast<DWORD>(GetWindowLongW(window, GWL_EXSTYLE)));
    SetWindowPos(window, nullptr, 0, 0, wanted.right - wanted.left, wanted.bottom - wanted.top,
                 SWP_NOMOVE | SWP_NOZORDER);
    GetClientRect(window, &client);
    ASSERT_EQ(client.right, 600);
    ASSERT_EQ(client.bottom, 400);
    controls = run.controls();
    const auto resized = layout(600, 400);
    for (size_t i = 0; i < 5; ++i)
        expectRect(controls[i], resized[i]);
    EXPECT_EQ(controls[1].rect.right - controls[1].rect.left, 580);
    EXPECT_EQ(controls[1].rect.bottom - controls[1].rect.top, 265);
    EXPECT_EQ(controls[4].rect.left, 510);
    EXPECT_EQ(controls[4].rect.top, 365);

    // The log box takes no typing.
    SendMessageW(controls[1].hwnd, WM_CHAR, L'x', 0);
    EXPECT_EQ(narrow(run.controls()[1].text).substr(0, 10), "First line");

    run.clickFinish();
    EXPECT_EQ(run.exitCode(), 0u);
}

// While DIFxAPI works: the status line says so, the log grows line by line,
// the result line is hidden and Finish disabled.
TEST_F(Window, WhileTheOperationRuns) {
    for (bool preinstall : {false, true}) {
        SCOPED_TRACE(preinstall);
        Package package(L"working");
        package.script("log 1 0 one\nhold\nlog 1 0 two\nresult 0\n");
        Session run(package, preinstall ? L"-preinstall" : L"");
        HWND window = run.waitForWindow();
        ASSERT_NE(window, nullptr);
        std::vector<Control> controls;
        for (int i = 0; i < 500; ++i) {
            controls = run.controls();
            if (controls.size() == 5 && controls[1].text == L"one")
                break;
            Sleep(20);
        }
        ASSERT_EQ(controls.size(), 5u);
        EXPECT_TRUE(IsWindowVisible(window));
        EXPECT_EQ(narrow(controls[0].text),
                  preinstall ? "Preinstalling driver..." : "Installing driver...");
        EXPECT_TRUE(controls[0].visible);
        EXPECT_EQ(narrow(controls[1].text), "one");
        EXPECT_FALSE(controls[2].visible);
        EXPECT_FALSE(controls[3].visible);
        EXPECT_FALSE(controls[4].enabled);
        package.release();
        ASSERT_TRUE(run.waitForFinish());
        controls = run.controls();
        EXPECT_EQ(narrow(controls[0].text),
                  preinstall ? "Preinstalling driver... Done" : "Installing driver... Done");
        EXPECT_EQ(narrow(controls[1].text), "one\r\ntwo");
        EXPECT_EQ(narrow(controls[2].text), preinstall ? "The driver was successfully preinstalled."
                                                       : "The driver was successfully installed.");
        run.clickFinish();
        EXPECT_EQ(run.exitCode(), 0u);
    }
}

TEST_F(Window, NouiNeverShowsTheWindow) {
    Package package(L"noui");
    package.script("log 1 0 logged while hidden\nhold\nresult 0x800B0100\n");
    Session run(package, L"-noui");
    HWND window = run.waitForWindow();
    ASSERT_NE(window, nullptr) << "the window exists";
    // The window can be found while its controls are still being made, and
    // the log line can arrive between listing them and reading their texts.
    std::vector<Control> controls;
    for (int i = 0; i < 500 && (controls.size() < 5 || controls[1].text.empty()); ++i) {
        controls = run.controls();
        Sleep(20);
    }
    ASSERT_EQ(controls.size(), 5u);
    EXPECT_EQ(narrow(controls[1].text), "logged while hidden");
    EXPECT_FALSE(IsWindowVisible(window));
    package.release();
    EXPECT_EQ(run.exitCode(), 221u) << "it ends without waiting";
}

TEST_F(Window, CloseBoxAndFinishEndWithTheOperationsCode) {
    Package package(L"close");
    package.script("result 2\n");
    {
        Session run(package, L"");
        ASSERT_TRUE(run.waitForFinish());
        run.closeWindow();
        EXPECT_EQ(run.exitCode(), 207u);
    }
    {
        Session run(package, L"-preinstall");
        ASSERT_TRUE(run.waitForFinish());
        run.clickFinish();
        EXPECT_EQ(run.exitCode(), 109u);
    }
    {
        // -nopause: the window shows the outcome and the program ends.
        Session run(package, L"-nopause");
        EXPECT_EQ(run.exitCode(), 207u);
    }
}

TEST_F(Window, RebootNoteOnlyWhenDifxApiAsksForIt) {
    Package package(L"reboot");
    for (int reboot : {1, 0}) {
        package.script("reboot " + std::to_string(reboot) + "\nresult 0\n");
        Session run(package, L"");
        ASSERT_TRUE(run.waitForFinish());
        EXPECT_EQ(run.controls()[3].visible, reboot == 1);
        run.clickFinish();
        EXPECT_EQ(run.exitCode(), 0u);
    }
}

// ---------------------------------------------------------------------------
// Results

struct Expectation {
    uint32_t value;
    bool preinstall;
    std::string message;
    DWORD exitCode;
};

std::string unexpected(uint32_t value) {
    char text[128];
    std::snprintf(text, sizeof text, expected::kUnexpectedResult, static_cast<unsigned long>(value),
                  static_cast<unsigned long>(value));
    return text;
}

// Every row of the table, for both operations, and results no table has.
std::vector<Expectation> expectations() {
    std::vector<Expectation> all;
    for (const auto& r : expected::kResults) {
        all.push_back({r.value, false, r.installCode < 0 ? unexpected(r.value) : r.installMessage,
                       static_cast<DWORD>(r.installCode < 0 ? 222 : r.installCode)});
        all.push_back({r.value, true,
                       r.preinstallCode < 0 ? unexpected(r.value) : r.preinstallMessage,
                       static_cast<DWORD>(r.preinstallCode < 0 ? 123 : r.preinstallCode)});
    }
    for (uint32_t value : {3u, 0x80000000u, 0xFFFFFFFFu, 0xE0000300u}) {
        all.push_back({value, false, unexpected(value), 222});
        all.push_back({value, true, unexpected(value), 123});
    }
    return all;
}

TEST(Results, EveryRowOfBothOperations) {
    Package package(L"results");
    for (const Expectation& e : expectations()) {
        SCOPED_TRACE(std::to_string(e.value) + (e.preinstall ? " pre-install" : " install"));
        package.script("result " + std::to_string(e.value) + "\n");
        Session run(package, e.preinstall ? L"-preinstall" : L"");
        ASSERT_TRUE(run.waitForFinish());
        const auto controls = run.controls();
        EXPECT_EQ(narrow(controls[2].text), e.message);
        EXPECT_TRUE(controls[2].visible);
        EXPECT_FALSE(controls[3].visible);
        run.clickFinish();
        EXPECT_EQ(run.exitCode(), e.exitCode);
    }
}

TEST(Results, TheSpecialCasesSpelledOut) {
    EXPECT_EQ(unexpected(183),
              "An unexpected error occurred while updating the driver. Error=183(0xb7)\n");
    EXPECT_EQ(unexpected(1603),
              "An unexpected error occurred while updating the driver. Error=1603(0x643)\n");
    EXPECT_EQ(unexpected(0x80092003u),
              "An unexpected error occurred while updating the driver. "
              "Error=2148081667(0x80092003)\n");
}

// The log callback is registered just before the one call and removed just
// after it, whatever the result.
TEST(Results, LogCallbackAroundTheOneCall) {
    Package package(L"callback");
    for (const char* result : {"0", "0xE0000235", "1603"}) {
        SCOPED_TRACE(result);
        package.script(std::string("result ") + result + "\nlog 1 0 x\n");
        DeleteFileW((package.folder() + L"\\x86_64\\difxapi.calls").c_str());
        Session run(package, L"-noui");
        run.exitCode();
        const std::vector<std::string> calls = package.calls();
        ASSERT_EQ(calls.size(), 3u);
        EXPECT_EQ(calls[0], "SetDifxLogCallbackW callback=set context=set");
        EXPECT_EQ(calls[1].substr(0, 22), "DriverPackageInstallW ");
        EXPECT_NE(calls[1].find("callback=set"), std::string::npos);
        EXPECT_EQ(calls[2], "SetDifxLogCallbackW callback=null context=null");
    }
}

// ---------------------------------------------------------------------------
// The Windows check, on a Windows that Wine reports as NT 4.0 for the program.

class OldWindows : public testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(
            RegSetKeyValueW(HKEY_CURRENT_USER, kKey, L"Version", REG_SZ, L"nt40", sizeof L"nt40"),
            ERROR_SUCCESS);
    }
    void TearDown() override { RegDeleteKeyW(HKEY_CURRENT_USER, kKey); }
    static constexpr const wchar_t* kKey = L"Software\\Wine\\AppDefaults\\install.exe";
};

TEST_F(OldWindows, TheCheckFailsBeforeDifxApi) {
    Package package(L"old-windows");
    package.script("log 1 0 never\nresult 0\n");
    Session run(package, L"");
    ASSERT_TRUE(run.waitForFinish());
    const auto controls = run.controls();
    EXPECT_EQ(narrow(controls[0].text),
              "This installer is incompatible with version of Windows before Windows 2000.");
    EXPECT_TRUE(controls[0].visible);
    EXPECT_EQ(narrow(controls[1].text), "") << "the log stays empty";
    EXPECT_FALSE(controls[2].visible);
    run.clickFinish();
    EXPECT_EQ(run.exitCode(), 1u);
    EXPECT_TRUE(package.calls().empty()) << "DIFxAPI was not called";
}

// ---------------------------------------------------------------------------
// Random command lines, run for real: whatever the tokens, the program ends
// (after its box, or when Finish is pressed) with a code its tables allow,
// the one the command-line rules predict.
TEST(Property, RandomCommandLinesEndWithAnAllowedCode) {
    Package package(L"random");
    package.script("result 0xE0000304\nlog 1 0 x\n");
    const std::vector<std::wstring> vocabulary = {
        L"-noui", L"/NOUI", L"-nopause", L"-preinstall", L"-Repair", L"-h",   L"/?",
        L"-x",    L"-",     L"/",        L"a.inf",       L"\"b c\"", L"",     L"\t",
        L"\"",    L"%s%n",  L"-noui\t",  L"\u00e9.inf",  L"-NOUI",   L"/help"};
    std::mt19937 random(7);
    for (int round = 0; round < 40; ++round) {
        std::wstring arguments;
        const int count = 1 + static_cast<int>(random() % 4);
        for (int i = 0; i < count; ++i)
            arguments += (i > 0 ? L" " : L"") + vocabulary[random() % vocabulary.size()];
        SCOPED_TRACE(narrow(arguments));
        const auto predicted = setup::parseTokens(setup::splitTokens(std::wstring_view(arguments)));
        Session run(package, arguments);
        DWORD code = STILL_ACTIVE;
        for (int wait = 0; wait < 1000 && code == STILL_ACTIVE; ++wait) {
            const Box box = run.waitForBox(0);
            if (box.hwnd != nullptr)
                run.dismiss(box);
            else if (run.waitForFinish(0))
                run.clickFinish();
            code = run.exitCode(20);
        }
        const int expected =
            predicted.exitCode() >= 0 ? predicted.exitCode() : (predicted.preinstall ? 112 : 211);
        EXPECT_EQ(code, static_cast<DWORD>(expected));
    }
}
