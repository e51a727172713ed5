// VPD, clock generators, sensors and the device-error status.
#include <veltra.h>

#include <cstring>

#include "veltra_requests.h"
#include "veltra_text.h"
#include "wdm.h"

namespace {

// Note the order: the 64-bit fields first, the flags last.
struct VpdRecord {
    uint64_t offset;
    uint64_t length;
    uint64_t buffer;
    uint32_t flags;
    uint32_t reserved;  // not filled in
};
static_assert(sizeof(VpdRecord) == 32);

VELTRA_STATUS transferVpd(VELTRA_HANDLE hCard, const VeltraRequest& request, uint32_t flags,
                          uint64_t offset, uint64_t length, const void* buffer) {
    if (length != 0 && buffer == nullptr)
        return VELTRA_NULL_POINTER;
    VpdRecord record{offset, length, reinterpret_cast<uintptr_t>(buffer), flags, 0};
    return sendRequest(hCard, request, &record);
}

// The frequencies a signed 64-bit integer can carry. Beyond them, and for
// NaN, the conversion would be undefined.
constexpr double kLargestFrequency = 9.0e18;

struct ClockRecord {
    uint32_t index;
    uint32_t flags;
    int64_t frequency;
};
static_assert(sizeof(ClockRecord) == 16);

constexpr uint32_t kDatatypeInteger = 0;
constexpr uint32_t kDatatypeFixed = 1;
constexpr uint32_t kDatatypeFlags = 2;
constexpr uint32_t kDatatypeRaw = 3;

}  // namespace

extern "C" {

VELTRA_API VELTRA_STATUS VELTRA_CALL VELTRA_ReadVPD(VELTRA_HANDLE hCard, uint32_t flags,
                                                    uint64_t offset, uint64_t length,
                                                    void* buffer) {
    return transferVpd(hCard, veltra_request::kReadVpd, flags, offset, length, buffer);
}

VELTRA_API VELTRA_STATUS VELTRA_CALL VELTRA_WriteVPD(VELTRA_HANDLE hCard, uint32_t flags,
                                                     uint64_t offset, uint64_t length,
                                                     const void* buffer) {
    return transferVpd(hCard, veltra_request::kWriteVpd, flags, offset, length, buffer);
}

// The request goes first: its failure wins over a NULL output pointer.
VELTRA_API VELTRA_STATUS VELTRA_CALL VELTRA_GetClockFrequency(VELTRA_HANDLE hCard, uint32_t index,
                                                              double* pFrequency) {
    uint8_t record[8] = {};
    std::memcpy(record, &index, sizeof index);
    const VELTRA_STATUS status = sendRequest(hCard, veltra_request::kGetClockFrequency, record);
    if (status != VELTRA_SUCCESS)
        return status;
    if (pFrequency == nullptr)
        return VELTRA_NULL_POINTER;
    *pFrequency = static_cast<double>(replyField<int64_t>(record, 0));
    return VELTRA_SUCCESS;
}

VELTRA_API VELTRA_STATUS VELTRA_CALL VELTRA_SetClockFrequency(VELTRA_HANDLE hCard, uint32_t index,
                                                              uint32_t flags, double frequency,
                                                              double* pActualFrequency) {
    // Written so that NaN fails too: every comparison with it is false.
    if (!(frequency <= kLargestFrequency && frequency >= -kLargestFrequency))
        return VELTRA_INVALID_FREQUENCY;
    ClockRecord record{index, flags, static_cast<int64_t>(frequency)};
    const VELTRA_STATUS status = sendRequest(hCard, veltra_request::kSetClockFrequency, &record);
    if (status != VELTRA_SUCCESS)
        return status;
    if (pActualFrequency != nullptr) {
        int64_t actual;
        std::memcpy(&actual, &record, sizeof actual);
        *pActualFrequency = static_cast<double>(actual);
    }
    return VELTRA_SUCCESS;
}

VELTRA_API VELTRA_STATUS VELTRA_CALL VELTRA_GetSensorInfoA(VELTRA_HANDLE hCard, uint32_t index,
                                                           VELTRA_SENSOR_INFOA* pInfo) {
    if (pInfo == nullptr)
        return VELTRA_NULL_POINTER;
    uint8_t reply[48] = {};
    std::memcpy(reply, &index, sizeof index);
    const VELTRA_STATUS status = sendRequest(hCard, veltra_request::kGetSensorInfo, reply);
    if (status != VELTRA_SUCCESS)
        return status;
    std::memset(pInfo, 0, sizeof *pInfo);
    copyText(pInfo->description, reinterpret_cast<const char*>(reply), sizeof pInfo->description);
    pInfo->attribute1 = replyField<uint32_t>(reply, 28);
    pInfo->attribute2 = static_cast<double>(replyField<int16_t>(reply, 32)) +
                        static_cast<double>(replyField<uint16_t>(reply, 34)) / 65536.0;
    pInfo->attribute3 = replyField<uint32_t>(reply, 36);
    pInfo->attribute4 = replyField<uint32_t>(reply, 40);
    pInfo->attribute5 = replyField<uint32_t>(reply, 44);
    return VELTRA_SUCCESS;
}

VELTRA_API VELTRA_STATUS VELTRA_CALL VELTRA_GetSensorInfoW(VELTRA_HANDLE hCard, uint32_t index,
                                                           VELTRA_SENSOR_INFOW* pInfo) {
    if (pInfo == nullptr)
        return VELTRA_NULL_POINTER;
    VELTRA_SENSOR_INFOA narrow;
    const VELTRA_STATUS status = VELTRA_GetSensorInfoA(hCard, index, &narrow);
    if (status != VELTRA_SUCCESS)
        return status;
    copyToWide(pInfo->description, 28, narrow.description);
    pInfo->attribute1 = narrow.attribute1;
    pInfo->attribute2 = narrow.attribute2;
    pInfo->attribute3 = narrow.attribute3;
    pInfo->attribute4 = narrow.attribute4;
    pInfo->attribute5 = narrow.attribute5;
    return VELTRA_SUCCESS;
}

VELTRA_API VELTRA_STATUS VELTRA_CALL VELTRA_ReadSensor(VELTRA_HANDLE hCard, uint32_t index,
                                                       VELTRA_SENSOR_VALUE* pValue) {
    if (pValue == nullptr)
        return VELTRA_NULL_POINTER;
    uint8_t reply[12] = {};
    std::memcpy(reply, &index, sizeof index);
    const VELTRA_STATUS status = sendRequest(hCard, veltra_request::kReadSensor, reply);
    if (status != VELTRA_SUCCESS)
        return status;
    switch (replyField<uint32_t>(reply, 8)) {
        case kDatatypeInteger:
        case kDatatypeFlags:
        case kDatatypeRaw:
            pValue->value32 = replyField<uint32_t>(reply, 0);
            return VELTRA_SUCCESS;
        case kDatatypeFixed:
            pValue->doubleValue =
                static_cast<double>(replyField<int32_t>(reply, 0)) +
                static_cast<double>(replyField<uint32_t>(reply, 4)) / 4294967296.0;
            return VELTRA_SUCCESS;
        default:
            return VELTRA_UNEXPECTED_ERROR;
    }
}

VELTRA_API VELTRA_STATUS VELTRA_CALL VELTRA_GetDeviceStatus(VELTRA_HANDLE hCard, uint32_t flags,
                                                            VELTRA_DEVICE_STATUS* pStatus,
                                                            uint32_t* pAnyError) {
    if (pStatus == nullptr)
        return VELTRA_NULL_POINTER;
    uint32_t reply[5] = {flags};
    const VELTRA_STATUS status = sendRequest(hCard, veltra_request::kGetDeviceStatus, reply);
    if (status != VELTRA_SUCCESS)
        return status;
    std::memset(pStatus, 0, sizeof *pStatus);
    pStatus->status1 = reply[0];
    pStatus->status2 = reply[1];
    pStatus->status3 = reply[2];
    pStatus->status4 = reply[3];
    pStatus->status5 = reply[4];
    if (pAnyError != nullptr)
        *pAnyError = (reply[0] | reply[1] | reply[2] | reply[3] | reply[4]) != 0 ? 1 : 0;
    return VELTRA_SUCCESS;
}

VELTRA_API VELTRA_STATUS VELTRA_CALL VELTRA_ClearDeviceErrors(VELTRA_HANDLE hCard) {
    return sendRequest(hCard, veltra_request::kClearDeviceErrors, nullptr);
}

}  // extern "C"
