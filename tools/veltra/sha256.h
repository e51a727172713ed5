// SHA-256, for data that must be known again even when
// someone else had the chance to change it: the new image of a flash update
// that a recovery file finishes, and the recovery file itself.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace tool {

using Digest = std::array<uint8_t, 32>;

class Sha256 {
  public:
    // The processor's SHA instructions where it has them (a 64 MiB image
    // in a few tens of milliseconds), else plain code; `portable` asks for
    // the plain code, so that both are tested on any processor.
    explicit Sha256(bool portable = false);
    void add(std::span<const uint8_t> bytes);
    // The digest of everything added; the object is spent afterwards.
    Digest finish();

  private:
    void compress(const uint8_t* blocks, size_t count);

    std::array<uint32_t, 8> state_;
    std::array<uint8_t, 64> pending_{};
    size_t pendingLength_ = 0;
    uint64_t total_ = 0;
    bool instructions_ = false;
};

Digest sha256(std::span<const uint8_t> bytes);
// 64 lower-case hexadecimal digits, as sha256sum prints them.
std::string digestText(const Digest& digest);
// The digest a text of 64 hexadecimal digits gives; false for anything else.
bool parseDigest(const std::string& text, Digest& digest);

}  // namespace tool
