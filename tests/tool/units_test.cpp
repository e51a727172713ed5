// Pieces of the tool that are checked in the test's own process: SHA-256
// against its published test vectors (with the processor's instructions and
// without), temporary files whose very names someone planted something at,
// and recovery files that are damaged or of another version.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "errors.h"
#include "files.h"
#include "recovery.h"
#include "sha256.h"
#include "simtest.h"
#include "text.h"

#if !defined(_WIN32)
#include <sys/stat.h>
#endif

namespace {

std::string digestOf(const std::string& text, bool portable, size_t piece) {
    tool::Sha256 hash(portable);
    const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
    for (size_t at = 0; at < text.size(); at += piece)
        hash.add(std::span<const uint8_t>(bytes + at, std::min(piece, text.size() - at)));
    return tool::digestText(hash.finish());
}

TEST(ToolUnits, Sha256GivesThePublishedDigests) {
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
    EXPECT_FALSE(tool::parseDigest(std::string(63, '0').append("g"), parsed));
}

namespace fs = std::filesystem;

std::string contents(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// Draws the temporary names 1, 2, 3, ... while it lives.
struct DrawnNames {
    explicit DrawnNames(uint64_t repeat = 0) {
        tool::drawTemporaryNamesFrom(
            [next = uint64_t{0}, repeat]() mutable { return repeat != 0 ? repeat : ++next; });
    }
    ~DrawnNames() { tool::drawTemporaryNamesFrom({}); }
};

// The names the tool is about to write at are taken: by a link to a file it
// must not touch and a FIFO that no one reads (Linux), by a file of someone
// else's (Windows). It opens none of them, waits for nothing, leaves each
// as it was and writes the output whole at the next name; when every name
// it draws is taken it says so and holds nothing open.
TEST(ToolUnits, ATemporaryNameThatIsTakenIsNeverOpened) {
    const fs::path folder = fs::absolute(simtest::scratchName("taken-names"));
    fs::remove_all(folder);
    fs::create_directory(folder);
    const std::string victim = (folder / "victim").string();
    std::ofstream(victim) << "untouched";
    const std::string name1 = (folder / ".out.bin.veltra-0000000000000001.tmp").string();
    const std::string name2 = (folder / ".out.bin.veltra-0000000000000002.tmp").string();
#if defined(_WIN32)
    std::ofstream(name1) << "someone's";
    std::ofstream(name2) << "someone's";
#else
    fs::create_symlink(victim, name1);
    ASSERT_EQ(::mkfifo(name2.c_str(), 0600), 0);
#endif
    const std::string out = (folder / "out.bin").string();
    {
        DrawnNames names;
        tool::replaceFile(out, "new", 3);
    }
    EXPECT_EQ(contents(out), "new");
    EXPECT_EQ(contents(victim), "untouched");
#if defined(_WIN32)
    EXPECT_EQ(contents(name1), "someone's");
    EXPECT_EQ(contents(name2), "someone's");
#else
    EXPECT_TRUE(fs::is_symlink(name1));
    EXPECT_TRUE(fs::is_fifo(name2));
    const auto open = [] {
        return std::distance(fs::directory_iterator("/proc/self/fd"), fs::directory_iterator{});
    };
    const auto before = open();
#endif
    try {
        DrawnNames same(1);
        tool::replaceFile(out, "newer", 5);
        ADD_FAILURE() << "written at a name that was taken";
    } catch (const tool::Failure& failure) {
        EXPECT_EQ(std::string(failure.what()), "cannot create " + out + ": File exists");
    }
    EXPECT_EQ(contents(out), "new");
#if !defined(_WIN32)
    EXPECT_EQ(open(), before) << "nothing is left open";
#endif
    fs::remove_all(folder);
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

// A command the tool prints is pasted into the shell as it stands, and a
// path splits into its folder and name in every form the system takes.
TEST(ToolUnits, PathsAsTheShellAndTheSystemTakeThem) {
#if defined(_WIN32)
    EXPECT_EQ(tool::shellWord("Z:\\tmp\\img dir\\new image.bin"),
              "\"Z:\\tmp\\img dir\\new image.bin\"");
    EXPECT_EQ(tool::shellWord("C:\\images\\new.bin"), "C:\\images\\new.bin");
    EXPECT_EQ(tool::shellWord("C:\\a&b.bin"), "\"C:\\a&b.bin\"");
    const struct {
        const char *path, *folder, *name;
    } forms[] = {
        {"\\vpd.bin", "\\", "vpd.bin"},
        {"C:vpd.bin", "C:", "vpd.bin"},
        {"C:\\vpd.bin", "C:\\", "vpd.bin"},
        {"\\\\?\\C:\\Flash Images\\long.bin", "\\\\?\\C:\\Flash Images", "long.bin"},
        {"\\\\?\\C:\\long.bin", "\\\\?\\C:\\", "long.bin"},
        {"\\\\server\\share\\x.bin", "\\\\server\\share\\", "x.bin"},
        {"\\\\server\\share\\dir\\x.bin", "\\\\server\\share\\dir", "x.bin"},
        {"dir/x.bin", "dir", "x.bin"},
        {"x.bin", ".", "x.bin"},
    };
    for (const auto& form : forms) {
        EXPECT_EQ(tool::folderOf(form.path), form.folder) << form.path;
        EXPECT_EQ(tool::baseName(form.path), form.name) << form.path;
    }
    // Joined again, each is the path it was (a root or a drive's current
    // folder takes no separator more).
    EXPECT_EQ(tool::inFolder("\\", ".vpd.bin.tmp"), "\\.vpd.bin.tmp");
    EXPECT_EQ(tool::inFolder("C:", "vpd.bin"), "C:vpd.bin");
    EXPECT_EQ(tool::inFolder("C:\\dir", "vpd.bin"), "C:\\dir\\vpd.bin");
#else
    EXPECT_EQ(tool::shellWord("/tmp/img dir/new image.bin"), "'/tmp/img dir/new image.bin'");
    EXPECT_EQ(tool::shellWord("/tmp/images/new-1.bin"), "/tmp/images/new-1.bin");
    EXPECT_EQ(tool::shellWord("/tmp/it's.bin"), "'/tmp/it'\\''s.bin'");
    EXPECT_EQ(tool::folderOf("/vpd.bin"), "/");
    EXPECT_EQ(tool::inFolder("/", "vpd.bin"), "/vpd.bin");
    EXPECT_EQ(tool::folderOf("dir/x.bin"), "dir");
    EXPECT_EQ(tool::baseName("dir/x.bin"), "x.bin");
#endif
}

}  // namespace
