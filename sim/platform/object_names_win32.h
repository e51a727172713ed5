// Names of the kernel objects of a simulated machine on Windows.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace vsim::os {

// A name for kernel objects made from a path (which may not hold
// backslashes): the same path in any letter case gives the same name.
inline std::string objectName(const char* kind, const std::string& path) {
    uint64_t hash = 0xCBF29CE484222325ull;
    for (char ch : path) {
        const char lower = ch >= 'A' && ch <= 'Z' ? static_cast<char>(ch - 'A' + 'a') : ch;
        hash = (hash ^ static_cast<unsigned char>(lower)) * 0x100000001B3ull;
    }
    char name[80];
    std::snprintf(name, sizeof name, "Local\\veltra-sim-%s-%016llx", kind,
                  static_cast<unsigned long long>(hash));
    return name;
}

}  // namespace vsim::os
