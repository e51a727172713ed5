// The I/O control codes the driver answers, as its own header states them:
// the card requests of the VELTRA interface and the bridge requests of the
// KESTA interface. Written out, not computed, so that a mistake in either
// the libraries or the simulator shows as a request the other side does not
// know.
#pragma once

#include <cstdint>

namespace vsim::model::ioctl {

inline constexpr uint32_t kGetCardInfo = 0x22200C;
inline constexpr uint32_t kGetBankInfo = 0x222014;
inline constexpr uint32_t kGetFpgaInfo = 0x22201C;
inline constexpr uint32_t kGetVersionInfo = 0x222024;
inline constexpr uint32_t kGetWindowInfo = 0x22202C;
inline constexpr uint32_t kConfigure = 0x22203C;
inline constexpr uint32_t kGetClockFrequency = 0x222044;
inline constexpr uint32_t kSetClockFrequency = 0x22204C;
inline constexpr uint32_t kRegisterEvent = 0x222054;
inline constexpr uint32_t kUnregisterEvent = 0x22205C;
inline constexpr uint32_t kRead = 0x222064;
inline constexpr uint32_t kWrite = 0x22206C;
inline constexpr uint32_t kEraseFlash = 0x222074;
inline constexpr uint32_t kReadFlash = 0x22207C;
inline constexpr uint32_t kWriteFlash = 0x222084;
inline constexpr uint32_t kGetFlashInfo = 0x22208C;
inline constexpr uint32_t kGetFlashBlockInfo = 0x222094;
inline constexpr uint32_t kLock = 0x22209C;
inline constexpr uint32_t kUnlock = 0x2220A4;
inline constexpr uint32_t kReadDma = 0x2220AC;
inline constexpr uint32_t kWriteDma = 0x2220B4;
inline constexpr uint32_t kReadDmaLocked = 0x2220BC;
inline constexpr uint32_t kWriteDmaLocked = 0x2220C4;
inline constexpr uint32_t kReadVpd = 0x2220CC;
inline constexpr uint32_t kWriteVpd = 0x2220D4;
inline constexpr uint32_t kUnconfigure = 0x2220DC;
inline constexpr uint32_t kWaitNotification = 0x2220E4;
inline constexpr uint32_t kSetOpenFlags = 0x2220F4;
inline constexpr uint32_t kGetCardInfoEx = 0x2220FC;
inline constexpr uint32_t kGetModuleInfo = 0x222104;
inline constexpr uint32_t kGetSensorInfo = 0x22210C;
inline constexpr uint32_t kReadSensor = 0x22211C;
inline constexpr uint32_t kSyncFlash = 0x222124;
inline constexpr uint32_t kReadDmaBus = 0x22212C;
inline constexpr uint32_t kWriteDmaBus = 0x222134;
inline constexpr uint32_t kGetCommonBufferCount = 0x22213C;
inline constexpr uint32_t kGetCommonBuffer = 0x222144;
inline constexpr uint32_t kGetDeviceStatus = 0x22214C;
inline constexpr uint32_t kClearDeviceErrors = 0x222154;
inline constexpr uint32_t kCancel = 0x222808;
inline constexpr uint32_t kMmappend = 0x22280E;
inline constexpr uint32_t kMmapUnmap = 0x222810;

namespace kesta {
inline constexpr uint32_t kSetOpenFlags = 0x222014;
inline constexpr uint32_t kGetProdTestInfo = 0x22201C;
inline constexpr uint32_t kServiceIrq = 0x222024;
inline constexpr uint32_t kGetUniqueId = 0x22202C;
inline constexpr uint32_t kAbortIprog = 0x222034;
inline constexpr uint32_t kScheduleIprog = 0x22203C;
inline constexpr uint32_t kStatusIprog = 0x222044;
}  // namespace kesta

}  // namespace vsim::model::ioctl
