// The driver requests of the VELTRA library: number, name and the input and
// output lengths each is sent with. One table, used by the exports and by
// the tests.
#pragma once

#include <cstdint>

#include "wdm.h"

using VeltraRequest = WdmRequest;

namespace veltra_request {
inline constexpr VeltraRequest kGetCardInfo{1, "IOCTL_VELTRA_GET_CARD_INFO", 0, 36};
inline constexpr VeltraRequest kGetBankInfo{2, "IOCTL_VELTRA_GET_BANK_INFO", 4, 40};
inline constexpr VeltraRequest kGetFpgaInfo{3, "IOCTL_VELTRA_GET_FPGA_INFO", 4, 40};
inline constexpr VeltraRequest kGetVersionInfo{4, "IOCTL_VELTRA_GET_VERSION_INFO", 0, 6};
inline constexpr VeltraRequest kGetWindowInfo{5, "IOCTL_VELTRA_GET_WINDOW_INFO", 4, 40};
inline constexpr VeltraRequest kConfigure{7, "IOCTL_VELTRA_CONFIGURE", 24, 0};
inline constexpr VeltraRequest kGetClockFrequency{8, "IOCTL_VELTRA_GET_CLOCK_FREQUENCY", 4, 8};
inline constexpr VeltraRequest kSetClockFrequency{9, "IOCTL_VELTRA_SET_CLOCK_FREQUENCY", 16, 8};
inline constexpr VeltraRequest kRegisterEvent{10, "IOCTL_VELTRA_REGISTER_EVENT", 16, 0};
inline constexpr VeltraRequest kUnregisterEvent{11, "IOCTL_VELTRA_UNREGISTER_EVENT", 16, 0};
inline constexpr VeltraRequest kRead{12, "IOCTL_VELTRA_READ", 32, 0};
inline constexpr VeltraRequest kWrite{13, "IOCTL_VELTRA_WRITE", 32, 0};
inline constexpr VeltraRequest kEraseFlash{14, "IOCTL_VELTRA_ERASE_FLASH", 24, 0};
inline constexpr VeltraRequest kReadFlash{15, "IOCTL_VELTRA_READ_FLASH", 32, 0};
inline constexpr VeltraRequest kWriteFlash{16, "IOCTL_VELTRA_WRITE_FLASH", 32, 0};
inline constexpr VeltraRequest kGetFlashInfo{17, "IOCTL_VELTRA_GET_FLASH_INFO", 4, 32};
inline constexpr VeltraRequest kGetFlashBlockInfo{18, "IOCTL_VELTRA_GET_FLASH_BLOCK_INFO", 16, 24};
inline constexpr VeltraRequest kLock{19, "IOCTL_VELTRA_LOCK", 16, 4};
inline constexpr VeltraRequest kUnlock{20, "IOCTL_VELTRA_UNLOCK", 4, 0};
inline constexpr VeltraRequest kReadDma{21, "IOCTL_VELTRA_READ_DMA", 32, 0};
inline constexpr VeltraRequest kWriteDma{22, "IOCTL_VELTRA_WRITE_DMA", 32, 0};
inline constexpr VeltraRequest kReadDmaLocked{23, "IOCTL_VELTRA_READ_DMA_LOCKED", 40, 0};
inline constexpr VeltraRequest kWriteDmaLocked{24, "IOCTL_VELTRA_WRITE_DMA_LOCKED", 40, 0};
inline constexpr VeltraRequest kReadVpd{25, "IOCTL_VELTRA_READ_VPD", 32, 0};
inline constexpr VeltraRequest kWriteVpd{26, "IOCTL_VELTRA_WRITE_VPD", 32, 0};
inline constexpr VeltraRequest kUnconfigure{27, "IOCTL_VELTRA_UNCONFIGURE", 8, 0};
inline constexpr VeltraRequest kWaitNotification{28, "IOCTL_VELTRA_WAIT_NOTIFICATION", 4, 0};
inline constexpr VeltraRequest kSetOpenFlags{30, "IOCTL_VELTRA_SET_OPEN_FLAGS", 4, 0};
inline constexpr VeltraRequest kGetCardInfoEx{31, "IOCTL_VELTRA_GET_CARD_INFO_EX", 0, 44};
inline constexpr VeltraRequest kGetModuleInfo{32, "IOCTL_VELTRA_GET_MODULE_INFO", 16, 0};
inline constexpr VeltraRequest kGetSensorInfo{33, "IOCTL_VELTRA_GET_SENSOR_INFO", 4, 48};
inline constexpr VeltraRequest kReadSensor{35, "IOCTL_VELTRA_READ_SENSOR", 4, 12};
inline constexpr VeltraRequest kSyncFlash{36, "IOCTL_VELTRA_SYNC_FLASH", 8, 0};
inline constexpr VeltraRequest kReadDmaBus{37, "IOCTL_VELTRA_READ_DMA_BUS", 32, 0};
inline constexpr VeltraRequest kWriteDmaBus{38, "IOCTL_VELTRA_WRITE_DMA_BUS", 32, 0};
inline constexpr VeltraRequest kGetCommonBufferCount{39, "IOCTL_VELTRA_GET_COMMON_BUFFER_COUNT", 0,
                                                     4};
inline constexpr VeltraRequest kGetCommonBuffer{40, "IOCTL_VELTRA_GET_COMMON_BUFFER", 4, 16};
inline constexpr VeltraRequest kGetDeviceStatus{41, "IOCTL_VELTRA_GET_DEVICE_STATUS", 4, 20};
inline constexpr VeltraRequest kClearDeviceErrors{42, "IOCTL_VELTRA_CLEAR_DEVICE_ERRORS", 0, 0};
}  // namespace veltra_request

// The requests with codes outside the numbering.
inline constexpr DWORD IOCTL_VELTRA_CANCEL = 0x222808;
inline constexpr DWORD IOCTL_VELTRA_MMAPPEND = 0x22280E;
inline constexpr DWORD IOCTL_VELTRA_MMAP_UNMAP = 0x222810;

inline constexpr const VeltraRequest* kVeltraRequests[] = {
    &veltra_request::kGetCardInfo,
    &veltra_request::kGetBankInfo,
    &veltra_request::kGetFpgaInfo,
    &veltra_request::kGetVersionInfo,
    &veltra_request::kGetWindowInfo,
    &veltra_request::kConfigure,
    &veltra_request::kGetClockFrequency,
    &veltra_request::kSetClockFrequency,
    &veltra_request::kRegisterEvent,
    &veltra_request::kUnregisterEvent,
    &veltra_request::kRead,
    &veltra_request::kWrite,
    &veltra_request::kEraseFlash,
    &veltra_request::kReadFlash,
    &veltra_request::kWriteFlash,
    &veltra_request::kGetFlashInfo,
    &veltra_request::kGetFlashBlockInfo,
    &veltra_request::kLock,
    &veltra_request::kUnlock,
    &veltra_request::kReadDma,
    &veltra_request::kWriteDma,
    &veltra_request::kReadDmaLocked,
    &veltra_request::kWriteDmaLocked,
    &veltra_request::kReadVpd,
    &veltra_request::kWriteVpd,
    &veltra_request::kUnconfigure,
    &veltra_request::kWaitNotification,
    &veltra_request::kSetOpenFlags,
    &veltra_request::kGetCardInfoEx,
    &veltra_request::kGetModuleInfo,
    &veltra_request::kGetSensorInfo,
    &veltra_request::kReadSensor,
    &veltra_request::kSyncFlash,
    &veltra_request::kReadDmaBus,
    &veltra_request::kWriteDmaBus,
    &veltra_request::kGetCommonBufferCount,
    &veltra_request::kGetCommonBuffer,
    &veltra_request::kGetDeviceStatus,
    &veltra_request::kClearDeviceErrors,
};
