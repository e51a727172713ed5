// The driver requests of the KESTA library: number, name and the input and
// output lengths each is sent with.
#pragma once

#include <cstdint>

#include "wdm.h"

using KestaRequest = WdmRequest;

namespace kesta_request {
inline constexpr KestaRequest kSetOpenFlags{2, "IOCTL_KESTA_SET_OPEN_FLAGS", 4, 0};
inline constexpr KestaRequest kGetProdTestInfo{3, "IOCTL_KESTA_GET_PROD_TEST_INFO", 0, 16};
inline constexpr KestaRequest kServiceIrq{4, "IOCTL_KESTA_SERVICE_IRQ", 0, 4};
inline constexpr KestaRequest kGetUniqueId{5, "IOCTL_KESTA_GET_UNIQUE_ID", 0, 8};
inline constexpr KestaRequest kAbortIprog{6, "IOCTL_KESTA_ABORT_IPROG", 4, 0};
inline constexpr KestaRequest kScheduleIprog{7, "IOCTL_KESTA_SCHEDULE_IPROG", 24, 0};
inline constexpr KestaRequest kStatusIprog{8, "IOCTL_KESTA_STATUS_IPROG", 4, 16};
}  // namespace kesta_request
