// Loading bitstreams, and configuring and unconfiguring FPGAs.
#include <veltra.h>

#include <cstring>
#include <string>

#include "veltra_bitstream.h"
#include "veltra_file.h"
#include "veltra_part.h"
#include "veltra_requests.h"
#include "wdm.h"

namespace {

struct ConfigureRecord {
    uint32_t index;
    uint32_t flags;
    uint64_t address;
    uint64_t length;
};
static_assert(sizeof(ConfigureRecord) == 24);

// The driver reads the data at the address during the request.
VELTRA_STATUS configure(VELTRA_HANDLE hCard, uint32_t index, uint32_t flags, const void* data,
                        uint64_t length) {
    ConfigureRecord record{index, flags, reinterpret_cast<uintptr_t>(data), length};
    return sendRequest(hCard, veltra_request::kConfigure, &record);
}

bool samePart(const char* fpga, const char* file) {
    return veltra_part::sameDevice(fpga, file);
}

// Part names are ASCII, and so is every FPGA's name: a wide name that is not
// names no FPGA there is.
bool samePart(const WCHAR* fpga, const WCHAR* file) {
    std::string narrow[2];
    const WCHAR* names[2] = {fpga, file};
    for (int i = 0; i < 2; ++i)
        for (const WCHAR* at = names[i]; *at != 0; ++at) {
            if (*at > 0x7F)
                return false;
            narrow[i] += static_cast<char>(*at);
        }
    return veltra_part::sameDevice(narrow[0], narrow[1]);
}

// Loads a file, checks its part name against the FPGA's and configures from
// it; the object is freed in every case. `load` and `fpgaInfo` are the
// narrow or the wide exports.
template <typename Char, typename Object, typename Info, typename Load, typename FpgaInfo>
VELTRA_STATUS configureFromFile(VELTRA_HANDLE hCard, uint32_t index, uint32_t flags,
                                const Char* fileName, Load load, FpgaInfo fpgaInfo) {
    Object* object = nullptr;
    VELTRA_STATUS status = load(fileName, &object);
    if (status != VELTRA_SUCCESS)
        return status;
    Info info;
    status = fpgaInfo(hCard, index, &info);
    if (status == VELTRA_SUCCESS) {
        // The same device and package, whether the file writes the part in
        // the FPGA's short form or in the vendor's long one.
        status = samePart(info.name, object->fpgaName)
                     ? configure(hCard, index, flags, object->data, object->length)
                     : VELTRA_FPGA_MISMATCH;
    }
    VELTRA_UnloadBitstreamA(object);
    return status;
}

}  // namespace

extern "C" {

VELTRA_API VELTRA_STATUS VELTRA_CALL VELTRA_LoadBitstreamA(const char* fileName,
                                                           VELTRA_BITSTREAMA** ppBitstream) {
    if (fileName == nullptr || ppBitstream == nullptr)
        return VELTRA_NULL_POINTER;
    HANDLE file = fileOpenA(fileName);
    if (file == INVALID_HANDLE_VALUE)
        return VELTRA_FILE_NOT_FOUND;
    return readBitstreamA(file, ppBitstream);
}

VELTRA_API VELTRA_STATUS VELTRA_CALL VELTRA_LoadBitstreamW(const WCHAR* fileName,
                                                           VELTRA_BITSTREAMW** ppBitstream) {
    if (fileName == nullptr || ppBitstream == nullptr)
        return VELTRA_NULL_POINTER;
    HANDLE file = fileOpenW(fileName);
    if (file == INVALID_HANDLE_VALUE)
        return VELTRA_FILE_NOT_FOUND;
    return readBitstreamW(file, ppBitstream);
}

// Also exported as VELTRA_UnloadBitstreamW: frees an object of either form.
VELTRA_API VELTRA_STATUS VELTRA_CALL VELTRA_UnloadBitstreamA(void* pBitstream) {
    if (pBitstream == nullptr)
        return VELTRA_NULL_POINTER;
    wdmFree(pBitstream);
    return VELTRA_SUCCESS;
}

VELTRA_API VELTRA_STATUS VELTRA_CALL VELTRA_ConfigureFromBuffer(VELTRA_HANDLE hCard, uint32_t index,
                                                                uint32_t flags, const void* buffer,
                                                                uint64_t length) {
    if (length != 0 && buffer == nullptr)
        return VELTRA_NULL_POINTER;
    return configure(hCard, index, flags, buffer, length);
}

VELTRA_API VELTRA_STATUS VELTRA_CALL VELTRA_ConfigureFromFileA(VELTRA_HANDLE hCard, uint32_t index,
                                                               uint32_t flags,
                                                               const char* fileName) {
    return configureFromFile<char, VELTRA_BITSTREAMA, VELTRA_FPGA_INFOA>(
        hCard, index, flags, fileName, VELTRA_LoadBitstreamA, VELTRA_GetFpgaInfoA);
}

VELTRA_API VELTRA_STATUS VELTRA_CALL VELTRA_ConfigureFromFileW(VELTRA_HANDLE hCard, uint32_t index,
                                                               uint32_t flags,
                                                               const WCHAR* fileName) {
    return configureFromFile<WCHAR, VELTRA_BITSTREAMW, VELTRA_FPGA_INFOW>(
        hCard, index, flags, fileName, VELTRA_LoadBitstreamW, VELTRA_GetFpgaInfoW);
}

VELTRA_API VELTRA_STATUS VELTRA_CALL VELTRA_Unconfigure(VELTRA_HANDLE hCard, uint32_t index,
                                                        uint32_t flags) {
    uint32_t record[2] = {index, flags};
    return sendRequest(hCard, veltra_request::kUnconfigure, record);
}

}  // extern "C"
