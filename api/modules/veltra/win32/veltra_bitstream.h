// Xilinx bitstream files (.bit): a header of tagged fields, then the
// configuration data.
#pragma once

#include <veltra.h>

#include <cstddef>
#include <cstdint>

#include "wdm.h"

// Walks the header from the file's current position. On success the name
// buffer holds the lower-cased part name (empty if the file has none) and the
// configuration data's length and offset are set; on failure nothing is
// written. Returns VELTRA_SUCCESS or VELTRA_INVALID_BITSTREAM.
VELTRA_STATUS parseBitstreamHeader(HANDLE file, char* nameBuffer, size_t nameBufferSize,
                                   uint64_t& dataLength, uint64_t& dataOffset);

// Read a whole file into a new object of the library's heap, stored through
// ppObject on success only. Both close the file on every path.
VELTRA_STATUS readBitstreamA(HANDLE file, VELTRA_BITSTREAMA** ppObject);
VELTRA_STATUS readBitstreamW(HANDLE file, VELTRA_BITSTREAMW** ppObject);
