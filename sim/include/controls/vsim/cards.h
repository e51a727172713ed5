// Controls of the simulated cards of the current machine, for tests and
// tools. Each returns false if the machine has no such card (or channel).
#pragma once

#include <cstdint>
#include <string>

#include "vsim/driver.h"

namespace vsim {

// Holds a DMA channel after the transfer it is moving (queued transfers stay
// queued, and Start requests stay pending), or lets it go on.
VSIM_API bool pauseDmaChannel(uint32_t card, uint32_t channel, bool paused);
// Raises a notification, as the card's doorbell does.
VSIM_API bool raiseNotification(uint32_t card, uint32_t notification);
// Switches a card off and on, as switching the host off and on would: its
// FPGAs lose their configuration, its windows, card memory and common
// buffers are cleared, its clocks and status words go back to their power-on
// values, and its flash and VPD keep their contents. Every process using the
// machine sees it.
VSIM_API bool powerCycle(uint32_t card);

// Faults on purpose (see the README): `text` is a fault file's text,
// [[fault]] entries with their card and kind. They are armed in the
// machine's shared state, so they hit every process using it. False, and
// the reason as one line, if the text cannot be read or a fault does not
// fit its card (the faults before it stay armed).
VSIM_API bool applyFaults(const std::string& text, std::string& problem);
// Clears every fault of a card (kEveryCard: of all cards): a removed card is
// there again.
inline constexpr uint32_t kEveryCard = 0xFFFFFFFF;
VSIM_API bool clearFaults(uint32_t card);
// The faults armed, one line each ("card N: ...").
VSIM_API std::string describeFaults();

// Why the current machine has no cards, or why its state is private although
// a shared folder was asked for; empty if neither.
VSIM_API std::string machineProblem();
// The file that holds the current machine's state; empty for a private one.
VSIM_API std::string machineStateFile();
// Reads a machine description file; false, and the reason as one line
// ("FILE:LINE: what is wrong"), if it cannot be used.
VSIM_API bool checkMachineDescription(const std::string& path, std::string& problem);

}  // namespace vsim

// Takes the machine's lock and never gives it back: a test's stand-in for a
// process that dies while it holds the lock. A C name, so that a program
// that does not link the simulator can find it.
extern "C" VSIM_API void vsimHoldMachineLock(void);
// Takes the machine's lock and begins a change of the card's flash that it
// never ends: a test's stand-in for a process that dies while it erases or
// programs the flash.
extern "C" VSIM_API void vsimInterruptFlashChange(uint32_t card);

// The same controls under C names, for tools that find the simulator at run
// time (GetProcAddress, dlsym). Each returns 1 on success, 0 on failure; the
// texts are cut to `size` bytes, terminated.
extern "C" VSIM_API int vsimPowerCycle(uint32_t card);
// The machine's index of the card with `serial` (cards of the machine count
// whether or not they are removed).
extern "C" VSIM_API int vsimCardOfSerial(uint32_t serial, uint32_t* card);
// The range a programmable clock generator of machine card `card` takes, Hz.
extern "C" VSIM_API int vsimClockRange(uint32_t card, uint32_t clock, double* minimum,
                                       double* maximum);
extern "C" VSIM_API int vsimArmCardFaults(const char* text, char* problem, size_t size);
extern "C" VSIM_API int vsimClearCardFaults(uint32_t card);
extern "C" VSIM_API int vsimCardFaults(char* text, size_t size);
extern "C" VSIM_API int vsimCheckMachineDescription(const char* path, char* problem, size_t size);
// The state file of the current machine ("" for a private one), and why the
// machine has no cards or a private state ("" if neither).
extern "C" VSIM_API int vsimMachineState(char* file, size_t fileSize, char* problem,
                                         size_t problemSize);
