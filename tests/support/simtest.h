// Helpers shared by the test programs of both platforms.
#pragma once

#include <windows.h>
#include <setupapi.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include <vsim/driver.h>
#include <vsim/hooks.h>
#include <vsim/scripted.h>

namespace simtest {

inline constexpr GUID kVeltraGuid = {
    0x4A8924E1, 0xA143, 0x44C2, {0x8E, 0xC1, 0x64, 0xEC, 0x73, 0xF9, 0x0F, 0x96}};
inline constexpr GUID kKestaGuid = {
    0x6E8B60DA, 0xDD4F, 0x4D5E, {0xAD, 0x9E, 0x5A, 0x9E, 0x06, 0xC2, 0x8A, 0xCD}};

// Debug output captured by the platform since the last clear.
std::vector<std::string> debugOutput();
// Debug output joined into one string.
std::string debugText();

// A machine of scripted devices, installed for the life of the object; the
// default machine comes back afterwards.
class ScriptedMachine {
  public:
    ScriptedMachine();
    ~ScriptedMachine();
    ScriptedMachine(const ScriptedMachine&) = delete;
    ScriptedMachine& operator=(const ScriptedMachine&) = delete;

    // Adds a scripted device under an interface class; returns it.
    std::shared_ptr<vsim::ScriptedDevice> add(const vsim::Guid& guid);
    vsim::ScriptedDevice& device(size_t i) { return *devices_.at(i); }
    const std::string& path(size_t i) const { return paths_.at(i); }

  private:
    std::shared_ptr<vsim::Machine> machine_;
    std::vector<std::shared_ptr<vsim::ScriptedDevice>> devices_;
    std::vector<std::string> paths_;
};

// Clears armed faults and captured debug output when it goes.
class PlatformScope {
  public:
    PlatformScope() {
        vsimClearFaults();
        vsimClearDebugOutput();
    }
    ~PlatformScope() { vsimClearFaults(); }
};

// The device path of member `index` of an interface class, through SetupAPI;
// empty if there is none.
std::string interfacePath(const GUID& guid, DWORD index);

// Bytes of a recorded input record.
template <typename T>
T field(const std::vector<uint8_t>& bytes, size_t offset) {
    return vsim::readField<T>(std::span<const uint8_t>(bytes), offset);
}

}  // namespace simtest

namespace simtest {

// Waits until no live object of `kind` made by one of the threads is left
// (a join may return before the system has run a thread's detach
// notifications); returns how many are left at the end.
size_t objectsLeftByThreads(const char* kind, const std::vector<uint32_t>& threads);

}  // namespace simtest

// Marks a test that cannot run on this platform, with the reason: it is
// skipped, and `make test` counts it as single-platform.
#define SKIP_ON_THIS_PLATFORM(reason) GTEST_SKIP() << "single-platform: " << (reason)

namespace simtest {

// A file name in the working folder that no other test process uses (the
// test programs of a build run side by side).
std::string scratchName(const std::string& base);

}  // namespace simtest
