#include "simulator.h"

#include <veltra.h>

#include "errors.h"
#include "files.h"

#if !defined(_WIN32)
#include <dlfcn.h>
#endif

namespace tool {

void* findSimulatorControl(const char* name) {
#if defined(_WIN32)
    HMODULE simulator = GetModuleHandleA("vsim.dll");
    return simulator != nullptr ? reinterpret_cast<void*>(GetProcAddress(simulator, name))
                                : nullptr;
#else
    return dlsym(RTLD_DEFAULT, name);
#endif
}

bool onSimulator() {
    return findSimulatorControl("vsimMachineState") != nullptr;
}

void requireSimulator() {
    if (!onSimulator())
        throw Failure(
            "not on the simulated driver (on Windows, give --sim or start veltra.exe "
            "through vsim-run)");
}

MachineState machineState() {
    requireSimulator();
    auto state = simulatorControl<int (*)(char*, size_t, char*, size_t)>("vsimMachineState");
    VELTRA_HANDLE card = nullptr;  // the machine comes with the first open
    if (VELTRA_Open(0, &card) == VELTRA_SUCCESS)
        VELTRA_Close(card);
    char file[1024] = "", problem[1024] = "";
    state(file, sizeof file, problem, sizeof problem);
    return {file, problem};
}

std::string machineFolder() {
    if (!onSimulator())
        return "";
    const std::string file = machineState().file;
    return file.empty() ? "" : folderOf(file);
}

std::string simulatedFaults() {
    machineState();  // the machine comes with the first open
    auto describe = simulatorControl<int (*)(char*, size_t)>("vsimCardFaults");
    char armed[8192] = "";
    describe(armed, sizeof armed);
    return armed;
}

std::optional<uint32_t> simulatedCardOfSerial(uint32_t serial) {
    auto find = simulatorControl<int (*)(uint32_t, uint32_t*)>("vsimCardOfSerial");
    uint32_t card = 0;
    if (find == nullptr || find(serial, &card) == 0)
        return std::nullopt;
    return card;
}

bool simulatedClockRange(uint32_t serial, uint32_t clock, double& minimum, double& maximum) {
    auto range = simulatorControl<int (*)(uint32_t, uint32_t, double*, double*)>("vsimClockRange");
    const std::optional<uint32_t> card = simulatedCardOfSerial(serial);
    return range != nullptr && card.has_value() && range(*card, clock, &minimum, &maximum) != 0;
}

}  // namespace tool
