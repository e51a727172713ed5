// The mapping worker. Nothing is mapped yet: until regions can be mapped
// there is no state to set up and nothing to unmap.
#include "veltra_mmap.h"

void mmapAttach() {}

void mmapDetach() {}

void clientUnmapAllRegions(VELTRA_HANDLE) {}
