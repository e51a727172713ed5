// What DIFxAPI's results mean to the installer: for each result it knows, the
// name, the message and the exit code of each operation. One table, read by
// the program and by its tests.
#pragma once

#include <cstdint>

#include "exit_codes.h"

namespace setup {

struct DifxResult {
    uint32_t value;
    const char* name;
    int installCode;                // 0 for success; -1: install does not know it
    int preinstallCode;             // 0 for success; -1: pre-install does not know it
    const char* message;            // the text of both operations...
    const char* preinstallMessage;  // ...unless pre-install has its own
};

// Sorted by value.
inline constexpr DifxResult kDifxResults[] = {
    {0, "", 0, 0, "The driver was successfully installed.",
     "The driver was successfully preinstalled."},
    {1, "ERROR_INVALID_FUNCTION", -1, 113,
     "[ERROR_INVALID_FUNCTION] The driver package is not for a PnP function driver.", nullptr},
    {2, "ERROR_FILE_NOT_FOUND", 207, 109,
     "[ERROR_FILE_NOT_FOUND] The INF file that was specified was not found.", nullptr},
    {5, "ERROR_ACCESS_DENIED", 204, 104,
     "[ERROR_ACCESS_DENIED] A caller of DriverPackageInstall must be a member of the "
     "Administrators group to install a driver package.",
     "[ERROR_ACCESS_DENIED] A caller of DriverPackagePreinstall must be a member of the "
     "Administrators group to install a driver package."},
    {10, "ERROR_BAD_ENVIRONMENT", 205, 106,
     "[ERROR_BAD_ENVIRONMENT] The current Microsoft Windows version does not support this "
     "operation. An old or incompatible version of DIFxApp.dll or DIFxAppA.dll might be present "
     "in the system.",
     nullptr},
    {14, "ERROR_OUTOFMEMORY", 217, 119,
     "[ERROR_OUTOFMEMORY] Available system memory was insufficient to perform the operation.",
     nullptr},
    {32, "ERROR_SHARING_VIOLATION", 218, 120,
     "[ERROR_SHARING_VIOLATION] A component of the driver package in the DIFx driver store is "
     "locked by a thread or process.",
     nullptr},
    {82, "ERROR_CANNOT_MAKE", -1, 107,
     "[ERROR_CANNOT_MAKE] DriverPackagePreinstall did not preinstall the driver package.", nullptr},
    {87, "ERROR_INVALID_PARAMETER", 213, 115,
     "[ERROR_INVALID_PARAMETER] A supplied parameter is not valid.", nullptr},
    {123, "ERROR_INVALID_NAME", 212, 114,
     "[ERROR_INVALID_NAME] The specified INF file path is not valid.", nullptr},
    {183, "ERROR_ALREADY_EXISTS", -1, 105,
     "[ERROR_ALREADY_EXISTS] The driver package is already preinstalled and was not preinstalled "
     "again.",
     nullptr},
    {206, "ERROR_FILENAME_EXCED_RANGE", 208, 110,
     "[ERROR_FILENAME_EXCED_RANGE] The INF file path, in characters, that was specified is "
     "greater than the maximum supported path length.",
     nullptr},
    {259, "ERROR_NO_MORE_ITEMS", 215, 117,
     "[ERROR_NO_MORE_ITEMS] The specified driver package was not installed for matching devices "
     "because the driver packages already installed for the matching devices are a better match "
     "for the devices than the specified driver package.",
     nullptr},
    {1603, "ERROR_INSTALL_FAILURE", 210, -1, "[ERROR_INSTALL_FAILURE] The installation failed.",
     nullptr},
    {1630, "ERROR_UNSUPPORTED_TYPE", 220, -1,
     "[ERROR_UNSUPPORTED_TYPE] The driver package type is not supported.", nullptr},
    {1920, "ERROR_CANT_ACCESS_FILE", 206, 108,
     "[ERROR_CANT_ACCESS_FILE] DriverPackageInstall could not install the driver package because "
     "the specified INF file is in the system INF file directory.",
     "[ERROR_CANT_ACCESS_FILE] DriverPackagePreinstall could not preinstall the driver package "
     "because the specified INF file is in the system INF file directory."},
    {0x80092003, "CRYPT_E_FILE_ERROR", 203, 103,
     "[CRYPT_E_FILE_ERROR] The catalog file for the specified driver package was not found.",
     nullptr},
    {0x800B0100, "TRUST_E_NOSIGNATURE", 221, 122,
     "[TRUST_E_NOSIGNATURE] The driver package is not signed.", nullptr},
    {0x800B0101, "CERT_E_EXPIRED", 200, 100, "[CERT_E_EXPIRED] The signing certificate is expired.",
     nullptr},
    {0x800B0109, "CERT_E_UNTRUSTEDROOT", 201, 101,
     "[CERT_E_UNTRUSTEDROOT] The catalog file has an Authenticode signature whose certificate "
     "chain terminates in a root certificate that is not trusted.",
     nullptr},
    {0x800B0110, "CERT_E_WRONG_USAGE", 202, 102,
     "[CERT_E_WRONG_USAGE] The certificate for the driver package is not valid for the requested "
     "usage.",
     nullptr},
    {0xE000020B, "ERROR_NO_SUCH_DEVINST", 216, 118,
     "[ERROR_NO_SUCH_DEVINST] The driver package was not installed on any device because there "
     "are no matching devices in the device tree.",
     nullptr},
    {0xE0000235, "ERROR_IN_WOW64", 209, 111,
     "[ERROR_IN_WOW64] The 32-bit version DIFxAPI does not work on Win64 systems. A 64-bit "
     "version of DIFxAPI is required.",
     nullptr},
    {0xE0000244, "ERROR_SIGNATURE_OSATTRIBUTE_MISMATCH", 219, 121,
     "[ERROR_SIGNATURE_OSATTRIBUTE_MISMATCH] The signing certificate is not valid for the current "
     "Windows version or it is expired.",
     nullptr},
    {0xE0000301, "ERROR_NO_DEVICE_ID", 214, -1,
     "[ERROR_NO_DEVICE_ID] The driver package does not specify a hardware identifier or "
     "compatible identifier that is supported by the current platform.",
     nullptr},
    {0xE0000303, "ERROR_MISSING_FILE", -1, 116,
     "[ERROR_MISSING_FILE] DriverPackagePreinstall did not preinstall the driver package because "
     "files that are referenced by the INF file could not be found. ",
     nullptr},
    {0xE0000304, "ERROR_INVALID_CATALOG_DATA", 211, 112,
     "[ERROR_INVALID_CATALOG_DATA] The catalog file for the specified driver package is not valid "
     "or was not found.",
     nullptr},
};

enum class Operation { Install, Preinstall };

// The message and exit code of a result; `message` is null for a result the
// operation does not know (the caller formats the unexpected-error text).
struct ResultOutcome {
    const char* message;
    int exitCode;
};

inline ResultOutcome outcomeOf(Operation operation, uint32_t value) {
    const bool install = operation == Operation::Install;
    for (const auto& r : kDifxResults) {
        if (r.value != value)
            continue;
        const int code = install ? r.installCode : r.preinstallCode;
        if (code < 0)
            break;
        const char* message =
            !install && r.preinstallMessage != nullptr ? r.preinstallMessage : r.message;
        return {message, code};
    }
    return {nullptr, install ? kExitInstallUnknown : kExitPreinstallUnknown};
}

// The text of a result that the operation does not know; one %lu and one %lx
// take the result.
inline constexpr char kUnexpectedResult[] =
    "An unexpected error occurred while updating the driver. Error=%lu(0x%lx)\n";

}  // namespace setup
