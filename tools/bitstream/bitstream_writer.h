// Builds Xilinx bitstream files (.bit) with chosen fields, lengths and data,
// for tests, the fuzzer's seed corpus and the demo's sample design.
//
// A file is: a 2-byte preamble length, the preamble, a 2-byte word, tagged
// fields ('a' design, 'b' part, 'c' date, 'd' time: a 2-byte length and the
// bytes), then 'e', a 4-byte data length, and the configuration data. All
// lengths are big-endian.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

namespace bitstream {

class Writer {
  public:
    // The standard preamble: 0F F0 0F F0 0F F0 0F F0 00, then 00 01.
    Writer() : preamble_{0x0F, 0xF0, 0x0F, 0xF0, 0x0F, 0xF0, 0x0F, 0xF0, 0x00} {}

    Writer& preamble(std::vector<uint8_t> bytes) {
        preamble_ = std::move(bytes);
        return *this;
    }
    // A field of any tag with raw content; its length is the content's size
    // unless `declared` says otherwise.
    Writer& field(uint8_t tag, std::vector<uint8_t> content,
                  std::optional<uint16_t> declared = {}) {
        fields_.push_back({tag, std::move(content), declared});
        return *this;
    }
    // A text field, NUL-terminated as the tools write it.
    Writer& text(char tag, const std::string& value) {
        std::vector<uint8_t> content(value.begin(), value.end());
        content.push_back(0);
        return field(static_cast<uint8_t>(tag), std::move(content));
    }
    Writer& design(const std::string& name) { return text('a', name); }
    Writer& part(const std::string& name) { return text('b', name); }
    Writer& date(const std::string& value) { return text('c', value); }
    Writer& time(const std::string& value) { return text('d', value); }
    // The configuration data; the 4-byte length after 'e' is the data's size
    // unless `declared` says otherwise.
    Writer& data(std::vector<uint8_t> bytes, std::optional<uint32_t> declared = {}) {
        data_ = std::move(bytes);
        declaredData_ = declared;
        hasData_ = true;
        return *this;
    }

    // A whole standard file: design, part, date, time, data.
    static Writer standard(const std::string& part, std::vector<uint8_t> data) {
        Writer w;
        w.design("sample_top;UserID=0XFFFFFFFF;Version=2020.2")
            .part(part)
            .date("2026/12/07")
            .time("08:00:00");
        w.data(std::move(data));
        return w;
    }

    std::vector<uint8_t> bytes() const {
        // One allocation for the whole file.
        size_t size = 4 + preamble_.size() + (hasData_ ? 5 + data_.size() : 0);
        for (const auto& f : fields_)
            size += 3 + f.content.size();
        std::vector<uint8_t> out;
        out.reserve(size);
        put16(out, static_cast<uint16_t>(preamble_.size()));
        out.insert(out.end(), preamble_.begin(), preamble_.end());
        put16(out, 0x0001);
        for (const auto& f : fields_) {
            out.push_back(f.tag);
            put16(out, f.declared.value_or(static_cast<uint16_t>(f.content.size())));
            out.insert(out.end(), f.content.begin(), f.content.end());
        }
        if (hasData_) {
            out.push_back('e');
            const uint32_t length = declaredData_.value_or(static_cast<uint32_t>(data_.size()));
            for (int shift = 24; shift >= 0; shift -= 8)
                out.push_back(static_cast<uint8_t>(length >> shift));
            out.insert(out.end(), data_.begin(), data_.end());
        }
        return out;
    }

    // The offset of the configuration data in bytes().
    size_t dataOffset() const { return bytes().size() - data_.size(); }

    bool writeTo(const std::string& path) const { return writeFile(path, bytes()); }

    static bool writeFile(const std::string& path, const std::vector<uint8_t>& bytes) {
        std::FILE* file = std::fopen(path.c_str(), "wb");
        if (file == nullptr)
            return false;
        const bool ok =
            bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();

        return std::fclose(file) == 0 && ok;
    }

  private:
    struct Field {
        uint8_t tag;
        std::vector<uint8_t> content;
        std::optional<uint16_t> declared;
    };
    static void put16(std::vector<uint8_t>& out, uint16_t value) {
        out.push_back(static_cast<uint8_t>(value >> 8));
        out.push_back(static_cast<uint8_t>(value));
    }

    std::vector<uint8_t> preamble_;
    std::vector<Field> fields_;
    std::vector<uint8_t> data_;
    std::optional<uint32_t> declaredData_;
    bool hasData_ = false;
};

// Configuration data as an FPGA takes it: dummy words, the bus-width
// detection pattern, the sync word AA 99 55 66, then `size` bytes in all.
inline std::vector<uint8_t> configurationData(size_t size, bool withSyncWord = true) {
    std::vector<uint8_t> data;
    for (int i = 0; i < 8; ++i)
        data.insert(data.end(), {0xFF, 0xFF, 0xFF, 0xFF});
    data.insert(data.end(),
                {0x00, 0x00, 0x00, 0xBB, 0x11, 0x22, 0x00, 0x44, 0xFF, 0xFF, 0xFF, 0xFF});
    if (withSyncWord)
        data.insert(data.end(), {0xAA, 0x99, 0x55, 0x66});
    uint32_t x = 0x12345678;
    while (data.size() < size) {
        x = x * 1664525u + 1013904223u;
        data.push_back(static_cast<uint8_t>(x >> 24));
    }
    data.resize(size);
    return data;
}

}  // namespace bitstream
