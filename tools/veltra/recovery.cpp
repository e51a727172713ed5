#include "recovery.h"

#include <cstring>
#include <type_traits>

#include "errors.h"
#include "files.h"
#include "text.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <climits>
#include <cstdlib>
#endif

namespace tool {

namespace {

constexpr char kMagic[16] = "VELTRA RECOVERY";
constexpr uint32_t kVersion = 1;

constexpr uint64_t kPrime1 = 0x9E3779B185EBCA87ull, kPrime2 = 0xC2B2AE3D27D4EB4Full,
                   kPrime3 = 0x165667B19E3779F9ull;

uint64_t rotate(uint64_t value, int bits) {
    return (value << bits) | (value >> (64 - bits));
}

uint64_t load64(const uint8_t* at) {
    uint64_t value;
    std::memcpy(&value, at, sizeof value);
    return value;
}

// Records are written in the machine's byte order; a recovery file is read
// back on the machine that wrote it.
struct Writer {
    std::vector<uint8_t> bytes;
    template <typename T>
    void put(const T& value) {
        static_assert(std::is_arithmetic_v<T>, "a number; bytes go through append()");
        const auto* at = reinterpret_cast<const uint8_t*>(&value);
        bytes.insert(bytes.end(), at, at + sizeof value);
    }
    void append(std::span<const uint8_t> data) {
        bytes.insert(bytes.end(), data.begin(), data.end());
    }
};

struct Reader {
    std::span<const uint8_t> bytes;
    size_t at = 0;
    template <typename T>
    T get() {
        T value{};
        std::memcpy(&value, take(sizeof value).data(), sizeof value);
        return value;
    }
    std::span<const uint8_t> take(uint64_t length) {
        if (length > bytes.size() - at)
            throw std::out_of_range("short");
        const auto part = bytes.subspan(at, static_cast<size_t>(length));
        at += static_cast<size_t>(length);
        return part;
    }
};

}  // namespace

// Eight lanes of 64-bit words, each word mixed into its lane with one
// multiplication (as fast as memory delivers the words), then the lanes, the
// length and the last bytes, and a final avalanche.
uint64_t hashBytes(std::span<const uint8_t> bytes) {
    uint64_t lanes[8];
    for (int lane = 0; lane < 8; ++lane)
        lanes[lane] = kPrime1 * static_cast<uint64_t>(lane + 1);
    const uint8_t* at = bytes.data();
    size_t left = bytes.size();
    for (; left >= 64; at += 64, left -= 64)
        for (int lane = 0; lane < 8; ++lane)
            lanes[lane] = rotate(lanes[lane] ^ load64(at + 8 * lane), 29) * kPrime2;
    uint64_t hash = bytes.size();
    for (int lane = 0; lane < 8; ++lane)
        hash = rotate(hash ^ (lanes[lane] * kPrime1), 27) * kPrime2 + kPrime3;
    for (; left > 0; ++at, --left)
        hash = rotate(hash ^ (*at * kPrime3), 11) * kPrime1;
    hash ^= hash >> 33;
    hash *= kPrime2;
    hash ^= hash >> 29;
    hash *= kPrime3;
    return hash ^ (hash >> 32);
}

std::string recoveryPath(const std::string& input, uint32_t serial, const std::string& folder) {
    const std::string name = baseName(input) + ".card-" + hex(serial, 8).substr(2) + ".recovery";
    return (folder.empty() ? folderOf(input) : folder) + "/" + name;
}

void writeRecovery(const std::string& path, const Recovery& r) {
    Writer w;
    w.append(std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(kMagic), sizeof kMagic));
    w.put(kVersion);
    w.put(r.serial);
    w.put(r.flash);
    w.put(static_cast<uint32_t>(r.input.size()));
    for (uint64_t value : {r.eraseStart, r.eraseEnd, r.offset, r.length, r.dataHash,
                           uint64_t{r.head.size()}, uint64_t{r.tail.size()}})
        w.put(value);
    w.append(
        std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(r.input.data()), r.input.size()));
    w.append(r.head);
    w.append(r.tail);
    w.put(hashBytes(w.bytes));
    replaceFile(path, w.bytes.data(), w.bytes.size());
}

Recovery readRecovery(const std::string& path) {
    const Bytes bytes = readWholeFile(path);
    const std::string damaged = path + " is not a whole recovery file of veltra";
    if (bytes.size() < sizeof kMagic + sizeof(uint64_t) ||
        std::memcmp(bytes.data(), kMagic, sizeof kMagic) != 0 ||
        hashBytes(std::span(bytes).first(bytes.size() - 8)) != load64(&bytes[bytes.size() - 8]))
        throw DamagedRecovery(damaged);
    try {
        Reader in{std::span(bytes).first(bytes.size() - 8), sizeof kMagic};
        if (in.get<uint32_t>() != kVersion)
            throw Failure(path + " is a recovery file of another version of veltra");
        Recovery r;
        r.serial = in.get<uint32_t>();
        r.flash = in.get<uint32_t>();
        const auto inputLength = in.get<uint32_t>();
        for (uint64_t* value : {&r.eraseStart, &r.eraseEnd, &r.offset, &r.length, &r.dataHash})
            *value = in.get<uint64_t>();
        const auto headLength = in.get<uint64_t>(), tailLength = in.get<uint64_t>();
        const auto input = in.take(inputLength);
        r.input.assign(input.begin(), input.end());
        const auto head = in.take(headLength), tail = in.take(tailLength);
        r.head.assign(head.begin(), head.end());
        r.tail.assign(tail.begin(), tail.end());
        return r;
    } catch (const std::out_of_range&) {
        throw DamagedRecovery(damaged);
    }
}

std::string absolutePath(const std::string& path) {
#if defined(_WIN32)
    char full[MAX_PATH] = "";
    const DWORD length = GetFullPathNameA(path.c_str(), MAX_PATH, full, nullptr);
    return length > 0 && length < MAX_PATH ? std::string(full, length) : path;
#else
    char full[PATH_MAX];
    if (::realpath(path.c_str(), full) != nullptr)
        return full;
    // A file not made yet: its folder's real path and its name.
    if (::realpath(folderOf(path).c_str(), full) != nullptr)
        return std::string(full) + "/" + baseName(path);
    return path;
#endif
}

}  // namespace tool
