// What the veltra tool shows: JSON documents (each with its schema version),
// questions at a terminal, progress bars, and the clock it measures with.
#pragma once

#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>

namespace tool {

// Objects keep their keys in the order the tool writes them.
using json = nlohmann::ordered_json;

// The version of every JSON document the tool prints; it grows when a key
// changes its meaning or goes, not when one is added.
inline constexpr int kJsonSchemaVersion = 1;

// A document with `schemaVersion` first, then its own keys.
json versioned(const json& document);
// Prints a JSON document (indented) or one JSON line, each with its schema
// version, and flushes stdout.
// Standard output could not take what was written (its reader went, say):
// a command that writes as it goes stops at once.
struct OutputFailed : std::exception {
    const char* what() const noexcept override { return "cannot write the output"; }
};
// Sends what was written on; throws OutputFailed if it could not go.
void flushOutput();

void printJson(const json& document);
void printJsonLine(const json& document);
// An identifier or address of 64 bits as JSON: hexadecimal text, which every
// JSON reader keeps exactly.
json hexValue(uint64_t value, int digits = 0);

// Whether a standard stream (stdin, stdout, stderr) is a terminal.
bool isTerminal(FILE* stream);

// Asks at a terminal before changing a card's non-volatile state; `yes`
// answers for scripts. Throws Failure if the answer is no, or if there is no
// terminal to ask at and no `yes`.
void confirm(const std::string& question, bool yes);

// A progress bar on stderr (only when stderr is a terminal and enabled):
// label, bytes done of the total, and the rate.
class Progress {
  public:
    Progress(std::string label, uint64_t total, bool enabled);
    ~Progress();
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;
    void update(uint64_t done);
    void finish();

  private:
    void draw(uint64_t done, bool last);

    std::string label_;
    uint64_t total_;
    bool enabled_;
    bool finished_ = false;
    std::chrono::steady_clock::time_point start_, lastDraw_;
};

class Stopwatch {
  public:
    Stopwatch() : start_(std::chrono::steady_clock::now()) {}
    double seconds() const {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    }

  private:
    std::chrono::steady_clock::time_point start_;
};

// The time now as ISO 8601 in UTC, to the millisecond.
std::string timestamp();

}  // namespace tool
