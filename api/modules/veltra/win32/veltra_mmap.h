// The mapping worker: the one thread that issues every map and unmap request,
// and its caller-side operations.
#pragma once

#include <veltra.h>

// Process hooks, called by the entry point before wdmDllMain.
void mmapAttach();
void mmapDetach();

// Unmaps every region mapped through a device handle.
void clientUnmapAllRegions(VELTRA_HANDLE hDevice);
