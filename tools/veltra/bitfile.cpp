#include "bitfile.h"

#include <algorithm>
#include <cstring>
#include <fstream>

#include "errors.h"
#include "files.h"

namespace tool {

namespace {

// A 2-byte length of 9, the preamble, then 00 01: how .bit files start.
constexpr uint8_t kStart[] = {0x00, 0x09, 0x0F, 0xF0, 0x0F, 0xF0, 0x0F,
                              0xF0, 0x0F, 0xF0, 0x00, 0x00, 0x01};

// The file's bytes from where it was left, as far as they go.
class HeadReader {
  public:
    explicit HeadReader(std::ifstream& in) : in_(in) {}
    bool bytes(void* into, size_t count) {
        return static_cast<bool>(
            in_.read(static_cast<char*>(into), static_cast<std::streamsize>(count)));
    }
    bool be16(uint32_t& value) {
        uint8_t two[2];
        if (!bytes(two, 2))
            return false;
        value = uint32_t{two[0]} << 8 | two[1];
        return true;
    }
    bool skip(uint64_t count) {
        return static_cast<bool>(in_.seekg(static_cast<std::streamoff>(count), std::ios::cur));
    }
    uint64_t at() { return static_cast<uint64_t>(std::max<std::streamoff>(in_.tellg(), 0)); }

  private:
    std::ifstream& in_;
};

// Walks the fields from the first one to the data ('e'): a header whose
// walk passes the end of the file is not complete.
void walkFields(HeadReader& file, uint64_t fileSize, BitHeader& header) {
    for (uint8_t tag = 0; file.bytes(&tag, 1);) {
        if (tag == 'e') {
            uint32_t high = 0, low = 0;
            if (!file.be16(high) || !file.be16(low))
                return;
            header.announced = uint64_t{high} << 16 | low;
            header.held = fileSize - file.at();
            header.complete = true;
            return;
        }
        uint32_t length = 0;
        if (!file.be16(length) || file.at() + length > fileSize)
            return;
        std::string* field = tag == 'a'   ? &header.design
                             : tag == 'b' ? &header.part
                             : tag == 'c' ? &header.date
                             : tag == 'd' ? &header.time
                                          : nullptr;
        if (field == nullptr) {
            if (!file.skip(length))
                return;
            continue;
        }
        field->resize(length);
        if (!file.bytes(field->data(), length))
            return;
        field->resize(std::min<size_t>(length, field->find('\0')));
    }
}

}  // namespace

BitHeader readBitHeader(const std::string& path) {
    std::ifstream in(fileSystemPath(path), std::ios::binary | std::ios::ate);
    if (!in)
        throw Failure("cannot open " + path + ": No such file or directory");
    const uint64_t fileSize = static_cast<uint64_t>(std::max<std::streamoff>(in.tellg(), 0));
    in.seekg(0);
    HeadReader file(in);
    BitHeader header;
    uint8_t start[sizeof kStart] = {};
    header.standardStart =
        file.bytes(start, sizeof start) && std::memcmp(start, kStart, sizeof kStart) == 0;
    // The preamble as its length says, then the word after it.
    in.clear();
    in.seekg(0);
    uint32_t preamble = 0;
    if (file.be16(preamble) && file.skip(uint64_t{preamble} + 2) && file.at() <= fileSize)
        walkFields(file, fileSize, header);
    return header;
}

}  // namespace tool
