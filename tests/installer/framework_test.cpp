// The installer's window class in this process: its run-time class
// information, its message map, and its resources as the file holds them.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

#include "installer_driver.h"
#include "setup_wnd.h"

namespace {

TEST(Framework, RuntimeClassOfTheWindow) {
    const CRuntimeClass* c = RUNTIME_CLASS(CSetupWnd);
    EXPECT_STREQ(c->m_lpszClassName, "CSetupWnd");
    EXPECT_EQ(c->m_pBaseClass, RUNTIME_CLASS(CWnd));
    EXPECT_STREQ(RUNTIME_CLASS(CWnd)->m_lpszClassName, "CWnd");
    EXPECT_EQ(RUNTIME_CLASS(CWnd)->m_pBaseClass, nullptr);
    EXPECT_TRUE(c->IsDerivedFrom(RUNTIME_CLASS(CWnd)));
    EXPECT_FALSE(RUNTIME_CLASS(CWnd)->IsDerivedFrom(c));
    CSetupWnd window(L"test", true);
    EXPECT_EQ(window.GetRuntimeClass(), c);
    EXPECT_FALSE(IsWindowVisible(window.m_hWnd)) << "noui: never shown";
}

// The message map: BN_CLICKED from the Finish button and WM_CLOSE destroy
// the window; other notifications and ids do not; WM_SIZE lays out.
TEST(Framework, MessageMapDispatch) {
    CSetupWnd window(L"test", true);
    HWND hwnd = window.m_hWnd;
    ASSERT_NE(hwnd, nullptr);
    SendMessageW(hwnd, WM_COMMAND, MAKEWPARAM(1, BN_DOUBLECLICKED), 0);
    SendMessageW(hwnd, WM_COMMAND, MAKEWPARAM(2, BN_CLICKED), 0);
    EXPECT_TRUE(IsWindow(hwnd));

    SendMessageW(hwnd, WM_SIZE, SIZE_RESTORED, MAKELPARAM(300, 200));
    HWND finish = nullptr;
    for (HWND c = GetWindow(hwnd, GW_CHILD); c != nullptr; c = GetWindow(c, GW_HWNDNEXT))
        if (GetDlgCtrlID(c) == 1)
            finish = c;
    RECT r;
    GetWindowRect(finish, &r);
    MapWindowPoints(nullptr, hwnd, reinterpret_cast<POINT*>(&r), 2);
    EXPECT_EQ(r.left, 210);
    EXPECT_EQ(r.top, 165);
    EXPECT_EQ(r.right - r.left, 80);

    SendMessageW(hwnd, WM_COMMAND, MAKEWPARAM(1, BN_CLICKED), reinterpret_cast<LPARAM>(finish));
    EXPECT_FALSE(IsWindow(hwnd));
    EXPECT_EQ(window.m_hWnd, nullptr);

    CSetupWnd closing(L"test", true);
    hwnd = closing.m_hWnd;
    SendMessageW(hwnd, WM_CLOSE, 0, 0);
    EXPECT_FALSE(IsWindow(hwnd));
}

TEST(Framework, AppendLogTakesTheTextAsItIs) {
    CSetupWnd window(L"test", true);
    window.AppendLog(L"first %s %n");
    window.AppendLog(nullptr);
    window.AppendLog(L"third");
    HWND log = GetWindow(GetWindow(window.m_hWnd, GW_CHILD), GW_HWNDNEXT);
    wchar_t text[64];
    GetWindowTextW(log, text, 64);
    EXPECT_EQ(std::wstring(text), L"first %s %n\r\n\r\nthird");
}

// ---------------------------------------------------------------------------
// Resources of install.exe

class Resources : public testing::Test {
  protected:
    void SetUp() override {
        module_ = LoadLibraryExW((installer::programFolder() + L"\\install.exe").c_str(), nullptr,
                                 LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
        ASSERT_NE(module_, nullptr);
    }
    void TearDown() override { FreeLibrary(module_); }
    std::string resource(LPCWSTR type, LPCWSTR name) {
        HRSRC found = FindResourceW(module_, name, type);
        if (found == nullptr)
            return {};
        const auto* data = static_cast<const char*>(LockResource(LoadResource(module_, found)));
        return std::string(data, SizeofResource(module_, found));
    }
    HMODULE module_ = nullptr;
};

TEST_F(Resources, IconGroupsHaveTheirSizesAt32BitsPerPixel) {
    // Icon group 101 comes first, so the shell shows it for the file.
    std::vector<ULONG_PTR> groups;
    EnumResourceNamesW(
        module_, MAKEINTRESOURCEW(14),
        [](HMODULE, LPCWSTR, LPWSTR name, LONG_PTR list) -> BOOL {
            reinterpret_cast<std::vector<ULONG_PTR>*>(list)->push_back(
                reinterpret_cast<ULONG_PTR>(name));
            return TRUE;
        },
        reinterpret_cast<LONG_PTR>(&groups));
    EXPECT_EQ(groups, (std::vector<ULONG_PTR>{101, 102}));
    const struct {
        WORD id;
        std::vector<int> sizes;
    } expected[] = {{101, {16, 17, 32, 34, 64, 68}}, {102, {16, 17, 32, 48, 64}}};
    for (const auto& e : expected) {
        SCOPED_TRACE(e.id);
        const std::string group = resource(MAKEINTRESOURCEW(14), MAKEINTRESOURCEW(e.id));
        ASSERT_GE(group.size(), 6u);
        const auto* bytes = reinterpret_cast<const unsigned char*>(group.data());
        const int count = bytes[4] | bytes[5] << 8;
        ASSERT_EQ(group.size(), 6u + 14u * count);
        std::vector<int> sizes;
        for (int i = 0; i < count; ++i) {
            const unsigned char* entry = bytes + 6 + 14 * i;
            sizes.push_back(entry[0]);
            EXPECT_EQ(entry[6] | entry[7] << 8, 32) << "bits per pixel";
        }
        EXPECT_EQ(sizes, e.sizes);
    }
}

TEST_F(Resources, ManifestAsksForAdministratorAndClassicControls) {
    const std::string manifest = resource(MAKEINTRESOURCEW(24), MAKEINTRESOURCEW(1));
    EXPECT_NE(manifest.find("level=\"requireAdministrator\""), std::string::npos);
    EXPECT_NE(manifest.find("uiAccess=\"false\""), std::string::npos);
    EXPECT_EQ(manifest.find("Common-Controls"), std::string::npos);
    EXPECT_EQ(manifest.find("dependency"), std::string::npos);
    // Nothing else: no dialogs, menus or string tables.
    for (WORD type : {4, 5, 6})
        EXPECT_FALSE(EnumResourceNamesW(
            module_, MAKEINTRESOURCEW(type),
            [](HMODULE, LPCWSTR, LPWSTR, LONG_PTR) -> BOOL { return TRUE; }, 0))
            << type;
}

TEST_F(Resources, VersionStrings) {
    const std::wstring path = installer::programFolder() + L"\\install.exe";
    DWORD ignored = 0;
    std::vector<char> data(GetFileVersionInfoSizeW(path.c_str(), &ignored));
    ASSERT_FALSE(data.empty());
    ASSERT_TRUE(GetFileVersionInfoW(path.c_str(), 0, static_cast<DWORD>(data.size()), data.data()));
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueW(data.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
    EXPECT_EQ(fixed->dwFileVersionMS, (1u << 16) | 4u);
    EXPECT_EQ(fixed->dwFileVersionLS, (16u << 16) | 26u);
    EXPECT_EQ(fixed->dwProductVersionMS, (1u << 16) | 4u);
    EXPECT_EQ(fixed->dwProductVersionLS, (16u << 16) | 26u);
    WORD* translation = nullptr;
    ASSERT_TRUE(VerQueryValueW(data.data(), L"\\VarFileInfo\\Translation",
                               reinterpret_cast<void**>(&translation), &length));
    ASSERT_EQ(length, 4u);
    EXPECT_EQ(translation[0], 0x0809);
    EXPECT_EQ(translation[1], 1200);
    const struct {
        const wchar_t* name;
        const wchar_t* value;
    } strings[] = {
        {L"FileDescription", L"KESTA Driver Installer"},
        {L"FileVersion", L"1.4.16.26"},
        {L"ProductVersion", L"1.4.16.26"},
        {L"InternalName", L"install.exe"},
        {L"OriginalFilename", L"install.exe"},
        {L"ProductName", L"KESTA WDM Driver for Windows 2000/XP/2003/Vista/7/8"},
    };
    for (const auto& s : strings) {
        wchar_t* value = nullptr;
        ASSERT_TRUE(VerQueryValueW(data.data(),
                                   (std::wstring(L"\\StringFileInfo\\080904B0\\") + s.name).c_str(),
                                   reinterpret_cast<void**>(&value), &length))
            << installer::narrow(s.name);
        EXPECT_EQ(std::wstring(value), s.value);
    }
}

}  // namespace
