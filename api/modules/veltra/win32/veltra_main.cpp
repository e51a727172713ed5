// The VELTRA library's entry point and its parameters of the shared layer.
#include <veltra.h>

#include "veltra_mmap.h"
#include "veltra_requests.h"
#include "wdm.h"

const WDM_LIBRARY wdmLibrary = {
    {0x4A8924E1, 0xA143, 0x44C2, {0x8E, 0xC1, 0x64, 0xEC, 0x73, 0xF9, 0x0F, 0x96}},
    VELTRA_SUCCESS,
    VELTRA_UNEXPECTED_ERROR,
    VELTRA_INVALID_HANDLE,
    VELTRA_CANCELLED,
    VELTRA_PENDING,
    VELTRA_NO_MEMORY,
    VELTRA_NULL_POINTER,
    VELTRA_DEVICE_NOT_FOUND,
    VELTRA_ACCESS_DENIED,
    veltra_request::kSetOpenFlags.number,
};

// The mapping worker's state is made before the shared layer starts and
// taken down before it ends.
extern "C" BOOL WINAPI DllMain(HINSTANCE hModule, DWORD reason, LPVOID reserved) {
    if (reason == DLL_PROCESS_ATTACH)
        mmapAttach();
    if (reason == DLL_PROCESS_DETACH)
        mmapDetach();
    return wdmDllMain(hModule, reason, reserved);
}
