// The driver contract, stated once more independently of the libraries and
// of the simulator: the interface classes as their registry text, every
// request code with the lengths it is sent with, and the open's access,
// share and flags. Each value is written out here; the libraries are checked
// against it through what they send, and the simulator through what it
// answers, so a wrong value on either side fails.
#include <kesta.h>
#include <veltra.h>

#include <cstring>
#include <functional>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "bitstream_writer.h"
#include "records.h"
#include "simtest.h"

namespace {

const GUID kVeltraInterface = simtest::guidFromText("{4A8924E1-A143-44C2-8EC1-64EC73F90F96}");
const GUID kKestaInterface = simtest::guidFromText("{6E8B60DA-DD4F-4D5E-AD96-5A9E06C28ACD}");

vsim::Guid simGuid(const GUID& g) {
    vsim::Guid guid{static_cast<uint32_t>(g.Data1), g.Data2, g.Data3, {}};
    std::memcpy(guid.data4, g.Data4, 8);
    return guid;
}

// Access, share mode and flags of every open.
constexpr uint32_t kReadData = 0x1;
constexpr uint32_t kReadWriteData = 0x3;
constexpr uint32_t kShareReadWrite = 0x3;
constexpr uint32_t kOverlapped = 0x40000000;

// One request as the contract states it: its code and the lengths of its
// input and output.
struct Sent {
    uint32_t code, in, out;
    bool operator==(const Sent&) const = default;
};

void PrintTo(const Sent& sent, std::ostream* out) {
    *out << "{0x" << std::hex << sent.code << std::dec << ", " << sent.in << ", " << sent.out
         << "}";
}

// One export of a library and the requests it sends, in order.
struct Sends {
    const char* exportName;
    std::function<void()> call;
    std::vector<Sent> requests;
};

// Runs each export against a scripted device and checks the requests it
// sends, code and lengths, against those the export's entry states; returns
// the codes seen.
std::set<uint32_t> checkExports(vsim::ScriptedDevice& device, const std::vector<Sends>& exports) {
    std::set<uint32_t> seen;
    for (const auto& e : exports) {
        SCOPED_TRACE(e.exportName);
        device.clearRequests();
        e.call();
        std::vector<Sent> sent;
        for (const auto& r : device.requests()) {
            sent.push_back({r.code, r.inSize, r.outSize});
            seen.insert(r.code);
        }
        EXPECT_EQ(sent, e.requests);
    }
    return seen;
}

TEST(Contract, InterfaceClassesOfBothLibraries) {
    simtest::PlatformScope platform;
    {
        // Devices under the contract's classes, and decoys under classes one
        // digit away (the KESTA one is the mistake this contract once had).
        simtest::ScriptedMachine machine;
        machine.add(simGuid(simtest::guidFromText("{4A8924E1-A143-44C2-8EC1-64EC73F90F97}")));
        machine.add(simGuid(simtest::guidFromText("{6E8B60DA-DD4F-4D5E-AD9E-5A9E06C28ACD}")));
        VELTRA_HANDLE card = nullptr;
        KESTA_HANDLE bridge = nullptr;
        EXPECT_EQ(VELTRA_Open(0, &card), VELTRA_DEVICE_NOT_FOUND);
        EXPECT_EQ(KESTA_Open(0, 0, 0, &bridge), KESTA_DEVICE_NOT_FOUND);
        auto veltra = machine.add(simGuid(kVeltraInterface));
        auto kesta = machine.add(simGuid(kKestaInterface));
        ASSERT_EQ(VELTRA_Open(0, &card), VELTRA_SUCCESS);
        ASSERT_EQ(KESTA_Open(0, 0, 0, &bridge), KESTA_SUCCESS);
        EXPECT_EQ(veltra->openHandles(), 1u);
        EXPECT_EQ(kesta->openHandles(), 1u);
        VELTRA_Close(card);
        KESTA_Close(bridge);
    }
    // The simulator registers each card under both classes.
    const struct {
        const GUID* guid;
        const char* text;
    } classes[] = {{&kVeltraInterface, "{4a8924e1-a143-44c2-8ec1-64ec73f90f96}"},
                   {&kKestaInterface, "{6e8b60da-dd4f-4d5e-ad96-5a9e06c28acd}"}};
    for (const auto& c : classes) {
        SCOPED_TRACE(c.text);
        for (DWORD card = 0; card < 2; ++card) {
            const std::string path = simtest::interfacePath(*c.guid, card);
            EXPECT_NE(path.find(c.text), std::string::npos) << path;
        }
        EXPECT_EQ(simtest::interfacePath(*c.guid, 2), "");
    }
    EXPECT_TRUE(vsim::kVeltraInterface == simGuid(kVeltraInterface));
    EXPECT_TRUE(vsim::kKestaInterface == simGuid(kKestaInterface));
}

TEST(Contract, OpenAccessShareAndFlags) {
    simtest::PlatformScope platform;
    simtest::ScriptedMachine machine;
    auto veltra = machine.add(simGuid(kVeltraInterface));
    auto kesta = machine.add(simGuid(kKestaInterface));
    const struct {
        std::function<void()> open;
        vsim::ScriptedDevice* device;
        uint32_t access;
    } cases[] = {
        {[] {
             VELTRA_HANDLE h = nullptr;
             ASSERT_EQ(VELTRA_Open(0, &h), VELTRA_SUCCESS);
             VELTRA_Close(h);
         },
         veltra.get(), kReadWriteData},
        {[] {
             VELTRA_HANDLE h = nullptr;
             ASSERT_EQ(VELTRA_OpenEx(0, 1, 0, &h), VELTRA_SUCCESS);
             VELTRA_Close(h);
         },
         veltra.get(), kReadData},
        {[] {
             KESTA_HANDLE h = nullptr;
             ASSERT_EQ(KESTA_Open(0, 0, 0, &h), KESTA_SUCCESS);
             KESTA_Close(h);
         },
         kesta.get(), kReadWriteData},
        {[] {
             KESTA_HANDLE h = nullptr;
             ASSERT_EQ(KESTA_Open(0, 1, 0, &h), KESTA_SUCCESS);
             KESTA_Close(h);
         },
         kesta.get(), kReadData},
    };
    for (const auto& c : cases) {
        c.open();
        const vsim::OpenParams params = c.device->opens().back();
        EXPECT_EQ(params.access, c.access);
        EXPECT_EQ(params.share, kShareReadWrite);
        EXPECT_EQ(params.flags, kOverlapped);
    }
}

// A scripted card that answers what the exports need to reach their
// requests: four windows, an FPGA that matches the file below, and
// mappings that pend with their address as the driver's do.
class VeltraRequests : public testing::Test {
  protected:
    void SetUp() override {
        device_ = machine_.add(simGuid(kVeltraInterface));
        device_->onCode(0x22200C, vsim::Answer::replyWith(vsim::Bytes(36).put<uint32_t>(28, 4)));
        device_->onCode(0x22201C,
                        vsim::Answer::replyWith(
                            vsim::Bytes(40).put<uint32_t>(0, 260).put<uint32_t>(4, 7).put<uint32_t>(
                                12, 0x46460485)));
        device_->onCode(0x22280E, vsim::Answer::run([this](vsim::IoRequest& rq) {
                            const uint64_t address = 0x7000000 + 0x1000 * ++mappings_;
                            std::memcpy(rq.directOutput(), &address, sizeof address);
                            mapped_.push_back(rq.pend(false));
                            return vsim::Outcome::pending();
                        }));
        device_->onCode(0x222810, vsim::Answer::run([this](vsim::IoRequest&) {
                            mapped_.front()->complete(vsim::kSuccess);
                            mapped_.erase(mapped_.begin());
                            return vsim::Outcome::success();
                        }));
        ASSERT_TRUE(
            bitstream::Writer::standard("7vx690tffg1157", {0xAA, 0x99, 0x55, 0x66}).writeTo(file_));
        for (size_t i = 0; i < file_.size(); ++i)
            wideFile_[i] = static_cast<WCHAR>(file_[i]);
        overlapped_.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        ASSERT_EQ(VELTRA_Open(0, &card_), VELTRA_SUCCESS);
    }
    void TearDown() override {
        VELTRA_Close(card_);
        CloseHandle(overlapped_.hEvent);
        DeleteFileA(file_.c_str());
    }

    simtest::PlatformScope platform_;
    simtest::ScriptedMachine machine_;
    std::shared_ptr<vsim::ScriptedDevice> device_;
    VELTRA_HANDLE card_ = nullptr;
    uint32_t mappings_ = 0;
    std::vector<std::shared_ptr<vsim::PendingIo>> mapped_;
    const std::string file_ = simtest::scratchName("contract") + ".bit";
    WCHAR wideFile_[64] = {};
    OVERLAPPED overlapped_{};
    uint8_t buffer_[64] = {};
};

TEST_F(VeltraRequests, EveryExportSendsItsRequestWithTheContractsLengths) {
    HANDLE card = card_;
    uint8_t* b = buffer_;
    LPOVERLAPPED ov = &overlapped_;
    void* base = nullptr;
    uint32_t u32 = 0;
    uint64_t u64 = 0;
    double frequency = 0;
    VELTRA_VERSION_INFO version;
    VELTRA_CARD_INFO cardInfo;
    VELTRA_CARD_INFO_EX cardInfoEx;
    VELTRA_BANK_INFO bank;
    VELTRA_MODULE_INFOA moduleA;
    VELTRA_MODULE_INFOW moduleW;
    VELTRA_FPGA_INFOA fpgaA;
    VELTRA_FPGA_INFOW fpgaW;
    VELTRA_WINDOW_INFO window;
    VELTRA_FLASH_INFOA flashA;
    VELTRA_FLASH_INFOW flashW;
    VELTRA_FLASH_BLOCK_INFO block;
    VELTRA_SENSOR_INFOA sensorA;
    VELTRA_SENSOR_INFOW sensorW;
    VELTRA_SENSOR_VALUE value;
    VELTRA_DEVICE_STATUS status;
    VELTRA_HANDLE opened = nullptr;
    const std::vector<Sends> exports = {
        {"VELTRA_OpenEx", [&] { VELTRA_OpenEx(0, 0, 1, &opened); }, {{0x2220F4, 4, 0}}},
        // A close asks the handle whether it is a card before anything else.
        {"VELTRA_Close", [&] { VELTRA_Close(opened); }, {{0x2220FC, 0, 44}}},
        {"VELTRA_GetVersionInfo",
         [&] { VELTRA_GetVersionInfo(card, &version); },
         {{0x222024, 0, 6}}},
        {"VELTRA_GetCardInfo", [&] { VELTRA_GetCardInfo(card, &cardInfo); }, {{0x22200C, 0, 36}}},
        {"VELTRA_GetCardInfoEx",
         [&] { VELTRA_GetCardInfoEx(card, &cardInfoEx); },
         {{0x2220FC, 0, 44}}},
        {"VELTRA_GetBankInfo", [&] { VELTRA_GetBankInfo(card, 0, &bank); }, {{0x222014, 4, 40}}},
        {"VELTRA_GetModuleInfoA",
         [&] { VELTRA_GetModuleInfoA(card, 0, &moduleA); },
         {{0x222104, 16, 0}}},
        {"VELTRA_GetModuleInfoW",
         [&] { VELTRA_GetModuleInfoW(card, 0, &moduleW); },
         {{0x222104, 16, 0}}},
        {"VELTRA_GetFpgaInfoA", [&] { VELTRA_GetFpgaInfoA(card, 0, &fpgaA); }, {{0x22201C, 4, 40}}},
        {"VELTRA_GetFpgaInfoW", [&] { VELTRA_GetFpgaInfoW(card, 0, &fpgaW); }, {{0x22201C, 4, 40}}},
        {"VELTRA_ConfigureFromBuffer",
         [&] { VELTRA_ConfigureFromBuffer(card, 0, 0, b, 4); },
         {{0x22203C, 24, 0}}},
        {"VELTRA_ConfigureFromFileA",
         [&] { EXPECT_EQ(VELTRA_ConfigureFromFileA(card, 0, 0, file_.c_str()), VELTRA_SUCCESS); },
         {{0x22201C, 4, 40}, {0x22203C, 24, 0}}},
        {"VELTRA_ConfigureFromFileW",
         [&] { EXPECT_EQ(VELTRA_ConfigureFromFileW(card, 0, 0, wideFile_), VELTRA_SUCCESS); },
         {{0x22201C, 4, 40}, {0x22203C, 24, 0}}},
        {"VELTRA_Unconfigure", [&] { VELTRA_Unconfigure(card, 0, 0); }, {{0x2220DC, 8, 0}}},
        {"VELTRA_GetFlashInfoA",
         [&] { VELTRA_GetFlashInfoA(card, 0, &flashA); },
         {{0x22208C, 4, 32}}},
        {"VELTRA_GetFlashInfoW",
         [&] { VELTRA_GetFlashInfoW(card, 0, &flashW); },
         {{0x22208C, 4, 32}}},
        {"VELTRA_GetFlashBlockInfo",
         [&] { VELTRA_GetFlashBlockInfo(card, 0, 0, &block); },
         {{0x222094, 16, 24}}},
        {"VELTRA_EraseFlash", [&] { VELTRA_EraseFlash(card, 0, 0, 0, 64); }, {{0x222074, 24, 0}}},
        {"VELTRA_ReadFlash", [&] { VELTRA_ReadFlash(card, 0, 0, 0, 64, b); }, {{0x22207C, 32, 0}}},
        {"VELTRA_WriteFlash",
         [&] { VELTRA_WriteFlash(card, 0, 0, 0, 64, b); },
         {{0x222084, 32, 0}}},
        {"VELTRA_SyncFlash", [&] { VELTRA_SyncFlash(card, 0, 0); }, {{0x222124, 8, 0}}},
        {"VELTRA_ReadVPD", [&] { VELTRA_ReadVPD(card, 0, 0, 64, b); }, {{0x2220CC, 32, 0}}},
        {"VELTRA_WriteVPD", [&] { VELTRA_WriteVPD(card, 0, 0, 64, b); }, {{0x2220D4, 32, 0}}},
        {"VELTRA_GetClockFrequency",
         [&] { VELTRA_GetClockFrequency(card, 1, &frequency); },
         {{0x222044, 4, 8}}},
        {"VELTRA_SetClockFrequency",
         [&] { VELTRA_SetClockFrequency(card, 1, 0, 1.0e8, &frequency); },
         {{0x22204C, 16, 8}}},
        {"VELTRA_GetSensorInfoA",
         [&] { VELTRA_GetSensorInfoA(card, 0, &sensorA); },
         {{0x22210C, 4, 48}}},
        {"VELTRA_GetSensorInfoW",
         [&] { VELTRA_GetSensorInfoW(card, 0, &sensorW); },
         {{0x22210C, 4, 48}}},
        {"VELTRA_ReadSensor", [&] { VELTRA_ReadSensor(card, 0, &value); }, {{0x22211C, 4, 12}}},
        {"VELTRA_GetDeviceStatus",
         [&] { VELTRA_GetDeviceStatus(card, 0, &status, &u32); },
         {{0x22214C, 4, 20}}},
        {"VELTRA_ClearDeviceErrors", [&] { VELTRA_ClearDeviceErrors(card); }, {{0x222154, 0, 0}}},
        {"VELTRA_GetWindowInfo",
         [&] { VELTRA_GetWindowInfo(card, 0, &window); },
         {{0x22202C, 4, 40}}},
        {"VELTRA_Read", [&] { VELTRA_Read(card, 0, 0, 0, 64, b); }, {{0x222064, 32, 0}}},
        {"VELTRA_Write", [&] { VELTRA_Write(card, 0, 0, 0, 64, b); }, {{0x22206C, 32, 0}}},
        {"VELTRA_GetCommonBufferCount",
         [&] { VELTRA_GetCommonBufferCount(card, &u32); },
         {{0x22213C, 0, 4}}},
        {"VELTRA_GetCommonBuffer",
         [&] { VELTRA_GetCommonBuffer(card, 0, &u64, &u64); },
         {{0x222144, 4, 16}}},
        {"VELTRA_MapWindow",
         [&] { EXPECT_EQ(VELTRA_MapWindow(card, 1, 0, 4096, &base), VELTRA_SUCCESS); },
         {{0x22200C, 0, 36}, {0x22280E, 24, 8}}},
        {"VELTRA_UnmapWindow",
         [&] { EXPECT_EQ(VELTRA_UnmapWindow(card, base), VELTRA_SUCCESS); },
         {{0x222810, 8, 0}}},
        {"VELTRA_MapCommonBuffer",
         [&] { EXPECT_EQ(VELTRA_MapCommonBuffer(card, 0, 0, 4096, &base), VELTRA_SUCCESS); },
         {{0x222144, 4, 16}, {0x22280E, 24, 8}}},
        {"VELTRA_UnmapCommonBuffer",
         [&] { EXPECT_EQ(VELTRA_UnmapCommonBuffer(card, base), VELTRA_SUCCESS); },
         {{0x222810, 8, 0}}},
        {"VELTRA_ReadDMA", [&] { VELTRA_ReadDMA(card, 0, 0, b, 64, 0); }, {{0x2220AC, 32, 0}}},
        {"VELTRA_ReadDMAEx", [&] { VELTRA_ReadDMAEx(card, 0, 0, b, 64, 0); }, {{0x2220AC, 32, 0}}},
        {"VELTRA_StartReadDMA",
         [&] { VELTRA_StartReadDMA(card, ov, 0, 0, b, 64, 0); },
         {{0x2220AC, 32, 0}}},
        {"VELTRA_StartReadDMAEx",
         [&] { VELTRA_StartReadDMAEx(card, ov, 0, 0, b, 64, 0); },
         {{0x2220AC, 32, 0}}},
        {"VELTRA_WriteDMA", [&] { VELTRA_WriteDMA(card, 0, 0, b, 64, 0); }, {{0x2220B4, 32, 0}}},
        {"VELTRA_WriteDMAEx",
         [&] { VELTRA_WriteDMAEx(card, 0, 0, b, 64, 0); },
         {{0x2220B4, 32, 0}}},
        {"VELTRA_StartWriteDMA",
         [&] { VELTRA_StartWriteDMA(card, ov, 0, 0, b, 64, 0); },
         {{0x2220B4, 32, 0}}},
        {"VELTRA_StartWriteDMAEx",
         [&] { VELTRA_StartWriteDMAEx(card, ov, 0, 0, b, 64, 0); },
         {{0x2220B4, 32, 0}}},
        {"VELTRA_ReadDMALocked",
         [&] { VELTRA_ReadDMALocked(card, 0, 0, 1, 0, 64, 0); },
         {{0x2220BC, 40, 0}}},
        {"VELTRA_ReadDMALockedEx",
         [&] { VELTRA_ReadDMALockedEx(card, 0, 0, 1, 0, 64, 0); },
         {{0x2220BC, 40, 0}}},
        {"VELTRA_StartReadDMALocked",
         [&] { VELTRA_StartReadDMALocked(card, ov, 0, 0, 1, 0, 64, 0); },
         {{0x2220BC, 40, 0}}},
        {"VELTRA_StartReadDMALockedEx",
         [&] { VELTRA_StartReadDMALockedEx(card, ov, 0, 0, 1, 0, 64, 0); },
         {{0x2220BC, 40, 0}}},
        {"VELTRA_WriteDMALocked",
         [&] { VELTRA_WriteDMALocked(card, 0, 0, 1, 0, 64, 0); },
         {{0x2220C4, 40, 0}}},
        {"VELTRA_WriteDMALockedEx",
         [&] { VELTRA_WriteDMALockedEx(card, 0, 0, 1, 0, 64, 0); },
         {{0x2220C4, 40, 0}}},
        {"VELTRA_StartWriteDMALocked",
         [&] { VELTRA_StartWriteDMALocked(card, ov, 0, 0, 1, 0, 64, 0); },
         {{0x2220C4, 40, 0}}},
        {"VELTRA_StartWriteDMALockedEx",
         [&] { VELTRA_StartWriteDMALockedEx(card, ov, 0, 0, 1, 0, 64, 0); },
         {{0x2220C4, 40, 0}}},
        {"VELTRA_ReadDMABus",
         [&] { VELTRA_ReadDMABus(card, 0, 0, 0x1000, 0, 64); },
         {{0x22212C, 32, 0}}},
        {"VELTRA_StartReadDMABus",
         [&] { VELTRA_StartReadDMABus(card, ov, 0, 0, 0x1000, 0, 64); },
         {{0x22212C, 32, 0}}},
        {"VELTRA_WriteDMABus",
         [&] { VELTRA_WriteDMABus(card, 0, 0, 0x1000, 0, 64); },
         {{0x222134, 32, 0}}},
        {"VELTRA_StartWriteDMABus",
         [&] { VELTRA_StartWriteDMABus(card, ov, 0, 0, 0x1000, 0, 64); },
         {{0x222134, 32, 0}}},
        {"VELTRA_Lock", [&] { VELTRA_Lock(card, b, 64, &u32); }, {{0x22209C, 16, 4}}},
        {"VELTRA_Unlock", [&] { VELTRA_Unlock(card, 1); }, {{0x2220A4, 4, 0}}},
        {"VELTRA_StartNotificationWait",
         [&] { VELTRA_StartNotificationWait(card, ov, 5); },
         {{0x2220E4, 4, 0}}},
        {"VELTRA_RegisterWin32Event",
         [&] { VELTRA_RegisterWin32Event(card, 5, ov->hEvent); },
         {{0x222054, 16, 0}}},
        {"VELTRA_UnregisterWin32Event",
         [&] { VELTRA_UnregisterWin32Event(card, 5, ov->hEvent); },
         {{0x22205C, 16, 0}}},
        {"VELTRA_Cancel", [&] { VELTRA_Cancel(card); }, {{0x222808, 0, 0}}},
    };
    // The contract has 42 VELTRA requests; every one is sent by some export.
    EXPECT_EQ(checkExports(*device_, exports).size(), 42u);
}

TEST(KestaRequests, EveryExportSendsItsRequestWithTheContractsLengths) {
    simtest::PlatformScope platform;
    simtest::ScriptedMachine machine;
    auto device = machine.add(simGuid(kKestaInterface));
    KESTA_HANDLE bridge = nullptr;
    ASSERT_EQ(KESTA_Open(0, 0, 0, &bridge), KESTA_SUCCESS);
    uint64_t u64 = 0;
    uint32_t u32 = 0;
    KESTA_PROD_TEST_INFO info;
    const std::vector<Sends> exports = {
        {"KESTA_Open",
         [] {
             KESTA_HANDLE h = nullptr;
             KESTA_Open(0, 0, 1, &h);
             KESTA_Close(h);
         },
         {{0x222014, 4, 0}}},
        {"KESTA_GetProdTestInfo",
         [&] { KESTA_GetProdTestInfo(bridge, &info); },
         {{0x22201C, 0, 16}}},
        {"KESTA_ServiceIRQ", [&] { KESTA_ServiceIRQ(bridge, &u32); }, {{0x222024, 0, 4}}},
        {"KESTA_GetUniqueId", [&] { KESTA_GetUniqueId(bridge, &u64); }, {{0x22202C, 0, 8}}},
        {"KESTA_AbortIPROG", [&] { KESTA_AbortIPROG(bridge, 0); }, {{0x222034, 4, 0}}},
        {"KESTA_ScheduleIPROG",
         [&] { KESTA_ScheduleIPROG(bridge, 0, 0, 0, 0); },
         {{0x22203C, 24, 0}}},
        {"KESTA_StatusIPROG",
         [&] { KESTA_StatusIPROG(bridge, 0, &u32, &u64, &u32); },
         {{0x222044, 4, 16}}},
    };
    // The contract has 7 KESTA requests; every one is sent by some export.
    EXPECT_EQ(checkExports(*device, exports).size(), 7u);
    KESTA_Close(bridge);
}

// A request of the contract by name, for the simulator's side.
struct Request {
    uint32_t code;
    uint32_t in;
    uint32_t out;
    const char* name;
};

// The simulator, as the driver, knows every code of the contract, takes
// the contract's lengths, and refuses a record one byte too short.
class SimulatedDriver : public testing::Test {
  protected:
    void SetUp() override { vsim::resetMachine(); }
    void TearDown() override { vsim::resetMachine(); }

    // Sends one request on a fresh handle of card 0 (whose state it may
    // change); a request that pends is cancelled. Returns the Win32 error.
    static DWORD send(const GUID& guid, uint32_t code, uint32_t in, uint32_t out) {
        HANDLE device = CreateFileA(simtest::interfacePath(guid, 0).c_str(), kReadWriteData,
                                    kShareReadWrite, nullptr, OPEN_EXISTING, kOverlapped, nullptr);
        EXPECT_NE(device, INVALID_HANDLE_VALUE);
        uint8_t buffer[64] = {};
        OVERLAPPED ov{}, cancel{};
        ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        cancel.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        DWORD bytes = 0;
        DWORD error = ERROR_SUCCESS;
        if (!DeviceIoControl(device, code, buffer, in, buffer, out, &bytes, &ov)) {
            error = GetLastError();
            if (error == ERROR_IO_PENDING) {
                if (!DeviceIoControl(device, 0x222808, nullptr, 0, nullptr, 0, &bytes, &cancel))
                    GetOverlappedResult(device, &cancel, &bytes, TRUE);
                error =
                    GetOverlappedResult(device, &ov, &bytes, TRUE) ? ERROR_SUCCESS : GetLastError();
            }
        }
        CloseHandle(ov.hEvent);
        CloseHandle(cancel.hEvent);
        CloseHandle(device);
        return error;
    }

    static void checkTable(const GUID& guid, const std::vector<Request>& table) {
        for (const auto& r : table) {
            SCOPED_TRACE(r.name);
            const DWORD error = send(guid, r.code, r.in, r.out);
            EXPECT_NE(error, static_cast<DWORD>(ERROR_INVALID_FUNCTION)) << "unknown code";
            EXPECT_NE(error, static_cast<DWORD>(ERROR_INVALID_PARAMETER)) << "lengths refused";
            if (r.in > 0) {
                EXPECT_EQ(send(guid, r.code, r.in - 1, r.out),
                          static_cast<DWORD>(ERROR_INVALID_PARAMETER));
            }
            if (r.out > 0) {
                EXPECT_EQ(send(guid, r.code, r.in, r.out - 1),
                          static_cast<DWORD>(ERROR_INVALID_PARAMETER));
            }
        }
        // A code next to the numbering is not a request.
        EXPECT_EQ(send(guid, 0x222004 + 8 * 60, 64, 64),
                  static_cast<DWORD>(ERROR_INVALID_FUNCTION));
    }
};

TEST_F(SimulatedDriver, AnswersEveryVeltraRequestOfTheContract) {
    // Every VELTRA request, with its input and output lengths.
    const std::vector<Request> requests = {
        {0x22200C, 0, 36, "IOCTL_VELTRA_GET_CARD_INFO"},
        {0x222014, 4, 40, "IOCTL_VELTRA_GET_BANK_INFO"},
        {0x22201C, 4, 40, "IOCTL_VELTRA_GET_FPGA_INFO"},
        {0x222024, 0, 6, "IOCTL_VELTRA_GET_VERSION_INFO"},
        {0x22202C, 4, 40, "IOCTL_VELTRA_GET_WINDOW_INFO"},
        {0x22203C, 24, 0, "IOCTL_VELTRA_CONFIGURE"},
        {0x222044, 4, 8, "IOCTL_VELTRA_GET_CLOCK_FREQUENCY"},
        {0x22204C, 16, 8, "IOCTL_VELTRA_SET_CLOCK_FREQUENCY"},
        {0x222054, 16, 0, "IOCTL_VELTRA_REGISTER_EVENT"},
        {0x22205C, 16, 0, "IOCTL_VELTRA_UNREGISTER_EVENT"},
        {0x222064, 32, 0, "IOCTL_VELTRA_READ"},
        {0x22206C, 32, 0, "IOCTL_VELTRA_WRITE"},
        {0x222074, 24, 0, "IOCTL_VELTRA_ERASE_FLASH"},
        {0x22207C, 32, 0, "IOCTL_VELTRA_READ_FLASH"},
        {0x222084, 32, 0, "IOCTL_VELTRA_WRITE_FLASH"},
        {0x22208C, 4, 32, "IOCTL_VELTRA_GET_FLASH_INFO"},
        {0x222094, 16, 24, "IOCTL_VELTRA_GET_FLASH_BLOCK_INFO"},
        {0x22209C, 16, 4, "IOCTL_VELTRA_LOCK"},
        {0x2220A4, 4, 0, "IOCTL_VELTRA_UNLOCK"},
        {0x2220AC, 32, 0, "IOCTL_VELTRA_READ_DMA"},
        {0x2220B4, 32, 0, "IOCTL_VELTRA_WRITE_DMA"},
        {0x2220BC, 40, 0, "IOCTL_VELTRA_READ_DMA_LOCKED"},
        {0x2220C4, 40, 0, "IOCTL_VELTRA_WRITE_DMA_LOCKED"},
        {0x2220CC, 32, 0, "IOCTL_VELTRA_READ_VPD"},
        {0x2220D4, 32, 0, "IOCTL_VELTRA_WRITE_VPD"},
        {0x2220DC, 8, 0, "IOCTL_VELTRA_UNCONFIGURE"},
        {0x2220E4, 4, 0, "IOCTL_VELTRA_WAIT_NOTIFICATION"},
        {0x2220F4, 4, 0, "IOCTL_VELTRA_SET_OPEN_FLAGS"},
        {0x2220FC, 0, 44, "IOCTL_VELTRA_GET_CARD_INFO_EX"},
        {0x222104, 16, 0, "IOCTL_VELTRA_GET_MODULE_INFO"},
        {0x22210C, 4, 48, "IOCTL_VELTRA_GET_SENSOR_INFO"},
        {0x22211C, 4, 12, "IOCTL_VELTRA_READ_SENSOR"},
        {0x222124, 8, 0, "IOCTL_VELTRA_SYNC_FLASH"},
        {0x22212C, 32, 0, "IOCTL_VELTRA_READ_DMA_BUS"},
        {0x222134, 32, 0, "IOCTL_VELTRA_WRITE_DMA_BUS"},
        {0x22213C, 0, 4, "IOCTL_VELTRA_GET_COMMON_BUFFER_COUNT"},
        {0x222144, 4, 16, "IOCTL_VELTRA_GET_COMMON_BUFFER"},
        {0x22214C, 4, 20, "IOCTL_VELTRA_GET_DEVICE_STATUS"},
        {0x222154, 0, 0, "IOCTL_VELTRA_CLEAR_DEVICE_ERRORS"},
        // Outside the numbering.
        {0x222808, 0, 0, "IOCTL_VELTRA_CANCEL"},
        {0x22280E, 24, 8, "IOCTL_VELTRA_MMAPPEND"},
        {0x222810, 8, 0, "IOCTL_VELTRA_MMAP_UNMAP"},
    };
    checkTable(kVeltraInterface, requests);
}

TEST_F(SimulatedDriver, AnswersEveryKestaRequestOfTheContract) {
    // Every KESTA request, with its input and output lengths.
    const std::vector<Request> requests = {
        {0x222014, 4, 0, "IOCTL_KESTA_SET_OPEN_FLAGS"},
        {0x22201C, 0, 16, "IOCTL_KESTA_GET_PROD_TEST_INFO"},
        {0x222024, 0, 4, "IOCTL_KESTA_SERVICE_IRQ"},
        {0x22202C, 0, 8, "IOCTL_KESTA_GET_UNIQUE_ID"},
        {0x222034, 4, 0, "IOCTL_KESTA_ABORT_IPROG"},
        {0x22203C, 24, 0, "IOCTL_KESTA_SCHEDULE_IPROG"},
        {0x222044, 4, 16, "IOCTL_KESTA_STATUS_IPROG"},
    };
    checkTable(kKestaInterface, requests);
}

}  // namespace
