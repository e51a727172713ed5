// Text and numbers as the veltra tool reads and writes them: numbers with
// units, sizes, rates, frequencies, durations, and the nearest word to a
// mistyped one.
#pragma once

#include <CLI/CLI.hpp>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tool {

// printf into a std::string.
std::string format(const char* pattern, ...)
#if defined(__MINGW32__)
    __attribute__((format(gnu_printf, 1, 2)))
#elif defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

// A word of a command the user may paste into the shell as it stands: a
// path with spaces or other special characters is quoted, in cmd's way on
// Windows ("...") and the POSIX shell's elsewhere ('...').
std::string shellWord(const std::string& word);
// "0x00A1B2C3" with at least `digits` digits.
std::string hex(uint64_t value, int digits = 0);
// A card's serial as every output shows it.
std::string serialText(uint32_t serial);
// "64 MiB", "1.5 KiB", "100 bytes".
std::string sizeText(uint64_t bytes);
// "1.23 GiB/s".
std::string rateText(uint64_t bytes, double seconds);
// "156.250 MHz".
std::string frequencyText(double hertz);
// "0.213 s", "12.5 ms".
std::string durationText(double seconds);
// Up to three decimals, no trailing zeros ("0.95", "10000").
std::string decimal(double value);
// "1 card", "2 cards".
std::string plural(size_t count, const char* noun);

// Numbers as a user writes them: decimal, 0x hexadecimal, and for sizes a
// binary unit (K, KiB, M, MiB, G, GiB). They throw Usage.
uint64_t parseNumber(const std::string& text, const std::string& what);
uint64_t parseSize(const std::string& text, const std::string& what);
// A frequency with an optional unit: "156.25MHz", "100 kHz", "1e6".
double parseFrequency(const std::string& text, const std::string& what);
// CLI11 validators that turn those forms into the plain numbers CLI11 reads.
CLI::Validator numberForm();
CLI::Validator sizeForm();

// A C string field of a record, up to its terminator or its end.
template <size_t N>
std::string text(const char (&field)[N]) {
    size_t length = 0;
    while (length < N && field[length] != '\0')
        ++length;
    return std::string(field, length);
}

// Whether two texts are the same but for the case of ASCII letters.
bool equalsIgnoringCase(std::string_view a, std::string_view b);

// The word of `known` nearest to `word` (a typing mistake or two away, or
// one that it begins), or "" if none is near.
std::string nearest(const std::string& word, const std::vector<std::string>& known);
// ": did you mean PREFIXWORD?" with the nearest known word, or "".
std::string didYouMean(const std::string& word, const std::vector<std::string>& known,
                       const char* prefix = "");

}  // namespace tool
