#include "simtest.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#if !defined(_WIN32)
#include <sys/wait.h>
#endif

namespace simtest {

std::vector<std::string> debugOutput() {
    std::vector<std::string> lines;
    vsimReadDebugOutput(
        [](void* context, const char* text) {
            static_cast<std::vector<std::string>*>(context)->emplace_back(text);
        },
        &lines);
    return lines;
}

std::string debugText() {
    std::string text;
    for (const auto& line : debugOutput())
        text += line;
    return text;
}

std::string debugTextWithoutThreadLines() {
    std::string text;
    for (const auto& line : debugOutput())
        if (line.rfind("wdmDllMain(VELTRA): DLL_THREAD_", 0) != 0)
            text += line;
    return text;
}

ScriptedMachine::ScriptedMachine() : machine_(std::make_shared<vsim::Machine>()) {
    vsim::installMachine(machine_);
}

ScriptedMachine::~ScriptedMachine() {
    vsim::resetMachine();
}

std::shared_ptr<vsim::ScriptedDevice> ScriptedMachine::add(const vsim::Guid& guid) {
    auto device = std::make_shared<vsim::ScriptedDevice>();
    paths_.push_back(machine_->add(guid, "scripted", device));
    devices_.push_back(device);
    return device;
}

std::string interfacePath(const GUID& guid, DWORD index) {
    HDEVINFO set =
        SetupDiGetClassDevsA(&guid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE)
        return {};
    std::string path;
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof data;
    if (SetupDiEnumDeviceInterfaces(set, nullptr, &guid, index, &data)) {
        DWORD size = 0;
        SetupDiGetDeviceInterfaceDetailA(set, &data, nullptr, 0, &size, nullptr);
        std::vector<char> buffer(size);
        auto* detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(buffer.data());
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
        if (SetupDiGetDeviceInterfaceDetailA(set, &data, detail, size, nullptr, nullptr))
            path = detail->DevicePath;
    }
    SetupDiDestroyDeviceInfoList(set);
    return path;
}

}  // namespace simtest

namespace simtest {

size_t objectsLeftByThreads(const char* kind, const std::vector<uint32_t>& threads) {
    return settled([&] { return vsimCountObjectsOfThreads(kind, threads.data(), threads.size()); },
                   size_t{0});
}

}  // namespace simtest

namespace simtest {

std::string scratchName(const std::string& base) {
    return base + "_" + std::to_string(GetCurrentProcessId());
}

std::string runCommand(const std::string& command, int& status) {
    // A process that cannot be started (Wine's loader fails a start now and
    // then when it cannot lay out the new address space) is tried again;
    // what the command itself does is not. Under Windows the shell reports
    // a program it could not start with 9009, which none of the programs
    // run here ends with.
    std::string output;
    for (int attempt = 1; attempt <= 4; ++attempt) {
        if (attempt > 1)
            std::this_thread::sleep_for(std::chrono::milliseconds(100 * attempt));
        status = -1;
        output.clear();
#if defined(_WIN32)
        FILE* pipe = _popen(command.c_str(), "r");
#else
        FILE* pipe = popen(command.c_str(), "r");
#endif
        if (pipe == nullptr)
            continue;
        char chunk[256];
        while (std::fgets(chunk, sizeof chunk, pipe) != nullptr)
            output += chunk;
#if defined(_WIN32)
        status = _pclose(pipe);
        if (status == 9009 && output.empty())
            continue;
#else
        const int raw = pclose(pipe);
        status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
#endif
        break;
    }
    return output;
}

std::string programFolder() {
#if defined(_WIN32)
    char self[MAX_PATH];
    const DWORD length = GetModuleFileNameA(nullptr, self, MAX_PATH);
    const std::string path(self, length);
    return path.substr(0, path.rfind('\\') + 1);
#else
    return "";
#endif
}

void setVariable(const char* name, const std::string& value) {
#if defined(_WIN32)
    _putenv_s(name, value.c_str());
#else
    if (value.empty())
        unsetenv(name);
    else
        setenv(name, value.c_str(), 1);
#endif
}

std::string runProgram(const std::string& program, const std::string& arguments, int& status) {
#if defined(_WIN32)
    return runCommand("\"\"" + programFolder() + "vsim-run.exe\" \"" + programFolder() + program +
                          ".exe\" " + arguments + "\"",
                      status);
#else
    return runCommand(program + " " + arguments, status);
#endif
}

}  // namespace simtest
