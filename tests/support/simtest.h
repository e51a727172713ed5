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

// A GUID from its registry text, "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}".
// Tests write interface classes as that text, so that a digit mistyped in the
// libraries or the simulator cannot be copied into the tests as well.
constexpr GUID guidFromText(const char (&text)[39]) {
    auto nibble = [](char c) -> uint32_t {
        return c >= '0' && c <= '9'   ? uint32_t(c - '0')
               : c >= 'a' && c <= 'f' ? uint32_t(c - 'a' + 10)
               : c >= 'A' && c <= 'F' ? uint32_t(c - 'A' + 10)
                                      : throw "not a hexadecimal digit";
    };
    auto hex = [&](int at, int digits) {
        uint32_t value = 0;
        for (int i = 0; i < digits; ++i)
            value = value << 4 | nibble(text[at + i]);
        return value;
    };
    if (text[0] != '{' || text[9] != '-' || text[14] != '-' || text[19] != '-' || text[24] != '-' ||
        text[37] != '}')
        throw "not a braced GUID";
    GUID guid{hex(1, 8), static_cast<uint16_t>(hex(10, 4)), static_cast<uint16_t>(hex(15, 4)), {}};
    guid.Data4[0] = static_cast<uint8_t>(hex(20, 2));
    guid.Data4[1] = static_cast<uint8_t>(hex(22, 2));
    for (int i = 0; i < 6; ++i)
        guid.Data4[2 + i] = static_cast<uint8_t>(hex(25 + 2 * i, 2));
    return guid;
}

// The two device interface classes of the driver.
inline constexpr GUID kVeltraGuid = guidFromText("{4A8924E1-A143-44C2-8EC1-64EC73F90F96}");
inline constexpr GUID kKestaGuid = guidFromText("{6E8B60DA-DD4F-4D5E-AD96-5A9E06C28ACD}");

// Debug output captured by the platform since the last clear.
std::vector<std::string> debugOutput();
// Debug output joined into one string.
std::string debugText();
// The same without the checked build's thread attach and detach lines,
// which any thread that the system starts may write at any moment.
std::string debugTextWithoutThreadLines();

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
    ~PlatformScope() {
        vsimClearFaults();
        vsimStopCallLog(nullptr, nullptr);
    }
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

// What `count()` gives once it equals `expected`, asking again for up to
// five seconds: a thread that has ended may still be running its detach
// code, and what it gives back is counted only then.
template <typename Count, typename Value>
Value settled(Count count, const Value& expected) {
    Value value = count();
    for (int i = 0; i < 500 && value != expected; ++i) {
        Sleep(10);
        value = count();
    }
    return value;
}

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

// A kernel handle that closes itself (nothing to close for null or
// INVALID_HANDLE_VALUE).
struct Handle {
    HANDLE h;
    explicit Handle(HANDLE handle) : h(handle) {}
    ~Handle() {
        if (h != nullptr && h != INVALID_HANDLE_VALUE)
            CloseHandle(h);
    }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    operator HANDLE() const { return h; }
};

// Runs a command line through the system's shell; returns what it wrote on
// its standard output, and its exit code in `status` (-1 if it did not end
// normally).
std::string runCommand(const std::string& command, int& status);

// Sets an environment variable of this process and of the programs it
// starts; an empty value removes it.
void setVariable(const char* name, const std::string& value);

// Runs a program of the build on the simulated machine (on Windows through
// vsim-run, from the test program's folder) with `arguments`, which may
// hold redirections; returns what it printed on its standard output, and
// its exit code in `status`.
std::string runProgram(const std::string& program, const std::string& arguments, int& status);

// The folder of the running test program, with its trailing separator
// (Windows; empty on Linux, where programs are named by full path).
std::string programFolder();

}  // namespace simtest
