// How the request trace shows the requests of the two device interfaces:
// the request's name and the fields of its input record.
#include <cstdio>
#include <string>

#include "card/devices.h"
#include "card/request_codes.h"
#include "card/driver_statuses.h"

namespace vsim::model {
namespace {

struct Field {
    const char* name;
    uint8_t offset;
    uint8_t size;  // 4 or 8 bytes
    bool hex;
};

struct RequestName {
    uint32_t code;
    const char* name;
    Field fields[6];
};

// Input records that several requests share.
#define VSIM_TRANSFER(target)                                                 \
    {                                                                         \
        {target, 0, 4, false}, {"flags", 4, 4, true}, {"offset", 8, 8, true}, \
            {"length", 16, 8, false}, {                                       \
            "buffer", 24, 8, true                                             \
        }                                                                     \
    }
#define VSIM_DMA(host)                                                       \
    {                                                                        \
        {"channel", 0, 4, false}, {"flags", 4, 4, true}, {host, 8, 8, true}, \
            {"length", 16, 8, false}, {                                      \
            "local", 24, 8, true                                             \
        }                                                                    \
    }
#define VSIM_DMA_LOCKED                                                          \
    {                                                                            \
        {"channel", 0, 4, false}, {"flags", 4, 4, true}, {"offset", 8, 8, true}, \
            {"length", 16, 8, false}, {"local", 24, 8, true}, {                  \
            "buffer", 32, 4, false                                               \
        }                                                                        \
    }
#define VSIM_INDEX(name)      \
    {                         \
        { name, 0, 4, false } \
    }

const RequestName kVeltraRequests[] = {
    {ioctl::kGetCardInfo, "GET_CARD_INFO", {}},
    {ioctl::kGetBankInfo, "GET_BANK_INFO", VSIM_INDEX("bank")},
    {ioctl::kGetFpgaInfo, "GET_FPGA_INFO", VSIM_INDEX("fpga")},
    {ioctl::kGetVersionInfo, "GET_VERSION_INFO", {}},
    {ioctl::kGetWindowInfo, "GET_WINDOW_INFO", VSIM_INDEX("window")},
    {ioctl::kConfigure,
     "CONFIGURE",
     {{"fpga", 0, 4, false},
      {"flags", 4, 4, true},
      {"data", 8, 8, true},
      {"length", 16, 8, false}}},
    {ioctl::kGetClockFrequency, "GET_CLOCK_FREQUENCY", VSIM_INDEX("clock")},
    {ioctl::kSetClockFrequency,
     "SET_CLOCK_FREQUENCY",
     {{"clock", 0, 4, false}, {"flags", 4, 4, true}, {"frequency", 8, 8, false}}},
    {ioctl::kRegisterEvent,
     "REGISTER_EVENT",
     {{"event", 0, 8, true}, {"notification", 8, 4, false}}},
    {ioctl::kUnregisterEvent,
     "UNREGISTER_EVENT",
     {{"event", 0, 8, true}, {"notification", 8, 4, false}}},
    {ioctl::kRead, "READ", VSIM_TRANSFER("window")},
    {ioctl::kWrite, "WRITE", VSIM_TRANSFER("window")},
    {ioctl::kEraseFlash,
     "ERASE_FLASH",
     {{"flash", 0, 4, false},
      {"flags", 4, 4, true},
      {"offset", 8, 8, true},
      {"length", 16, 8, false}}},
    {ioctl::kReadFlash, "READ_FLASH", VSIM_TRANSFER("flash")},
    {ioctl::kWriteFlash, "WRITE_FLASH", VSIM_TRANSFER("flash")},
    {ioctl::kGetFlashInfo, "GET_FLASH_INFO", VSIM_INDEX("flash")},
    {ioctl::kGetFlashBlockInfo,
     "GET_FLASH_BLOCK_INFO",
     {{"offset", 0, 8, true}, {"flash", 8, 4, false}}},
    {ioctl::kLock, "LOCK", {{"address", 0, 8, true}, {"length", 8, 8, false}}},
    {ioctl::kUnlock, "UNLOCK", VSIM_INDEX("buffer")},
    {ioctl::kReadDma, "READ_DMA", VSIM_DMA("host")},
    {ioctl::kWriteDma, "WRITE_DMA", VSIM_DMA("host")},
    {ioctl::kReadDmaLocked, "READ_DMA_LOCKED", VSIM_DMA_LOCKED},
    {ioctl::kWriteDmaLocked, "WRITE_DMA_LOCKED", VSIM_DMA_LOCKED},
    {ioctl::kReadVpd,
     "READ_VPD",
     {{"offset", 0, 8, true},
      {"length", 8, 8, false},
      {"buffer", 16, 8, true},
      {"flags", 24, 4, true}}},
    {ioctl::kWriteVpd,
     "WRITE_VPD",
     {{"offset", 0, 8, true},
      {"length", 8, 8, false},
      {"buffer", 16, 8, true},
      {"flags", 24, 4, true}}},
    {ioctl::kUnconfigure, "UNCONFIGURE", {{"fpga", 0, 4, false}, {"flags", 4, 4, true}}},
    {ioctl::kWaitNotification, "WAIT_NOTIFICATION", VSIM_INDEX("notification")},
    {ioctl::kSetOpenFlags, "SET_OPEN_FLAGS", {{"flags", 0, 4, true}}},
    {ioctl::kGetCardInfoEx, "GET_CARD_INFO_EX", {}},
    {ioctl::kGetModuleInfo, "GET_MODULE_INFO", {{"buffer", 0, 8, true}, {"module", 8, 4, false}}},
    {ioctl::kGetSensorInfo, "GET_SENSOR_INFO", VSIM_INDEX("sensor")},
    {ioctl::kReadSensor, "READ_SENSOR", VSIM_INDEX("sensor")},
    {ioctl::kSyncFlash, "SYNC_FLASH", {{"flash", 0, 4, false}, {"flags", 4, 4, true}}},
    {ioctl::kReadDmaBus, "READ_DMA_BUS", VSIM_DMA("bus")},
    {ioctl::kWriteDmaBus, "WRITE_DMA_BUS", VSIM_DMA("bus")},
    {ioctl::kGetCommonBufferCount, "GET_COMMON_BUFFER_COUNT", {}},
    {ioctl::kGetCommonBuffer, "GET_COMMON_BUFFER", VSIM_INDEX("buffer")},
    {ioctl::kGetDeviceStatus, "GET_DEVICE_STATUS", {{"flags", 0, 4, true}}},
    {ioctl::kClearDeviceErrors, "CLEAR_DEVICE_ERRORS", {}},
    {ioctl::kCancel, "CANCEL", {}},
    {ioctl::kMmappend,
     "MAP",
     {{"region", 0, 4, true}, {"offset", 8, 8, true}, {"length", 16, 8, false}}},
    {ioctl::kMmapUnmap, "UNMAP", {{"address", 0, 8, true}}},
};

const RequestName kKestaRequests[] = {
    {ioctl::kesta::kSetOpenFlags, "SET_OPEN_FLAGS", {{"flags", 0, 4, true}}},
    {ioctl::kesta::kGetProdTestInfo, "GET_PROD_TEST_INFO", {}},
    {ioctl::kesta::kServiceIrq, "SERVICE_IRQ", {}},
    {ioctl::kesta::kGetUniqueId, "GET_UNIQUE_ID", {}},
    {ioctl::kesta::kAbortIprog, "ABORT_IPROG", VSIM_INDEX("slot")},
    {ioctl::kesta::kScheduleIprog,
     "SCHEDULE_IPROG",
     {{"address", 0, 8, true},
      {"slot", 8, 4, false},
      {"flags", 12, 4, true},
      {"value", 16, 4, true}}},
    {ioctl::kesta::kStatusIprog, "STATUS_IPROG", VSIM_INDEX("slot")},
};

#undef VSIM_TRANSFER
#undef VSIM_DMA
#undef VSIM_DMA_LOCKED
#undef VSIM_INDEX

template <size_t N>
std::string describe(const RequestName (&table)[N], const char* device, uint32_t card,
                     const IoRequest& rq) {
    char text[96];
    std::snprintf(text, sizeof text, "card %u %s ", card, device);
    std::string line = text;
    const RequestName* found = nullptr;
    for (const auto& r : table)
        if (r.code == rq.code())
            found = &r;
    if (found == nullptr) {
        std::snprintf(text, sizeof text, "request 0x%X in=%u out=%u", rq.code(), rq.inSize(),
                      rq.outSize());
        return line + text;
    }
    line += found->name;
    for (const Field& f : found->fields) {
        if (f.name == nullptr || f.offset + f.size > rq.inSize())
            continue;
        const uint64_t value =
            f.size == 8 ? rq.in<uint64_t>(f.offset) : uint64_t{rq.in<uint32_t>(f.offset)};
        std::snprintf(text, sizeof text, f.hex ? " %s=0x%llX" : " %s=%llu", f.name,
                      static_cast<unsigned long long>(value));
        line += text;
    }
    return line;
}

}  // namespace

std::string VeltraDevice::describe(const IoRequest& request) const {
    return model::describe(kVeltraRequests, "VELTRA", card_->index, request);
}

std::string KestaDevice::describe(const IoRequest& request) const {
    return model::describe(kKestaRequests, "KESTA", card_->index, request);
}

const char* driverStatusName(uint32_t code) {
    switch (code) {
        case status::kVeltraInternalError:
            return "VELTRA_INTERNAL_ERROR";
        case status::kVeltraHardwareError:
            return "VELTRA_HARDWARE_ERROR";
        case status::kVeltraInvalidBuffer:
            return "VELTRA_INVALID_BUFFER";
        case status::kVeltraInvalidFlag:
            return "VELTRA_INVALID_FLAG";
        case status::kVeltraInvalidFrequency:
            return "VELTRA_INVALID_FREQUENCY";
        case status::kVeltraInvalidHandle:
            return "VELTRA_INVALID_HANDLE";
        case status::kVeltraInvalidIndex:
            return "VELTRA_INVALID_INDEX";
        case status::kVeltraInvalidRegion:
            return "VELTRA_INVALID_REGION";
        case status::kVeltraBusy:
            return "VELTRA_BUSY";
        case status::kVeltraCancelFailed:
            return "VELTRA_CANCEL_FAILED";
        case status::kVeltraResourceLimit:
            return "VELTRA_RESOURCE_LIMIT";
        case status::kVeltraRegionTooLarge:
            return "VELTRA_REGION_TOO_LARGE";
        case status::kVeltraNotOwner:
            return "VELTRA_NOT_OWNER";
        case status::kVeltraInvalidBufferHandle:
            return "VELTRA_INVALID_BUFFER_HANDLE";
        case status::kVeltraInvalidLocalRegion:
            return "VELTRA_INVALID_LOCAL_REGION";
        case status::kVeltraNotSupported:
            return "VELTRA_NOT_SUPPORTED";
        case status::kKestaInvalidFlag:
            return "KESTA_INVALID_FLAG";
        case status::kKestaInvalidIndex:
            return "KESTA_INVALID_INDEX";
        case status::kKestaWrongMode:
            return "KESTA_WRONG_MODE";
        case status::kKestaInvalidParameter:
            return "KESTA_INVALID_PARAMETER";
        default:
            return nullptr;
    }
}

}  // namespace vsim::model
