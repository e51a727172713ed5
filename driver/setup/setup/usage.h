// The text of the installer's usage box; %s stands for the default .inf name.
#pragma once

#include <string>

#include "command_line.h"

namespace setup {

inline constexpr char kUsageText[] =
    "Usage:\n\n"
    "install[64].exe -h|-help|-?\n"
    "  Displays this help.\n\n"
    "install[64].exe [-noui] [-nopause] [-repair] [drive:\\path\\to\\file.inf]\n"
    "  Installs the driver (use when hardware already present).\n"
    "  If -repair specified, attempts to repair already-installed driver package at the same "
    "time.\n\n"
    "install[64].exe [-noui] [-nopause] -preinstall [drive:\\path\\to\\file.inf]\n"
    "  Pre-installs the driver (use when hardware is not yet present).\n\n"
    "If no .inf file is specified, default is %s in same folder.\n"
    "The -nopause option causes this program to exit when done without waiting for user input.\n"
    "The -noui option causes this program to hide its user interface (implies -nopause).\n\n"
    "Exit code:\n"
    "  0 => No errors.\n"
    "  1 => Windows version is too low, or trying to run 32-bit version in 64-bit Windows.\n"
    "  2 => Failed to open .inf file (when not -preinstall).\n"
    "  3 => Failed to parse .inf file (when not -preinstall).\n"
    "  4 => No suitable hardware found (when not -preinstall).\n"
    "  5 => An unexpected error occurred during installation (when not -preinstall).\n"
    "  6 => Bad command-line arguments.\n"
    "  7 => Insufficient resources, e.g. memory allocation failure.\n"
    "  8 => Failed to load DIFxAPI.dll.\n"
    "  9 => Failed to get an entry point in DIFxAPI.dll.\n"
    "  100-123 => Error in pre-installation (when -preinstall). See DriverPackagePreinstall in "
    "MSDN.\n"
    "  200-222 => Error in installation (when not -preinstall). See DriverPackageInstall in "
    "MSDN.\n\n";

// The usage box's text: the usage with the default .inf name in its place.
template <typename Char>
std::basic_string<Char> usageText() {
    std::basic_string<Char> text = widen<Char>(kUsageText);
    text.replace(text.find(widen<Char>("%s")), 2, widen<Char>(kDefaultInfName));
    return text;
}

}  // namespace setup
