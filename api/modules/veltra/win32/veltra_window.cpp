// Window information, mapping, and reads and writes without a mapping;
// common buffers.
#include <veltra.h>

#include <cstring>

#include "veltra_mmap.h"
#include "veltra_requests.h"
#include "wdm.h"

namespace {

// The record of VELTRA_Read and VELTRA_Write.
struct WindowTransfer {
    uint32_t index;
    uint32_t flags;
    uint64_t offset;
    uint64_t length;
    uint64_t buffer;
};
static_assert(sizeof(WindowTransfer) == 32);

VELTRA_STATUS transfer(VELTRA_HANDLE hCard, const VeltraRequest& request, uint32_t index,
                       uint32_t flags, uint64_t offset, uint64_t length, void* buffer) {
    WindowTransfer record{index, flags, offset, length, reinterpret_cast<uintptr_t>(buffer)};
    return sendRequest(hCard, request, &record);
}

}  // namespace

extern "C" {

VELTRA_API VELTRA_STATUS VELTRA_CALL VELTRA_GetWindowInfo(VELTRA_HANDLE hCard, uint32_t index,
                                                          VELTRA_WINDOW_INFO* pInfo) {
    if (pInfo == nullptr)
        return VELTRA_NULL_POINTER;
    uint64_t reply[5] = {};
    std::memcpy(reply, &index, sizeof index);
    const VELTRA_STATUS status = sendRequest(hCard, veltra_request::kGetWindowInfo, reply);
    if (status != VELTRA_SUCCESS)
        return status;
    std::memset(pInfo, 0, sizeof *pInfo);
    pInfo->windowValue0 = reply[0];
    pInfo->windowValue1 = reply[1];
    pInfo->windowValue2 = reply[2];
    pInfo->windowValue3 = reply[3];
    pInfo->windowValue4 = reply[4];
    return VELTRA_SUCCESS;
}

VELTRA_API VELTRA_STATUS VELTRA_CALL VELTRA_MapWindow(VELTRA_HANDLE hCard, uint32_t index,
                                                      uint64_t offset, uint64_t length,
                                                      void** ppVirtualBase) {
    // An end at 2^64 or beyond counts as overflow.
    if (length == 0 || offset + length < offset || offset + length == 0)
        return VELTRA_INVALID_REGION;
    if (ppVirtualBase == nullptr)
        return VELTRA_NULL_POINTER;
    VELTRA_CARD_INFO info;
    const VELTRA_STATUS status = VELTRA_GetCardInfo(hCard, &info);
    if (status != VELTRA_SUCCESS)
        return status;
    if (index >= info.windowCount)
        return VELTRA_INVALID_INDEX;
    return clientMapRegion(hCard, index, offset, length, ppVirtualBase);
}

// Also exported as VELTRA_UnmapCommonBuffer: one operation for any region.
VELTRA_API VELTRA_STATUS VELTRA_CALL VELTRA_UnmapWindow(VELTRA_HANDLE hCard, void* pVirtualBase) {
    if (pVirtualBase == nullptr)
        return VELTRA_NULL_POINTER;
    return clientUnmapRegion(hCard, pVirtualBase);
}

VELTRA_API VELTRA_STATUS VELTRA_CALL VELTRA_Read(VELTRA_HANDLE hCard, uint32_t index,
                                                 uint32_t flags, uint64_t offset, uint64_t length,
                                                 void* buffer) {
    return transfer(hCard, veltra_request::kRead, index, flags, offset, length, buffer);
}

VELTRA_API VELTRA_STATUS VELTRA_CALL VELTRA_Write(VELTRA_HANDLE hCard, uint32_t index,
                                                  uint32_t flags, uint64_t offset, uint64_t length,
                                                  void* buffer) {
    return transfer(hCard, veltra_request::kWrite, index, flags, offset, length, buffer);
}

VELTRA_API VELTRA_STATUS VELTRA_CALL VELTRA_GetCommonBufferCount(VELTRA_HANDLE hCard,
                                                                 uint32_t* pCount) {
    if (pCount == nullptr)
        return VELTRA_NULL_POINTER;
    uint32_t reply = 0;
    const VELTRA_STATUS status = sendRequest(hCard, veltra_request::kGetCommonBufferCount, &reply);
    if (status == VELTRA_SUCCESS)
        *pCount = reply;
    return status;
}

// Note the order: the third parameter receives the second reply value.
VELTRA_API VELTRA_STATUS VELTRA_CALL VELTRA_GetCommonBuffer(VELTRA_HANDLE hCard, uint32_t index,
                                                            uint64_t* pBufferValue,
                                                            uint64_t* pBufferKey) {
    uint64_t reply[2] = {};
    std::memcpy(reply, &index, sizeof index);
    const VELTRA_STATUS status = sendRequest(hCard, veltra_request::kGetCommonBuffer, reply);
    if (status != VELTRA_SUCCESS)
        return status;
    if (pBufferValue != nullptr)
        *pBufferValue = reply[1];
    if (pBufferKey != nullptr)
        *pBufferKey = reply[0];
    return VELTRA_SUCCESS;
}

// Finds the first buffer with the key by walking the buffers until the
// driver says the index is past the last one.
VELTRA_API VELTRA_STATUS VELTRA_CALL VELTRA_MapCommonBuffer(VELTRA_HANDLE hCard, uint64_t bufferKey,
                                                            uint64_t offset, uint64_t length,
                                                            void** ppVirtualBase) {
    if (ppVirtualBase == nullptr)
        return VELTRA_NULL_POINTER;
    for (uint32_t index = 0;; ++index) {
        uint64_t key = 0;
        const VELTRA_STATUS status = VELTRA_GetCommonBuffer(hCard, index, nullptr, &key);
        if (status == VELTRA_INVALID_HANDLE)
            return status;
        if (status == VELTRA_INVALID_INDEX)
            return VELTRA_INVALID_REGION;
        if (status != VELTRA_SUCCESS)
            return VELTRA_UNEXPECTED_ERROR;
        if (key == bufferKey)
            return clientMapRegion(hCard, kCommonBufferTag + index, offset, length, ppVirtualBase);
    }
}

}  // extern "C"
