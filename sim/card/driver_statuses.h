// The status codes that the driver reports (bit 29 plus the code, see
// vsim::driverError). They are the libraries' own numbering.
#pragma once

#include <cstdint>

#include "vsim/driver.h"

namespace vsim::status {

inline constexpr uint32_t kVeltraInternalError = 256;
inline constexpr uint32_t kVeltraNoMemory = 259;
inline constexpr uint32_t kVeltraHardwareError = 263;
inline constexpr uint32_t kVeltraInvalidBuffer = 266;
inline constexpr uint32_t kVeltraInvalidFlag = 267;
inline constexpr uint32_t kVeltraInvalidFrequency = 268;
inline constexpr uint32_t kVeltraInvalidHandle = 269;
inline constexpr uint32_t kVeltraInvalidIndex = 270;
inline constexpr uint32_t kVeltraInvalidRegion = 271;
inline constexpr uint32_t kVeltraBusy = 273;
inline constexpr uint32_t kVeltraCancelFailed = 274;
inline constexpr uint32_t kVeltraResourceLimit = 276;
inline constexpr uint32_t kVeltraRegionTooLarge = 277;
inline constexpr uint32_t kVeltraNotOwner = 279;
inline constexpr uint32_t kVeltraInvalidBufferHandle = 282;
inline constexpr uint32_t kVeltraInvalidLocalRegion = 283;
inline constexpr uint32_t kVeltraNotSupported = 285;

inline constexpr uint32_t kKestaNoMemory = 515;
inline constexpr uint32_t kKestaInvalidFlag = 520;
inline constexpr uint32_t kKestaInvalidIndex = 522;
inline constexpr uint32_t kKestaWrongMode = 529;
inline constexpr uint32_t kKestaInvalidParameter = 531;

}  // namespace vsim::status

namespace vsim::model {

// A request that fails with one of the driver's statuses.
inline Outcome driverStatus(uint32_t code) {
    return Outcome::failure(driverError(code));
}

}  // namespace vsim::model
