// The KESTA status codes with their names and messages: one constant table
// (narrow texts only), used by the status-text exports and by the tests.
#pragma once

#include <kesta.h>

struct KestaStatusText {
    KESTA_STATUS code;
    const char* name;
    const char* message;
};

#define KESTA_STATUS_ENTRY(code, message) \
    { code, #code, message }

inline constexpr KestaStatusText kKestaStatusTable[] = {
    KESTA_STATUS_ENTRY(KESTA_SUCCESS, "No error"),
    KESTA_STATUS_ENTRY(KESTA_INTERNAL_ERROR, "An error in the API logic was detected"),
    KESTA_STATUS_ENTRY(KESTA_UNEXPECTED_ERROR, "An unexpected error occurred"),
    KESTA_STATUS_ENTRY(KESTA_BAD_DRIVER, "The driver may be incorrectly installed"),
    KESTA_STATUS_ENTRY(KESTA_NO_MEMORY, "Could not allocate memory required to complete operation"),
    KESTA_STATUS_ENTRY(KESTA_ACCESS_DENIED,
                       "Caller does not have permission to perform the operation"),
    KESTA_STATUS_ENTRY(KESTA_DEVICE_NOT_FOUND, "Failed to open the device with specified CardID"),
    KESTA_STATUS_ENTRY(KESTA_HARDWARE_ERROR, "A hardware error occurred"),
    KESTA_STATUS_ENTRY(KESTA_INVALID_BUFFER, "The supplied buffer was invalid"),
    KESTA_STATUS_ENTRY(KESTA_INVALID_FLAG, "A flag was invalid or not recognized"),
    KESTA_STATUS_ENTRY(KESTA_INVALID_HANDLE, "The device handle was invalid"),
    KESTA_STATUS_ENTRY(KESTA_INVALID_INDEX, "The index parameter was invalid"),
    KESTA_STATUS_ENTRY(KESTA_INVALID_REGION, "The offset and/or length parameter(s) were invalid"),
    KESTA_STATUS_ENTRY(KESTA_NULL_POINTER, "A NULL pointer was passed where NULL was illegal"),
    KESTA_STATUS_ENTRY(KESTA_CANCELLED, "The operation was cancelled"),
    KESTA_STATUS_ENTRY(KESTA_RESOURCE_LIMIT, "A resource limit was reached"),
    KESTA_STATUS_ENTRY(KESTA_REGION_TOO_LARGE, "The region is too large for a single operation"),
    KESTA_STATUS_ENTRY(KESTA_DATATYPE_MISMATCH, "The datatype did not match that of the sensor"),
    KESTA_STATUS_ENTRY(KESTA_WRONG_MODE, "The device was not in the proper mode"),
    KESTA_STATUS_ENTRY(KESTA_NOT_SUPPORTED, "The operation is not supported for this device"),
    KESTA_STATUS_ENTRY(KESTA_INVALID_PARAMETER, "A parameter had an illegal value"),
};

#undef KESTA_STATUS_ENTRY

constexpr const KestaStatusText* kestaStatusText(KESTA_STATUS code) {
    for (const auto& entry : kKestaStatusTable)
        if (entry.code == code)
            return &entry;
    return nullptr;
}
