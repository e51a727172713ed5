// The mapping worker: the one thread that issues every map and unmap
// request, and its caller-side operations.
//
// The driver maps a region with a request that stays pending for as long as
// the mapping lives, and Windows cancels a thread's pending requests when the
// thread ends; so no mapping may hang on an application thread. The library
// owns one worker thread, started on demand and stopped when the last region
// goes, that issues every map and unmap request and keeps the list of mapped
// regions. Callers talk to it through two anonymous pipes under one mutex.
#pragma once

#include <veltra.h>

#include <cstdint>

// Process hooks, called by the entry point before wdmDllMain.
void mmapAttach();
void mmapDetach();

// Maps a region (a window index, or kCommonBufferTag plus a buffer index);
// stores its base through ppVirtualBase on success only.
VELTRA_STATUS clientMapRegion(VELTRA_HANDLE hDevice, uint32_t regionTag, uint64_t offset,
                              uint64_t length, void** ppVirtualBase);
VELTRA_STATUS clientUnmapRegion(VELTRA_HANDLE hDevice, void* pVirtualBase);
// Unmaps every region mapped through a device handle.
void clientUnmapAllRegions(VELTRA_HANDLE hDevice);

inline constexpr uint32_t kCommonBufferTag = 0x10000000;

// The checked build's exception level (VELTRA_SetWin32ExceptionLevel).
extern uint32_t win32ExceptionLevel;
