// Takes the installer's picture: run inside a Wine virtual desktop with a
// real display driver (under Xvfb), it installs with a few log lines, waits
// for the user's turn, captures the desktop into a PNG file and presses
// Finish. It also checks what only a real display shows: the icon of an
// error box is the system's error icon.
//   installer_screenshot.exe OUTPUT.png
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "installer_driver.h"
#include "png_writer.h"

namespace {

// Paints into a memory bitmap of width by height and returns its pixels,
// top row first.
template <typename Paint>
std::vector<uint32_t> paintPixels(int width, int height, Paint paint) {
    std::vector<uint32_t> pixels(static_cast<size_t>(width) * height);
    HDC screen = GetDC(nullptr);
    HDC dc = CreateCompatibleDC(screen);
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    void* bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(dc, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    HGDIOBJ old = SelectObject(dc, bitmap);
    paint(dc, screen);
    GdiFlush();
    std::copy_n(static_cast<const uint32_t*>(bits), pixels.size(), pixels.begin());
    SelectObject(dc, old);
    DeleteObject(bitmap);
    DeleteDC(dc);
    ReleaseDC(nullptr, screen);
    return pixels;
}

// The screen's pixels in a rectangle.
std::vector<uint32_t> capture(const RECT& r) {
    return paintPixels(r.right - r.left, r.bottom - r.top, [&](HDC dc, HDC screen) {
        BitBlt(dc, 0, 0, r.right - r.left, r.bottom - r.top, screen, r.left, r.top, SRCCOPY);
    });
}

// The system error icon drawn here on a background colour, as the box's
// icon control draws it there.
std::vector<uint32_t> errorIconOn(uint32_t background, int width, int height) {
    return paintPixels(width, height, [&](HDC dc, HDC) {
        HBRUSH brush = CreateSolidBrush(
            RGB((background >> 16) & 0xFF, (background >> 8) & 0xFF, background & 0xFF));
        RECT all{0, 0, width, height};
        FillRect(dc, &all, brush);
        DeleteObject(brush);
        DrawIconEx(dc, 0, 0, LoadIconW(nullptr, MAKEINTRESOURCEW(32513)), 0, 0, 0, nullptr,
                   DI_NORMAL);
    });
}

bool sameColours(const std::vector<uint32_t>& a, const std::vector<uint32_t>& b) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if ((a[i] & 0xFFFFFF) != (b[i] & 0xFFFFFF))
            return false;
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: installer_screenshot OUTPUT.png\n");
        return 2;
    }
    int failures = 0;
    using installer::Package;
    using installer::Session;

    // The error box's icon.
    {
        Package package(L"screenshot-box");
        Session run(package, L"-bad");
        const installer::Box box = run.waitForBox();
        HWND icon = nullptr;
        for (HWND c = GetWindow(box.hwnd, GW_CHILD); c != nullptr; c = GetWindow(c, GW_HWNDNEXT))
            if ((GetWindowLongW(c, GWL_STYLE) & SS_TYPEMASK) == SS_ICON)
                icon = c;
        Sleep(500);  // let it paint
        RECT r{};
        if (icon != nullptr)
            GetWindowRect(icon, &r);
        const auto shown = capture(r);
        const bool same =
            icon != nullptr && !shown.empty() &&
            sameColours(shown, errorIconOn(shown.back(), r.right - r.left, r.bottom - r.top));
        std::printf("error box icon: %s\n",
                    same ? "the system's error icon" : "NOT the error icon");
        failures += same ? 0 : 1;
        run.dismiss(box);
        const DWORD code = run.exitCode();
        std::printf("-bad ends with exit code %lu\n", static_cast<unsigned long>(code));
    }

    // The window after a successful install with a few log lines.
    Package package(L"screenshot");
    package.script(
        "log 1 0 DIFXAPI: INFO: Installing driver package 'kesta.inf'.\n"
        "log 1 0 DIFXAPI: INFO: Copying the driver package to the driver store.\n"
        "log 2 0 DIFXAPI: WARNING: The catalog file is not signed by a trusted publisher.\n"
        "log 0 0 DIFXAPI: SUCCESS: Installed the driver on 2 device(s).\n"
        "reboot 1\nresult 0\n");
    Session run(package, L"");
    if (!run.waitForFinish()) {
        std::printf("the installer did not come to wait for the user\n");
        return 1;
    }
    Sleep(1000);  // let everything paint
    RECT desktop;
    GetWindowRect(GetDesktopWindow(), &desktop);
    const auto pixels = capture(desktop);
    const bool written = png::write(argv[1], pixels.data(), desktop.right - desktop.left,
                                    desktop.bottom - desktop.top);
    std::printf("screenshot %ldx%ld: %s\n", desktop.right - desktop.left,
                desktop.bottom - desktop.top, written ? argv[1] : "NOT WRITTEN");
    failures += written ? 0 : 1;
    run.clickFinish();
    std::printf("Finish ends with exit code %lu\n", static_cast<unsigned long>(run.exitCode()));
    return failures == 0 ? 0 : 1;
}
