// The entry points of Microsoft's Driver Install Frameworks API (difxapi.dll)
// that the installer binds at run time, as the library declares them.
#pragma once

#include <windows.h>

typedef enum {
    DIFXAPI_SUCCESS,
    DIFXAPI_INFO,
    DIFXAPI_WARNING,
    DIFXAPI_ERROR,
} DIFXAPI_LOG;

typedef VOID(__cdecl* DIFXAPILOGCALLBACK_W)(DIFXAPI_LOG EventType, DWORD Error,
                                            PCWSTR EventDescription, PVOID CallbackContext);

// Not used by the installer, which always passes null.
typedef struct _INSTALLERINFO_W INSTALLERINFO_W;
typedef const INSTALLERINFO_W* PCINSTALLERINFO_W;

typedef DWORD(WINAPI* PFN_DRIVER_PACKAGE_INSTALL_W)(PCWSTR DriverPackageInfPath, DWORD Flags,
                                                    PCINSTALLERINFO_W pInstallerInfo,
                                                    BOOL* pNeedReboot);
// The installer passes pre-install the same four arguments as install.
typedef DWORD(WINAPI* PFN_DRIVER_PACKAGE_PREINSTALL_W)(PCWSTR DriverPackageInfPath, DWORD Flags,
                                                       PCINSTALLERINFO_W pInstallerInfo,
                                                       BOOL* pNeedReboot);
typedef VOID(WINAPI* PFN_SET_DIFX_LOG_CALLBACK_W)(DIFXAPILOGCALLBACK_W LogCallback,
                                                  PVOID CallbackContext);

#define DRIVER_PACKAGE_REPAIR 0x00000001
#define DRIVER_PACKAGE_FORCE 0x00000004
