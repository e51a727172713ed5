// FPGA information: the driver's codes, and the device and package names the
// library makes of them.
#include <veltra.h>

#include <cstring>

#include "veltra_fpga_names.h"
#include "veltra_requests.h"
#include "veltra_text.h"
#include "wdm.h"

namespace {

constexpr size_t kTextSize = 32;

// The package text in the style of the device's family.
void packageText(char* text, uint32_t family, uint32_t packageCode) {
    const char c1 = static_cast<char>(packageCode >> 24);
    const char c2 = static_cast<char>(packageCode >> 16);
    const uint32_t pins = packageCode & 0xFFFF;
    if (family == 7) {
        wdmFormat(text, kTextSize, "%c%cg%lu", asciiLower(c1), asciiLower(c2), pins);
    } else if (family == 8) {
        const char letters[5] = {'f', asciiLower(c1), isAsciiLower(c1) ? 'g' : 'v', asciiLower(c2),
                                 '\0'};
        wdmFormat(text, kTextSize, "%s%lu", letters, pins);
    } else {
        wdmFormat(text, kTextSize, "%c%c%lu", asciiLower(c1), asciiLower(c2), pins);
    }
}

void deviceText(char* text, uint32_t typeCode) {
    if (typeCode < kFpgaTypeCodes)
        copyText(text, kFpgaDeviceNames[typeCode].text, kTextSize);
    else
        wdmFormat(text, kTextSize, "unknown%lx", typeCode);
}

}  // namespace

extern "C" {

VELTRA_API VELTRA_STATUS VELTRA_CALL VELTRA_GetFpgaInfoA(VELTRA_HANDLE hCard, uint32_t index,
                                                         VELTRA_FPGA_INFOA* pInfo) {
    if (pInfo == nullptr)
        return VELTRA_NULL_POINTER;
    uint8_t reply[40] = {};
    std::memcpy(reply, &index, sizeof index);
    const VELTRA_STATUS status = sendRequest(hCard, veltra_request::kGetFpgaInfo, reply);
    if (status != VELTRA_SUCCESS)
        return status;
    std::memset(pInfo, 0, sizeof *pInfo);
    const uint32_t typeCode = replyField<uint32_t>(reply, 0);
    const uint32_t family = replyField<uint32_t>(reply, 4);
    const uint32_t packageCode = replyField<uint32_t>(reply, 12);
    char device[kTextSize];
    char package[kTextSize];
    deviceText(device, typeCode);
    packageText(package, family, packageCode);
    copyText(pInfo->name, device, sizeof pInfo->name);
    const size_t used = std::strlen(pInfo->name);
    copyText(pInfo->name + used, package, sizeof pInfo->name - used);
    pInfo->typeCode = typeCode;
    pInfo->family = family;
    pInfo->attribute1 = replyField<uint32_t>(reply, 8);
    pInfo->packageCode = packageCode;
    upperText(device, sizeof device);
    upperText(package, sizeof package);
    copyText(pInfo->deviceName, device, sizeof pInfo->deviceName);
    copyText(pInfo->packageName, package, sizeof pInfo->packageName);
    pInfo->attribute2 = replyField<uint32_t>(reply, 16);
    copyText(pInfo->text1, reinterpret_cast<const char*>(reply + 20), sizeof pInfo->text1);
    copyText(pInfo->text2, reinterpret_cast<const char*>(reply + 28), sizeof pInfo->text2);
    pInfo->attribute3 = reply[36];
    return VELTRA_SUCCESS;
}

VELTRA_API VELTRA_STATUS VELTRA_CALL VELTRA_GetFpgaInfoW(VELTRA_HANDLE hCard, uint32_t index,
                                                         VELTRA_FPGA_INFOW* pInfo) {
    if (pInfo == nullptr)
        return VELTRA_NULL_POINTER;
    VELTRA_FPGA_INFOA narrow;
    const VELTRA_STATUS status = VELTRA_GetFpgaInfoA(hCard, index, &narrow);
    if (status != VELTRA_SUCCESS)
        return status;
    copyToWide(pInfo->name, 32, narrow.name);
    copyToWide(pInfo->deviceName, 16, narrow.deviceName);
    copyToWide(pInfo->packageName, 16, narrow.packageName);
    copyToWide(pInfo->text1, 8, narrow.text1);
    copyToWide(pInfo->text2, 8, narrow.text2);
    pInfo->typeCode = narrow.typeCode;
    pInfo->family = narrow.family;
    pInfo->attribute1 = narrow.attribute1;
    pInfo->packageCode = narrow.packageCode;
    pInfo->attribute2 = narrow.attribute2;
    pInfo->attribute3 = narrow.attribute3;
    return VELTRA_SUCCESS;
}

}  // extern "C"
