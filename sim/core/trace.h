// The request trace: one line per driver request as the driver sees it,
// written where VELTRA_SIM_TRACE says (a file, appended to, or "stderr").
// Off unless asked for; then each request costs one check.
#pragma once

#include <cstdint>
#include <string>

#include "vsim/driver.h"

namespace vsim::trace {

// Whether requests are traced; the environment is read on the first call.
bool on();

// Nanoseconds of a steady clock.
uint64_t now();

// Writes one line: the time of day, the process and thread, then `text` and
// the time since `start`.
void write(const std::string& text, uint64_t start);
// Writes one line of what happened besides a request (a model's line, a
// fault that fires): the time of day, the process and thread, then `text`.
void note(const std::string& text);

// The name of an outcome: a Win32 error's, or the driver status's that the
// devices name.
std::string outcomeName(uint32_t error);

}  // namespace vsim::trace
