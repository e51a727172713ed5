// Thin wrappers over the Win32 file API, for reading bitstream files.
#pragma once

#include <cstdint>

#include "wdm.h"

// Open for reading (shared for reading, existing files only); the handle or
// INVALID_HANDLE_VALUE.
HANDLE fileOpenA(const char* path);
HANDLE fileOpenW(const WCHAR* path);
bool fileClose(HANDLE file);
bool fileGetSize(HANDLE file, uint64_t& size);
// Reads until `count` bytes are in or the file ends, in pieces a single
// ReadFile can take; `got` is the total read.
bool fileRead(HANDLE file, void* buffer, uint64_t count, uint64_t& got);
bool fileSeek(HANDLE file, uint64_t offset);
