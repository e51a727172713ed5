#include "bitfile.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <vector>

#include "errors.h"

namespace tool {

namespace {

// A 2-byte length of 9, the preamble, then 00 01: how every .bit file starts.
constexpr uint8_t kStart[] = {0x00, 0x09, 0x0F, 0xF0, 0x0F, 0xF0, 0x0F,
                              0xF0, 0x0F, 0xF0, 0x00, 0x00, 0x01};
constexpr size_t kHeadBytes = size_t{64} << 10;

struct Head {
    std::vector<uint8_t> bytes;
    uint64_t fileSize = 0;
    size_t be16(size_t at) const { return size_t{bytes[at]} << 8 | bytes[at + 1]; }
};

Head readHead(const std::string& path) {
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    if (!in)
        throw Failure("cannot open " + path + ": No such file or directory");
    Head head;
    head.fileSize = static_cast<uint64_t>(std::max<std::streamoff>(in.tellg(), 0));
    head.bytes.resize(static_cast<size_t>(std::min<uint64_t>(head.fileSize, kHeadBytes)));
    in.seekg(0);
    if (!in.read(reinterpret_cast<char*>(head.bytes.data()),
                 static_cast<std::streamsize>(head.bytes.size())))
        throw Failure("cannot read " + path);
    return head;
}

std::string fieldText(const Head& head, size_t at, size_t length) {
    std::string value(reinterpret_cast<const char*>(head.bytes.data() + at), length);
    const size_t end = value.find('\0');
    return end == std::string::npos ? value : value.substr(0, end);
}

}  // namespace

BitHeader readBitHeader(const std::string& path) {
    const Head head = readHead(path);
    if (head.bytes.size() < sizeof kStart || std::memcmp(head.bytes.data(), kStart, sizeof kStart))
        throw Failure(path +
                      " is not a Xilinx .bit file (it does not begin with the .bit "
                      "preamble)");
    BitHeader header;
    for (size_t at = sizeof kStart; at < head.bytes.size();) {
        const uint8_t tag = head.bytes[at];
        if (tag == 'e') {
            if (at + 5 > head.bytes.size())
                return header;
            header.announced = uint64_t{head.be16(at + 1)} << 16 | head.be16(at + 3);
            header.held = head.fileSize - (at + 5);
            header.complete = true;
            return header;
        }
        if (at + 3 > head.bytes.size() || at + 3 + head.be16(at + 1) > head.bytes.size())
            return header;
        const std::string value = fieldText(head, at + 3, head.be16(at + 1));
        std::string* field = tag == 'a'   ? &header.design
                             : tag == 'b' ? &header.part
                             : tag == 'c' ? &header.date
                             : tag == 'd' ? &header.time
                                          : nullptr;
        if (field != nullptr)
            *field = value;
        at += 3 + head.be16(at + 1);
    }
    return header;
}

}  // namespace tool
