// The VELTRA status codes with their names and messages: one constant table,
// narrow and wide, used by the status-text exports and by the tests.
#pragma once

#include <veltra.h>

#include <cstddef>

#include "wdm.h"

struct VeltraStatusText {
    VELTRA_STATUS code;
    const char* name;
    const char* message;
    const WCHAR* wideName;
    const WCHAR* wideMessage;
};

#define VELTRA_STATUS_ENTRY(code, message) \
    { code, #code, message, wdmWide<#code>(), wdmWide<message>() }

inline constexpr VeltraStatusText kVeltraStatusTable[] = {
    VELTRA_STATUS_ENTRY(VELTRA_SUCCESS, "No error"),
    VELTRA_STATUS_ENTRY(VELTRA_INTERNAL_ERROR, "An error in the API logic was detected"),
    VELTRA_STATUS_ENTRY(VELTRA_UNEXPECTED_ERROR, "An unexpected error occurred"),
    VELTRA_STATUS_ENTRY(VELTRA_BAD_DRIVER, "The driver may be incorrectly installed"),
    VELTRA_STATUS_ENTRY(VELTRA_NO_MEMORY,
                        "Could not allocate memory required to complete operation"),
    VELTRA_STATUS_ENTRY(VELTRA_ACCESS_DENIED,
                        "Caller does not have permission to perform the operation"),
    VELTRA_STATUS_ENTRY(VELTRA_DEVICE_NOT_FOUND, "Failed to open the device with specified CardID"),
    VELTRA_STATUS_ENTRY(VELTRA_FILE_NOT_FOUND, "Failed to open the specified bitstream file"),
    VELTRA_STATUS_ENTRY(VELTRA_HARDWARE_ERROR, "A hardware error occurred"),
    VELTRA_STATUS_ENTRY(VELTRA_FPGA_MISMATCH,
                        "The FPGA on the card did not match that of the bitstream file"),
    VELTRA_STATUS_ENTRY(VELTRA_INVALID_BITSTREAM, "The bitstream file was corrupt"),
    VELTRA_STATUS_ENTRY(VELTRA_INVALID_BUFFER, "The supplied buffer was invalid"),
    VELTRA_STATUS_ENTRY(VELTRA_INVALID_FLAG, "A flag was invalid or not recognized"),
    VELTRA_STATUS_ENTRY(VELTRA_INVALID_FREQUENCY, "The frequency was invalid"),
    VELTRA_STATUS_ENTRY(VELTRA_INVALID_HANDLE, "The device handle was invalid"),
    VELTRA_STATUS_ENTRY(VELTRA_INVALID_INDEX, "The index parameter was invalid"),
    VELTRA_STATUS_ENTRY(VELTRA_INVALID_REGION,
                        "The offset and/or length parameter(s) were invalid"),
    VELTRA_STATUS_ENTRY(VELTRA_NULL_POINTER, "A NULL pointer was passed where NULL was illegal"),
    VELTRA_STATUS_ENTRY(VELTRA_BUSY, "There is already an operation in progress"),
    VELTRA_STATUS_ENTRY(VELTRA_CANCEL_FAILED, "There is nothing to cancel"),
    VELTRA_STATUS_ENTRY(VELTRA_CANCELLED, "The operation was cancelled"),
    VELTRA_STATUS_ENTRY(VELTRA_RESOURCE_LIMIT, "A resource limit was reached"),
    VELTRA_STATUS_ENTRY(VELTRA_REGION_TOO_LARGE, "The region is too large for a single operation"),
    VELTRA_STATUS_ENTRY(VELTRA_MUST_WAIT, "The operation could not be started immediately"),
    VELTRA_STATUS_ENTRY(VELTRA_NOT_OWNER, "The buffer handle belongs to a different device handle"),
    VELTRA_STATUS_ENTRY(VELTRA_PENDING, "The non-blocking operation is now in progress"),
    VELTRA_STATUS_ENTRY(VELTRA_NONBLOCK_IDLE, "There is no non-blocking operation to finish"),
    VELTRA_STATUS_ENTRY(VELTRA_INVALID_BUFFER_HANDLE, "The buffer handle is invalid"),
    VELTRA_STATUS_ENTRY(VELTRA_INVALID_LOCAL_REGION, "The local address region is invalid"),
    VELTRA_STATUS_ENTRY(VELTRA_DATATYPE_MISMATCH, "The datatype did not match that of the sensor"),
    VELTRA_STATUS_ENTRY(VELTRA_NOT_SUPPORTED,
                        "The hardware does not support the requested operation"),
};

#undef VELTRA_STATUS_ENTRY

// The table's entry for a code, or null.
constexpr const VeltraStatusText* veltraStatusText(VELTRA_STATUS code) {
    for (const auto& entry : kVeltraStatusTable)
        if (entry.code == code)
            return &entry;
    return nullptr;
}
