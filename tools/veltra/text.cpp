#include "text.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "errors.h"

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
        throw LibraryFailure(what + ": " + statusText(status), status);
}

void checkBridge(KESTA_STATUS status, const std::string& what) {
    if (status != KESTA_SUCCESS)
        throw Failure(what + ": " + bridgeStatusText(status));
}

std::string format(const char* pattern, ...) {
    va_list arguments;
    va_start(arguments, pattern);
    va_list copy;
    va_copy(copy, arguments);
    const int length = std::vsnprintf(nullptr, 0, pattern, copy);
    va_end(copy);
    std::string result;
    if (length > 0) {
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

std::string serialText(uint32_t serial) {
    return hex(serial, 8);
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

std::string decimal(double value) {
    std::string text = format("%.3f", value);
    while (text.back() == '0')
        text.pop_back();
    if (text.back() == '.')
        text.pop_back();
    return text == "-0" ? "0" : text;
}

std::string plural(size_t count, const char* noun) {
    return format("%zu %s%s", count, noun, count == 1 ? "" : "s");
}

namespace {

std::string trimmed(const std::string& text) {
    const size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos)
        return "";
    const size_t last = text.find_last_not_of(" \t");
    return text.substr(first, last - first + 1);
}

bool isDigit(char ch) {
    return std::isdigit(static_cast<unsigned char>(ch)) != 0;
}

// Where the decimal number (with a fraction and an exponent) at the start of
// `value` ends.
size_t decimalEnd(const std::string& value) {
    size_t end = 0;
    auto exponentAt = [&](size_t at) {
        return (value[at] == 'e' || value[at] == 'E') && at > 0 && at + 1 < value.size() &&
               (isDigit(value[at + 1]) || value[at + 1] == '-' || value[at + 1] == '+');
    };
    auto signAt = [&](size_t at) {
        return (value[at] == '-' || value[at] == '+') && at > 0 &&
               (value[at - 1] == 'e' || value[at - 1] == 'E');
    };
    while (end < value.size() &&
           (isDigit(value[end]) || value[end] == '.' || exponentAt(end) || signAt(end)))
        ++end;
    return end;
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
        end = decimalEnd(value);
    }
    return {value.substr(0, end), trimmed(value.substr(end))};
}

uint64_t sizeScale(const std::string& unit, const std::string& text, const std::string& what) {
    static const std::pair<const char*, int> kUnits[] = {
        {"", 0}, {"B", 0}, {"K", 10}, {"KiB", 10}, {"M", 20}, {"MiB", 20}, {"G", 30}, {"GiB", 30}};
    for (const auto& [name, shift] : kUnits)
        if (equalsIgnoringCase(unit, name))
            return uint64_t{1} << shift;
    throw Usage(what + ": '" + text + "' has an unknown unit (use K, M or G, or KiB, MiB or GiB)");
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
                           : isDigit(value[i]);
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
    const uint64_t scale = sizeScale(unit, text, what);
    const uint64_t value = parseNumber(number, what);
    if (value > UINT64_MAX / scale)
        throw Usage(what + ": '" + text + "' is too large");
    return value * scale;
}

double parseFrequency(const std::string& text, const std::string& what) {
    const auto [number, unit] = numberAndUnit(text);
    static const std::pair<const char*, double> kUnits[] = {
        {"", 1}, {"Hz", 1}, {"kHz", 1e3}, {"MHz", 1e6}, {"GHz", 1e9}};
    double scale = 0;
    for (const auto& [name, factor] : kUnits)
        if (equalsIgnoringCase(unit, name))
            scale = factor;
    if (scale == 0)
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

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

namespace {

// Edits (insertions, deletions, substitutions, swaps of neighbours) that
// turn one word into the other.
size_t editDistance(const std::string& a, const std::string& b) {
    std::vector<std::vector<size_t>> d(a.size() + 1, std::vector<size_t>(b.size() + 1));
    for (size_t i = 0; i <= a.size(); ++i)
        d[i][0] = i;
    for (size_t j = 0; j <= b.size(); ++j)
        d[0][j] = j;
    for (size_t i = 1; i <= a.size(); ++i)
        for (size_t j = 1; j <= b.size(); ++j) {
            const size_t change = a[i - 1] == b[j - 1] ? 0 : 1;
            d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + change});
            if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1])
                d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
        }
    return d[a.size()][b.size()];
}

}  // namespace

std::string nearest(const std::string& word, const std::vector<std::string>& known) {
    std::string best;
    size_t bestDistance = SIZE_MAX;
    for (const std::string& candidate : known) {
        size_t distance = editDistance(word, candidate);
        if (word.size() >= 3 && candidate.rfind(word, 0) == 0)
            distance = std::min<size_t>(distance, 1);
        if (distance < bestDistance) {
            best = candidate;
            bestDistance = distance;
        }
    }
    const size_t allowed = word.size() <= 4 ? 1 : 2;
    return bestDistance <= allowed ? best : std::string();
}

std::string didYouMean(const std::string& word, const std::vector<std::string>& known,
                       const char* prefix) {
    // One letter is too short to guess from.
    const std::string closest = word.size() > 1 ? nearest(word, known) : std::string();
    return closest.empty() ? "" : std::string(": did you mean ") + prefix + closest + "?";
}

std::string shellWord(const std::string& word) {
#if defined(_WIN32)
    // cmd and the C run time split at spaces and tabs, and & | < > ^ ( )
    // mean something to cmd outside quotes: quoted, the path is one word.
    // (cmd expands %NAME% even inside quotes; a path rarely holds two %.)
    // A path holds no '"'.
    if (!word.empty() && word.find_first_of(" \t&|<>^()%,;=") == std::string::npos)
        return word;
    return "\"" + word + "\"";
#else
    if (!word.empty() &&
        word.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789"
                               "_-./:=,+@%") == std::string::npos)
        return word;
    std::string quoted = "'";
    for (const char c : word)
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
#endif
}

}  // namespace tool
