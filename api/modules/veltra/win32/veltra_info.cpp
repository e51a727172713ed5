// Card, version, bank and module information.
#include <veltra.h>

#include <cstring>

#include "veltra_requests.h"
#include "veltra_text.h"
#include "wdm.h"

namespace {

// The library's own version: the first three parts of 1.4.16.26.
constexpr uint16_t kApiVersion[3] = {1, 4, 16};

constexpr size_t kModuleTextSize = 64;
constexpr size_t kModuleReplySize = 272;

// The card information records share their first ten words: the reply's
// first two words land in record words 2 and 0.
template <typename Record>
void fillCardInfo(Record* info, const uint32_t* reply) {
    std::memset(info, 0, sizeof *info);
    info->cardValue0 = reply[1];
    info->cardValue2 = reply[0];
    info->cardValue3 = reply[2];
    info->cardValue4 = reply[3];
    info->cardValue5 = reply[4];
    info->cardValue6 = reply[5];
    info->cardValue7 = reply[6];
    info->windowCount = reply[7];
    info->cardValue9 = reply[8];
}

}  // namespace

extern "C" {

VELTRA_API VELTRA_STATUS VELTRA_CALL VELTRA_GetVersionInfo(VELTRA_HANDLE hCard,
                                                           VELTRA_VERSION_INFO* pInfo) {
    if (pInfo == nullptr)
        return VELTRA_NULL_POINTER;
    uint16_t reply[3] = {};
    const VELTRA_STATUS status = sendRequest(hCard, veltra_request::kGetVersionInfo, reply);
    if (status != VELTRA_SUCCESS)
        return status;
    pInfo->apiMajor = kApiVersion[0];
    pInfo->apiMinor = kApiVersion[1];
    pInfo->apiBugfix = kApiVersion[2];
    pInfo->driverMajor = reply[0];
    pInfo->driverMinor = reply[1];
    pInfo->driverBugfix = reply[2];
    return VELTRA_SUCCESS;
}

VELTRA_API VELTRA_STATUS VELTRA_CALL VELTRA_GetCardInfo(VELTRA_HANDLE hCard,
                                                        VELTRA_CARD_INFO* pInfo) {
    if (pInfo == nullptr)
        return VELTRA_NULL_POINTER;
    uint32_t reply[9] = {};
    const VELTRA_STATUS status = sendRequest(hCard, veltra_request::kGetCardInfo, reply);
    if (status != VELTRA_SUCCESS)
        return status;
    fillCardInfo(pInfo, reply);
    return VELTRA_SUCCESS;
}

VELTRA_API VELTRA_STATUS VELTRA_CALL VELTRA_GetCardInfoEx(VELTRA_HANDLE hCard,
                                                          VELTRA_CARD_INFO_EX* pInfo) {
    if (pInfo == nullptr)
        return VELTRA_NULL_POINTER;
    uint32_t reply[11] = {};
    const VELTRA_STATUS status = sendRequest(hCard, veltra_request::kGetCardInfoEx, reply);
    if (status != VELTRA_SUCCESS)
        return status;
    fillCardInfo(pInfo, reply);
    pInfo->cardValue10 = reply[9];
    pInfo->cardValue11 = reply[10];
    return VELTRA_SUCCESS;
}

VELTRA_API VELTRA_STATUS VELTRA_CALL VELTRA_GetBankInfo(VELTRA_HANDLE hCard, uint32_t bankIndex,
                                                        VELTRA_BANK_INFO* pInfo) {
    if (pInfo == nullptr)
        return VELTRA_NULL_POINTER;
    uint8_t record[40] = {};
    std::memcpy(record, &bankIndex, sizeof bankIndex);
    const VELTRA_STATUS status = sendRequest(hCard, veltra_request::kGetBankInfo, record);
    if (status != VELTRA_SUCCESS)
        return status;
    std::memset(pInfo, 0, sizeof *pInfo);
    pInfo->bankValue0 = replyField<uint64_t>(record, 0);
    pInfo->bankValue1 = replyField<uint64_t>(record, 8);
    pInfo->bankValue2 = replyField<uint64_t>(record, 16);
    pInfo->bankHalf0 = replyField<uint16_t>(record, 24);
    pInfo->bankHalf1 = replyField<uint16_t>(record, 26);
    pInfo->bankHalfSum = static_cast<uint16_t>(pInfo->bankHalf0 + pInfo->bankHalf1);
    pInfo->bankValue3 = replyField<uint32_t>(record, 28);
    pInfo->bankValue4 = replyField<uint32_t>(record, 32);
    pInfo->bBankFlag = record[36] != 0 ? 1 : 0;
    return VELTRA_SUCCESS;
}

// The driver writes the 272-byte reply straight into a local buffer whose
// address the 16-byte request carries.
VELTRA_API VELTRA_STATUS VELTRA_CALL VELTRA_GetModuleInfoA(VELTRA_HANDLE hCard,
                                                           uint32_t moduleIndex,
                                                           VELTRA_MODULE_INFOA* pInfo) {
    if (pInfo == nullptr)
        return VELTRA_NULL_POINTER;
    uint8_t reply[kModuleReplySize] = {};
    uint8_t record[16];
    const uint64_t address = reinterpret_cast<uintptr_t>(reply);
    std::memcpy(record, &address, sizeof address);
    std::memcpy(record + 8, &moduleIndex, sizeof moduleIndex);
    const VELTRA_STATUS status = sendRequest(hCard, veltra_request::kGetModuleInfo, record);
    if (status != VELTRA_SUCCESS)
        return status;
    std::memset(pInfo, 0, sizeof *pInfo);
    char* texts[] = {pInfo->moduleText0, pInfo->moduleText1, pInfo->moduleText2,
                     pInfo->moduleText3};
    for (size_t i = 0; i < 4; ++i)
        copyText(texts[i], reinterpret_cast<const char*>(reply + kModuleTextSize * i),
                 kModuleTextSize);
    pInfo->moduleFixed = static_cast<double>(replyField<int16_t>(reply, 256)) +
                         static_cast<double>(replyField<uint16_t>(reply, 258)) / 65536.0;
    pInfo->moduleValue0 = replyField<uint32_t>(reply, 260);
    pInfo->moduleValue1 = replyField<uint32_t>(reply, 264);
    pInfo->bModuleFlag = replyField<uint32_t>(reply, 268) != 0 ? 1 : 0;
    return VELTRA_SUCCESS;
}

VELTRA_API VELTRA_STATUS VELTRA_CALL VELTRA_GetModuleInfoW(VELTRA_HANDLE hCard,
                                                           uint32_t moduleIndex,
                                                           VELTRA_MODULE_INFOW* pInfo) {
    if (pInfo == nullptr)
        return VELTRA_NULL_POINTER;
    VELTRA_MODULE_INFOA narrow;
    const VELTRA_STATUS status = VELTRA_GetModuleInfoA(hCard, moduleIndex, &narrow);
    if (status != VELTRA_SUCCESS)
        return status;
    copyToWide(pInfo->moduleText0, kModuleTextSize, narrow.moduleText0);
    copyToWide(pInfo->moduleText1, kModuleTextSize, narrow.moduleText1);
    copyToWide(pInfo->moduleText2, kModuleTextSize, narrow.moduleText2);
    copyToWide(pInfo->moduleText3, kModuleTextSize, narrow.moduleText3);
    pInfo->moduleFixed = narrow.moduleFixed;
    pInfo->moduleValue0 = narrow.moduleValue0;
    pInfo->moduleValue1 = narrow.moduleValue1;
    pInfo->bModuleFlag = narrow.bModuleFlag;
    return VELTRA_SUCCESS;
}

}  // extern "C"
