#include "recovery.h"

#include <cstring>
#include <stdexcept>
#include <type_traits>

#include "errors.h"
#include "files.h"
#include "text.h"

namespace tool {

namespace {

constexpr char kMagic[16] = "VELTRA RECOVERY";
// 1: the new data known by a 64-bit hash; 2: by SHA-256, with the update's
// generation, the whole file closed by its SHA-256.
constexpr uint32_t kVersion = 2;

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

std::string recoveryPath(const std::string& input, const std::string& key,
                         const std::string& folder) {
    // The path goes into the card's note, a line of text: a control
    // character in the file's name becomes _, one in the folder's is
    // refused.
    for (char ch : folder)
        if (static_cast<unsigned char>(ch) < 0x20)
            throw Failure("the recovery folder's path holds a control character: refused");
    std::string name = baseName(input);
    for (char& ch : name)
        if (static_cast<unsigned char>(ch) < 0x20)
            ch = '_';
    return inFolder(folder, name + ".card-" + key + ".recovery");
}

std::vector<uint8_t> encodeRecovery(const Recovery& r) {
    Writer w;
    w.append(std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(kMagic), sizeof kMagic));
    w.put(kVersion);
    w.put(r.serial);
    w.put(r.flash);
    w.put(static_cast<uint32_t>(r.input.size()));
    for (uint64_t value : {r.generation, r.eraseStart, r.eraseEnd, r.offset, r.length,
                           uint64_t{r.head.size()}, uint64_t{r.tail.size()}})
        w.put(value);
    w.append(r.data);
    w.append(
        std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(r.input.data()), r.input.size()));
    w.append(r.head);
    w.append(r.tail);
    w.append(sha256(w.bytes));
    return std::move(w.bytes);
}

Recovery decodeRecovery(std::span<const uint8_t> bytes, const std::string& path) {
    const std::string damaged = path + " is not a whole recovery file of veltra";
    constexpr size_t kClose = sizeof(Digest);
    if (bytes.size() < sizeof kMagic + sizeof(uint32_t) ||
        std::memcmp(bytes.data(), kMagic, sizeof kMagic) != 0)
        throw DamagedRecovery(damaged);
    uint32_t version = 0;
    std::memcpy(&version, bytes.data() + sizeof kMagic, sizeof version);
    if (version != kVersion)
        throw Failure(path + " is a recovery file of another version of veltra, which finishes it");
    if (bytes.size() < sizeof kMagic + sizeof version + kClose)
        throw DamagedRecovery(damaged);
    const Digest closing = sha256(bytes.first(bytes.size() - kClose));
    if (std::memcmp(closing.data(), bytes.data() + bytes.size() - kClose, kClose) != 0)
        throw DamagedRecovery(damaged);
    try {
        Reader in{bytes.first(bytes.size() - kClose), sizeof kMagic + sizeof version};
        Recovery r;
        r.serial = in.get<uint32_t>();
        r.flash = in.get<uint32_t>();
        const auto inputLength = in.get<uint32_t>();
        for (uint64_t* value : {&r.generation, &r.eraseStart, &r.eraseEnd, &r.offset, &r.length})
            *value = in.get<uint64_t>();
        const auto headLength = in.get<uint64_t>(), tailLength = in.get<uint64_t>();
        const auto data = in.take(r.data.size());
        std::memcpy(r.data.data(), data.data(), r.data.size());
        const auto input = in.take(inputLength);
        r.input.assign(input.begin(), input.end());
        const auto head = in.take(headLength), tail = in.take(tailLength);
        r.head.assign(head.begin(), head.end());
        r.tail.assign(tail.begin(), tail.end());
        if (in.at != in.bytes.size())
            throw DamagedRecovery(damaged);
        return r;
    } catch (const std::out_of_range&) {
        throw DamagedRecovery(damaged);
    }
}

}  // namespace tool
