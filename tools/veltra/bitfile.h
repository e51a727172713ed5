// The header of a Xilinx .bit file as the tool shows it: the library keeps
// only the part and the data, the tool also shows the design's name, date
// and time, and checks the announced length itself.
#pragma once

#include <cstdint>
#include <string>

namespace tool {

struct BitHeader {
    std::string design, part, date, time;
    uint64_t announced = 0;      // bytes of configuration data the header announces
    uint64_t held = 0;           // bytes the file holds after the header
    bool complete = false;       // the header could be walked to its data
    bool standardStart = false;  // the file begins with the usual preamble
};

// Reads the header from the file's start, its preamble as long as its
// length says: a Failure if the file cannot be opened; a header that cannot
// be walked is not complete.
BitHeader readBitHeader(const std::string& path);

}  // namespace tool
