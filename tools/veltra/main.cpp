// veltra: the command-line tool of the package.
#include <kesta.h>
#include <veltra.h>

#include "bitstream_writer.h"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#if !defined(_WIN32)
#include <dlfcn.h>
#endif

namespace {

const char* nameOf(VELTRA_STATUS status) {
    return VELTRA_GetStatusStringA(status, 1);
}

// Reports a failed call; true if it succeeded.
bool check(const char* what, VELTRA_STATUS status) {
    if (status == VELTRA_SUCCESS)
        return true;
    std::printf("  %s: %s - %s\n", what, nameOf(status), VELTRA_GetStatusStringA(status, 0));
    return false;
}

// Opens cards by index until one is not found, and closes them again.
int listCards() {
    for (uint32_t index = 0;; ++index) {
        VELTRA_HANDLE card = nullptr;
        const VELTRA_STATUS status = VELTRA_Open(index, &card);
        std::printf("VELTRA_Open(%u): %s - %s\n", index, nameOf(status),
                    VELTRA_GetStatusStringA(status, 0));
        if (status != VELTRA_SUCCESS)
            return index > 0 ? 0 : 1;
        std::printf("VELTRA_Close(card %u): %s\n", index, nameOf(VELTRA_Close(card)));
    }
}

void showCard(VELTRA_HANDLE card) {
    VELTRA_VERSION_INFO version;
    if (check("VELTRA_GetVersionInfo", VELTRA_GetVersionInfo(card, &version)))
        std::printf("  library %u.%u.%u, driver %u.%u.%u\n", version.apiMajor, version.apiMinor,
                    version.apiBugfix, version.driverMajor, version.driverMinor,
                    version.driverBugfix);
    VELTRA_CARD_INFO_EX info;
    if (!check("VELTRA_GetCardInfoEx", VELTRA_GetCardInfoEx(card, &info)))
        return;
    std::printf("  board 0x%04X rev %u, serial 0x%08X, %u window(s), PCIe x%u gen %u\n",
                info.cardValue2, info.cardValue0, info.cardValue3, info.windowCount,
                info.cardValue10, info.cardValue11);
    for (uint32_t w = 0; w < info.windowCount; ++w) {
        VELTRA_WINDOW_INFO window;
        if (check("VELTRA_GetWindowInfo", VELTRA_GetWindowInfo(card, w, &window)))
            std::printf("  window %u: %8" PRIu64 " KiB at bus 0x%09" PRIX64 ", local 0x%08" PRIX64
                        "\n",
                        w, window.windowValue0 >> 10, window.windowValue1, window.windowValue2);
    }
    VELTRA_MODULE_INFOA module;
    for (uint32_t m = 0; VELTRA_GetModuleInfoA(card, m, &module) == VELTRA_SUCCESS; ++m)
        std::printf("  module %u: %s %s, serial %s, %.2f C\n", m, module.moduleText0,
                    module.moduleText1, module.moduleText2, module.moduleFixed);
}

// Maps the start of window 0, writes a pattern through the mapping, reads it
// back without the mapping, and unmaps.
void mappingRoundTrip(VELTRA_HANDLE card) {
    constexpr size_t kLength = 4096;
    void* base = nullptr;
    if (!check("VELTRA_MapWindow", VELTRA_MapWindow(card, 0, 0, kLength, &base)))
        return;
    auto* mapped = static_cast<uint32_t*>(base);
    for (size_t i = 0; i < kLength / 4; ++i)
        mapped[i] = 0xC0DE0000u + static_cast<uint32_t>(i);
    std::vector<uint32_t> back(kLength / 4);
    const bool read = check("VELTRA_Read", VELTRA_Read(card, 0, 0, 0, kLength, back.data()));
    const bool same = read && std::memcmp(back.data(), mapped, kLength) == 0;
    std::printf("  mapped window 0 at %p, wrote %zu bytes, VELTRA_Read gives %s\n", base, kLength,
                same ? "the same bytes" : "DIFFERENT bytes");
    check("VELTRA_UnmapWindow", VELTRA_UnmapWindow(card, base));
}

void showFpga(VELTRA_HANDLE card) {
    VELTRA_FPGA_INFOA fpga;
    if (check("VELTRA_GetFpgaInfoA", VELTRA_GetFpgaInfoA(card, 0, &fpga)))
        std::printf("  FPGA 0: %s (device %s, package %s, speed %s)\n", fpga.name, fpga.deviceName,
                    fpga.packageName, fpga.text1);
}

// Configures FPGA 0 of each card from the sample design built for card 0's
// part: card 0 takes it; card 1, whose FPGA is another part, refuses it.
void configureSample(VELTRA_HANDLE card, uint32_t index, const char* file) {
    const VELTRA_STATUS status = VELTRA_ConfigureFromFileA(card, 0, 0, file);
    std::printf("  VELTRA_ConfigureFromFileA(%s) on card %u: %s - %s\n", file, index,
                nameOf(status), VELTRA_GetStatusStringA(status, 0));
}

// Flash: the chip and its geometry, then one block erased, written and
// read back.
void showFlash(VELTRA_HANDLE card) {
    VELTRA_FLASH_INFOA flash;
    if (!check("VELTRA_GetFlashInfoA", VELTRA_GetFlashInfoA(card, 0, &flash)))
        return;
    VELTRA_FLASH_BLOCK_INFO top;
    VELTRA_GetFlashBlockInfo(card, 0, flash.attribute1 - 1, &top);
    std::printf("  flash 0: %s, %" PRIu64 " MiB in %" PRIu64 " KiB blocks (top block %" PRIu64
                " KiB), x%" PRIu64 "\n",
                flash.name, flash.attribute1 >> 20, flash.attribute2 >> 10, top.attribute2 >> 10,
                flash.attribute3);
    const uint64_t block = flash.attribute2 * 8;
    std::vector<uint8_t> data(flash.attribute2), back(flash.attribute2);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<uint8_t>(i * 31 + 7);
    const bool done =
        check("VELTRA_EraseFlash", VELTRA_EraseFlash(card, 0, 0, block, data.size())) &&
        check("VELTRA_WriteFlash",
              VELTRA_WriteFlash(card, 0, 0, block, data.size(), data.data())) &&
        check("VELTRA_ReadFlash", VELTRA_ReadFlash(card, 0, 0, block, back.size(), back.data()));
    if (done)
        std::printf("  flash block at 0x%" PRIX64 ": erased, written, read back %s\n", block,
                    back == data ? "the same" : "DIFFERENT");
}

// VPD, clock 1, and the sensors.
void showBoard(VELTRA_HANDLE card) {
    char vpd[128] = {};
    if (check("VELTRA_ReadVPD", VELTRA_ReadVPD(card, 0, 0, sizeof vpd - 1, vpd))) {
        std::string record(vpd);
        for (size_t at; (at = record.find('\n')) != std::string::npos;)
            record[at] = ' ';
        std::printf("  VPD: %s\n", record.c_str());
    }
    double actual = 0;
    if (check("VELTRA_SetClockFrequency", VELTRA_SetClockFrequency(card, 1, 0, 156.25e6, &actual)))
        std::printf("  clock 1 set to 156.25 MHz, runs at %.3f MHz\n", actual / 1e6);
    VELTRA_SENSOR_INFOA sensor;
    for (uint32_t s = 0; VELTRA_GetSensorInfoA(card, s, &sensor) == VELTRA_SUCCESS; ++s) {
        VELTRA_SENSOR_VALUE value;
        if (VELTRA_ReadSensor(card, s, &value) != VELTRA_SUCCESS)
            continue;
        if (sensor.attribute1 == 1)
            std::printf("  sensor %u: %-26s %10.3f\n", s, sensor.description, value.doubleValue);
        else
            std::printf("  sensor %u: %-26s %10u\n", s, sensor.description, value.value32);
    }
    VELTRA_DEVICE_STATUS status;
    uint32_t any = 0;
    if (check("VELTRA_GetDeviceStatus", VELTRA_GetDeviceStatus(card, 0, &status, &any)))
        std::printf("  device errors: %s\n", any ? "yes" : "none");
}

// The bridge device of each card: identifier, production test, and an IPROG

// scheduled, queried and aborted on card 0.
void bridges() {
    std::printf("== Bridge devices (KESTA) ==\n");
    for (uint32_t index = 0;; ++index) {
        KESTA_HANDLE bridge = nullptr;
        const KESTA_STATUS status = KESTA_Open(index, 0, 0, &bridge);
        std::printf("card %u: KESTA_Open gives %s\n", index, KESTA_GetStatusStringA(status, 1));
        if (status != KESTA_SUCCESS)
            return;
        uint64_t id = 0;
        KESTA_PROD_TEST_INFO test;
        if (KESTA_GetUniqueId(bridge, &id) == KESTA_SUCCESS)
            std::printf("  unique id 0x%016" PRIX64 "\n", id);
        if (KESTA_GetProdTestInfo(bridge, &test) == KESTA_SUCCESS)
            std::printf("  production test %u, station %u, passes %u, retries %u, program 0x%08X\n",
                        test.testValue0, test.testByte0, test.testByte1, test.testByte2,
                        test.testValue1);
        uint32_t serviced = 0;
        if (KESTA_ServiceIRQ(bridge, &serviced) == KESTA_SUCCESS)
            std::printf("  interrupt %s\n",
                        serviced ? "serviced (the FPGA finished configuring)" : "none pending");
        if (index == 0) {
            std::printf(
                "  KESTA_ScheduleIPROG(0, flags 1, 0x00400000): %s\n",
                KESTA_GetStatusStringA(KESTA_ScheduleIPROG(bridge, 0, 1, 0x00400000, 0xABCD), 1));
            uint32_t state = 0, value = 0;
            uint64_t address = 0;
            KESTA_StatusIPROG(bridge, 0, &state, &address, &value);
            std::printf("  KESTA_StatusIPROG(0): state %u, address 0x%08" PRIX64 ", value 0x%X\n",
                        state, address, value);
            std::printf("  KESTA_AbortIPROG(0): %s\n",
                        KESTA_GetStatusStringA(KESTA_AbortIPROG(bridge, 0), 1));
            KESTA_StatusIPROG(bridge, 0, &state, nullptr, nullptr);
            std::printf("  KESTA_StatusIPROG(0): state %u (aborted)\n", state);
        }
        KESTA_Close(bridge);
    }
}

// Writes 1 MiB to card memory by DMA and reads it back through a mapping of
// window 1 (which shows card memory), then reads it back again with two
// non-blocking transfers, one on each channel, through a locked buffer and
// the caller's buffer.
void dmaRoundTrip(VELTRA_HANDLE card) {
    constexpr uint32_t kLocal = 0x100000;
    constexpr size_t kLength = 1 << 20, kHalf = kLength / 2;
    std::vector<uint8_t> data(kLength);
    for (size_t i = 0; i < kLength; ++i)
        data[i] = static_cast<uint8_t>(i * 13 + (i >> 12));
    if (!check("VELTRA_WriteDMA", VELTRA_WriteDMA(card, 0, 0, data.data(), kLength, kLocal)))
        return;
    void* base = nullptr;
    if (check("VELTRA_MapWindow", VELTRA_MapWindow(card, 1, kLocal, kLength, &base))) {
        const bool same = std::memcmp(base, data.data(), kLength) == 0;
        std::printf("  DMA wrote 1 MiB to local 0x%08X; window 1 mapped at %p shows %s\n", kLocal,
                    base, same ? "the same bytes" : "DIFFERENT bytes");
        check("VELTRA_UnmapWindow", VELTRA_UnmapWindow(card, base));
    }

    std::vector<uint8_t> back(kLength);
    uint32_t locked = 0;
    if (!check("VELTRA_Lock", VELTRA_Lock(card, back.data(), kHalf, &locked)))
        return;
    OVERLAPPED first{}, second{};
    first.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    second.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    const VELTRA_STATUS started[] = {
        VELTRA_StartReadDMALocked(card, &first, 0, 0, locked, 0, kHalf, kLocal),
        VELTRA_StartReadDMAEx(card, &second, 1, 0, back.data() + kHalf, kHalf, kLocal + kHalf)};
    std::printf("  started two reads: channel 0 (locked buffer) %s, channel 1 %s\n",
                nameOf(started[0]), nameOf(started[1]));
    VELTRA_STATUS finished[2] = {started[0], started[1]};
    OVERLAPPED* overlapped[2] = {&first, &second};
    for (int i = 0; i < 2; ++i)
        if (finished[i] == VELTRA_PENDING)
            finished[i] = VELTRA_FinishDMA(card, overlapped[i], 1);
    std::printf("  finished: %s and %s; the bytes read back are %s\n", nameOf(finished[0]),
                nameOf(finished[1]), back == data ? "the ones written" : "DIFFERENT");
    check("VELTRA_Unlock", VELTRA_Unlock(card, locked));
    CloseHandle(first.hEvent);
    CloseHandle(second.hEvent);
}

// Waits for a notification, with a wait and with a registered event, and
// rings the card's doorbell (offset 0 of window 2) to raise it.
void notification(VELTRA_HANDLE card) {
    constexpr uint32_t kNotification = 42;
    OVERLAPPED wait{};
    wait.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    const VELTRA_STATUS started = VELTRA_StartNotificationWait(card, &wait, kNotification);
    check("VELTRA_RegisterWin32Event", VELTRA_RegisterWin32Event(card, kNotification, event));
    std::printf("  waiting for notification %u: %s, polled: %s\n", kNotification, nameOf(started),
                nameOf(VELTRA_FinishNotificationWait(card, &wait, 0)));
    uint32_t doorbell = kNotification;
    if (check("VELTRA_Write", VELTRA_Write(card, 2, 0, 0, sizeof doorbell, &doorbell))) {
        const VELTRA_STATUS finished =
            started == VELTRA_PENDING ? VELTRA_FinishNotificationWait(card, &wait, 1) : started;
        const bool signalled = WaitForSingleObject(event, 5000) == WAIT_OBJECT_0;
        std::printf("  rang the doorbell: the wait finished with %s, the event was %s\n",
                    nameOf(finished), signalled ? "signalled" : "NOT signalled");
    }
    check("VELTRA_UnregisterWin32Event", VELTRA_UnregisterWin32Event(card, kNotification, event));
    CloseHandle(event);
    CloseHandle(wait.hEvent);
}

int demo() {
    constexpr const char* kSample = "veltra_sample_7vx690t.bit";
    if (!bitstream::Writer::standard("7vx690tffg1157", bitstream::configurationData(1 << 20))
             .writeTo(kSample))
        std::printf("cannot write the sample design %s\n", kSample);
    std::printf("== Cards ==\n");

    for (uint32_t index = 0;; ++index) {
        VELTRA_HANDLE card = nullptr;
        const VELTRA_STATUS status = VELTRA_Open(index, &card);
        std::printf("card %u: VELTRA_Open gives %s\n", index, nameOf(status));
        if (status != VELTRA_SUCCESS)
            break;
        showCard(card);
        showFpga(card);
        configureSample(card, index, kSample);
        mappingRoundTrip(card);
        dmaRoundTrip(card);
        notification(card);
        showFlash(card);
        showBoard(card);

        check("VELTRA_Close", VELTRA_Close(card));
    }
    bridges();
    return 0;
}

void usage() {
    std::printf(
        "usage: veltra [--simulator] COMMAND\n"
        "  demo    show the cards and what the package does with them\n"
        "  list    open and close each card\n"
        "  sim power-cycle CARD   switch a simulated card off and on\n"
        "  sim check FILE         check a machine description\n"
        "  sim state              where the simulated machine's state lives\n"
        "  --simulator  (Windows) run on the simulated driver (vsim.dll beside the program)\n");
}

// A control of the simulated driver, found at run time: real cards have none.
template <typename Function>
Function simulatorControl(const char* name) {
#if defined(_WIN32)
    HMODULE simulator = GetModuleHandleA("vsim.dll");
    void* address =
        simulator != nullptr ? reinterpret_cast<void*>(GetProcAddress(simulator, name)) : nullptr;
#else
    void* address = dlsym(RTLD_DEFAULT, name);
#endif
    return reinterpret_cast<Function>(address);
}

// The simulated machine's own commands.
int simulatorCommand(int argc, char** argv) {
    const std::string what = argc >= 3 ? argv[2] : "";
    if (what == "power-cycle" && argc == 4) {
        auto powerCycle = simulatorControl<int (*)(uint32_t)>("vsimPowerCycle");
        if (powerCycle == nullptr) {
            std::printf("not on the simulated driver\n");
            return 1;
        }
        auto state = simulatorControl<int (*)(char*, size_t, char*, size_t)>("vsimMachineState");
        char file[1024] = "", problem[512] = "";
        if (state != nullptr)
            state(file, sizeof file, problem, sizeof problem);
        if (*file == '\0') {
            std::printf(
                "the simulated machine is private to this process (VELTRA_SIM_STATE): "
                "nothing to switch off\n");
            return 1;
        }
        const auto card = static_cast<uint32_t>(std::strtoul(argv[3], nullptr, 0));
        if (powerCycle(card) == 0) {
            std::printf("the simulated machine has no card %u\n", card);
            return 1;
        }
        std::printf("card %u switched off and on\n", card);
        return 0;
    }
    if (what == "check" && argc == 4) {
        auto checkFile =
            simulatorControl<int (*)(const char*, char*, size_t)>("vsimCheckMachineDescription");
        if (checkFile == nullptr) {
            std::printf("not on the simulated driver\n");
            return 1;
        }
        char problem[512] = "";
        if (checkFile(argv[3], problem, sizeof problem) == 0) {
            std::printf("%s\n", problem);
            return 1;
        }
        std::printf("%s: a good machine description\n", argv[3]);
        return 0;
    }
    if (what == "state" && argc == 3) {
        auto state = simulatorControl<int (*)(char*, size_t, char*, size_t)>("vsimMachineState");
        if (state == nullptr) {
            std::printf("not on the simulated driver\n");
            return 1;
        }
        VELTRA_HANDLE card = nullptr;  // the machine comes with the first open
        if (VELTRA_Open(0, &card) == VELTRA_SUCCESS)
            VELTRA_Close(card);
        char file[1024] = "", problem[512] = "";
        state(file, sizeof file, problem, sizeof problem);
        std::printf("%s\n", *file != '\0' ? file : "private (this process's own)");
        if (*problem != '\0')
            std::printf("%s\n", problem);
        return 0;
    }
    usage();
    return 2;
}

// On Windows the simulated driver is a DLL that attaches itself below the
// libraries' imports; an installation on real cards does not have it. The
// Linux build runs on the Win32 stand-in, which has it built in.
bool attachSimulator() {
#if defined(_WIN32)
    HMODULE simulator = LoadLibraryA("vsim.dll");
    if (simulator == nullptr)
        return false;
    auto attach = reinterpret_cast<int (*)(const char*)>(
        reinterpret_cast<void*>(GetProcAddress(simulator, "vsimAttach")));
    if (attach == nullptr)
        return false;
    attach("veltra.dll");
    attach("kesta.dll");
#endif
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 2 && std::strcmp(argv[1], "--simulator") == 0) {
        if (!attachSimulator()) {
            std::printf("the simulated driver (vsim.dll) is not there\n");
            return 1;
        }
        --argc;
        ++argv;
    }
    if (argc < 2) {
        usage();
        return 2;
    }
    const std::string command = argv[1];

    if (command == "demo")
        return demo();
    if (command == "list")
        return listCards();
    if (command == "sim")
        return simulatorCommand(argc, argv);
    usage();
    return 2;
}
