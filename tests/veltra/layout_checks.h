/* The exported records have the fixed layouts the library was built with.
 * Included by a C and a C++ translation unit on both platforms. */
#include <veltra.h>

#include <stddef.h>

#ifdef __cplusplus
#define LAYOUT_ASSERT(condition) static_assert(condition, #condition)
#else
#define LAYOUT_ASSERT(condition) _Static_assert(condition, #condition)
#endif

LAYOUT_ASSERT(sizeof(VELTRA_STATUS) == 4);
LAYOUT_ASSERT(sizeof(VELTRA_HANDLE) == 8);
LAYOUT_ASSERT(sizeof(WCHAR) == 2);

LAYOUT_ASSERT(sizeof(VELTRA_VERSION_INFO) == 12);
LAYOUT_ASSERT(offsetof(VELTRA_VERSION_INFO, apiMinor) == 2);
LAYOUT_ASSERT(offsetof(VELTRA_VERSION_INFO, apiBugfix) == 4);
LAYOUT_ASSERT(offsetof(VELTRA_VERSION_INFO, driverMajor) == 6);
LAYOUT_ASSERT(offsetof(VELTRA_VERSION_INFO, driverMinor) == 8);
LAYOUT_ASSERT(offsetof(VELTRA_VERSION_INFO, driverBugfix) == 10);

LAYOUT_ASSERT(sizeof(VELTRA_CARD_INFO) == 40);
LAYOUT_ASSERT(offsetof(VELTRA_CARD_INFO, reserved1) == 4);
LAYOUT_ASSERT(offsetof(VELTRA_CARD_INFO, cardValue2) == 8);
LAYOUT_ASSERT(offsetof(VELTRA_CARD_INFO, cardValue7) == 28);
LAYOUT_ASSERT(offsetof(VELTRA_CARD_INFO, windowCount) == 32);
LAYOUT_ASSERT(offsetof(VELTRA_CARD_INFO, cardValue9) == 36);

LAYOUT_ASSERT(sizeof(VELTRA_CARD_INFO_EX) == 52);
LAYOUT_ASSERT(offsetof(VELTRA_CARD_INFO_EX, windowCount) == 32);
LAYOUT_ASSERT(offsetof(VELTRA_CARD_INFO_EX, cardValue10) == 40);
LAYOUT_ASSERT(offsetof(VELTRA_CARD_INFO_EX, cardValue11) == 44);
LAYOUT_ASSERT(offsetof(VELTRA_CARD_INFO_EX, reserved12) == 48);

LAYOUT_ASSERT(sizeof(VELTRA_BANK_INFO) == 48);
LAYOUT_ASSERT(offsetof(VELTRA_BANK_INFO, bankValue1) == 8);
LAYOUT_ASSERT(offsetof(VELTRA_BANK_INFO, bankValue2) == 16);
LAYOUT_ASSERT(offsetof(VELTRA_BANK_INFO, bankHalf0) == 24);
LAYOUT_ASSERT(offsetof(VELTRA_BANK_INFO, bankHalf1) == 26);
LAYOUT_ASSERT(offsetof(VELTRA_BANK_INFO, bankHalfSum) == 28);
LAYOUT_ASSERT(offsetof(VELTRA_BANK_INFO, bankValue3) == 32);
LAYOUT_ASSERT(offsetof(VELTRA_BANK_INFO, bankValue4) == 36);
LAYOUT_ASSERT(offsetof(VELTRA_BANK_INFO, bBankFlag) == 40);

LAYOUT_ASSERT(sizeof(VELTRA_MODULE_INFOA) == 280);
LAYOUT_ASSERT(offsetof(VELTRA_MODULE_INFOA, moduleText1) == 64);
LAYOUT_ASSERT(offsetof(VELTRA_MODULE_INFOA, moduleText3) == 192);
LAYOUT_ASSERT(offsetof(VELTRA_MODULE_INFOA, moduleFixed) == 256);
LAYOUT_ASSERT(offsetof(VELTRA_MODULE_INFOA, moduleValue0) == 264);
LAYOUT_ASSERT(offsetof(VELTRA_MODULE_INFOA, moduleValue1) == 268);
LAYOUT_ASSERT(offsetof(VELTRA_MODULE_INFOA, bModuleFlag) == 272);

LAYOUT_ASSERT(sizeof(VELTRA_MODULE_INFOW) == 536);
LAYOUT_ASSERT(offsetof(VELTRA_MODULE_INFOW, moduleText1) == 128);
LAYOUT_ASSERT(offsetof(VELTRA_MODULE_INFOW, moduleText3) == 384);
LAYOUT_ASSERT(offsetof(VELTRA_MODULE_INFOW, moduleFixed) == 512);
LAYOUT_ASSERT(offsetof(VELTRA_MODULE_INFOW, moduleValue0) == 520);
LAYOUT_ASSERT(offsetof(VELTRA_MODULE_INFOW, moduleValue1) == 524);
LAYOUT_ASSERT(offsetof(VELTRA_MODULE_INFOW, bModuleFlag) == 528);

LAYOUT_ASSERT(sizeof(VELTRA_WINDOW_INFO) == 40);
LAYOUT_ASSERT(offsetof(VELTRA_WINDOW_INFO, windowValue4) == 32);

LAYOUT_ASSERT(sizeof(VELTRA_FPGA_INFOA) == 104);
LAYOUT_ASSERT(offsetof(VELTRA_FPGA_INFOA, typeCode) == 32);
LAYOUT_ASSERT(offsetof(VELTRA_FPGA_INFOA, family) == 36);
LAYOUT_ASSERT(offsetof(VELTRA_FPGA_INFOA, attribute1) == 40);
LAYOUT_ASSERT(offsetof(VELTRA_FPGA_INFOA, packageCode) == 44);
LAYOUT_ASSERT(offsetof(VELTRA_FPGA_INFOA, deviceName) == 48);
LAYOUT_ASSERT(offsetof(VELTRA_FPGA_INFOA, packageName) == 64);
LAYOUT_ASSERT(offsetof(VELTRA_FPGA_INFOA, attribute2) == 80);
LAYOUT_ASSERT(offsetof(VELTRA_FPGA_INFOA, text1) == 84);
LAYOUT_ASSERT(offsetof(VELTRA_FPGA_INFOA, text2) == 92);
LAYOUT_ASSERT(offsetof(VELTRA_FPGA_INFOA, attribute3) == 100);

LAYOUT_ASSERT(sizeof(VELTRA_FPGA_INFOW) == 184);
LAYOUT_ASSERT(offsetof(VELTRA_FPGA_INFOW, typeCode) == 64);
LAYOUT_ASSERT(offsetof(VELTRA_FPGA_INFOW, family) == 68);
LAYOUT_ASSERT(offsetof(VELTRA_FPGA_INFOW, attribute1) == 72);
LAYOUT_ASSERT(offsetof(VELTRA_FPGA_INFOW, packageCode) == 76);
LAYOUT_ASSERT(offsetof(VELTRA_FPGA_INFOW, deviceName) == 80);
LAYOUT_ASSERT(offsetof(VELTRA_FPGA_INFOW, packageName) == 112);
LAYOUT_ASSERT(offsetof(VELTRA_FPGA_INFOW, attribute2) == 144);
LAYOUT_ASSERT(offsetof(VELTRA_FPGA_INFOW, text1) == 148);
LAYOUT_ASSERT(offsetof(VELTRA_FPGA_INFOW, text2) == 164);
LAYOUT_ASSERT(offsetof(VELTRA_FPGA_INFOW, attribute3) == 180);

LAYOUT_ASSERT(offsetof(VELTRA_BITSTREAMA, length) == 32);
LAYOUT_ASSERT(offsetof(VELTRA_BITSTREAMA, data) == 36);
LAYOUT_ASSERT(sizeof(VELTRA_BITSTREAMA) == 40);
LAYOUT_ASSERT(offsetof(VELTRA_BITSTREAMW, length) == 64);
LAYOUT_ASSERT(offsetof(VELTRA_BITSTREAMW, data) == 68);
LAYOUT_ASSERT(sizeof(VELTRA_BITSTREAMW) == 72);

LAYOUT_ASSERT(sizeof(VELTRA_FLASH_INFOA) == 56);
LAYOUT_ASSERT(offsetof(VELTRA_FLASH_INFOA, attribute1) == 32);
LAYOUT_ASSERT(offsetof(VELTRA_FLASH_INFOA, attribute2) == 40);
LAYOUT_ASSERT(offsetof(VELTRA_FLASH_INFOA, attribute3) == 48);
LAYOUT_ASSERT(sizeof(VELTRA_FLASH_INFOW) == 88);
LAYOUT_ASSERT(offsetof(VELTRA_FLASH_INFOW, attribute1) == 64);
LAYOUT_ASSERT(offsetof(VELTRA_FLASH_INFOW, attribute3) == 80);
LAYOUT_ASSERT(sizeof(VELTRA_FLASH_BLOCK_INFO) == 24);
LAYOUT_ASSERT(offsetof(VELTRA_FLASH_BLOCK_INFO, attribute2) == 8);
LAYOUT_ASSERT(offsetof(VELTRA_FLASH_BLOCK_INFO, attribute3) == 16);

LAYOUT_ASSERT(sizeof(VELTRA_SENSOR_INFOA) == 56);
LAYOUT_ASSERT(offsetof(VELTRA_SENSOR_INFOA, attribute1) == 28);
LAYOUT_ASSERT(offsetof(VELTRA_SENSOR_INFOA, attribute2) == 32);
LAYOUT_ASSERT(offsetof(VELTRA_SENSOR_INFOA, attribute3) == 40);
LAYOUT_ASSERT(offsetof(VELTRA_SENSOR_INFOA, attribute4) == 44);
LAYOUT_ASSERT(offsetof(VELTRA_SENSOR_INFOA, attribute5) == 48);
LAYOUT_ASSERT(sizeof(VELTRA_SENSOR_INFOW) == 88);
LAYOUT_ASSERT(offsetof(VELTRA_SENSOR_INFOW, attribute1) == 56);
LAYOUT_ASSERT(offsetof(VELTRA_SENSOR_INFOW, attribute2) == 64);
LAYOUT_ASSERT(offsetof(VELTRA_SENSOR_INFOW, attribute3) == 72);
LAYOUT_ASSERT(offsetof(VELTRA_SENSOR_INFOW, attribute4) == 76);
LAYOUT_ASSERT(offsetof(VELTRA_SENSOR_INFOW, attribute5) == 80);
LAYOUT_ASSERT(sizeof(VELTRA_SENSOR_VALUE) == 8);

LAYOUT_ASSERT(sizeof(VELTRA_DEVICE_STATUS) == 32);
LAYOUT_ASSERT(offsetof(VELTRA_DEVICE_STATUS, status2) == 4);
LAYOUT_ASSERT(offsetof(VELTRA_DEVICE_STATUS, status3) == 8);
LAYOUT_ASSERT(offsetof(VELTRA_DEVICE_STATUS, reserved) == 12);
LAYOUT_ASSERT(offsetof(VELTRA_DEVICE_STATUS, status4) == 24);
LAYOUT_ASSERT(offsetof(VELTRA_DEVICE_STATUS, status5) == 28);
