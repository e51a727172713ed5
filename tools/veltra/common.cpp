#include "tool.h"

#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <utility>

#if defined(_WIN32)
#include <io.h>
#else
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace tool {

std::string statusText(VELTRA_STATUS status) {
    return std::string(VELTRA_GetStatusStringA(status, 1)) + " (" +
           VELTRA_GetStatusStringA(status, 0) + ")";
}

std::string bridgeStatusText(KESTA_STATUS status) {
    return std::string(KESTA_GetStatusStringA(status, 1)) + " (" +
           KESTA_GetStatusStringA(status, 0) + ")";
}

void check(VELTRA_STATUS status, const std::string& what) {
    if (status != VELTRA_SUCCESS)
        throw Failure(what + ": " + statusText(status));
}

void checkBridge(KESTA_STATUS status, const std::string& what) {
    if (status != KESTA_SUCCESS)
        throw Failure(what + ": " + bridgeStatusText(status));
}

Card::Card(uint32_t index) : index_(index) {
    check(VELTRA_Open(index, &handle_), format("cannot open card %u", index));
}

Card::~Card() {
    VELTRA_Close(handle_);
}

std::string Card::name() const {
    return format("card %u", index_);
}

Bridge::Bridge(uint32_t index) : index_(index) {
    checkBridge(KESTA_Open(index, 0, 0, &handle_),
                format("cannot open the bridge device of card %u", index));
}

Bridge::~Bridge() {
    KESTA_Close(handle_);
}

std::vector<uint32_t> allCards() {
    std::vector<uint32_t> cards;
    for (uint32_t index = 0;; ++index) {
        VELTRA_HANDLE handle = nullptr;
        const VELTRA_STATUS status = VELTRA_Open(index, &handle);
        if (status == VELTRA_DEVICE_NOT_FOUND)
            return cards;
        check(status, format("cannot open card %u", index));
        VELTRA_Close(handle);
        cards.push_back(index);
    }
}

std::vector<uint32_t> selectedCards(const CLI::Option* cardOption, uint32_t card) {
    if (cardOption != nullptr && cardOption->count() > 0)
        return {card};
    std::vector<uint32_t> cards = allCards();
    if (cards.empty())
        throw Failure("no card found: " + statusText(VELTRA_DEVICE_NOT_FOUND));
    return cards;
}

void forEachIndex(const std::string& what, uint32_t limit,
                  const std::function<VELTRA_STATUS(uint32_t)>& get) {
    for (uint32_t index = 0; index < limit; ++index) {
        const VELTRA_STATUS status = get(index);
        if (status == VELTRA_INVALID_INDEX)
            return;
        check(status, format("%s %u", what.c_str(), index));
    }
}

std::string format(const char* pattern, ...) {
    va_list arguments;
    va_start(arguments, pattern);
    char small[256];
    va_list copy;
    va_copy(copy, arguments);
    const int length = std::vsnprintf(small, sizeof small, pattern, copy);
    va_end(copy);
    std::string result;
    if (length < 0) {
        result = pattern;
    } else if (static_cast<size_t>(length) < sizeof small) {
        result.assign(small, static_cast<size_t>(length));
    } else {
        result.resize(static_cast<size_t>(length) + 1);
        std::vsnprintf(result.data(), result.size(), pattern, arguments);
        result.resize(static_cast<size_t>(length));
    }
    va_end(arguments);
    return result;
}

std::string hex(uint64_t value, int digits) {
    return format("0x%0*llX", digits, static_cast<unsigned long long>(value));
}

std::string sizeText(uint64_t bytes) {
    static const char* const kUnits[] = {"KiB", "MiB", "GiB", "TiB"};
    if (bytes < 1024)
        return format("%llu bytes", static_cast<unsigned long long>(bytes));
    double value = static_cast<double>(bytes) / 1024;
    int unit = 0;
    while (value >= 1024 && unit < 3) {
        value /= 1024;
        ++unit;
    }
    if (value == std::floor(value))
        return format("%.0f %s", value, kUnits[unit]);
    return format("%.1f %s", value, kUnits[unit]);
}

std::string rateText(uint64_t bytes, double seconds) {
    if (seconds <= 0)
        return "-";
    const double rate = static_cast<double>(bytes) / seconds;
    if (rate >= 1024.0 * 1024 * 1024)
        return format("%.2f GiB/s", rate / (1024.0 * 1024 * 1024));
    if (rate >= 1024.0 * 1024)
        return format("%.1f MiB/s", rate / (1024.0 * 1024));
    return format("%.1f KiB/s", rate / 1024);
}

std::string frequencyText(double hertz) {
    const double magnitude = std::fabs(hertz);
    if (magnitude >= 1e9)
        return format("%.6f GHz", hertz / 1e9);
    if (magnitude >= 1e6)
        return format("%.3f MHz", hertz / 1e6);
    if (magnitude >= 1e3)
        return format("%.3f kHz", hertz / 1e3);
    return format("%.0f Hz", hertz);
}

std::string durationText(double seconds) {
    if (seconds >= 1)
        return format("%.2f s", seconds);
    if (seconds >= 1e-3)
        return format("%.1f ms", seconds * 1e3);
    return format("%.1f us", seconds * 1e6);
}

namespace {

std::string trimmed(const std::string& text) {
    const size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos)
        return "";
    const size_t last = text.find_last_not_of(" \t");
    return text.substr(first, last - first + 1);
}

bool equalsIgnoringCase(const std::string& a, const char* b) {
    if (a.size() != std::strlen(b))
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

// Splits "64MiB" into the number "64" and the unit "MiB".
std::pair<std::string, std::string> numberAndUnit(const std::string& text) {
    const std::string value = trimmed(text);
    size_t end = 0;
    if (value.size() > 2 && value[0] == '0' && (value[1] == 'x' || value[1] == 'X')) {
        end = 2;
        while (end < value.size() && std::isxdigit(static_cast<unsigned char>(value[end])))
            ++end;
    } else {
        while (end < value.size() &&
               (std::isdigit(static_cast<unsigned char>(value[end])) || value[end] == '.' ||
                ((value[end] == 'e' || value[end] == 'E') && end > 0 && end + 1 < value.size() &&
                 (std::isdigit(static_cast<unsigned char>(value[end + 1])) ||
                  value[end + 1] == '-' || value[end + 1] == '+')) ||
                ((value[end] == '-' || value[end] == '+') && end > 0 &&
                 (value[end - 1] == 'e' || value[end - 1] == 'E'))))
            ++end;
    }
    return {value.substr(0, end), trimmed(value.substr(end))};
}

}  // namespace

uint64_t parseNumber(const std::string& text, const std::string& what) {
    const std::string value = trimmed(text);
    const bool hexadecimal =
        value.size() > 2 && value[0] == '0' && (value[1] == 'x' || value[1] == 'X');
    const size_t digitsFrom = hexadecimal ? 2 : 0;
    bool good = value.size() > digitsFrom;
    for (size_t i = digitsFrom; good && i < value.size(); ++i)
        good = hexadecimal ? std::isxdigit(static_cast<unsigned char>(value[i])) != 0
                           : std::isdigit(static_cast<unsigned char>(value[i])) != 0;
    if (!good)
        throw Usage(what + ": '" + text + "' is not a number");
    errno = 0;
    const unsigned long long number = std::strtoull(value.c_str(), nullptr, hexadecimal ? 16 : 10);
    if (errno == ERANGE)
        throw Usage(what + ": '" + text + "' is too large");
    return number;
}

uint64_t parseSize(const std::string& text, const std::string& what) {
    const auto [number, unit] = numberAndUnit(text);
    uint64_t scale = 1;
    if (unit.empty() || equalsIgnoringCase(unit, "B"))
        scale = 1;
    else if (equalsIgnoringCase(unit, "K") || equalsIgnoringCase(unit, "KiB"))
        scale = uint64_t{1} << 10;
    else if (equalsIgnoringCase(unit, "M") || equalsIgnoringCase(unit, "MiB"))
        scale = uint64_t{1} << 20;
    else if (equalsIgnoringCase(unit, "G") || equalsIgnoringCase(unit, "GiB"))
        scale = uint64_t{1} << 30;
    else
        throw Usage(what + ": '" + text +
                    "' has an unknown unit (use K, M or G, or KiB, MiB or GiB)");
    const uint64_t value = parseNumber(number, what);
    if (value > UINT64_MAX / scale)
        throw Usage(what + ": '" + text + "' is too large");
    return value * scale;
}

double parseFrequency(const std::string& text, const std::string& what) {
    const auto [number, unit] = numberAndUnit(text);
    double scale = 1;
    if (unit.empty() || equalsIgnoringCase(unit, "Hz"))
        scale = 1;
    else if (equalsIgnoringCase(unit, "kHz"))
        scale = 1e3;
    else if (equalsIgnoringCase(unit, "MHz"))
        scale = 1e6;
    else if (equalsIgnoringCase(unit, "GHz"))
        scale = 1e9;
    else
        throw Usage(what + ": '" + text + "' has an unknown unit (use Hz, kHz, MHz or GHz)");
    char* end = nullptr;
    const double value = number.empty() ? 0 : std::strtod(number.c_str(), &end);
    if (number.empty() || end != number.c_str() + number.size() || !std::isfinite(value))
        throw Usage(what + ": '" + text + "' is not a frequency");
    return value * scale;
}

CLI::Validator numberForm() {
    return CLI::Validator(
        [](std::string& value) {
            try {
                value = std::to_string(parseNumber(value, "value"));
                return std::string();
            } catch (const Usage&) {
                return "'" + value + "' is not a number";
            }
        },
        "NUMBER");
}

CLI::Validator sizeForm() {
    return CLI::Validator(
        [](std::string& value) {
            try {
                value = std::to_string(parseSize(value, "value"));
                return std::string();
            } catch (const Usage& error) {
                const std::string message = error.what();
                return message.substr(message.find(':') + 2);
            }
        },
        "SIZE");
}

bool stdinIsTerminal() {
#if defined(_WIN32)
    return _isatty(_fileno(stdin)) != 0;
#else
    return isatty(STDIN_FILENO) != 0;
#endif
}

bool stdoutIsTerminal() {
#if defined(_WIN32)
    return _isatty(_fileno(stdout)) != 0;
#else
    return isatty(STDOUT_FILENO) != 0;
#endif
}

bool stderrIsTerminal() {
#if defined(_WIN32)
    return _isatty(_fileno(stderr)) != 0;
#else
    return isatty(STDERR_FILENO) != 0;
#endif
}

void confirm(const std::string& question, bool yes) {
    if (yes)
        return;
    if (!stdinIsTerminal() || !stderrIsTerminal())
        throw Failure(
            "this changes the card: give --yes to go ahead without a terminal to ask "
            "at; nothing changed");
    std::fprintf(stderr, "%s [y/N] ", question.c_str());
    std::fflush(stderr);
    std::string answer;
    if (!std::getline(std::cin, answer) || (answer != "y" && answer != "Y" && answer != "yes"))
        throw Failure("not confirmed: nothing changed");
}

Progress::Progress(std::string label, uint64_t total, bool enabled)
    : label_(std::move(label)),
      total_(total),
      enabled_(enabled && stderrIsTerminal()),
      start_(std::chrono::steady_clock::now()),
      lastDraw_(start_) {
    if (enabled_)
        draw(0, false);
}

Progress::~Progress() {
    // A bar left by a failure ends its line so that the message starts on
    // its own.
    if (enabled_ && !finished_)
        std::fputc('\n', stderr);
}

void Progress::update(uint64_t done) {
    if (!enabled_)
        return;
    const auto now = std::chrono::steady_clock::now();
    if (now - lastDraw_ < std::chrono::milliseconds(100))
        return;
    lastDraw_ = now;
    draw(done, false);
}

void Progress::finish() {
    if (!enabled_ || finished_)
        return;
    draw(total_, true);
    finished_ = true;
}

void Progress::draw(uint64_t done, bool last) {
    constexpr int kWidth = 30;
    const double fraction =
        total_ == 0 ? 1.0 : static_cast<double>(done) / static_cast<double>(total_);
    const int filled = static_cast<int>(fraction * kWidth);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    std::fprintf(stderr, "\r%-10s [%-*s] %3.0f%% %s of %s, %s\x1b[K%s", label_.c_str(), kWidth,
                 std::string(static_cast<size_t>(filled), '#').c_str(), fraction * 100,
                 sizeText(done).c_str(), sizeText(total_).c_str(), rateText(done, seconds).c_str(),
                 last ? "\n" : "");
    std::fflush(stderr);
}

std::span<const uint8_t> FileBytes::first(const CLI::Option* lengthOption, uint64_t length) const {
    if (lengthOption == nullptr || lengthOption->count() == 0)
        return bytes();
    if (length > size_)
        throw Failure(format("%s holds %s, less than --length %s", path_.c_str(),
                             sizeText(size_).c_str(), sizeText(length).c_str()));
    return bytes().first(static_cast<size_t>(length));
}

#if defined(_WIN32)
FileBytes::FileBytes(const std::string& path) : path_(path) {
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        throw Failure("cannot open " + path + ": " +
                      (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND
                           ? std::string("No such file or directory")
                           : format("system error %lu", static_cast<unsigned long>(error))));
    }
    LARGE_INTEGER size{};
    const bool sized = GetFileSizeEx(file, &size) != 0;
    if (sized && size.QuadPart > 0)
        mapping_ = CreateFileMappingA(file, nullptr, PAGE_READONLY, 0, 0, nullptr);
    CloseHandle(file);
    if (!sized || (size.QuadPart > 0 && mapping_ == nullptr))
        throw Failure("cannot read " + path);
    if (mapping_ != nullptr) {
        data_ = static_cast<const uint8_t*>(MapViewOfFile(mapping_, FILE_MAP_READ, 0, 0, 0));
        if (data_ == nullptr) {
            CloseHandle(mapping_);
            throw Failure("cannot read " + path);
        }
        size_ = static_cast<size_t>(size.QuadPart);
    }
}

FileBytes::~FileBytes() {
    if (data_ != nullptr)
        UnmapViewOfFile(data_);
    if (mapping_ != nullptr)
        CloseHandle(mapping_);
}
#else
FileBytes::FileBytes(const std::string& path) : path_(path) {
    const int file = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (file < 0)
        throw Failure("cannot open " + path + ": " + std::strerror(errno));
    struct stat status {};
    if (fstat(file, &status) != 0 || !S_ISREG(status.st_mode)) {
        close(file);
        throw Failure("cannot read " + path + ": not a file");
    }
    if (status.st_size > 0) {
        void* view = mmap(nullptr, static_cast<size_t>(status.st_size), PROT_READ,
                          MAP_PRIVATE | MAP_POPULATE, file, 0);
        if (view == MAP_FAILED) {
            close(file);
            throw Failure("cannot read " + path + ": " + std::strerror(errno));
        }
        data_ = static_cast<const uint8_t*>(view);
        size_ = static_cast<size_t>(status.st_size);
    }
    close(file);
}

FileBytes::~FileBytes() {
    if (data_ != nullptr)
        munmap(const_cast<uint8_t*>(data_), size_);
}
#endif

void writeFile(const std::string& path, const void* data, size_t length) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out)
        throw Failure("cannot create " + path + ": " + std::strerror(errno));
    out.write(static_cast<const char*>(data), static_cast<std::streamsize>(length));
    out.close();
    if (!out)
        throw Failure("cannot write " + path);
}

CLI::Option* addCardOption(CLI::App& command, Common& common, bool required) {
    common.cardOption =
        command.add_option("-c,--card", common.card, "the card's index")->transform(numberForm());
    if (required)
        common.cardOption->required();
    return common.cardOption;
}

void addJsonFlag(CLI::App& command, Common& common) {
    command.add_flag("--json", common.json, "print JSON instead of text");
}

void addYesFlag(CLI::App& command, Common& common) {
    command.add_flag("-y,--yes", common.yes, "do not ask before changing the card");
}

void printJson(const json& document) {
    // Texts from a card are not always UTF-8: a byte that is not becomes U+FFFD.
    std::printf("%s\n", document.dump(2, ' ', false, json::error_handler_t::replace).c_str());
}

}  // namespace tool
