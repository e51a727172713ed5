// Status codes as text.
#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "veltra_fixture.h"

namespace {

struct StatusRow {
    VELTRA_STATUS header;  // the header's constant
    VELTRA_STATUS code;
    const char* name;
    const char* message;
};

// Every status of the card API with its name and message.
const StatusRow kStatuses[] = {
    {VELTRA_SUCCESS, 0, "VELTRA_SUCCESS", "No error"},
    {VELTRA_INTERNAL_ERROR, 256, "VELTRA_INTERNAL_ERROR", "An error in the API logic was detected"},
    {VELTRA_UNEXPECTED_ERROR, 257, "VELTRA_UNEXPECTED_ERROR", "An unexpected error occurred"},
    {VELTRA_BAD_DRIVER, 258, "VELTRA_BAD_DRIVER", "The driver may be incorrectly installed"},
    {VELTRA_NO_MEMORY, 259, "VELTRA_NO_MEMORY",
     "Could not allocate memory required to complete operation"},
    {VELTRA_ACCESS_DENIED, 260, "VELTRA_ACCESS_DENIED",
     "Caller does not have permission to perform the operation"},
    {VELTRA_DEVICE_NOT_FOUND, 261, "VELTRA_DEVICE_NOT_FOUND",
     "Failed to open the device with specified CardID"},
    {VELTRA_FILE_NOT_FOUND, 262, "VELTRA_FILE_NOT_FOUND",
     "Failed to open the specified bitstream file"},
    {VELTRA_HARDWARE_ERROR, 263, "VELTRA_HARDWARE_ERROR", "A hardware error occurred"},
    {VELTRA_FPGA_MISMATCH, 264, "VELTRA_FPGA_MISMATCH",
     "The FPGA on the card did not match that of the bitstream file"},
    {VELTRA_INVALID_BITSTREAM, 265, "VELTRA_INVALID_BITSTREAM", "The bitstream file was corrupt"},
    {VELTRA_INVALID_BUFFER, 266, "VELTRA_INVALID_BUFFER", "The supplied buffer was invalid"},
    {VELTRA_INVALID_FLAG, 267, "VELTRA_INVALID_FLAG", "A flag was invalid or not recognized"},
    {VELTRA_INVALID_FREQUENCY, 268, "VELTRA_INVALID_FREQUENCY", "The frequency was invalid"},
    {VELTRA_INVALID_HANDLE, 269, "VELTRA_INVALID_HANDLE", "The device handle was invalid"},
    {VELTRA_INVALID_INDEX, 270, "VELTRA_INVALID_INDEX", "The index parameter was invalid"},
    {VELTRA_INVALID_REGION, 271, "VELTRA_INVALID_REGION",
     "The offset and/or length parameter(s) were invalid"},
    {VELTRA_NULL_POINTER, 272, "VELTRA_NULL_POINTER",
     "A NULL pointer was passed where NULL was illegal"},
    {VELTRA_BUSY, 273, "VELTRA_BUSY", "There is already an operation in progress"},
    {VELTRA_CANCEL_FAILED, 274, "VELTRA_CANCEL_FAILED", "There is nothing to cancel"},
    {VELTRA_CANCELLED, 275, "VELTRA_CANCELLED", "The operation was cancelled"},
    {VELTRA_RESOURCE_LIMIT, 276, "VELTRA_RESOURCE_LIMIT", "A resource limit was reached"},
    {VELTRA_REGION_TOO_LARGE, 277, "VELTRA_REGION_TOO_LARGE",
     "The region is too large for a single operation"},
    {VELTRA_MUST_WAIT, 278, "VELTRA_MUST_WAIT", "The operation could not be started immediately"},
    {VELTRA_NOT_OWNER, 279, "VELTRA_NOT_OWNER",
     "The buffer handle belongs to a different device handle"},
    {VELTRA_PENDING, 280, "VELTRA_PENDING", "The non-blocking operation is now in progress"},
    {VELTRA_NONBLOCK_IDLE, 281, "VELTRA_NONBLOCK_IDLE",
     "There is no non-blocking operation to finish"},
    {VELTRA_INVALID_BUFFER_HANDLE, 282, "VELTRA_INVALID_BUFFER_HANDLE",
     "The buffer handle is invalid"},
    {VELTRA_INVALID_LOCAL_REGION, 283, "VELTRA_INVALID_LOCAL_REGION",
     "The local address region is invalid"},
    {VELTRA_DATATYPE_MISMATCH, 284, "VELTRA_DATATYPE_MISMATCH",
     "The datatype did not match that of the sensor"},
    {VELTRA_NOT_SUPPORTED, 285, "VELTRA_NOT_SUPPORTED",
     "The hardware does not support the requested operation"},
};

TEST(StatusText, EveryCodeHasItsNameAndMessage) {
    for (const auto& row : kStatuses) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(row.header, row.code);
        EXPECT_STREQ(VELTRA_GetStatusStringA(row.code, 1), row.name);
        EXPECT_STREQ(VELTRA_GetStatusStringA(row.code, -7), row.name) << "any nonzero bShort";
        EXPECT_STREQ(VELTRA_GetStatusStringA(row.code, 0), row.message);
    }
}

TEST(StatusText, UnknownCodesAreFormatted) {
    const struct {
        VELTRA_STATUS code;
        const char* text;
    } cases[] = {
        {1, "Unknown status code 1(0x1)"},
        {255, "Unknown status code 255(0xff)"},
        {286, "Unknown status code 286(0x11e)"},
        {512, "Unknown status code 512(0x200)"},
        {4294967295u, "Unknown status code 4294967295(0xffffffff)"},
    };
    for (const auto& c : cases) {
        EXPECT_STREQ(VELTRA_GetStatusStringA(c.code, 1), c.text);
        EXPECT_STREQ(VELTRA_GetStatusStringA(c.code, 0), c.text);
        EXPECT_EQ(narrowOf(VELTRA_GetStatusStringW(c.code, 0)), c.text);
    }
}

TEST(StatusText, WideTextEqualsNarrowForEveryCode) {
    std::vector<VELTRA_STATUS> codes;
    for (const auto& row : kStatuses)
        codes.push_back(row.code);
    codes.insert(codes.end(), {7u, 300u, 0x80000000u});
    for (VELTRA_STATUS code : codes) {
        for (int32_t bShort : {0, 1}) {
            const std::string narrow = VELTRA_GetStatusStringA(code, bShort);
            EXPECT_EQ(narrowOf(VELTRA_GetStatusStringW(code, bShort)), narrow) << code;
        }
    }
}

// Each thread formats its own unknown codes: two threads never see each
// other's text, narrow or wide.
TEST(StatusText, ThreadsFormattingUnknownCodesNeverMixText) {
    std::atomic<int> mixed{0};
    auto hammer = [&mixed](VELTRA_STATUS base) {
        for (VELTRA_STATUS i = 0; i < 20000; ++i) {
            const VELTRA_STATUS code = base + i;
            char expected[64];
            std::snprintf(expected, sizeof expected, "Unknown status code %u(0x%x)", code, code);
            const char* narrow = VELTRA_GetStatusStringA(code, 0);
            const WCHAR* wide = VELTRA_GetStatusStringW(code, 1);
            if (std::strcmp(narrow, expected) != 0 || narrowOf(wide) != expected)
                ++mixed;
        }
    };
    std::thread a(hammer, 1000000u);
    std::thread b(hammer, 3000000000u);
    a.join();
    b.join();
    EXPECT_EQ(mixed.load(), 0);
}

// A text belongs to the library, not to the thread that asked for it: it
// stays readable after that thread has ended, also while later threads come
// and go.
TEST(StatusText, TextOfAnEndedThreadStaysReadable) {
    const char* narrow = nullptr;
    const WCHAR* wide = nullptr;
    std::thread([&] {
        narrow = VELTRA_GetStatusStringA(777, 0);
        wide = VELTRA_GetStatusStringW(778, 1);
    }).join();
    for (int i = 0; i < 8; ++i)
        std::thread([] {
            VELTRA_Cancel(nullptr);
            VELTRA_GetStatusStringA(999, 0);
            VELTRA_GetStatusStringW(999, 0);
        }).join();
    EXPECT_STREQ(narrow, "Unknown status code 777(0x309)");
    EXPECT_EQ(narrowOf(wide), "Unknown status code 778(0x30a)");
}

}  // namespace
