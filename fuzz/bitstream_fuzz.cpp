// Fuzzes the bitstream header parser and loader through the export that
// applications use: whatever the file holds, loading it must end in a status
// (never a crash, a leaked block or a read outside the file), and a loaded object
// must hold exactly the file's tail.
#include <veltra.h>

#include <unistd.h>

#include <vsim/hooks.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

const std::string& filePath() {
    static const std::string path = "bitstream_fuzz_" + std::to_string(getpid()) + ".bit";
    return path;
}

bool writeInput(const uint8_t* data, size_t size) {
    std::FILE* file = std::fopen(filePath().c_str(), "wb");
    if (file == nullptr)
        return false;
    const bool ok = size == 0 || std::fwrite(data, 1, size, file) == size;
    return std::fclose(file) == 0 && ok;
}

void check(bool condition) {
    if (!condition)
        __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (!writeInput(data, size))
        return 0;
    // The library's heap keeps its blocks listed, so a leaked object would
    // still be reachable: count the blocks instead.
    const size_t blocks = vsimCountObjects("heapblock");
    VELTRA_BITSTREAMA* object = nullptr;
    const VELTRA_STATUS status = VELTRA_LoadBitstreamA(filePath().c_str(), &object);
    if (status != VELTRA_SUCCESS) {
        check(status == VELTRA_INVALID_BITSTREAM);
        check(object == nullptr);
        check(vsimCountObjects("heapblock") == blocks);
        return 0;
    }
    check(object != nullptr);
    check(object->length <= size);
    check(std::memchr(object->fpgaName, 0, sizeof object->fpgaName) != nullptr);
    check(std::memcmp(object->data, data + (size - object->length), object->length) == 0);
    check(VELTRA_UnloadBitstreamA(object) == VELTRA_SUCCESS);
    check(vsimCountObjects("heapblock") == blocks);
    return 0;
}
