// The bridge services: identifier, production-test information, interrupt
// servicing and IPROG.
#include <kesta.h>

#include <cstring>

#include "kesta_requests.h"
#include "wdm.h"

namespace {

struct ScheduleRecord {
    uint64_t address;
    uint32_t index;
    uint32_t flags;
    uint32_t value;
    uint32_t reserved;  // not set
};
static_assert(sizeof(ScheduleRecord) == 24);

}  // namespace

extern "C" {

// The reply's two 32-bit halves go to offsets 0 and 4 of the identifier.
KESTA_API KESTA_STATUS KESTA_CALL KESTA_GetUniqueId(KESTA_HANDLE hCard, uint64_t* pUniqueId) {
    if (pUniqueId == nullptr)
        return KESTA_NULL_POINTER;
    uint32_t reply[2] = {};
    const KESTA_STATUS status = sendRequest(hCard, kesta_request::kGetUniqueId, reply);
    if (status != KESTA_SUCCESS)
        return status;
    std::memcpy(reinterpret_cast<uint8_t*>(pUniqueId), &reply[0], 4);
    std::memcpy(reinterpret_cast<uint8_t*>(pUniqueId) + 4, &reply[1], 4);
    return KESTA_SUCCESS;
}

KESTA_API KESTA_STATUS KESTA_CALL KESTA_GetProdTestInfo(KESTA_HANDLE hCard,
                                                        KESTA_PROD_TEST_INFO* pInfo) {
    if (pInfo == nullptr)
        return KESTA_NULL_POINTER;
    uint8_t reply[16] = {};
    const KESTA_STATUS status = sendRequest(hCard, kesta_request::kGetProdTestInfo, reply);
    if (status != KESTA_SUCCESS)
        return status;
    std::memset(pInfo, 0, sizeof *pInfo);
    pInfo->testValue0 = replyField<uint32_t>(reply, 0);
    pInfo->testByte0 = reply[4];
    pInfo->testByte1 = reply[5];
    pInfo->testByte2 = reply[6];
    pInfo->testValue1 = replyField<uint32_t>(reply, 8);
    pInfo->testValue2 = replyField<uint32_t>(reply, 12);
    return KESTA_SUCCESS;
}

KESTA_API KESTA_STATUS KESTA_CALL KESTA_ServiceIRQ(KESTA_HANDLE hCard, uint32_t* pbServiced) {
    uint32_t reply = 0;
    const KESTA_STATUS status = sendRequest(hCard, kesta_request::kServiceIrq, &reply);
    if (status == KESTA_SUCCESS && pbServiced != nullptr)
        *pbServiced = reply != 0 ? 1 : 0;
    return status;
}

KESTA_API KESTA_STATUS KESTA_CALL KESTA_ScheduleIPROG(KESTA_HANDLE hCard, uint32_t index,
                                                      uint32_t flags, uint64_t address,
                                                      uint32_t value) {
    ScheduleRecord record{};
    record.address = address;
    record.index = index;
    record.flags = flags;
    record.value = value;
    return sendRequest(hCard, kesta_request::kScheduleIprog, &record);
}

KESTA_API KESTA_STATUS KESTA_CALL KESTA_AbortIPROG(KESTA_HANDLE hCard, uint32_t index) {
    return sendRequest(hCard, kesta_request::kAbortIprog, &index);
}

KESTA_API KESTA_STATUS KESTA_CALL KESTA_StatusIPROG(KESTA_HANDLE hCard, uint32_t index,
                                                    uint32_t* pStatus, uint64_t* pAddress,
                                                    uint32_t* pValue) {
    uint8_t record[16] = {};
    std::memcpy(record, &index, sizeof index);
    const KESTA_STATUS status = sendRequest(hCard, kesta_request::kStatusIprog, record);
    if (status != KESTA_SUCCESS)
        return status;
    if (pStatus != nullptr)
        *pStatus = replyField<uint32_t>(record, 8);
    if (pAddress != nullptr)
        *pAddress = replyField<uint64_t>(record, 0);
    if (pValue != nullptr)
        *pValue = replyField<uint32_t>(record, 12);
    return KESTA_SUCCESS;
}

}  // extern "C"
