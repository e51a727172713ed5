// The simulated machine's own controls, found at run time: real cards have
// none, so every command that uses them says so when they are missing.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace tool {

// Whether the simulated driver answers this process's requests.
bool onSimulator();

// A control of the simulated driver, or null without it.
void* findSimulatorControl(const char* name);

// The same, as a function of its type.
template <typename Function>
Function simulatorControl(const char* name) {
    return reinterpret_cast<Function>(findSimulatorControl(name));
}
// A Failure unless on the simulated driver.
void requireSimulator();

// Where the simulated machine keeps its state ("" for a machine private to
// this process) and why it has no cards or a private state ("" if neither).
struct MachineState {
    std::string file, problem;
};
MachineState machineState();
// The folder of a shared machine's state; "" for a private machine or real
// cards.
std::string machineFolder();

// The faults armed on the simulated cards, a line each.
std::string simulatedFaults();
// The machine's index of the simulated card with `serial`.
std::optional<uint32_t> simulatedCardOfSerial(uint32_t serial);
// The range of a programmable clock of a simulated card, in Hz.
bool simulatedClockRange(uint32_t serial, uint32_t clock, double& minimum, double& maximum);

}  // namespace tool
