// Pieces of the tool that are checked in the test's own process: SHA-256
// against the vectors of FIPS 180-2 (with the processor's instructions and
// without), and recovery files that are damaged or of another version.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "errors.h"
#include "recovery.h"
#include "sha256.h"

namespace {

std::string digestOf(const std::string& text, bool portable, size_t piece) {
    tool::Sha256 hash(portable);
    const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
    for (size_t at = 0; at < text.size(); at += piece)
        hash.add(std::span<const uint8_t>(bytes + at, std::min(piece, text.size() - at)));
    return tool::digestText(hash.finish());
}

TEST(ToolUnits, Sha256GivesTheStandardsDigests) {
    const struct {
        std::string text;
        const char* digest;
    } vectors[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {std::string(1000000, 'a'),
         "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (const auto& v : vectors)
        for (bool portable : {false, true})
            for (size_t piece :
                 {size_t{1}, size_t{63}, size_t{64}, size_t{1000}, size_t{1} << 20}) {
                if (piece == 1 && v.text.size() > 1000)
                    continue;
                EXPECT_EQ(digestOf(v.text, portable, piece), v.digest)
                    << v.text.size() << " bytes, portable " << portable << ", pieces of " << piece;
            }
    tool::Digest parsed{};
    EXPECT_TRUE(tool::parseDigest(
        "BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD", parsed));
    EXPECT_EQ(tool::digestText(parsed),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_FALSE(tool::parseDigest("ba7816bf", parsed));
    EXPECT_FALSE(tool::parseDigest(std::string(63, '0') + "g", parsed));
}

// A recovery file reads back as written; one cut short anywhere, or with
// any byte changed, is damaged, never half believed; one of the earlier
// version is named as such.
TEST(ToolUnits, RecoveryFilesReadBackWholeOrNotAtAll) {
    tool::Recovery r;
    r.serial = 0x00A1B2C3;
    r.flash = 0;
    r.generation = 7;
    r.eraseStart = 0x20000;
    r.eraseEnd = 0x60000;
    r.offset = 0x20010;
    r.length = 0x3FFE0;
    r.input = "/images/update.bin";
    r.head.assign(16, 0xAB);
    r.tail.assign(16, 0xCD);
    r.data = tool::sha256(r.head);
    const std::vector<uint8_t> bytes = tool::encodeRecovery(r);
    const tool::Recovery back = tool::decodeRecovery(bytes, "R");
    EXPECT_EQ(back.serial, r.serial);
    EXPECT_EQ(back.generation, 7u);
    EXPECT_EQ(back.eraseStart, r.eraseStart);
    EXPECT_EQ(back.eraseEnd, r.eraseEnd);
    EXPECT_EQ(back.offset, r.offset);
    EXPECT_EQ(back.length, r.length);
    EXPECT_EQ(back.input, r.input);
    EXPECT_EQ(back.head, r.head);
    EXPECT_EQ(back.tail, r.tail);
    EXPECT_EQ(back.data, r.data);

    for (size_t length = 0; length < bytes.size(); ++length)
        EXPECT_THROW(tool::decodeRecovery(std::span(bytes).first(length), "R"), tool::Failure)
            << "cut to " << length;
    for (size_t at = 20; at < bytes.size(); ++at) {
        std::vector<uint8_t> changed = bytes;
        changed[at] ^= 0x01;
        EXPECT_THROW(tool::decodeRecovery(changed, "R"), tool::DamagedRecovery) << "byte " << at;
    }
    std::vector<uint8_t> older = bytes;
    older[16] = 1;  // the version follows the 16 bytes of "VELTRA RECOVERY"
    try {
        tool::decodeRecovery(older, "R");
        ADD_FAILURE() << "a file of version 1 was read";
    } catch (const tool::DamagedRecovery&) {
        ADD_FAILURE() << "a file of version 1 is not damaged";
    } catch (const tool::Failure& failure) {
        EXPECT_STREQ(failure.what(),
                     "R is a recovery file of another version of veltra, which finishes it");
    }
}

}  // namespace
