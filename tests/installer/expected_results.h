// DIFxAPI's results as the installer must treat them: for each result the
// exit code and message of each operation, written out for the tests (the
// program has its own table). An exit code of -1: the operation does not
// know the result and treats it as any other (the unexpected-error text,
// exit code 222 or 123).
#pragma once

#include <cstdint>

namespace expected {

struct ResultRow {
    uint32_t value;
    int installCode;
    int preinstallCode;
    const char* installMessage;
    const char* preinstallMessage;
};

inline constexpr ResultRow kResults[] = {
    {0, 0, 0, "The driver was successfully installed.",
     "The driver was successfully preinstalled."},
    {1, -1, 113, "[ERROR_INVALID_FUNCTION] The driver package is not for a PnP function driver.",
     "[ERROR_INVALID_FUNCTION] The driver package is not for a PnP function driver."},
    {2, 207, 109, "[ERROR_FILE_NOT_FOUND] The INF file that was specified was not found.",
     "[ERROR_FILE_NOT_FOUND] The INF file that was specified was not found."},
    {5, 204, 104,
     "[ERROR_ACCESS_DENIED] A caller of DriverPackageInstall must be a member of the "
     "Administrators group to install a driver package.",
     "[ERROR_ACCESS_DENIED] A caller of DriverPackagePreinstall must be a member of the "
     "Administrators group to install a driver package."},
    {10, 205, 106,
     "[ERROR_BAD_ENVIRONMENT] The current Microsoft Windows version does not support this "
     "operation. An old or incompatible version of DIFxApp.dll or DIFxAppA.dll might be present in "
     "the system.",
     "[ERROR_BAD_ENVIRONMENT] The current Microsoft Windows version does not support this "
     "operation. An old or incompatible version of DIFxApp.dll or DIFxAppA.dll might be present in "
     "the system."},
    {14, 217, 119,
     "[ERROR_OUTOFMEMORY] Available system memory was insufficient to perform the operation.",
     "[ERROR_OUTOFMEMORY] Available system memory was insufficient to perform the operation."},
    {32, 218, 120,
     "[ERROR_SHARING_VIOLATION] A component of the driver package in the DIFx driver store is "
     "locked by a thread or process.",
     "[ERROR_SHARING_VIOLATION] A component of the driver package in the DIFx driver store is "
     "locked by a thread or process."},
    {82, -1, 107,
     "[ERROR_CANNOT_MAKE] DriverPackagePreinstall did not preinstall the driver package.",
     "[ERROR_CANNOT_MAKE] DriverPackagePreinstall did not preinstall the driver package."},
    {87, 213, 115, "[ERROR_INVALID_PARAMETER] A supplied parameter is not valid.",
     "[ERROR_INVALID_PARAMETER] A supplied parameter is not valid."},
    {123, 212, 114, "[ERROR_INVALID_NAME] The specified INF file path is not valid.",
     "[ERROR_INVALID_NAME] The specified INF file path is not valid."},
    {183, -1, 105,
     "[ERROR_ALREADY_EXISTS] The driver package is already preinstalled and was not preinstalled "
     "again.",
     "[ERROR_ALREADY_EXISTS] The driver package is already preinstalled and was not preinstalled "
     "again."},
    {206, 208, 110,
     "[ERROR_FILENAME_EXCED_RANGE] The INF file path, in characters, that was specified is greater "
     "than the maximum supported path length.",
     "[ERROR_FILENAME_EXCED_RANGE] The INF file path, in characters, that was specified is greater "
     "than the maximum supported path length."},
    {259, 215, 117,
     "[ERROR_NO_MORE_ITEMS] The specified driver package was not installed for matching devices "
     "because the driver packages already installed for the matching devices are a better match "
     "for the devices than the specified driver package.",
     "[ERROR_NO_MORE_ITEMS] The specified driver package was not installed for matching devices "
     "because the driver packages already installed for the matching devices are a better match "
     "for the devices than the specified driver package."},
    {1603, 210, -1, "[ERROR_INSTALL_FAILURE] The installation failed.",
     "[ERROR_INSTALL_FAILURE] The installation failed."},
    {1630, 220, -1, "[ERROR_UNSUPPORTED_TYPE] The driver package type is not supported.",
     "[ERROR_UNSUPPORTED_TYPE] The driver package type is not supported."},
    {1920, 206, 108,
     "[ERROR_CANT_ACCESS_FILE] DriverPackageInstall could not install the driver package because "
     "the specified INF file is in the system INF file directory.",
     "[ERROR_CANT_ACCESS_FILE] DriverPackagePreinstall could not preinstall the driver package "
     "because the specified INF file is in the system INF file directory."},
    {0x80092003, 203, 103,
     "[CRYPT_E_FILE_ERROR] The catalog file for the specified driver package was not found.",
     "[CRYPT_E_FILE_ERROR] The catalog file for the specified driver package was not found."},
    {0x800B0100, 221, 122, "[TRUST_E_NOSIGNATURE] The driver package is not signed.",
     "[TRUST_E_NOSIGNATURE] The driver package is not signed."},
    {0x800B0101, 200, 100, "[CERT_E_EXPIRED] The signing certificate is expired.",
     "[CERT_E_EXPIRED] The signing certificate is expired."},
    {0x800B0109, 201, 101,
     "[CERT_E_UNTRUSTEDROOT] The catalog file has an Authenticode signature whose certificate "
     "chain terminates in a root certificate that is not trusted.",
     "[CERT_E_UNTRUSTEDROOT] The catalog file has an Authenticode signature whose certificate "
     "chain terminates in a root certificate that is not trusted."},
    {0x800B0110, 202, 102,
     "[CERT_E_WRONG_USAGE] The certificate for the driver package is not valid for the requested "
     "usage.",
     "[CERT_E_WRONG_USAGE] The certificate for the driver package is not valid for the requested "
     "usage."},
    {0xE000020B, 216, 118,
     "[ERROR_NO_SUCH_DEVINST] The driver package was not installed on any device because there are "
     "no matching devices in the device tree.",
     "[ERROR_NO_SUCH_DEVINST] The driver package was not installed on any device because there are "
     "no matching devices in the device tree."},
    {0xE0000235, 209, 111,
     "[ERROR_IN_WOW64] The 32-bit version DIFxAPI does not work on Win64 systems. A 64-bit version "
     "of DIFxAPI is required.",
     "[ERROR_IN_WOW64] The 32-bit version DIFxAPI does not work on Win64 systems. A 64-bit version "
     "of DIFxAPI is required."},
    {0xE0000244, 219, 121,
     "[ERROR_SIGNATURE_OSATTRIBUTE_MISMATCH] The signing certificate is not valid for the current "
     "Windows version or it is expired.",
     "[ERROR_SIGNATURE_OSATTRIBUTE_MISMATCH] The signing certificate is not valid for the current "
     "Windows version or it is expired."},
    {0xE0000301, 214, -1,
     "[ERROR_NO_DEVICE_ID] The driver package does not specify a hardware identifier or compatible "
     "identifier that is supported by the current platform.",
     "[ERROR_NO_DEVICE_ID] The driver package does not specify a hardware identifier or compatible "
     "identifier that is supported by the current platform."},
    {0xE0000303, -1, 116,
     "[ERROR_MISSING_FILE] DriverPackagePreinstall did not preinstall the driver package because "
     "files that are referenced by the INF file could not be found. ",
     "[ERROR_MISSING_FILE] DriverPackagePreinstall did not preinstall the driver package because "
     "files that are referenced by the INF file could not be found. "},
    {0xE0000304, 211, 112,
     "[ERROR_INVALID_CATALOG_DATA] The catalog file for the specified driver package is not valid "
     "or was not found.",
     "[ERROR_INVALID_CATALOG_DATA] The catalog file for the specified driver package is not valid "
     "or was not found."},
};

inline constexpr char kUnexpectedResult[] =
    "An unexpected error occurred while updating the driver. Error=%lu(0x%lx)\n";

}  // namespace expected
