// The exit codes of the installer.
#pragma once

namespace setup {

enum ExitCode : int {
    kExitSuccess = 0,            // or the usage box was shown
    kExitWindowsCheck = 1,       // the Windows check failed
    kExitBadCommandLine = 6,     // an unrecognised option, or two .inf paths
    kExitNoWindow = 7,           // the window object can't be allocated
    kExitNoDifxApi = 8,          // difxapi.dll can't be loaded
    kExitNoEntryPoint = 9,       // an entry point of difxapi.dll can't be bound
    kExitPreinstallFirst = 100,  // 100 to 123: the result of the pre-install
    kExitPreinstallUnknown = 123,
    kExitInstallFirst = 200,  // 200 to 222: the result of the install
    kExitInstallUnknown = 222,
};

}  // namespace setup
