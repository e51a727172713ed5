// DMA transfers, buffer locking and notifications. Every export packs its
// arguments into the driver's record and sends one request; the driver
// gives every verdict.
#include <veltra.h>

#include <cstddef>
#include <cstring>

#include "veltra_requests.h"
#include "wdm.h"

namespace {

// The record of the transfers whose host side is the caller's buffer, and
// (with a bus address in place of the buffer) of the Bus forms.
struct DmaRecord {
    uint32_t channel;
    uint32_t flags;
    uint64_t host;  // buffer address, or bus address
    uint64_t length;
    uint64_t localAddress;
};
static_assert(sizeof(DmaRecord) == veltra_request::kReadDma.inSize);
static_assert(sizeof(DmaRecord) == veltra_request::kReadDmaBus.inSize);
static_assert(offsetof(DmaRecord, host) == 8 && offsetof(DmaRecord, length) == 16 &&
              offsetof(DmaRecord, localAddress) == 24);

// The record of the transfers through a locked buffer.
struct LockedDmaRecord {
    uint32_t channel;
    uint32_t flags;
    uint64_t offset;
    uint64_t length;
    uint64_t localAddress;
    uint32_t hBuffer;
    uint32_t reserved;
};
static_assert(sizeof(LockedDmaRecord) == veltra_request::kReadDmaLocked.inSize);
static_assert(offsetof(LockedDmaRecord, offset) == 8 && offsetof(LockedDmaRecord, length) == 16 &&
              offsetof(LockedDmaRecord, localAddress) == 24 &&
              offsetof(LockedDmaRecord, hBuffer) == 32);

// The record of event registration.
struct EventRecord {
    uint64_t hEvent;
    uint32_t notification;
    uint32_t reserved;
};
static_assert(sizeof(EventRecord) == veltra_request::kRegisterEvent.inSize);

DmaRecord bufferRecord(uint32_t channel, uint32_t flags, const void* buffer, uint64_t length,
                       uint64_t localAddress) {
    return {channel, flags, reinterpret_cast<uintptr_t>(buffer), length, localAddress};
}

DmaRecord busRecord(uint32_t channel, uint32_t flags, uint64_t busAddress, uint64_t localAddress,
                    uint64_t length) {
    return {channel, flags, busAddress, length, localAddress};
}

LockedDmaRecord lockedRecord(uint32_t channel, uint32_t flags, uint32_t hBuffer, uint64_t offset,
                             uint64_t length, uint64_t localAddress) {
    return {channel, flags, offset, length, localAddress, hBuffer, 0};
}

// The waiting forms: the calling thread waits on its own OVERLAPPED.
template <class Record>
VELTRA_STATUS wait(VELTRA_HANDLE hCard, const VeltraRequest& request, Record record) {
    return sendRequest(hCard, request, &record);
}

// The Start forms: the driver works on its own copy of the record, so it
// may end with this call.
template <class Record>
VELTRA_STATUS start(VELTRA_HANDLE hCard, LPOVERLAPPED pOverlapped, const VeltraRequest& request,
                    Record record) {
    return sendRequestAsync(hCard, pOverlapped, request, &record);
}

VELTRA_STATUS sendEvent(VELTRA_HANDLE hCard, const VeltraRequest& request, uint32_t notification,
                        HANDLE hEvent) {
    EventRecord record{reinterpret_cast<uintptr_t>(hEvent), notification, 0};
    return sendRequest(hCard, request, &record);
}

}  // namespace

using namespace veltra_request;

extern "C" {

VELTRA_API VELTRA_STATUS VELTRA_CALL VELTRA_ReadDMA(VELTRA_HANDLE hCard, uint32_t channel,
                                                    uint32_t flags, void* buffer, uint64_t length,
                                                    uint32_t localAddress) {
    return wait(hCard, kReadDma, bufferRecord(channel, flags, buffer, length, localAddress));
}

VELTRA_API VELTRA_STATUS VELTRA_CALL VELTRA_ReadDMAEx(VELTRA_HANDLE hCard, uint32_t channel,
                                                      uint32_t flags, void* buffer, uint64_t length,
                                                      uint64_t localAddress) {
    return wait(hCard, kReadDma, bufferRecord(channel, flags, buffer, length, localAddress));
}

VELTRA_API VELTRA_STATUS VELTRA_CALL VELTRA_WriteDMA(VELTRA_HANDLE hCard, uint32_t channel,
                                                     uint32_t flags, const void* buffer,
                                                     uint64_t length, uint32_t localAddress) {
    return wait(hCard, kWriteDma, bufferRecord(channel, flags, buffer, length, localAddress));
}

VELTRA_API VELTRA_STATUS VELTRA_CALL VELTRA_WriteDMAEx(VELTRA_HANDLE hCard, uint32_t channel,
                                                       uint32_t flags, const void* buffer,
                                                       uint64_t length, uint64_t localAddress) {
    return wait(hCard, kWriteDma, bufferRecord(channel, flags, buffer, length, localAddress));
}

VELTRA_API VELTRA_STATUS VELTRA_CALL VELTRA_ReadDMALocked(VELTRA_HANDLE hCard, uint32_t channel,
                                                          uint32_t flags, uint32_t hBuffer,
                                                          uint64_t offset, uint64_t length,
                                                          uint32_t localAddress) {
    return wait(hCard, kReadDmaLocked,
                lockedRecord(channel, flags, hBuffer, offset, length, localAddress));
}

VELTRA_API VELTRA_STATUS VELTRA_CALL VELTRA_ReadDMALockedEx(VELTRA_HANDLE hCard, uint32_t channel,
                                                            uint32_t flags, uint32_t hBuffer,
                                                            uint64_t offset, uint64_t length,
                                                            uint64_t localAddress) {
    return wait(hCard, kReadDmaLocked,
                lockedRecord(channel, flags, hBuffer, offset, length, localAddress));
}

VELTRA_API VELTRA_STATUS VELTRA_CALL VELTRA_WriteDMALocked(VELTRA_HANDLE hCard, uint32_t channel,
                                                           uint32_t flags, uint32_t hBuffer,
                                                           uint64_t offset, uint64_t length,
                                                           uint32_t localAddress) {
    return wait(hCard, kWriteDmaLocked,
                lockedRecord(channel, flags, hBuffer, offset, length, localAddress));
}

VELTRA_API VELTRA_STATUS VELTRA_CALL VELTRA_WriteDMALockedEx(VELTRA_HANDLE hCard, uint32_t channel,
                                                             uint32_t flags, uint32_t hBuffer,
                                                             uint64_t offset, uint64_t length,
                                                             uint64_t localAddress) {
    return wait(hCard, kWriteDmaLocked,
                lockedRecord(channel, flags, hBuffer, offset, length, localAddress));
}

VELTRA_API VELTRA_STATUS VELTRA_CALL VELTRA_ReadDMABus(VELTRA_HANDLE hCard, uint32_t channel,
                                                       uint32_t flags, uint64_t busAddress,
                                                       uint64_t localAddress, uint64_t length) {
    return wait(hCard, kReadDmaBus, busRecord(channel, flags, busAddress, localAddress, length));
}

VELTRA_API VELTRA_STATUS VELTRA_CALL VELTRA_WriteDMABus(VELTRA_HANDLE hCard, uint32_t channel,
                                                        uint32_t flags, uint64_t busAddress,
                                                        uint64_t localAddress, uint64_t length) {
    return wait(hCard, kWriteDmaBus, busRecord(channel, flags, busAddress, localAddress, length));
}

VELTRA_API VELTRA_STATUS VELTRA_CALL VELTRA_StartReadDMA(VELTRA_HANDLE hCard,
                                                         LPOVERLAPPED pOverlapped, uint32_t channel,
                                                         uint32_t flags, void* buffer,
                                                         uint64_t length, uint32_t localAddress) {
    return start(hCard, pOverlapped, kReadDma,
                 bufferRecord(channel, flags, buffer, length, localAddress));
}

VELTRA_API VELTRA_STATUS VELTRA_CALL VELTRA_StartReadDMAEx(VELTRA_HANDLE hCard,
                                                           LPOVERLAPPED pOverlapped,
                                                           uint32_t channel, uint32_t flags,
                                                           void* buffer, uint64_t length,
                                                           uint64_t localAddress) {
    return start(hCard, pOverlapped, kReadDma,
                 bufferRecord(channel, flags, buffer, length, localAddress));
}

VELTRA_API VELTRA_STATUS VELTRA_CALL VELTRA_StartWriteDMA(VELTRA_HANDLE hCard,
                                                          LPOVERLAPPED pOverlapped,
                                                          uint32_t channel, uint32_t flags,
                                                          const void* buffer, uint64_t length,
                                                          uint32_t localAddress) {
    return start(hCard, pOverlapped, kWriteDma,
                 bufferRecord(channel, flags, buffer, length, localAddress));
}

VELTRA_API VELTRA_STATUS VELTRA_CALL VELTRA_StartWriteDMAEx(VELTRA_HANDLE hCard,
                                                            LPOVERLAPPED pOverlapped,
                                                            uint32_t channel, uint32_t flags,
                                                            const void* buffer, uint64_t length,
                                                            uint64_t localAddress) {
    return start(hCard, pOverlapped, kWriteDma,
                 bufferRecord(channel, flags, buffer, length, localAddress));
}

VELTRA_API VELTRA_STATUS VELTRA_CALL VELTRA_StartReadDMALocked(
    VELTRA_HANDLE hCard, LPOVERLAPPED pOverlapped, uint32_t channel, uint32_t flags,
    uint32_t hBuffer, uint64_t offset, uint64_t length, uint32_t localAddress) {
    return start(hCard, pOverlapped, kReadDmaLocked,
                 lockedRecord(channel, flags, hBuffer, offset, length, localAddress));
}

VELTRA_API VELTRA_STATUS VELTRA_CALL VELTRA_StartReadDMALockedEx(
    VELTRA_HANDLE hCard, LPOVERLAPPED pOverlapped, uint32_t channel, uint32_t flags,
    uint32_t hBuffer, uint64_t offset, uint64_t length, uint64_t localAddress) {
    return start(hCard, pOverlapped, kReadDmaLocked,
                 lockedRecord(channel, flags, hBuffer, offset, length, localAddress));
}

VELTRA_API VELTRA_STATUS VELTRA_CALL VELTRA_StartWriteDMALocked(
    VELTRA_HANDLE hCard, LPOVERLAPPED pOverlapped, uint32_t channel, uint32_t flags,
    uint32_t hBuffer, uint64_t offset, uint64_t length, uint32_t localAddress) {
    return start(hCard, pOverlapped, kWriteDmaLocked,
                 lockedRecord(channel, flags, hBuffer, offset, length, localAddress));
}

VELTRA_API VELTRA_STATUS VELTRA_CALL VELTRA_StartWriteDMALockedEx(
    VELTRA_HANDLE hCard, LPOVERLAPPED pOverlapped, uint32_t channel, uint32_t flags,
    uint32_t hBuffer, uint64_t offset, uint64_t length, uint64_t localAddress) {
    return start(hCard, pOverlapped, kWriteDmaLocked,
                 lockedRecord(channel, flags, hBuffer, offset, length, localAddress));
}

VELTRA_API VELTRA_STATUS VELTRA_CALL VELTRA_StartReadDMABus(
    VELTRA_HANDLE hCard, LPOVERLAPPED pOverlapped, uint32_t channel, uint32_t flags,
    uint64_t busAddress, uint64_t localAddress, uint64_t length) {
    return start(hCard, pOverlapped, kReadDmaBus,
                 busRecord(channel, flags, busAddress, localAddress, length));
}

VELTRA_API VELTRA_STATUS VELTRA_CALL VELTRA_StartWriteDMABus(
    VELTRA_HANDLE hCard, LPOVERLAPPED pOverlapped, uint32_t channel, uint32_t flags,
    uint64_t busAddress, uint64_t localAddress, uint64_t length) {
    return start(hCard, pOverlapped, kWriteDmaBus,
                 busRecord(channel, flags, busAddress, localAddress, length));
}

VELTRA_API VELTRA_STATUS VELTRA_CALL VELTRA_Lock(VELTRA_HANDLE hCard, void* buffer, uint64_t length,
                                                 uint32_t* phBuffer) {
    if (phBuffer == nullptr)
        return VELTRA_NULL_POINTER;
    uint64_t record[2] = {reinterpret_cast<uintptr_t>(buffer), length};
    const VELTRA_STATUS status = sendRequest(hCard, kLock, record);
    if (status == VELTRA_SUCCESS)
        std::memcpy(phBuffer, record, sizeof *phBuffer);  // the reply's first 4 bytes
    return status;
}

VELTRA_API VELTRA_STATUS VELTRA_CALL VELTRA_Unlock(VELTRA_HANDLE hCard, uint32_t hBuffer) {
    return sendRequest(hCard, kUnlock, &hBuffer);
}

VELTRA_API VELTRA_STATUS VELTRA_CALL VELTRA_StartNotificationWait(VELTRA_HANDLE hCard,
                                                                  LPOVERLAPPED pOverlapped,
                                                                  uint32_t notification) {
    return start(hCard, pOverlapped, kWaitNotification, notification);
}

VELTRA_API VELTRA_STATUS VELTRA_CALL VELTRA_RegisterWin32Event(VELTRA_HANDLE hCard,
                                                               uint32_t notification,
                                                               HANDLE hEvent) {
    return sendEvent(hCard, kRegisterEvent, notification, hEvent);
}

VELTRA_API VELTRA_STATUS VELTRA_CALL VELTRA_UnregisterWin32Event(VELTRA_HANDLE hCard,
                                                                 uint32_t notification,
                                                                 HANDLE hEvent) {
    return sendEvent(hCard, kUnregisterEvent, notification, hEvent);
}

}  // extern "C"
