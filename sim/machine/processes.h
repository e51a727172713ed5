// Processes as the machine's state names them.
#pragma once

#include <cstdint>

namespace vsim::model {

// A process as the machines name it: its id and when it started, so that a
// later process that is given the same id is not taken for it. Never 0.
uint64_t thisProcess();
// Whether the process that `process` names is still running.
bool processRuns(uint64_t process);

}  // namespace vsim::model
