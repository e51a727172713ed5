#include "veltra_file.h"

HANDLE fileOpenA(const char* path) {
    return CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

HANDLE fileOpenW(const WCHAR* path) {
    return CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

bool fileClose(HANDLE file) {
    return CloseHandle(file) != FALSE;
}

bool fileGetSize(HANDLE file, uint64_t& size) {
    LARGE_INTEGER value;
    if (!GetFileSizeEx(file, &value))
        return false;
    size = static_cast<uint64_t>(value.QuadPart);
    return true;
}

bool fileRead(HANDLE file, void* buffer, uint64_t count, uint64_t& got) {
    auto* bytes = static_cast<uint8_t*>(buffer);
    uint64_t total = 0;
    while (total < count) {
        const uint64_t left = count - total;
        const DWORD piece = left > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<DWORD>(left);
        DWORD read = 0;
        if (!ReadFile(file, bytes + total, piece, &read, nullptr))
            return false;
        if (read == 0)
            break;  // the end of the file
        total += read;
    }
    got = total;
    return true;
}

bool fileSeek(HANDLE file, uint64_t offset) {
    LARGE_INTEGER distance;
    distance.QuadPart = static_cast<LONGLONG>(offset);
    return SetFilePointerEx(file, distance, nullptr, FILE_BEGIN) != FALSE;
}
