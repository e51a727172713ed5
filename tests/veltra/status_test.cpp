// Status codes as text.
#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "veltra_fixture.h"
#include "veltra_status_table.h"

namespace {

TEST(StatusText, EveryCodeHasItsNameAndMessage) {
    EXPECT_EQ(std::size(kVeltraStatusTable), 31u);
    for (const auto& entry : kVeltraStatusTable) {
        EXPECT_STREQ(VELTRA_GetStatusStringA(entry.code, 1), entry.name);
        EXPECT_STREQ(VELTRA_GetStatusStringA(entry.code, -7), entry.name) << "any nonzero bShort";
        EXPECT_STREQ(VELTRA_GetStatusStringA(entry.code, 0), entry.message);
    }
    EXPECT_STREQ(VELTRA_GetStatusStringA(269, 1), "VELTRA_INVALID_HANDLE");
    EXPECT_STREQ(VELTRA_GetStatusStringA(269, 0), "The device handle was invalid");
    EXPECT_STREQ(VELTRA_GetStatusStringA(0, 0), "No error");
    EXPECT_STREQ(VELTRA_GetStatusStringA(285, 0),
                 "The hardware does not support the requested operation");
}

TEST(StatusText, TheCodesRunWithoutGapsAndNamesMatchTheHeader) {
    EXPECT_EQ(kVeltraStatusTable[0].code, VELTRA_SUCCESS);
    for (size_t i = 1; i < std::size(kVeltraStatusTable); ++i)
        EXPECT_EQ(kVeltraStatusTable[i].code, 255 + i);
    EXPECT_STREQ(veltraStatusText(VELTRA_NOT_OWNER)->name, "VELTRA_NOT_OWNER");
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
    for (const auto& entry : kVeltraStatusTable)
        codes.push_back(entry.code);
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

}  // namespace
