#include "sha256.h"

#include <cstring>

#if (defined(__GNUC__) || defined(__clang__)) && defined(__x86_64__)
#define VELTRA_SHA_INSTRUCTIONS 1
#include <cpuid.h>
#include <immintrin.h>
#endif

namespace tool {

namespace {

constexpr uint32_t kRound[64] = {
    0x428A2F98, 0x71374491, 0xB5C0FBCF, 0xE9B5DBA5, 0x3956C25B, 0x59F111F1, 0x923F82A4, 0xAB1C5ED5,
    0xD807AA98, 0x12835B01, 0x243185BE, 0x550C7DC3, 0x72BE5D74, 0x80DEB1FE, 0x9BDC06A7, 0xC19BF174,
    0xE49B69C1, 0xEFBE4786, 0x0FC19DC6, 0x240CA1CC, 0x2DE92C6F, 0x4A7484AA, 0x5CB0A9DC, 0x76F988DA,
    0x983E5152, 0xA831C66D, 0xB00327C8, 0xBF597FC7, 0xC6E00BF3, 0xD5A79147, 0x06CA6351, 0x14292967,
    0x27B70A85, 0x2E1B2138, 0x4D2C6DFC, 0x53380D13, 0x650A7354, 0x766A0ABB, 0x81C2C92E, 0x92722C85,
    0xA2BFE8A1, 0xA81A664B, 0xC24B8B70, 0xC76C51A3, 0xD192E819, 0xD6990624, 0xF40E3585, 0x106AA070,
    0x19A4C116, 0x1E376C08, 0x2748774C, 0x34B0BCB5, 0x391C0CB3, 0x4ED8AA4A, 0x5B9CCA4F, 0x682E6FF3,
    0x748F82EE, 0x78A5636F, 0x84C87814, 0x8CC70208, 0x90BEFFFA, 0xA4506CEB, 0xBEF9A3F7, 0xC67178F2,
};

constexpr std::array<uint32_t, 8> kInitial = {0x6A09E667, 0xBB67AE85, 0x3C6EF372, 0xA54FF53A,
                                              0x510E527F, 0x9B05688C, 0x1F83D9AB, 0x5BE0CD19};

uint32_t rotateRight(uint32_t value, int bits) {
    return (value >> bits) | (value << (32 - bits));
}

uint32_t bigEndian(const uint8_t* at) {
    return uint32_t{at[0]} << 24 | uint32_t{at[1]} << 16 | uint32_t{at[2]} << 8 | at[3];
}

void compressPortable(std::array<uint32_t, 8>& state, const uint8_t* block, size_t count) {
    for (; count > 0; --count, block += 64) {
        uint32_t w[64];
        for (int i = 0; i < 16; ++i)
            w[i] = bigEndian(block + 4 * i);
        for (int i = 16; i < 64; ++i) {
            const uint32_t s0 =
                rotateRight(w[i - 15], 7) ^ rotateRight(w[i - 15], 18) ^ (w[i - 15] >> 3);
            const uint32_t s1 =
                rotateRight(w[i - 2], 17) ^ rotateRight(w[i - 2], 19) ^ (w[i - 2] >> 10);
            w[i] = w[i - 16] + s0 + w[i - 7] + s1;
        }
        uint32_t a = state[0], b = state[1], c = state[2], d = state[3], e = state[4], f = state[5],
                 g = state[6], h = state[7];
        for (int i = 0; i < 64; ++i) {
            const uint32_t t1 = h + (rotateRight(e, 6) ^ rotateRight(e, 11) ^ rotateRight(e, 25)) +
                                ((e & f) ^ (~e & g)) + kRound[i] + w[i];
            const uint32_t t2 = (rotateRight(a, 2) ^ rotateRight(a, 13) ^ rotateRight(a, 22)) +
                                ((a & b) ^ (a & c) ^ (b & c));
            h = g;
            g = f;
            f = e;
            e = d + t1;
            d = c;
            c = b;
            b = a;
            a = t1 + t2;
        }
        const uint32_t sums[8] = {a, b, c, d, e, f, g, h};
        for (int i = 0; i < 8; ++i)
            state[i] += sums[i];
    }
}

#if defined(VELTRA_SHA_INSTRUCTIONS)

bool processorHasShaInstructions() {
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (__get_cpuid(1, &a, &b, &c, &d) == 0)
        return false;
    const bool ssse3 = (c & (1u << 9)) != 0, sse41 = (c & (1u << 19)) != 0;
    if (__get_cpuid_count(7, 0, &a, &b, &c, &d) == 0)
        return false;
    return ssse3 && sse41 && (b & (1u << 29)) != 0;
}

// Four rounds per step, two per sha256rnds2; the state is kept as the
// instructions want it, ABEF and CDGH.
__attribute__((target("sha,sse4.1,ssse3"))) void compressWithInstructions(
    std::array<uint32_t, 8>& state, const uint8_t* block, size_t count) {
    const __m128i order = _mm_set_epi64x(0x0C0D0E0F08090A0Bll, 0x0405060700010203ll);
    __m128i low = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(&state[0])),
                                    0xB1);  // CDAB
    __m128i high = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(&state[4])),
                                     0x1B);           // EFGH
    __m128i abef = _mm_alignr_epi8(low, high, 8);     // ABEF
    __m128i cdgh = _mm_blend_epi16(high, low, 0xF0);  // CDGH
    for (; count > 0; --count, block += 64) {
        const __m128i savedAbef = abef, savedCdgh = cdgh;
        __m128i words[4];
        for (int step = 0; step < 16; ++step) {
            __m128i w;
            if (step < 4) {
                w = _mm_shuffle_epi8(
                    _mm_loadu_si128(reinterpret_cast<const __m128i*>(block + 16 * step)), order);
            } else {
                // W[t..t+3] from W[t-16..t-1], four at a time.
                __m128i t = _mm_sha256msg1_epu32(words[step & 3], words[(step + 1) & 3]);
                t = _mm_add_epi32(t,
                                  _mm_alignr_epi8(words[(step + 3) & 3], words[(step + 2) & 3], 4));
                w = _mm_sha256msg2_epu32(t, words[(step + 3) & 3]);
            }
            words[step & 3] = w;
            __m128i k = _mm_add_epi32(
                w, _mm_loadu_si128(reinterpret_cast<const __m128i*>(&kRound[4 * step])));
            cdgh = _mm_sha256rnds2_epu32(cdgh, abef, k);
            k = _mm_shuffle_epi32(k, 0x0E);
            abef = _mm_sha256rnds2_epu32(abef, cdgh, k);
        }
        abef = _mm_add_epi32(abef, savedAbef);
        cdgh = _mm_add_epi32(cdgh, savedCdgh);
    }
    low = _mm_shuffle_epi32(abef, 0x1B);      // FEBA
    high = _mm_shuffle_epi32(cdgh, 0xB1);     // DCHG
    abef = _mm_blend_epi16(low, high, 0xF0);  // DCBA
    cdgh = _mm_alignr_epi8(high, low, 8);     // HGFE
    _mm_storeu_si128(reinterpret_cast<__m128i*>(&state[0]), abef);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(&state[4]), cdgh);
}

#endif

}  // namespace

Sha256::Sha256(bool portable) : state_(kInitial) {
#if defined(VELTRA_SHA_INSTRUCTIONS)
    static const bool has = processorHasShaInstructions();
    instructions_ = has && !portable;
#else
    (void)portable;
#endif
}

void Sha256::compress(const uint8_t* blocks, size_t count) {
#if defined(VELTRA_SHA_INSTRUCTIONS)
    if (instructions_) {
        compressWithInstructions(state_, blocks, count);
        return;
    }
#endif
    compressPortable(state_, blocks, count);
}

void Sha256::add(std::span<const uint8_t> bytes) {
    total_ += bytes.size();
    if (pendingLength_ > 0) {
        const size_t take = std::min(bytes.size(), pending_.size() - pendingLength_);
        std::memcpy(pending_.data() + pendingLength_, bytes.data(), take);
        pendingLength_ += take;
        bytes = bytes.subspan(take);
        if (pendingLength_ < pending_.size())
            return;
        compress(pending_.data(), 1);
        pendingLength_ = 0;
    }
    const size_t whole = bytes.size() / 64;
    if (whole > 0)
        compress(bytes.data(), whole);
    bytes = bytes.subspan(whole * 64);
    std::memcpy(pending_.data(), bytes.data(), bytes.size());
    pendingLength_ = bytes.size();
}

Digest Sha256::finish() {
    const uint64_t bits = total_ * 8;
    uint8_t tail[72] = {0x80};
    const size_t padding = (pendingLength_ < 56 ? 56 : 120) - pendingLength_;
    for (int i = 0; i < 8; ++i)
        tail[padding + i] = static_cast<uint8_t>(bits >> (56 - 8 * i));
    add(std::span<const uint8_t>(tail, padding + 8));
    Digest digest;
    for (int i = 0; i < 8; ++i)
        for (int j = 0; j < 4; ++j)
            digest[4 * i + j] = static_cast<uint8_t>(state_[i] >> (24 - 8 * j));
    return digest;
}

Digest sha256(std::span<const uint8_t> bytes) {
    Sha256 hash;
    hash.add(bytes);
    return hash.finish();
}

std::string digestText(const Digest& digest) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    for (uint8_t byte : digest) {
        text += kDigits[byte >> 4];
        text += kDigits[byte & 15];
    }
    return text;
}

bool parseDigest(const std::string& text, Digest& digest) {
    if (text.size() != 64)
        return false;
    auto value = [](char ch) {
        if (ch >= '0' && ch <= '9')
            return ch - '0';
        if (ch >= 'a' && ch <= 'f')
            return ch - 'a' + 10;
        if (ch >= 'A' && ch <= 'F')
            return ch - 'A' + 10;
        return -1;
    };
    for (size_t i = 0; i < 32; ++i) {
        const int high = value(text[2 * i]), low = value(text[2 * i + 1]);
        if (high < 0 || low < 0)
            return false;
        digest[i] = static_cast<uint8_t>(high << 4 | low);
    }
    return true;
}

}  // namespace tool
