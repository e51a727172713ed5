// Whether a bitstream's part name and an FPGA's name are one device in one
// package. The FPGA names itself as device and package ("7a100tcsg324",
// "ku040ffva1156"); the vendor's tools and the open toolchain also write the
// part in its long form, with the family prefix, dashes and the speed and
// temperature grades ("xc7a100tcsg324-1", "xcku040-ffva1156-2-e"). Both are
// reduced to device and package before they are compared: letter case, a
// leading "xc", the dashes and the trailing grades do not count; another
// device or package still does. Header-only: the library's configuration and
// the tool's check before it use the one rule.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "veltra_text.h"

namespace veltra_part {

inline bool isDigit(char ch) {
    return ch >= '0' && ch <= '9';
}

// A speed grade ("1", "2", "1l", "2lv", "l1") or a temperature grade ("c",
// "e", "i", "m", "q"), lower case.
inline bool isGrade(std::string_view token) {
    if (token.size() == 1 && std::string_view("ceimqa").find(token[0]) != std::string_view::npos)
        return true;
    size_t at = token.size() > 1 && token[0] == 'l' ? 1 : 0;
    const size_t digits = at;
    while (at < token.size() && isDigit(token[at]))
        ++at;
    if (at == digits)
        return false;
    const size_t letters = token.size() - at;
    for (; at < token.size(); ++at)
        if (token[at] < 'a' || token[at] > 'z')
            return false;
    return letters <= 2;
}

// Device and package of a part name, lower case.
inline std::string devicePackage(std::string_view name) {
    std::string lower;
    lower.reserve(name.size());
    for (char ch : name)
        lower += asciiLower(ch);
    // Grades are the dash-separated words at the end, after the first word.
    size_t end = lower.size();
    for (size_t dash = lower.rfind('-', end); dash != std::string::npos && dash > 0;
         dash = end > 0 ? lower.rfind('-', end - 1) : std::string::npos) {
        if (!isGrade(std::string_view(lower).substr(dash + 1, end - dash - 1)))
            break;
        end = dash;
    }
    std::string result;
    for (size_t i = 0; i < end; ++i)
        if (lower[i] != '-')
            result += lower[i];
    if (result.rfind("xc", 0) == 0)
        result.erase(0, 2);
    return result;
}

inline bool sameDevice(std::string_view fpgaName, std::string_view bitstreamPart) {
    return devicePackage(fpgaName) == devicePackage(bitstreamPart);
}

}  // namespace veltra_part
