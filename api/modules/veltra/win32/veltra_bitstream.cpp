// Reading Xilinx bitstream files: the header walk and the loaded object.
#include "veltra_bitstream.h"

#include <cstring>

#include "veltra_file.h"
#include "veltra_text.h"

namespace {

constexpr size_t kWindowSize = 1024;
constexpr size_t kNameSize = 32;

// The header is read through a fixed window, with no allocation: fields
// that fit are taken from the window, the others are passed over by a skip
// count that may run across several fills.
class HeaderWalk {
  public:
    HeaderWalk(HANDLE file, uint64_t fileSize) : file_(file), size_(fileSize), unread_(fileSize) {}

    // Walks to the configuration data. On success `name` holds the part name
    // (empty if the header has none) and the data's offset and length are set.
    VELTRA_STATUS run(char* name, size_t nameSize, uint64_t& dataLength, uint64_t& dataOffset) {
        name_ = name;
        nameSize_ = nameSize;
        name_[0] = '\0';  // a header without a part name gives an empty one
        for (;;) {
            if (done_) {
                dataLength = size_ - consumed_;
                dataOffset = consumed_;
                return VELTRA_SUCCESS;
            }
            VELTRA_STATUS status = VELTRA_SUCCESS;
            if (refill_)
                status = refill();
            else if (skip_ != 0)
                skip();
            else if (state_ == State::PreambleLength)
                preambleLength();
            else if (state_ == State::Field)
                status = field();
            else
                done_ = true;
            if (status != VELTRA_SUCCESS)
                return status;
        }
    }

  private:
    enum class State { PreambleLength, Field, Data };

    const uint8_t* at() const { return window_ + position_; }
    uint32_t bigEndian16(size_t offset) const {
        return (uint32_t{at()[offset]} << 8) | at()[offset + 1];
    }
    void consume(uint64_t n) {
        position_ += static_cast<size_t>(n);
        unconsumed_ -= static_cast<size_t>(n);
        consumed_ += n;
    }

    VELTRA_STATUS refill() {
        if (unread_ == 0)
            return VELTRA_INVALID_BITSTREAM;  // the file ends inside the header
        std::memmove(window_, at(), unconsumed_);
        position_ = 0;
        const uint64_t room = kWindowSize - unconsumed_;
        const uint64_t n = unread_ < room ? unread_ : room;
        if (n == 0)
            return VELTRA_INVALID_BITSTREAM;  // a field larger than the window
        uint64_t got = 0;
        if (!fileRead(file_, window_ + unconsumed_, n, got) || got < n)
            return VELTRA_INVALID_BITSTREAM;
        unconsumed_ += static_cast<size_t>(n);
        unread_ -= n;
        refill_ = false;
        return VELTRA_SUCCESS;
    }

    void skip() {
        const uint64_t n = skip_ < unconsumed_ ? skip_ : unconsumed_;
        consume(n);
        skip_ -= n;
        if (skip_ != 0)
            refill_ = true;
    }

    // The preamble's length, then the preamble and the second word are skipped.
    void preambleLength() {
        if (unconsumed_ < 2) {
            refill_ = true;
            return;
        }
        const uint32_t preamble = bigEndian16(0);
        consume(2);
        skip_ = uint64_t{preamble} + 2;
        state_ = State::Field;
    }

    VELTRA_STATUS field() {
        if (unconsumed_ == 0) {
            refill_ = true;
            return VELTRA_SUCCESS;
        }
        const uint8_t tag = at()[0];
        if (tag == 'e') {
            skip_ = 5;  // the tag and its 4-byte length, which is never read
            state_ = State::Data;
            return VELTRA_SUCCESS;
        }
        if (unconsumed_ < 3) {
            refill_ = true;
            return VELTRA_SUCCESS;
        }
        const uint32_t length = bigEndian16(1);
        if (tag == 'a' || tag == 'c' || tag == 'd')
            return wholeField(length, false);
        if (tag == 'b') {
            if (length >= nameSize_)
                return VELTRA_INVALID_BITSTREAM;
            return wholeField(length, true);
        }
        skip_ = 3 + uint64_t{length};  // any other tag is passed over
        return VELTRA_SUCCESS;
    }

    // A field that must be in the window at once; a part name is kept.
    VELTRA_STATUS wholeField(uint32_t length, bool isName) {
        // 3 + length above the window's size could never fit.
        if (3 + size_t{length} > kWindowSize)
            return VELTRA_INVALID_BITSTREAM;
        if (unconsumed_ < 3 + size_t{length}) {
            refill_ = true;
            return VELTRA_SUCCESS;
        }
        if (isName) {
            std::memcpy(name_, at() + 3, length);
            name_[length] = '\0';
            lowerText(name_, nameSize_);
        }
        consume(3 + uint64_t{length});
        return VELTRA_SUCCESS;
    }

    HANDLE file_;
    uint64_t size_;
    uint64_t unread_;
    uint64_t consumed_ = 0;
    uint64_t skip_ = 0;
    size_t position_ = 0;
    size_t unconsumed_ = 0;
    State state_ = State::PreambleLength;
    bool refill_ = true;
    bool done_ = false;
    char* name_ = nullptr;
    size_t nameSize_ = 0;
    uint8_t window_[kWindowSize];
};

// The file is closed on every path.
struct FileCloser {
    HANDLE file;
    ~FileCloser() { fileClose(file); }
};

// Reads the header, makes the object in one allocation and reads the data
// straight into it. `setName` fills the object's name field.
template <typename Object, typename SetName>
VELTRA_STATUS readBitstream(HANDLE file, Object** ppObject, SetName setName) {
    FileCloser closer{file};
    char name[kNameSize];
    uint64_t length = 0, offset = 0;
    const VELTRA_STATUS status = parseBitstreamHeader(file, name, sizeof name, length, offset);
    if (status != VELTRA_SUCCESS)
        return status;
    const uint64_t blockSize = length + sizeof(Object);
    if (length >= (uint64_t{1} << 32) || blockSize >= (uint64_t{1} << 32))
        return VELTRA_INVALID_BITSTREAM;
    auto* object = static_cast<Object*>(wdmAllocate(static_cast<size_t>(blockSize)));
    if (object == nullptr)
        return VELTRA_NO_MEMORY;
    setName(object->fpgaName, name);
    object->length = static_cast<uint32_t>(length);
    uint64_t got = 0;
    if (!fileSeek(file, offset) || !fileRead(file, object->data, length, got) || got < length) {
        wdmFree(object);
        return VELTRA_INVALID_BITSTREAM;
    }
    *ppObject = object;
    return VELTRA_SUCCESS;
}

}  // namespace

VELTRA_STATUS parseBitstreamHeader(HANDLE file, char* nameBuffer, size_t nameBufferSize,
                                   uint64_t& dataLength, uint64_t& dataOffset) {
    uint64_t size = 0;
    if (!fileGetSize(file, size))
        return VELTRA_INVALID_BITSTREAM;
    char name[kNameSize];
    uint64_t length = 0, offset = 0;
    HeaderWalk walk(file, size);
    const VELTRA_STATUS status =
        walk.run(name, nameBufferSize < kNameSize ? nameBufferSize : kNameSize, length, offset);
    if (status != VELTRA_SUCCESS)
        return status;
    copyText(nameBuffer, name, nameBufferSize);
    dataLength = length;
    dataOffset = offset;
    return VELTRA_SUCCESS;
}

VELTRA_STATUS readBitstreamA(HANDLE file, VELTRA_BITSTREAMA** ppObject) {
    return readBitstream(file, ppObject,
                         [](char* field, const char* name) { copyText(field, name, kNameSize); });
}

VELTRA_STATUS readBitstreamW(HANDLE file, VELTRA_BITSTREAMW** ppObject) {
    return readBitstream(
        file, ppObject, [](WCHAR* field, const char* name) { copyToWide(field, kNameSize, name); });
}
