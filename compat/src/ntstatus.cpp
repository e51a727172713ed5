// The status that OVERLAPPED.Internal holds, as Windows keeps it: an
// NTSTATUS, which GetOverlappedResult turns back into a Win32 error (on
// Windows, RtlNtStatusToDosError). Drivers' own statuses carry the customer
// bit and pass unchanged; a few system errors have an NTSTATUS of their own;
// every other Win32 error travels in the FACILITY_NTWIN32 form, which maps
// straight back.
#include "kernel.h"

namespace w32 {

namespace {

constexpr DWORD kStatusCancelled = 0xC0000120;
constexpr DWORD kStatusInvalidHandle = 0xC0000008;
constexpr DWORD kFacilityWin32Error = 0xC0070000;
constexpr DWORD kCustomerBit = 0x20000000;

}  // namespace

DWORD ntStatusOf(DWORD error) {
    if (error == ERROR_SUCCESS)
        return 0;
    if (error & kCustomerBit)
        return error | 0xC0000000u;
    if (error == ERROR_OPERATION_ABORTED)
        return kStatusCancelled;
    if (error == ERROR_INVALID_HANDLE)
        return kStatusInvalidHandle;
    if (error == ERROR_HANDLE_EOF)
        return STATUS_END_OF_FILE;
    return kFacilityWin32Error | (error & 0xFFFFu);
}

DWORD errorOfNtStatus(DWORD status) {
    if (status == 0)
        return ERROR_SUCCESS;
    if (status & kCustomerBit)
        return status;
    if (status == kStatusCancelled)
        return ERROR_OPERATION_ABORTED;
    if (status == kStatusInvalidHandle)
        return ERROR_INVALID_HANDLE;
    if (status == STATUS_END_OF_FILE)
        return ERROR_HANDLE_EOF;
    if ((status & 0xFFFF0000u) == kFacilityWin32Error)
        return status & 0xFFFFu;
    return ERROR_INVALID_FUNCTION;
}

}  // namespace w32
