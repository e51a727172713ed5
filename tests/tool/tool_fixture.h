// The veltra tool as an operator runs it: one process per command, on the
// default simulated machine of a state folder of the test's own, so that
// what one command changes the next one sees. On Windows each command is
// veltra.exe with --sim, started directly (one process start under Wine);
// the launcher vsim-run has tests of its own.
#pragma once

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "simtest.h"

namespace tooltest {

namespace fs = std::filesystem;
// Objects keep their keys in the order the tool prints them.
using json = nlohmann::ordered_json;

struct Outcome {
    int status = -1;
    std::string out, err;
};

inline std::string readText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// Text a Windows program wrote to a file ends its lines with CR LF.
inline std::string withoutCarriageReturns(const std::string& text) {
    std::string result;
    for (char ch : text)
        if (ch != '\r')
            result += ch;
    return result;
}

inline void writeBytes(const std::string& path, const std::vector<uint8_t>& data) {
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(data.data()),
               static_cast<std::streamsize>(data.size()));
}

inline std::vector<uint8_t> readBytes(const std::string& path) {
    const std::string text = readText(path);
    return std::vector<uint8_t>(text.begin(), text.end());
}

inline std::vector<uint8_t> pattern(size_t length, uint8_t seed) {
    std::vector<uint8_t> data(length);
    for (size_t i = 0; i < length; ++i)
        data[i] = static_cast<uint8_t>(i * 7 + seed + (i >> 9));
    return data;
}

// Asks `done` until it says so, for up to `seconds`.
template <typename Done>
bool eventually(Done done, double seconds = 20) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!done()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

// A veltra process that runs beside the test, its output going to files:
// the test watches it (through the request trace), kills it or waits for it.
class Running {
  public:
    Running(const std::string& arguments, const std::string& out, const std::string& err);
    ~Running();
    Running(const Running&) = delete;
    Running& operator=(const Running&) = delete;

    unsigned long pid() const { return pid_; }
    // Ends it at once: SIGKILL, or TerminateProcess on Windows.
    void kill();
    // Its exit code once it has ended (-1 if a signal ended it).
    int wait();

  private:
    unsigned long pid_ = 0;
    intptr_t process_ = 0;
    bool ended_ = false;
    int status_ = -1;
};

class Tool : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    // A file name of this test process, removed at the end.
    std::string file(const std::string& base);
    Outcome veltra(const std::string& arguments);
    // A command that must succeed; its standard output.
    std::string ok(const std::string& arguments);
    json okJson(const std::string& arguments);
    // Arms faults on the running machine from a fault file's text.
    void fault(const std::string& text);
    // The first `length` bytes of card 0's flash, as a command reads them
    // (while an update is pending too, which the tool warns of on stderr).
    std::vector<uint8_t> flash(size_t length);
    // What `veltra sim state` says of a place of the tool's ("card locks",
    // "notes of unfinished updates", "recovery files").
    std::string statedPlace(const std::string& what);
    // Where the recovery file of an update of card 0 from `input` goes.
    std::string recoveryOf(const std::string& input);

    std::string folder_;
    std::vector<std::string> files_;
};

}  // namespace tooltest
