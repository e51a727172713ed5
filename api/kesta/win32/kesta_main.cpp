// The KESTA library's entry point and its parameters of the shared layer.
// It has no mapping worker: the entry point is the shared layer's alone.
#include <kesta.h>

#include "kesta_requests.h"
#include "wdm.h"

const WDM_LIBRARY wdmLibrary = {
    {0x6E8B60DA, 0xDD4F, 0x4D5E, {0xAD, 0x96, 0x5A, 0x9E, 0x06, 0xC2, 0x8A, 0xCD}},
    KESTA_SUCCESS,
    KESTA_UNEXPECTED_ERROR,
    KESTA_INVALID_HANDLE,
    KESTA_CANCELLED,
    KESTA_UNEXPECTED_ERROR,  // the library has no asynchronous requests
    KESTA_NO_MEMORY,
    KESTA_NULL_POINTER,
    KESTA_DEVICE_NOT_FOUND,
    KESTA_ACCESS_DENIED,
    kesta_request::kSetOpenFlags.number,
};

extern "C" BOOL WINAPI DllMain(HINSTANCE hModule, DWORD reason, LPVOID reserved) {
    return wdmDllMain(hModule, reason, reserved);
}
