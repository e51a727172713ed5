// Flash memory: identification, block geometry, erase, read, write, sync.
#include <veltra.h>

#include <cstring>

#include "veltra_flash_names.h"
#include "veltra_requests.h"
#include "veltra_text.h"
#include "wdm.h"

namespace {

// The record of erase (24 bytes sent), read and write (32 bytes).
struct FlashRecord {
    uint32_t index;
    uint32_t flags;
    uint64_t offset;
    uint64_t length;
    uint64_t buffer;
};
static_assert(sizeof(FlashRecord) == 32);

VELTRA_STATUS transfer(VELTRA_HANDLE hCard, const VeltraRequest& request, uint32_t index,
                       uint32_t flags, uint64_t offset, uint64_t length, const void* buffer) {
    if (length != 0 && buffer == nullptr)
        return VELTRA_NULL_POINTER;
    FlashRecord record{index, flags, offset, length, reinterpret_cast<uintptr_t>(buffer)};
    return sendRequest(hCard, request, &record);
}

}  // namespace

extern "C" {

VELTRA_API VELTRA_STATUS VELTRA_CALL VELTRA_GetFlashInfoA(VELTRA_HANDLE hCard, uint32_t index,
                                                          VELTRA_FLASH_INFOA* pInfo) {
    if (pInfo == nullptr)
        return VELTRA_NULL_POINTER;
    uint8_t reply[32] = {};
    std::memcpy(reply, &index, sizeof index);
    const VELTRA_STATUS status = sendRequest(hCard, veltra_request::kGetFlashInfo, reply);
    if (status != VELTRA_SUCCESS)
        return status;
    const uint16_t vendor = replyField<uint16_t>(reply, 24);
    const uint16_t device = replyField<uint16_t>(reply, 26);
    if (const char* name = flashChipName(vendor, device))
        copyText(pInfo->name, name, sizeof pInfo->name);
    else
        wdmFormat(pInfo->name, sizeof pInfo->name, "Vendor 0x%04lX Device 0x%04lX",
                  uint32_t{vendor}, uint32_t{device});
    pInfo->attribute1 = replyField<uint64_t>(reply, 0);
    pInfo->attribute2 = replyField<uint64_t>(reply, 8);
    pInfo->attribute3 = replyField<uint64_t>(reply, 16);
    return VELTRA_SUCCESS;
}

VELTRA_API VELTRA_STATUS VELTRA_CALL VELTRA_GetFlashInfoW(VELTRA_HANDLE hCard, uint32_t index,
                                                          VELTRA_FLASH_INFOW* pInfo) {
    if (pInfo == nullptr)
        return VELTRA_NULL_POINTER;
    VELTRA_FLASH_INFOA narrow;
    const VELTRA_STATUS status = VELTRA_GetFlashInfoA(hCard, index, &narrow);
    if (status != VELTRA_SUCCESS)
        return status;
    copyToWide(pInfo->name, 32, narrow.name);
    pInfo->attribute1 = narrow.attribute1;
    pInfo->attribute2 = narrow.attribute2;
    pInfo->attribute3 = narrow.attribute3;
    return VELTRA_SUCCESS;
}

VELTRA_API VELTRA_STATUS VELTRA_CALL VELTRA_GetFlashBlockInfo(VELTRA_HANDLE hCard, uint32_t index,
                                                              uint64_t offset,
                                                              VELTRA_FLASH_BLOCK_INFO* pInfo) {
    if (pInfo == nullptr)
        return VELTRA_NULL_POINTER;
    uint8_t record[24] = {};
    std::memcpy(record, &offset, sizeof offset);
    std::memcpy(record + 8, &index, sizeof index);
    const VELTRA_STATUS status = sendRequest(hCard, veltra_request::kGetFlashBlockInfo, record);
    if (status != VELTRA_SUCCESS)
        return status;
    pInfo->attribute1 = replyField<uint64_t>(record, 0);
    pInfo->attribute2 = replyField<uint64_t>(record, 8);
    pInfo->attribute3 = replyField<uint32_t>(record, 16);
    return VELTRA_SUCCESS;
}

VELTRA_API VELTRA_STATUS VELTRA_CALL VELTRA_EraseFlash(VELTRA_HANDLE hCard, uint32_t index,
                                                       uint32_t flags, uint64_t offset,
                                                       uint64_t length) {
    FlashRecord record{index, flags, offset, length, 0};
    return sendRequest(hCard, veltra_request::kEraseFlash, &record);
}

VELTRA_API VELTRA_STATUS VELTRA_CALL VELTRA_ReadFlash(VELTRA_HANDLE hCard, uint32_t index,
                                                      uint32_t flags, uint64_t offset,
                                                      uint64_t length, void* buffer) {
    return transfer(hCard, veltra_request::kReadFlash, index, flags, offset, length, buffer);
}

VELTRA_API VELTRA_STATUS VELTRA_CALL VELTRA_WriteFlash(VELTRA_HANDLE hCard, uint32_t index,
                                                       uint32_t flags, uint64_t offset,
                                                       uint64_t length, const void* buffer) {
    return transfer(hCard, veltra_request::kWriteFlash, index, flags, offset, length, buffer);
}

VELTRA_API VELTRA_STATUS VELTRA_CALL VELTRA_SyncFlash(VELTRA_HANDLE hCard, uint32_t index,
                                                      uint32_t flags) {
    uint32_t record[2] = {index, flags};
    return sendRequest(hCard, veltra_request::kSyncFlash, record);
}

}  // extern "C"
