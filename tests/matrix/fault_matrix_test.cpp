// Every export of both libraries against every platform call it makes that
// can fail. Each export first runs once with the platform recording its
// calls; then it runs once per call that can fail, with that call failing
// as Windows fails it. Each such run must return a failure status of the
// export, leave no object of any kind behind, and the export must work
// again at once.
#include <kesta.h>
#include <veltra.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "bitstream_writer.h"
#include "simtest.h"

namespace {

// What the test does to each call it fails, and which statuses the export
// may then return.
enum class Kind {
    Memory,     // heap and object creation: out of memory
    Open,       // opening a device or a file: access denied
    Enumerate,  // listing the device interfaces: out of memory
    Transfer,   // device requests, pipe and file transfers: the device's or pipe's error
};

struct Failable {
    Kind kind;
    uint32_t error;
};

// The calls that are failed, with the error Windows gives. Releases (close,
// free, set, reset) are not: a release that fails leaves its object behind
// by definition. Nor are the calls Windows does not fail as the libraries
// make them: waits on a valid handle, thread-slot reads and writes of an
// allocated slot, and text conversion from the ANSI code page without
// flags, which fails only when the text does not fit (the libraries take
// that as truncation).
const std::map<std::string, Failable>& failable() {
    static const std::map<std::string, Failable> calls = {
        {"HeapAlloc", {Kind::Memory, 8}},  // ERROR_NOT_ENOUGH_MEMORY
        {"HeapCreate", {Kind::Memory, 8}},
        {"VirtualAlloc", {Kind::Memory, 8}},
        {"CreateEventA", {Kind::Memory, 8}},
        {"CreateMutexA", {Kind::Memory, 8}},
        {"CreateThread", {Kind::Memory, 8}},
        {"CreatePipe", {Kind::Memory, 8}},
        {"TlsAlloc", {Kind::Memory, 8}},
        {"CreateFileA", {Kind::Open, 5}},  // ERROR_ACCESS_DENIED
        {"CreateFileW", {Kind::Open, 5}},
        {"SetupDiGetClassDevsA", {Kind::Enumerate, 8}},
        {"SetupDiEnumDeviceInterfaces", {Kind::Enumerate, 8}},
        {"SetupDiGetDeviceInterfaceDetailA", {Kind::Enumerate, 8}},
        {"DeviceIoControl", {Kind::Transfer, 31}},  // ERROR_GEN_FAILURE
        {"GetOverlappedResult", {Kind::Transfer, 31}},
        {"ReadFile", {Kind::Transfer, 109}},  // ERROR_BROKEN_PIPE
        {"WriteFile", {Kind::Transfer, 109}},
        {"GetFileSizeEx", {Kind::Transfer, 30}},  // ERROR_READ_FAULT
        {"SetFilePointerEx", {Kind::Transfer, 30}},
    };
    return calls;
}

// Objects of every kind the platform counts.
constexpr const char* kKinds[] = {"event", "mutex",     "thread",          "file", "pipe", "device",
                                  "heap",  "heapblock", "processheapblock"};

// The threads whose objects count: the caller's and every thread seen
// making a call in a run beyond what a thread's start and end make (a
// library's own workers). Threads the system starts, which also get a
// record from each library when they start, are not the export's doing.
std::set<uint32_t> countedThreads;

bool madeByEveryThread(const std::string& call) {
    static const std::set<std::string> attachAndDetach = {
        "HeapAlloc",   "HeapFree",    "CreateEventA",      "CloseHandle",
        "TlsGetValue", "TlsSetValue", "OutputDebugStringA"};
    return attachAndDetach.count(call) != 0;
}

std::map<std::string, size_t> objectCounts() {
    const std::vector<uint32_t> threads(countedThreads.begin(), countedThreads.end());
    std::map<std::string, size_t> counts;
    for (const char* kind : kKinds)
        counts[kind] = vsimCountObjectsOfThreads(kind, threads.data(), threads.size());
    return counts;
}

// A recorded call: its name, marked "w:" when a thread other than the
// caller's made it (a worker of the library).
std::vector<std::string> stopCallLog() {
    std::vector<std::string> calls;
    vsimStopCallLog(
        [](void* context, const char* call, uint32_t thread) {
            const bool mine = thread == GetCurrentThreadId();
            if (!madeByEveryThread(call))
                countedThreads.insert(thread);
            static_cast<std::vector<std::string>*>(context)->push_back((mine ? "" : "w:") +
                                                                       std::string(call));
        },
        &calls);
    return calls;
}

// The state one run of an export works on.
struct Scene {
    VELTRA_HANDLE card = nullptr;
    KESTA_HANDLE bridge = nullptr;
    OVERLAPPED overlapped{};
    uint8_t buffer[4096] = {};
    void* mapping = nullptr;
    uint32_t locked = 0;
    VELTRA_BITSTREAMA* bitstreamA = nullptr;
    VELTRA_BITSTREAMW* bitstreamW = nullptr;
    VELTRA_HANDLE opened = nullptr;
    KESTA_HANDLE openedBridge = nullptr;
    uint64_t bus = 0;
};

enum class Needs { Card, Bridge, Nothing };

struct Export {
    const char* name;
    bool kesta;
    uint32_t success;  // the status of a run that works (the Start forms pend)
    Needs needs;
    std::function<void(Scene&)> prepare;  // after the card is open
    std::function<uint32_t(Scene&)> call;
    std::function<void(Scene&)> undo;  // after a run that worked
    // The export may still succeed when a call in this list fails: it
    // documents that it goes on past the failure.
    std::set<std::string> mayGoOn = {};
    // Failure statuses the export documents for a call beyond those of the
    // call's kind.
    std::map<std::string, std::set<uint32_t>> alsoFails = {};
    // Objects a run documents that it leaves when this call fails.
    std::map<std::string, std::map<std::string, size_t>> leaves = {};
    // Calls of a worker that may come just after the export returns.
    std::set<std::string> trailing = {};
};

constexpr uint32_t kPending = 280;

std::string bitFile;
WCHAR wideBitFile[128] = {};
const uint8_t kConfigData[] = {0xFF, 0xFF, 0xAA, 0x99, 0x55, 0x66, 0x20, 0x00};

void finishDma(Scene& r) {
    EXPECT_EQ(VELTRA_FinishDMA(r.card, &r.overlapped, 1), 0u);
}

void mapWindow0(Scene& r) {
    ASSERT_EQ(VELTRA_MapWindow(r.card, 0, 0, 4096, &r.mapping), 0u);
}

void startWait(Scene& r) {
    ASSERT_EQ(VELTRA_StartNotificationWait(r.card, &r.overlapped, 9), kPending);
}

void endWait(Scene& r) {
    VELTRA_Cancel(r.card);
    EXPECT_EQ(VELTRA_FinishNotificationWait(r.card, &r.overlapped, 1), 275u);  // cancelled
}

void lockBuffer(Scene& r) {
    ASSERT_EQ(VELTRA_Lock(r.card, r.buffer, sizeof r.buffer, &r.locked), 0u);
}

void findBus(Scene& r) {
    uint64_t key = 0;
    ASSERT_EQ(VELTRA_GetCommonBuffer(r.card, 0, &r.bus, &key), 0u);
}

// A close goes on past a region it cannot unmap, past a mapping worker it
// cannot talk to, and past a card that cannot answer whether it is one
// (only a value the system refuses is not a card).
const std::set<std::string> kCloseGoesOn = {
    "DeviceIoControl",      "WriteFile",  "ReadFile",
    "w:WriteFile",          "w:ReadFile", "w:DeviceIoControl",
    "w:GetOverlappedResult"};

// The first map of a handle starts the mapping worker. A new thread's
// records (one per library) that cannot be made are made at its first
// request, which the worker never needs. A map request that cannot be
// written because the worker is gone, or whose worker ends at its first
// read, goes to a fresh worker. And the worker's read of its next request,
// which starts as it answers, ends the worker (and its mappings) when the
// pipe breaks, as at any other time.
const std::set<std::string> kWorkerGoesOn = {
    "w:HeapAlloc#1", "w:CreateEventA#1", "w:HeapAlloc#2", "w:CreateEventA#2",
    "WriteFile#1",   "w:ReadFile#1",     "w:ReadFile#2"};
const std::set<std::string> kWorkerNextRead = {"w:ReadFile#2"};

// A region whose unmap request fails is no longer listed, but its record
// (a block and an event) stays: its map request may still write into it.
const std::map<std::string, std::map<std::string, size_t>> kUnmapLeaves = {
    {"w:DeviceIoControl", {{"event", 1}, {"heapblock", 1}, {"processheapblock", 1}}},
};

// An unmap that worked goes on when the wait for the map request it ended
// fails (the driver completes that request before it answers the unmap),
// and when the worker cannot read its next request or be told to stop
// once the last region is gone (a later operation replaces it).
const std::set<std::string> kUnmapGoesOn = {"w:GetOverlappedResult", "w:ReadFile#1", "WriteFile#2"};

// A bitstream file that cannot be read, or whose size or data cannot be
// reached, is reported as a bitstream that cannot be used.
const std::map<std::string, std::set<uint32_t>> kFileReadFails = {
    {"ReadFile", {265}}, {"GetFileSizeEx", {265}}, {"SetFilePointerEx", {265}}};

// Every export, with arguments that work on card 0 of the default machine.
std::vector<Export> exports() {
    auto none = [](Scene&) {};
    std::vector<Export> list = {
        {"VELTRA_Open", false, 0, Needs::Nothing, none,
         [](Scene& r) { return VELTRA_Open(0, &r.opened); },
         [](Scene& r) { VELTRA_Close(r.opened); }},
        {"VELTRA_OpenEx", false, 0, Needs::Nothing, none,
         [](Scene& r) { return VELTRA_OpenEx(0, 0, 1, &r.opened); },
         [](Scene& r) { VELTRA_Close(r.opened); }},
        {"VELTRA_Close", false, 0, Needs::Card, mapWindow0,
         [](Scene& r) {
             const uint32_t status = VELTRA_Close(r.card);
             if (status == 0)
                 r.card = nullptr;
             return status;
         },
         none, kCloseGoesOn, {}, kUnmapLeaves},
        {"VELTRA_GetStatusStringA", false, 0, Needs::Nothing, none,
         [](Scene&) {
             return std::strcmp(VELTRA_GetStatusStringA(0x12345, 1), "Unknown status code 74565(0x12345)") == 0
                        ? 0u
                        : 1u;
         },
         none},
        {"VELTRA_GetStatusStringW", false, 0, Needs::Nothing, none,
         [](Scene&) { return VELTRA_GetStatusStringW(263, 0)[0] == 'A' ? 0u : 1u; }, none},
        {"VELTRA_SetWin32ExceptionLevel", false, 0, Needs::Nothing, none,
         [](Scene&) {
             VELTRA_SetWin32ExceptionLevel(0);
             return 0u;
         },
         none},
        {"VELTRA_GetVersionInfo", false, 0, Needs::Card, none,
         [](Scene& r) {
             VELTRA_VERSION_INFO info;
             return VELTRA_GetVersionInfo(r.card, &info);
         },
         none},
        {"VELTRA_GetCardInfo", false, 0, Needs::Card, none,
         [](Scene& r) {
             VELTRA_CARD_INFO info;
             return VELTRA_GetCardInfo(r.card, &info);
         },
         none},
        {"VELTRA_GetCardInfoEx", false, 0, Needs::Card, none,
         [](Scene& r) {
             VELTRA_CARD_INFO_EX info;
             return VELTRA_GetCardInfoEx(r.card, &info);
         },
         none},
        {"VELTRA_GetBankInfo", false, 0, Needs::Card, none,
         [](Scene& r) {
             VELTRA_BANK_INFO info;
             return VELTRA_GetBankInfo(r.card, 1, &info);
         },
         none},
        {"VELTRA_GetModuleInfoA", false, 0, Needs::Card, none,
         [](Scene& r) {
             VELTRA_MODULE_INFOA info;
             return VELTRA_GetModuleInfoA(r.card, 0, &info);
         },
         none},
        {"VELTRA_GetModuleInfoW", false, 0, Needs::Card, none,
         [](Scene& r) {
             VELTRA_MODULE_INFOW info;
             return VELTRA_GetModuleInfoW(r.card, 1, &info);
         },
         none},
        {"VELTRA_GetFpgaInfoA", false, 0, Needs::Card, none,
         [](Scene& r) {
             VELTRA_FPGA_INFOA info;
             return VELTRA_GetFpgaInfoA(r.card, 0, &info);
         },
         none},
        {"VELTRA_GetFpgaInfoW", false, 0, Needs::Card, none,
         [](Scene& r) {
             VELTRA_FPGA_INFOW info;
             return VELTRA_GetFpgaInfoW(r.card, 0, &info);
         },
         none},
        {"VELTRA_LoadBitstreamA", false, 0, Needs::Nothing, none,
         [](Scene& r) { return VELTRA_LoadBitstreamA(bitFile.c_str(), &r.bitstreamA); },
         [](Scene& r) { VELTRA_UnloadBitstreamA(r.bitstreamA); },
         {}, kFileReadFails},
        {"VELTRA_LoadBitstreamW", false, 0, Needs::Nothing, none,
         [](Scene& r) { return VELTRA_LoadBitstreamW(wideBitFile, &r.bitstreamW); },
         [](Scene& r) { VELTRA_UnloadBitstreamW(r.bitstreamW); },
         {}, kFileReadFails},
        {"VELTRA_UnloadBitstreamA", false, 0, Needs::Nothing,
         [](Scene& r) { ASSERT_EQ(VELTRA_LoadBitstreamA(bitFile.c_str(), &r.bitstreamA), 0u); },
         [](Scene& r) { return VELTRA_UnloadBitstreamA(r.bitstreamA); }, none},
        {"VELTRA_UnloadBitstreamW", false, 0, Needs::Nothing,
         [](Scene& r) { ASSERT_EQ(VELTRA_LoadBitstreamW(wideBitFile, &r.bitstreamW), 0u); },
         [](Scene& r) { return VELTRA_UnloadBitstreamW(r.bitstreamW); }, none},
        {"VELTRA_ConfigureFromBuffer", false, 0, Needs::Card, none,
         [](Scene& r) {
             return VELTRA_ConfigureFromBuffer(r.card, 0, 0, kConfigData, sizeof kConfigData);
         },
         none},
        {"VELTRA_ConfigureFromFileA", false, 0, Needs::Card, none,
         [](Scene& r) { return VELTRA_ConfigureFromFileA(r.card, 0, 0, bitFile.c_str()); }, none, {}, kFileReadFails},
        {"VELTRA_ConfigureFromFileW", false, 0, Needs::Card, none,
         [](Scene& r) { return VELTRA_ConfigureFromFileW(r.card, 0, 0, wideBitFile); }, none, {}, kFileReadFails},
        {"VELTRA_Unconfigure", false, 0, Needs::Card, none,
         [](Scene& r) { return VELTRA_Unconfigure(r.card, 0, 0); }, none},
        {"VELTRA_GetFlashInfoA", false, 0, Needs::Card, none,
         [](Scene& r) {
             VELTRA_FLASH_INFOA info;
             return VELTRA_GetFlashInfoA(r.card, 0, &info);
         },
         none},
        {"VELTRA_GetFlashInfoW", false, 0, Needs::Card, none,
         [](Scene& r) {
             VELTRA_FLASH_INFOW info;
             return VELTRA_GetFlashInfoW(r.card, 0, &info);
         },
         none},
        {"VELTRA_GetFlashBlockInfo", false, 0, Needs::Card, none,
         [](Scene& r) {
             VELTRA_FLASH_BLOCK_INFO info;
             return VELTRA_GetFlashBlockInfo(r.card, 0, 0x20000, &info);
         },
         none},
        {"VELTRA_EraseFlash", false, 0, Needs::Card, none,
         [](Scene& r) { return VELTRA_EraseFlash(r.card, 0, 0, 0x20000, 0x20000); }, none},
        {"VELTRA_ReadFlash", false, 0, Needs::Card, none,
         [](Scene& r) { return VELTRA_ReadFlash(r.card, 0, 0, 0x20000, 512, r.buffer); }, none},
        {"VELTRA_WriteFlash", false, 0, Needs::Card, none,
         [](Scene& r) { return VELTRA_WriteFlash(r.card, 0, 0, 0x20000, 512, r.buffer); }, none},
        {"VELTRA_SyncFlash", false, 0, Needs::Card, none,
         [](Scene& r) { return VELTRA_SyncFlash(r.card, 0, 0); }, none},
        {"VELTRA_ReadVPD", false, 0, Needs::Card, none,
         [](Scene& r) { return VELTRA_ReadVPD(r.card, 0, 0, 256, r.buffer); }, none},
        {"VELTRA_WriteVPD", false, 0, Needs::Card, none,
         [](Scene& r) { return VELTRA_WriteVPD(r.card, 0, 4096, 256, r.buffer); }, none},
        {"VELTRA_GetClockFrequency", false, 0, Needs::Card, none,
         [](Scene& r) {
             double frequency = 0;
             return VELTRA_GetClockFrequency(r.card, 1, &frequency);
         },
         none},
        {"VELTRA_SetClockFrequency", false, 0, Needs::Card, none,
         [](Scene& r) {
             double actual = 0;
             return VELTRA_SetClockFrequency(r.card, 1, 0, 200e6, &actual);
         },
         none},
        {"VELTRA_GetSensorInfoA", false, 0, Needs::Card, none,
         [](Scene& r) {
             VELTRA_SENSOR_INFOA info;
             return VELTRA_GetSensorInfoA(r.card, 0, &info);
         },
         none},
        {"VELTRA_GetSensorInfoW", false, 0, Needs::Card, none,
         [](Scene& r) {
             VELTRA_SENSOR_INFOW info;
             return VELTRA_GetSensorInfoW(r.card, 2, &info);
         },
         none},
        {"VELTRA_ReadSensor", false, 0, Needs::Card, none,
         [](Scene& r) {
             VELTRA_SENSOR_VALUE value;
             return VELTRA_ReadSensor(r.card, 0, &value);
         },
         none},
        {"VELTRA_GetDeviceStatus", false, 0, Needs::Card, none,
         [](Scene& r) {
             VELTRA_DEVICE_STATUS status;
             uint32_t any = 0;
             return VELTRA_GetDeviceStatus(r.card, 0, &status, &any);
         },
         none},
        {"VELTRA_ClearDeviceErrors", false, 0, Needs::Card, none,
         [](Scene& r) { return VELTRA_ClearDeviceErrors(r.card); }, none},
        {"VELTRA_GetWindowInfo", false, 0, Needs::Card, none,
         [](Scene& r) {
             VELTRA_WINDOW_INFO info;
             return VELTRA_GetWindowInfo(r.card, 1, &info);
         },
         none},
        {"VELTRA_MapWindow", false, 0, Needs::Card, none,
         [](Scene& r) { return VELTRA_MapWindow(r.card, 0, 0x100, 4096, &r.mapping); },
         [](Scene& r) { VELTRA_UnmapWindow(r.card, r.mapping); }, kWorkerGoesOn, {}, {},
         kWorkerNextRead},
        {"VELTRA_UnmapWindow", false, 0, Needs::Card, mapWindow0,
         [](Scene& r) { return VELTRA_UnmapWindow(r.card, r.mapping); }, none, kUnmapGoesOn,
         {}, kUnmapLeaves},
        {"VELTRA_Read", false, 0, Needs::Card, none,
         [](Scene& r) { return VELTRA_Read(r.card, 0, 0, 64, 256, r.buffer); }, none},
        {"VELTRA_Write", false, 0, Needs::Card, none,
         [](Scene& r) { return VELTRA_Write(r.card, 0, 0, 64, 256, r.buffer); }, none},
        {"VELTRA_GetCommonBufferCount", false, 0, Needs::Card, none,
         [](Scene& r) {
             uint32_t count = 0;
             return VELTRA_GetCommonBufferCount(r.card, &count);
         },
         none},
        {"VELTRA_GetCommonBuffer", false, 0, Needs::Card, none,
         [](Scene& r) {
             uint64_t key = 0;
             return VELTRA_GetCommonBuffer(r.card, 1, &r.bus, &key);
         },
         none},
        {"VELTRA_MapCommonBuffer", false, 0, Needs::Card, none,
         [](Scene& r) { return VELTRA_MapCommonBuffer(r.card, 0xCB000001, 0, 4096, &r.mapping); },
         [](Scene& r) { VELTRA_UnmapCommonBuffer(r.card, r.mapping); }, kWorkerGoesOn, {}, {},
         kWorkerNextRead},
        {"VELTRA_UnmapCommonBuffer", false, 0, Needs::Card,
         [](Scene& r) {
             ASSERT_EQ(VELTRA_MapCommonBuffer(r.card, 0xCB000000, 4096, 4096, &r.mapping), 0u);
         },
         [](Scene& r) { return VELTRA_UnmapCommonBuffer(r.card, r.mapping); }, none,
         kUnmapGoesOn, {}, kUnmapLeaves},
        {"VELTRA_ReadDMA", false, 0, Needs::Card, none,
         [](Scene& r) { return VELTRA_ReadDMA(r.card, 0, 0, r.buffer, 4096, 0x1000); }, none},
        {"VELTRA_ReadDMAEx", false, 0, Needs::Card, none,
         [](Scene& r) { return VELTRA_ReadDMAEx(r.card, 1, 0, r.buffer, 4096, 0x2000); }, none},
        {"VELTRA_WriteDMA", false, 0, Needs::Card, none,
         [](Scene& r) { return VELTRA_WriteDMA(r.card, 0, 0, r.buffer, 4096, 0x1000); }, none},
        {"VELTRA_WriteDMAEx", false, 0, Needs::Card, none,
         [](Scene& r) { return VELTRA_WriteDMAEx(r.card, 1, 0, r.buffer, 4096, 0x2000); }, none},
        {"VELTRA_ReadDMALocked", false, 0, Needs::Card, lockBuffer,
         [](Scene& r) { return VELTRA_ReadDMALocked(r.card, 0, 0, r.locked, 0, 1024, 0x1000); },
         none},
        {"VELTRA_ReadDMALockedEx", false, 0, Needs::Card, lockBuffer,
         [](Scene& r) { return VELTRA_ReadDMALockedEx(r.card, 1, 0, r.locked, 1024, 1024, 0x1000); },
         none},
        {"VELTRA_WriteDMALocked", false, 0, Needs::Card, lockBuffer,
         [](Scene& r) { return VELTRA_WriteDMALocked(r.card, 0, 0, r.locked, 0, 1024, 0x1000); },
         none},
        {"VELTRA_WriteDMALockedEx", false, 0, Needs::Card, lockBuffer,
         [](Scene& r) {
             return VELTRA_WriteDMALockedEx(r.card, 1, 0, r.locked, 1024, 1024, 0x1000);
         },
         none},
        {"VELTRA_ReadDMABus", false, 0, Needs::Card, findBus,
         [](Scene& r) { return VELTRA_ReadDMABus(r.card, 0, 0, r.bus, 0x1000, 4096); }, none},
        {"VELTRA_WriteDMABus", false, 0, Needs::Card, findBus,
         [](Scene& r) { return VELTRA_WriteDMABus(r.card, 1, 0, r.bus, 0x1000, 4096); }, none},
        {"VELTRA_StartReadDMA", false, kPending, Needs::Card, none,
         [](Scene& r) {
             return VELTRA_StartReadDMA(r.card, &r.overlapped, 0, 0, r.buffer, 4096, 0x1000);
         },
         finishDma},
        {"VELTRA_StartReadDMAEx", false, kPending, Needs::Card, none,
         [](Scene& r) {
             return VELTRA_StartReadDMAEx(r.card, &r.overlapped, 1, 0, r.buffer, 4096, 0x1000);
         },
         finishDma},
        {"VELTRA_StartWriteDMA", false, kPending, Needs::Card, none,
         [](Scene& r) {
             return VELTRA_StartWriteDMA(r.card, &r.overlapped, 0, 0, r.buffer, 4096, 0x1000);
         },
         finishDma},
        {"VELTRA_StartWriteDMAEx", false, kPending, Needs::Card, none,
         [](Scene& r) {
             return VELTRA_StartWriteDMAEx(r.card, &r.overlapped, 1, 0, r.buffer, 4096, 0x1000);
         },
         finishDma},
        {"VELTRA_StartReadDMALocked", false, kPending, Needs::Card, lockBuffer,
         [](Scene& r) {
             return VELTRA_StartReadDMALocked(r.card, &r.overlapped, 0, 0, r.locked, 0, 512, 0);
         },
         finishDma},
        {"VELTRA_StartReadDMALockedEx", false, kPending, Needs::Card, lockBuffer,
         [](Scene& r) {
             return VELTRA_StartReadDMALockedEx(r.card, &r.overlapped, 1, 0, r.locked, 0, 512, 0);
         },
         finishDma},
        {"VELTRA_StartWriteDMALocked", false, kPending, Needs::Card, lockBuffer,
         [](Scene& r) {
             return VELTRA_StartWriteDMALocked(r.card, &r.overlapped, 0, 0, r.locked, 0, 512, 0);
         },
         finishDma},
        {"VELTRA_StartWriteDMALockedEx", false, kPending, Needs::Card, lockBuffer,
         [](Scene& r) {
             return VELTRA_StartWriteDMALockedEx(r.card, &r.overlapped, 1, 0, r.locked, 0, 512,
                                                 0);
         },
         finishDma},
        {"VELTRA_StartReadDMABus", false, kPending, Needs::Card, findBus,
         [](Scene& r) {
             return VELTRA_StartReadDMABus(r.card, &r.overlapped, 0, 0, r.bus, 0, 4096);
         },
         finishDma},
        {"VELTRA_StartWriteDMABus", false, kPending, Needs::Card, findBus,
         [](Scene& r) {
             return VELTRA_StartWriteDMABus(r.card, &r.overlapped, 1, 0, r.bus, 0, 4096);
         },
         finishDma},
        {"VELTRA_FinishDMA", false, 0, Needs::Card,
         [](Scene& r) {
             ASSERT_EQ(VELTRA_StartReadDMA(r.card, &r.overlapped, 0, 0, r.buffer, 64, 0),
                       kPending);
         },
         [](Scene& r) { return VELTRA_FinishDMA(r.card, &r.overlapped, 1); }, none},
        {"VELTRA_Lock", false, 0, Needs::Card, none,
         [](Scene& r) { return VELTRA_Lock(r.card, r.buffer, sizeof r.buffer, &r.locked); },
         [](Scene& r) { EXPECT_EQ(VELTRA_Unlock(r.card, r.locked), 0u); }},
        {"VELTRA_Unlock", false, 0, Needs::Card, lockBuffer,
         [](Scene& r) { return VELTRA_Unlock(r.card, r.locked); }, none},
        {"VELTRA_StartNotificationWait", false, kPending, Needs::Card, none,
         [](Scene& r) { return VELTRA_StartNotificationWait(r.card, &r.overlapped, 9); }, endWait},
        {"VELTRA_FinishNotificationWait", false, 0, Needs::Card,
         [](Scene& r) {
             startWait(r);
             uint32_t value = 9;
             ASSERT_EQ(VELTRA_Write(r.card, 2, 0, 0, sizeof value, &value), 0u);
         },
         [](Scene& r) { return VELTRA_FinishNotificationWait(r.card, &r.overlapped, 1); }, none},
        {"VELTRA_Cancel", false, 0, Needs::Card, startWait,
         [](Scene& r) { return VELTRA_Cancel(r.card); },
         [](Scene& r) {
             EXPECT_EQ(VELTRA_FinishNotificationWait(r.card, &r.overlapped, 1), 275u);
         }},
        {"VELTRA_RegisterWin32Event", false, 0, Needs::Card, none,
         [](Scene& r) { return VELTRA_RegisterWin32Event(r.card, 7, r.overlapped.hEvent); },
         [](Scene& r) {
             EXPECT_EQ(VELTRA_UnregisterWin32Event(r.card, 7, r.overlapped.hEvent), 0u);
         }},
        {"VELTRA_UnregisterWin32Event", false, 0, Needs::Card,
         [](Scene& r) {
             ASSERT_EQ(VELTRA_RegisterWin32Event(r.card, 7, r.overlapped.hEvent), 0u);
         },
         [](Scene& r) { return VELTRA_UnregisterWin32Event(r.card, 7, r.overlapped.hEvent); },
         none},

        {"KESTA_Open", true, 0, Needs::Nothing, none,
         [](Scene& r) { return KESTA_Open(0, 0, 1, &r.openedBridge); },
         [](Scene& r) { KESTA_Close(r.openedBridge); }},
        {"KESTA_Close", true, 0, Needs::Bridge, none,
         [](Scene& r) {
             const uint32_t status = KESTA_Close(r.bridge);
             if (status == 0)
                 r.bridge = nullptr;
             return status;
         },
         none},
        {"KESTA_GetStatusStringA", true, 0, Needs::Nothing, none,
         [](Scene&) {
             return std::strcmp(KESTA_GetStatusStringA(0x9999, 0), "Unknown status code 39321(0x9999)") == 0
                        ? 0u
                        : 1u;
         },
         none},
        {"KESTA_GetStatusStringW", true, 0, Needs::Nothing, none,
         [](Scene&) { return KESTA_GetStatusStringW(529, 1)[0] == 'K' ? 0u : 1u; }, none},
        {"KESTA_GetUniqueId", true, 0, Needs::Bridge, none,
         [](Scene& r) {
             uint64_t id = 0;
             return KESTA_GetUniqueId(r.bridge, &id);
         },
         none},
        {"KESTA_GetProdTestInfo", true, 0, Needs::Bridge, none,
         [](Scene& r) {
             KESTA_PROD_TEST_INFO info;
             return KESTA_GetProdTestInfo(r.bridge, &info);
         },
         none},
        {"KESTA_ServiceIRQ", true, 0, Needs::Bridge, none,
         [](Scene& r) {
             uint32_t serviced = 0;
             return KESTA_ServiceIRQ(r.bridge, &serviced);
         },
         none},
        {"KESTA_ScheduleIPROG", true, 0, Needs::Bridge, none,
         [](Scene& r) { return KESTA_ScheduleIPROG(r.bridge, 0, 1, 0x1000, 0); },
         [](Scene& r) { EXPECT_EQ(KESTA_AbortIPROG(r.bridge, 0), 0u); }},
        {"KESTA_AbortIPROG", true, 0, Needs::Bridge,
         [](Scene& r) {
             KESTA_AbortIPROG(r.bridge, 1);  // a run whose abort failed left it scheduled
             ASSERT_EQ(KESTA_ScheduleIPROG(r.bridge, 1, 2, 0x2000, 0), 0u);
         },
         [](Scene& r) { return KESTA_AbortIPROG(r.bridge, 1); }, none},
        {"KESTA_StatusIPROG", true, 0, Needs::Bridge, none,
         [](Scene& r) {
             uint32_t status = 0;
             uint32_t value = 0;
             uint64_t address = 0;
             return KESTA_StatusIPROG(r.bridge, 0, &status, &address, &value);
         },
         none},
    };
    return list;
}

// The exports that make no call that can fail, and why.
const std::set<std::string> kNoFailableCall = {
    // A table, or the thread's own text buffer.
    "VELTRA_GetStatusStringA",
    "VELTRA_GetStatusStringW",
    "KESTA_GetStatusStringA",
    "KESTA_GetStatusStringW",
    // A variable.
    "VELTRA_SetWin32ExceptionLevel",
    // Frees and closes only.
    "VELTRA_UnloadBitstreamA",
    "VELTRA_UnloadBitstreamW",
    "KESTA_Close",
};

// The failure status an export returns when a call fails: the library's
// out-of-memory status for memory and objects; for an open, access denied
// (a device) or file not found (a bitstream file); for the device list,
// device not found when the list cannot be had and unexpected error when a
// member cannot be read; and unexpected error for a transfer.
uint32_t expectedFailure(const std::string& call, const Export& e) {
    const uint32_t base = e.kesta ? 512 : 256;
    const Kind kind = failable().at(call).kind;
    const std::string name = e.name;
    const bool file =
        name.find("Bitstream") != std::string::npos || name.find("FromFile") != std::string::npos;
    switch (kind) {
        case Kind::Memory:
            return base + 3;  // NO_MEMORY
        case Kind::Open:
            return file ? 262 : base + 4;  // FILE_NOT_FOUND, ACCESS_DENIED
        case Kind::Enumerate:
            return call == "SetupDiGetClassDevsA" ? base + 5
                                                  : base + 1;  // DEVICE_NOT_FOUND, UNEXPECTED
        case Kind::Transfer:
            return base + 1;  // UNEXPECTED_ERROR
    }
    return 0;
}

const std::vector<Export>& allExports() {
    static const std::vector<Export> list = exports();
    return list;
}

// What the whole matrix covered, printed when it ends.
struct Totals {
    size_t exports = 0;
    size_t recorded = 0;
    size_t runs = 0;
    size_t unreached = 0;
};
Totals totals;

class FaultMatrix : public testing::TestWithParam<size_t> {
  protected:
    static void SetUpTestSuite() {
        bitFile = simtest::scratchName("matrix") + ".bit";
        ASSERT_TRUE(bitstream::Writer::standard("7vx690tffg1157", {0xAA, 0x99, 0x55, 0x66})
                        .writeTo(bitFile));
        for (size_t i = 0; i < bitFile.size(); ++i)
            wideBitFile[i] = static_cast<WCHAR>(bitFile[i]);
    }
    static void TearDownTestSuite() {
        DeleteFileA(bitFile.c_str());
        std::printf(
            "fault matrix: %zu exports, %zu calls recorded, %zu runs with one call "
            "failing (%zu of a worker's calls fell after the export)\n",
            totals.exports, totals.recorded, totals.runs, totals.unreached);
    }

    // Opens what the export needs, runs its preparation, then the export.
    void start(const Export& e, Scene& r) {
        if (e.needs == Needs::Card) {
            EXPECT_EQ(VELTRA_Open(0, &r.card), 0u);
        }
        if (e.needs == Needs::Bridge) {
            EXPECT_EQ(KESTA_Open(0, 0, 0, &r.bridge), 0u);
        }
        r.overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        e.prepare(r);
        // Let a worker that the preparation used go back to waiting for its
        // next request, so that the export's calls start from a quiet state.
        Sleep(e.needs == Needs::Card ? 5 : 0);
    }

    void finish(Scene& r) {
        if (r.card != nullptr) {
            EXPECT_EQ(VELTRA_Close(r.card), 0u);
        }
        if (r.bridge != nullptr) {
            EXPECT_EQ(KESTA_Close(r.bridge), 0u);
        }
        CloseHandle(r.overlapped.hEvent);
    }

    // One run: `fail` (a call and its occurrence) fails if set. Returns the
    // export's status; `calls` gets what the export called.
    uint32_t run(const Export& e, const std::string& call, unsigned nth,
                 std::vector<std::string>& calls) {
        Scene r;
        start(e, r);
        if (testing::Test::HasFatalFailure())
            return ~0u;
        vsimClearDebugOutput();
        vsimStartCallLog();
        const bool mine = call.rfind("w:", 0) != 0;
        const std::string name = mine ? call : call.substr(2);
        const uint32_t me = GetCurrentThreadId();
        if (!call.empty()) {
            const uint32_t error = failable().at(name).error;
            if (mine)
                vsimFailNthCallOnThread(name.c_str(), me, nth, error);
            else
                vsimFailNthCallOffThread(name.c_str(), me, nth, error);
        }
        const uint32_t status = e.call(r);
        // A thread of the library may make the call just after the export
        // returns (the mapping worker reads its next request).
        for (int i = 0; i < 100 && !call.empty() && vsimCallLogCount(name.c_str(), me, mine) < nth;
             ++i)
            Sleep(2);
        vsimClearFaults();
        calls = stopCallLog();
        if (status == e.success)
            e.undo(r);
        finish(r);
        return status;
    }
};

TEST_P(FaultMatrix, EachFailingCallFailsTheExportCleanly) {
    const Export& e = allExports().at(GetParam());
    simtest::PlatformScope platform;
    countedThreads = {static_cast<uint32_t>(GetCurrentThreadId())};
    std::vector<std::string> calls;
    // The first run makes whatever a process makes once (the thread's
    // record, say); the second is the reference.
    ASSERT_EQ(run(e, "", 0, calls), e.success);
    auto before = objectCounts();
    ASSERT_EQ(run(e, "", 0, calls), e.success);
    ASSERT_EQ(simtest::settled(objectCounts, before), before);
    ++totals.exports;
    totals.recorded += calls.size();

    std::map<std::string, unsigned> seen;
    std::string line;
    size_t failed = 0;
    for (const auto& call : calls) {
        const unsigned nth = ++seen[call];
        auto it = failable().find(call.rfind("w:", 0) == 0 ? call.substr(2) : call);
        if (it == failable().end())
            continue;
        line += " " + call + "#" + std::to_string(nth);
        ++failed;
        ++totals.runs;
        SCOPED_TRACE(call + " #" + std::to_string(nth));
        std::vector<std::string> reached;
        const uint32_t status = run(e, call, nth, reached);
        const std::string occurrence = call + "#" + std::to_string(nth);
        if (std::count(reached.begin(), reached.end(), call) < nth) {
            // The worker's read of its next request starts as the export
            // ends, and may fall on either side of it; any other call must
            // come again.
            if (e.trailing.count(occurrence) == 0)
                ADD_FAILURE() << "the failing call was not reached";
            else
                ++totals.unreached;
        } else if (status != e.success ||
                   (e.mayGoOn.count(call) == 0 && e.mayGoOn.count(occurrence) == 0)) {
            const std::string name = call.rfind("w:", 0) == 0 ? call.substr(2) : call;
            auto also = e.alsoFails.find(name);
            const bool documented = also != e.alsoFails.end() && also->second.count(status) != 0;
            EXPECT_TRUE(status == expectedFailure(name, e) || documented) << "status " << status;
        }
        auto expected = before;
        if (auto left = e.leaves.find(call); left != e.leaves.end()) {
            for (const auto& [kind, count] : left->second)
                expected[kind] += count;
        }
        const auto after = simtest::settled(objectCounts, expected);
        EXPECT_EQ(after, expected);
        before = after;
        // And with nothing failing, it works again.
        std::vector<std::string> again;
        EXPECT_EQ(run(e, "", 0, again), e.success);
    }
    std::printf("  %s:%s\n", e.name, line.c_str());
    if (kNoFailableCall.count(e.name) != 0) {
        EXPECT_EQ(failed, 0u) << "an export that made no failable call now makes one";
    } else {
        EXPECT_GT(failed, 0u) << "no failable call recorded";
    }
}

INSTANTIATE_TEST_SUITE_P(Exports, FaultMatrix, testing::Range<size_t>(0, allExports().size()),
                         [](const testing::TestParamInfo<size_t>& info) {
                             return std::string(allExports().at(info.param).name);
                         });

// Every export of both libraries is in the matrix: 75 of VELTRA, 10 of KESTA.
TEST(FaultMatrixList, HoldsEveryExport) {
    size_t veltra = 0;
    size_t kesta = 0;
    std::set<std::string> names;
    for (const auto& e : allExports()) {
        names.insert(e.name);
        (e.kesta ? kesta : veltra) += 1;
    }
    EXPECT_EQ(veltra, 75u);
    EXPECT_EQ(kesta, 10u);
    EXPECT_EQ(names.size(), 85u);
}

}  // namespace
