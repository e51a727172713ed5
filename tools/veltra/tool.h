// What the commands of the veltra tool share: failures and their exit codes,
// open cards and bridge devices, numbers with units, progress, and files.
#pragma once

#include <kesta.h>
#include <veltra.h>

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdint>
#include <functional>
#include <span>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace tool {

using json = nlohmann::ordered_json;

// An operation that failed: exit code 1, the message on stderr in one line.
struct Failure : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// A command line the tool cannot take: exit code 2. `command` is the
// command it is about ("veltra flash write"), if not the one parsed.
struct Usage : std::runtime_error {
    explicit Usage(const std::string& what) : std::runtime_error(what) {}
    Usage(std::string about, const std::string& what)
        : std::runtime_error(what), command(std::move(about)) {}
    std::string command;
};

// "VELTRA_DEVICE_NOT_FOUND (Failed to open the device with specified CardID)".
std::string statusText(VELTRA_STATUS status);
std::string bridgeStatusText(KESTA_STATUS status);

// Throws a Failure "WHAT: STATUS (message)" unless status is success.
void check(VELTRA_STATUS status, const std::string& what);
void checkBridge(KESTA_STATUS status, const std::string& what);

// Card `index`, open for as long as the object lives.
class Card {
  public:
    explicit Card(uint32_t index);
    ~Card();
    Card(const Card&) = delete;
    Card& operator=(const Card&) = delete;

    VELTRA_HANDLE handle() const { return handle_; }
    uint32_t index() const { return index_; }
    // "card 1", for messages.
    std::string name() const;

  private:
    VELTRA_HANDLE handle_ = nullptr;
    uint32_t index_;
};

// The bridge device (KESTA) of card `index`.
class Bridge {
  public:
    explicit Bridge(uint32_t index);
    ~Bridge();
    Bridge(const Bridge&) = delete;
    Bridge& operator=(const Bridge&) = delete;

    KESTA_HANDLE handle() const { return handle_; }
    uint32_t index() const { return index_; }

  private:
    KESTA_HANDLE handle_ = nullptr;
    uint32_t index_;
};

// The indexes of every card there is (opened and closed once each).
std::vector<uint32_t> allCards();
// The cards a command works on: the one named with -c, or every card.
std::vector<uint32_t> selectedCards(const CLI::Option* cardOption, uint32_t card);

// A record's value that the driver reports with an index past its last
// entry as VELTRA_INVALID_INDEX: calls `get` for 0, 1, ... until then.
// Any other failure is thrown.
void forEachIndex(const std::string& what, uint32_t limit,
                  const std::function<VELTRA_STATUS(uint32_t)>& get);

// printf into a std::string.
std::string format(const char* pattern, ...)
#if defined(__MINGW32__)
    __attribute__((format(gnu_printf, 1, 2)))
#elif defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

std::string hex(uint64_t value, int digits = 0);
// "64 MiB", "1.5 KiB", "100 bytes".
std::string sizeText(uint64_t bytes);
// "1.23 GiB/s".
std::string rateText(uint64_t bytes, double seconds);
// "156.250 MHz".
std::string frequencyText(double hertz);
// "0.213 s", "12.5 ms".
std::string durationText(double seconds);

// Numbers as a user writes them: decimal, 0x hexadecimal, and for sizes a
// binary unit (K, KiB, M, MiB, G, GiB). Throw Usage.
uint64_t parseNumber(const std::string& text, const std::string& what);
uint64_t parseSize(const std::string& text, const std::string& what);
// A frequency with an optional unit: "156.25MHz", "100 kHz", "1e6".
double parseFrequency(const std::string& text, const std::string& what);
// CLI11 validators that turn those forms into the plain numbers CLI11 reads.
CLI::Validator numberForm();
CLI::Validator sizeForm();

bool stdinIsTerminal();
bool stdoutIsTerminal();
bool stderrIsTerminal();

// Asks at a terminal before changing a card's non-volatile state; `yes`
// answers for scripts. Throws Failure if the answer is no, or if there is
// no terminal to ask at and no `yes`.
void confirm(const std::string& question, bool yes);

// A progress bar on stderr (only when stderr is a terminal and enabled):
// label, bytes done of the total, and the rate.
class Progress {
  public:
    Progress(std::string label, uint64_t total, bool enabled);
    ~Progress();
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

// A file's bytes, mapped read-only rather than copied: the commands that
// send large files to a card read them straight from the system's cache.
class FileBytes {
  public:
    explicit FileBytes(const std::string& path);
    ~FileBytes();
    FileBytes(const FileBytes&) = delete;
    FileBytes& operator=(const FileBytes&) = delete;

    std::span<const uint8_t> bytes() const { return {data_, size_}; }
    // The first `length` bytes when `lengthOption` was given (a file shorter
    // than that is a Failure), else all of them.
    std::span<const uint8_t> first(const CLI::Option* lengthOption, uint64_t length) const;

  private:
    std::string path_;
    const uint8_t* data_ = nullptr;
    size_t size_ = 0;
#if defined(_WIN32)
    HANDLE mapping_ = nullptr;
#endif
};

void writeFile(const std::string& path, const void* data, size_t length);

// A C string field of a record, up to its terminator or its end.
template <size_t N>
std::string text(const char (&field)[N]) {
    size_t length = 0;
    while (length < N && field[length] != '\0')
        ++length;
    return std::string(field, length);
}

// What the records of the package's driver mean (the library passes them on
// as the driver fills them).
constexpr uint64_t kWindowPrefetchable = 1, kWindowCardMemory = 2, kWindowDoorbell = 4,
                   kWindowRegisters = 8;
constexpr uint32_t kSensorFixed = 1, kSensorFlags = 2;

VELTRA_CARD_INFO_EX cardInfo(const Card& card);
std::string driverVersion(const Card& card);
std::vector<VELTRA_WINDOW_INFO> windows(const Card& card);
std::vector<VELTRA_FPGA_INFOA> fpgas(const Card& card);
std::vector<VELTRA_SENSOR_INFOA> sensors(const Card& card);
// The first window whose attributes have all of `with` and none of
// `without`; -1 if there is none.
int findWindow(const std::vector<VELTRA_WINDOW_INFO>& windows, uint64_t with, uint64_t without);

// One sensor reading: its text with the unit, and its state against the
// sensor's limits ("ok", "LOW", "HIGH", "ALARM", or "-" without limits).
struct SensorReading {
    double value = 0;
    std::string text, state;
    bool ok() const { return state == "ok" || state == "-"; }
};
SensorReading readSensor(const Card& card, uint32_t index, const VELTRA_SENSOR_INFOA& info);
// A unit of the package's driver by its code: "C", "V", "RPM", "" for none,
// "unit N" for a code it does not name; the suffix has a space before it.
std::string unitName(uint32_t unit);
std::string unitSuffix(uint32_t unit);

// The DMA channels of a card: a transfer of nothing is refused only for a
// channel the card does not have.
std::vector<uint32_t> dmaChannels(const Card& card);
// The card memory DMA reaches from local address 0: the size of the window
// that shows it, or 1 MiB if no window says.
uint64_t cardMemorySize(const Card& card);

// The VPD's size (found by reading), and its size and text as JSON.
uint64_t vpdSize(const Card& card);
json vpdJson(const Card& card);

// A flash chip's blocks from offset 0 to `size`, as runs of equal blocks:
// the record of each run's first block and how many there are. A driver
// answer naming a block that does not hold the offset asked for is a
// Failure.
struct BlockRun {
    VELTRA_FLASH_BLOCK_INFO first;
    uint64_t count;
};
std::vector<BlockRun> blockRuns(const Card& card, uint32_t flash, uint64_t size);

// The work of `flash write` and `program`, for the commands and for
// measuring them: both return the seconds taken.
double writeFlash(const Card& card, uint32_t flash, uint64_t offset, std::span<const uint8_t> data,
                  bool verify, bool showProgress);
double programFpga(const Card& card, uint32_t fpga, const std::string& file, bool showProgress,
                   uint64_t* bytes = nullptr);

// Options every command that works on cards shares.
struct Common {
    uint32_t card = 0;
    CLI::Option* cardOption = nullptr;
    bool json = false;
    bool yes = false;
};

CLI::Option* addCardOption(CLI::App& command, Common& common, bool required);
void addJsonFlag(CLI::App& command, Common& common);
void addYesFlag(CLI::App& command, Common& common);

// Prints a JSON document on stdout.
void printJson(const json& document);

// The commands, added to the tool's application by area.
void addInfoCommands(CLI::App& app);
void addBoardCommands(CLI::App& app);
void addFlashCommands(CLI::App& app);
void addProgramCommand(CLI::App& app);
void addTransferCommands(CLI::App& app);
void addValidateCommand(CLI::App& app);
void addBridgeCommands(CLI::App& app);
void addSimulatorCommands(CLI::App& app);

// The whole tool, for main() and for in-process measurements.
int run(int argc, char** argv);

}  // namespace tool
