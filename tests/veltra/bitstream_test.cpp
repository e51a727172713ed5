// Reading bitstream files: the header walk, and the loaded objects.
#include <cstring>
#include <fstream>

#include "bitstream_writer.h"
#include "veltra_fixture.h"

namespace {

using bitstream::Writer;

// A file in the working folder, removed at the end of the test.
class TempFile {
  public:
    explicit TempFile(const std::string& name)
        : path_(simtest::scratchName("bitstream_test_" + name) + ".bit") {}
    ~TempFile() { DeleteFileA(path_.c_str()); }
    const char* path() const { return path_.c_str(); }
    const std::string& str() const { return path_; }

  private:
    std::string path_;
};

class Bitstreams : public testing::Test {
  protected:
    // Loads `bytes` as a file; the object is kept for the test to look at.
    VELTRA_STATUS load(const std::vector<uint8_t>& bytes) {
        EXPECT_TRUE(Writer::writeFile(file_.str(), bytes));
        object_ = reinterpret_cast<VELTRA_BITSTREAMA*>(0x1);
        const VELTRA_STATUS status = VELTRA_LoadBitstreamA(file_.path(), &object_);
        if (status != VELTRA_SUCCESS) {
            EXPECT_EQ(object_, reinterpret_cast<VELTRA_BITSTREAMA*>(0x1))
                << "written on success only";
            object_ = nullptr;
        }
        return status;
    }
    void TearDown() override {
        if (object_ != nullptr)
            VELTRA_UnloadBitstreamA(object_);
    }
    std::string dataOf() const {
        return std::string(reinterpret_cast<const char*>(object_->data), object_->length);
    }

    simtest::PlatformScope platform_;
    TempFile file_{testing::UnitTest::GetInstance()->current_test_info()->name()};
    VELTRA_BITSTREAMA* object_ = nullptr;
};

std::vector<uint8_t> bytesOf(const std::string& text) {
    return std::vector<uint8_t>(text.begin(), text.end());
}

TEST_F(Bitstreams, StandardFileHasItsDataAfterTheHeader) {
    const auto data = bitstream::configurationData(5000);
    const Writer writer = Writer::standard("7vx690tffg1157", data);
    ASSERT_EQ(load(writer.bytes()), VELTRA_SUCCESS);
    EXPECT_STREQ(object_->fpgaName, "7vx690tffg1157");
    ASSERT_EQ(object_->length, 5000u);
    EXPECT_EQ(std::memcmp(object_->data, data.data(), data.size()), 0);
    // 13 bytes of preamble, the four fields with their 3-byte heads, then 5.
    const size_t la = std::strlen("sample_top;UserID=0XFFFFFFFF;Version=2020.2") + 1;
    const size_t lb = 15, lc = 11, ld = 9;
    EXPECT_EQ(writer.dataOffset(), 13 + (3 + la) + (3 + lb) + (3 + lc) + (3 + ld) + 5);
    EXPECT_EQ(reinterpret_cast<uint8_t*>(object_->data) - reinterpret_cast<uint8_t*>(object_), 36);
}

// The data runs to the end of the file, whatever its 4-byte length says.
TEST_F(Bitstreams, DataLengthIsWhatTheFileHolds) {
    const auto data = bytesOf("0123456789");
    for (uint32_t declared : {0u, 3u, 10u, 1000000u}) {
        ASSERT_EQ(load(Writer::standard("7k325tffg900", data).data(data, declared).bytes()),
                  VELTRA_SUCCESS);
        EXPECT_EQ(dataOf(), "0123456789") << declared;
        VELTRA_UnloadBitstreamA(object_);
        object_ = nullptr;
    }
    ASSERT_EQ(load(Writer::standard("7k325tffg900", {}).bytes()), VELTRA_SUCCESS);
    EXPECT_EQ(object_->length, 0u) << "a file that ends right after the length";
}

TEST_F(Bitstreams, PartNameOf31BytesIsTakenAnd32Refused) {
    const std::string longest(30, 'q');  // 30 letters and the NUL: 31 bytes
    ASSERT_EQ(load(Writer::standard(longest, bytesOf("x")).bytes()), VELTRA_SUCCESS);
    EXPECT_EQ(std::string(object_->fpgaName), longest);
    VELTRA_UnloadBitstreamA(object_);
    object_ = nullptr;
    EXPECT_EQ(load(Writer::standard(longest + "q", bytesOf("x")).bytes()),
              VELTRA_INVALID_BITSTREAM);
    // Refused before the field is read: the file may even end right there.
    auto cut = Writer().field('b', {}, 32).bytes();
    EXPECT_EQ(load(cut), VELTRA_INVALID_BITSTREAM);
}

// Letter case changes ASCII letters only; other bytes stay as they are.
TEST_F(Bitstreams, PartNameIsStoredInLowerCase) {
    ASSERT_EQ(load(Writer::standard("7VX690TFFG1157", bytesOf("d")).bytes()), VELTRA_SUCCESS);
    EXPECT_STREQ(object_->fpgaName, "7vx690tffg1157");
    VELTRA_UnloadBitstreamA(object_);
    object_ = nullptr;
    ASSERT_EQ(load(Writer::standard("AB\xC9\xE9Z", bytesOf("d")).bytes()), VELTRA_SUCCESS);
    EXPECT_STREQ(object_->fpgaName, "ab\xC9\xE9z");
}

TEST_F(Bitstreams, EmptyAndCutShortFilesAreCorrupt) {
    EXPECT_EQ(load({}), VELTRA_INVALID_BITSTREAM);
    const auto whole = Writer::standard("7a100tcsg324", bytesOf("data")).bytes();
    // Cut anywhere before the end of the 4-byte length after 'e'.
    const size_t header = whole.size() - 4;
    for (size_t cut :
         {size_t{1}, size_t{2}, size_t{5}, size_t{13}, size_t{20}, header - 5, header - 1})
        EXPECT_EQ(load(std::vector<uint8_t>(whole.begin(), whole.begin() + cut)),
                  VELTRA_INVALID_BITSTREAM)
            << cut;
    ASSERT_EQ(load(std::vector<uint8_t>(whole.begin(), whole.begin() + header)), VELTRA_SUCCESS);
    EXPECT_EQ(object_->length, 0u);
}

TEST_F(Bitstreams, UnknownTagWithALongFieldIsPassedOver) {
    Writer w;
    w.design("top")
        .field('z', std::vector<uint8_t>(2000, 0x5A))
        .field(0x10, std::vector<uint8_t>(65535, 1));
    w.part("7z020clg484").data(bytesOf("payload"));
    ASSERT_EQ(load(w.bytes()), VELTRA_SUCCESS);
    EXPECT_STREQ(object_->fpgaName, "7z020clg484");
    EXPECT_EQ(dataOf(), "payload");
}

TEST_F(Bitstreams, LongPreambleIsPassedOver) {
    Writer w;
    w.preamble(std::vector<uint8_t>(3000, 0xF0)).part("ku040ffva1156").data(bytesOf("d"));
    ASSERT_EQ(load(w.bytes()), VELTRA_SUCCESS);
    EXPECT_STREQ(object_->fpgaName, "ku040ffva1156");
}

// A design name of about 1000 bytes makes the part name straddle the first
// window fill; it is found after the rest of the window moves to the front.
TEST_F(Bitstreams, PartNameAcrossTheFirstWindowFill) {
    for (size_t length : {990u, 995u, 998u, 1000u, 1004u, 1010u, 1021u}) {
        Writer w;
        w.field('a', std::vector<uint8_t>(length, 'n'))
            .part("7k160tfbg676")
            .date("d")
            .time("t")
            .data(bytesOf("xy"));
        ASSERT_EQ(load(w.bytes()), VELTRA_SUCCESS) << length;
        EXPECT_STREQ(object_->fpgaName, "7k160tfbg676") << length;
        EXPECT_EQ(dataOf(), "xy");
        VELTRA_UnloadBitstreamA(object_);
        object_ = nullptr;
    }
}

// A design, date or time field that could never fit the 1024-byte window.
TEST_F(Bitstreams, FieldLargerThanTheWindowIsCorrupt) {
    for (char tag : {'a', 'c', 'd'}) {
        Writer w;
        w.field(static_cast<uint8_t>(tag), std::vector<uint8_t>(1022, 'n'))
            .part("7a200tfbg484")
            .data(bytesOf("x"));
        EXPECT_EQ(load(w.bytes()), VELTRA_INVALID_BITSTREAM) << tag;
    }
}

TEST_F(Bitstreams, FieldsInAnyOrderAndTheLastPartNameWins) {
    Writer w;
    w.part("first")
        .time("t")
        .part("second")
        .design("d")
        .date("c")
        .part("7V2000TFLG1925")
        .data(bytesOf("z"));
    ASSERT_EQ(load(w.bytes()), VELTRA_SUCCESS);
    EXPECT_STREQ(object_->fpgaName, "7v2000tflg1925");
}

TEST_F(Bitstreams, HeaderWithoutAPartNameGivesAnEmptyName) {
    Writer w;
    w.design("d").data(bytesOf("z"));
    ASSERT_EQ(load(w.bytes()), VELTRA_SUCCESS);
    EXPECT_STREQ(object_->fpgaName, "");
}

// The file's size or contents that cannot be read.
TEST_F(Bitstreams, FailedSizeQueryOrReadIsCorrupt) {
    const auto whole =
        Writer::standard("7a350tffg1156", bitstream::configurationData(3000)).bytes();
    const struct {
        const char* call;
        unsigned nth;
    } cases[] = {{"GetFileSizeEx", 1}, {"ReadFile", 1}, {"ReadFile", 2}};
    const size_t blocks = vsimCountObjects("heapblock");
    for (const auto& c : cases) {
        vsimFailNthCall(c.call, c.nth, ERROR_NOT_ENOUGH_MEMORY);
        EXPECT_EQ(load(whole), VELTRA_INVALID_BITSTREAM) << c.call << " #" << c.nth;
        vsimClearFaults();
    }
    vsimFailNthCall("HeapAlloc", 1, ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(load(whole), VELTRA_NO_MEMORY);
    vsimClearFaults();
    EXPECT_EQ(vsimCountObjects("file"), 0u) << "every file is closed";
    EXPECT_EQ(vsimCountObjects("heapblock"), blocks) << "an object whose data failed is freed";
}

// An object of 2^32 bytes or more is refused before anything is allocated
// (the file is sparse: nothing but the header is ever read).
TEST_F(Bitstreams, ObjectOfFourGigabytesIsRefused) {
    const auto header = Writer::standard("7vx1140tflg1930", {}).bytes();
    {
        std::ofstream out(file_.str(), std::ios::binary);
        out.write(reinterpret_cast<const char*>(header.data()),
                  static_cast<std::streamsize>(header.size()));
        out.seekp(static_cast<std::streamoff>(header.size() + (uint64_t{1} << 32) - 41));
        out.put('\0');
    }
    VELTRA_BITSTREAMA* object = nullptr;
    EXPECT_EQ(VELTRA_LoadBitstreamA(file_.path(), &object), VELTRA_INVALID_BITSTREAM);
    EXPECT_EQ(object, nullptr);
}

TEST_F(Bitstreams, LoadChecksItsArgumentsFirst) {
    VELTRA_BITSTREAMA* object = reinterpret_cast<VELTRA_BITSTREAMA*>(0x1);
    EXPECT_EQ(VELTRA_LoadBitstreamA(nullptr, &object), VELTRA_NULL_POINTER);
    EXPECT_EQ(VELTRA_LoadBitstreamA("no_such_file.bit", nullptr), VELTRA_NULL_POINTER);
    EXPECT_EQ(VELTRA_LoadBitstreamA("no_such_file.bit", &object), VELTRA_FILE_NOT_FOUND);
    VELTRA_BITSTREAMW* wide = nullptr;
    EXPECT_EQ(VELTRA_LoadBitstreamW(nullptr, &wide), VELTRA_NULL_POINTER);
    EXPECT_EQ(object, reinterpret_cast<VELTRA_BITSTREAMA*>(0x1));
    EXPECT_EQ(VELTRA_UnloadBitstreamA(nullptr), VELTRA_NULL_POINTER);
    EXPECT_EQ(VELTRA_UnloadBitstreamW(nullptr), VELTRA_NULL_POINTER);
}

// The wide object has its name in wide characters and its data at 68; the
// unload routine frees either form under either name.
TEST_F(Bitstreams, WideObjectsAndUnloadUnderEitherName) {
    const auto data = bitstream::configurationData(777);
    ASSERT_TRUE(Writer::standard("7VX690TFFG1157", data).writeTo(file_.str()));
    std::vector<WCHAR> wideName(file_.str().begin(), file_.str().end());
    wideName.push_back(0);
    VELTRA_BITSTREAMW* wide = nullptr;
    ASSERT_EQ(VELTRA_LoadBitstreamW(wideName.data(), &wide), VELTRA_SUCCESS);
    EXPECT_EQ(narrowOf(wide->fpgaName), "7vx690tffg1157");
    EXPECT_EQ(wide->length, 777u);
    EXPECT_EQ(reinterpret_cast<uint8_t*>(wide->data) - reinterpret_cast<uint8_t*>(wide), 68);
    EXPECT_EQ(std::memcmp(wide->data, data.data(), data.size()), 0);
    const size_t blocks = vsimCountObjects("processheapblock");
    EXPECT_EQ(VELTRA_UnloadBitstreamA(wide), VELTRA_SUCCESS);

    VELTRA_BITSTREAMA* narrow = nullptr;
    ASSERT_EQ(VELTRA_LoadBitstreamA(file_.path(), &narrow), VELTRA_SUCCESS);
    EXPECT_EQ(vsimCountObjects("processheapblock"), blocks)
        << "loaded objects are not on the process heap";
    const size_t allBlocks = vsimCountObjects("heapblock");
    EXPECT_EQ(VELTRA_UnloadBitstreamW(narrow), VELTRA_SUCCESS);
    EXPECT_EQ(vsimCountObjects("heapblock"), allBlocks - 1) << "but on the library's own";
    EXPECT_EQ(reinterpret_cast<void*>(&VELTRA_UnloadBitstreamW),
              reinterpret_cast<void*>(&VELTRA_UnloadBitstreamA));
}

// Wide file names reach the file system as they are written.
TEST_F(Bitstreams, WideFileNamesWithCharactersOutsideAscii) {
    const std::string base = simtest::scratchName("bit");
    std::vector<WCHAR> wideName(base.begin(), base.end());
    for (WCHAR c : {WCHAR{0x00E9}, WCHAR{0x4E2D}, WCHAR{0x20AC}, WCHAR{'.'}, WCHAR{'b'}, WCHAR{'i'},
                    WCHAR{'t'}, WCHAR{0}})
        wideName.push_back(c);
    const WCHAR* name = wideName.data();
    HANDLE out =
        CreateFileW(name, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(out, INVALID_HANDLE_VALUE);
    const auto bytes = Writer::standard("7a100tcsg324", bytesOf("wide")).bytes();
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(out, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr));
    CloseHandle(out);
    VELTRA_BITSTREAMW* wide = nullptr;
    ASSERT_EQ(VELTRA_LoadBitstreamW(name, &wide), VELTRA_SUCCESS);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(wide->data), wide->length), "wide");
    VELTRA_UnloadBitstreamW(wide);
    EXPECT_TRUE(DeleteFileW(name));
}

}  // namespace
