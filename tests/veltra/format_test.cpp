// The libraries' own printf-style formatter, which must write what the
// Windows C run-time writes on every platform: each conversion, flag, width,
// precision and size the trace lines may use, and the bounded buffer.
#include <cstdint>
#include <string>

#include <gtest/gtest.h>

#include "wdm.h"

namespace {

template <typename... Args>
std::string format(const char* pattern, Args... args) {
    char buffer[128];
    const size_t n = wdmFormat(buffer, sizeof buffer, pattern, args...);
    EXPECT_EQ(n, std::string(buffer).size());
    return buffer;
}

TEST(Format, IntegersWithFlagsWidthsAndPrecisions) {
    EXPECT_EQ(format("%5d|%-5d|%05d|%i", 42, 42, 42, -3), "   42|42   |00042|-3");
    EXPECT_EQ(format("%+d|% d|%+d", 5, 5, -5), "+5| 5|-5");
    EXPECT_EQ(format("%.3d|%.0d|%5.2d|%-6.3u|", 7, 0, 4, 9u), "007||   04|009   |");
    EXPECT_EQ(format("%u|%o|%x|%X", 4294967295u, 8u, 255u, 255u), "4294967295|10|ff|FF");
    EXPECT_EQ(format("%#x|%#X|%#x|%#08x", 255u, 255u, 0u, 26u), "0xff|0XFF|0|0x00001a");
    EXPECT_EQ(format("%*d|%-*d|%.*d", 4, 1, -4, 2, 3, 5), "   1|2   |005");
}

TEST(Format, SizesAsTheWindowsRunTimeReadsThem) {
    EXPECT_EQ(format("%hd|%hu|%hhd|%hhu", 70000, 70000, 300, 300), "4464|4464|44|44");
    EXPECT_EQ(format("%I64u|%I64X|%I64d", uint64_t{1} << 40, uint64_t{0xABCDEF0123},
                     int64_t{-9000000000}),
              "1099511627776|ABCDEF0123|-9000000000");
    EXPECT_EQ(format("%lld|%llx", -5LL, 0x1234567890ULL), "-5|1234567890");
    EXPECT_EQ(format("%I32d|%ld|%lx", -1, -7, 0xFEEDu), "-1|-7|feed");  // "l" is 32 bits
    EXPECT_EQ(format("%Iu|%zu|%Ix", size_t{7}, size_t{8}, size_t{0xBEEF}), "7|8|beef");
    EXPECT_EQ(format("%p", reinterpret_cast<void*>(uintptr_t{0x1234})), "0000000000001234");
}

TEST(Format, TextCharactersAndWhatIsNotAConversion) {
    EXPECT_EQ(format("%s|%.2s|%5s|%-5s|%.*s", "abc", "abc", "ab", "ab", 1, "xyz"),
              "abc|ab|   ab|ab   |x");
    EXPECT_EQ(format("%s", static_cast<const char*>(nullptr)), "(null)");
    EXPECT_EQ(format("%c%c|%3c|%-3c|", 'o', 'k', 'x', 'y'), "ok|  x|y  |");
    EXPECT_EQ(format("100%%|%q|%"), "100%|%q|");
}

TEST(Format, BoundedBuffer) {
    char small[5];
    EXPECT_EQ(wdmFormat(small, sizeof small, "%s", "abcdefgh"), 4u);
    EXPECT_EQ(std::string(small), "abcd");
    char untouched = 'z';
    EXPECT_EQ(wdmFormat(&untouched, 0, "%d", 12345), 0u);
    EXPECT_EQ(untouched, 'z');
    char one[1];
    EXPECT_EQ(wdmFormat(one, sizeof one, "%d", 12345), 0u);
    EXPECT_EQ(one[0], '\0');
}

}  // namespace
