// The library in a process without the simulator: on Windows the real
// SetupAPI answers (no card is installed); on Linux the stand-in has an
// empty machine.
#include <veltra.h>

#include <gtest/gtest.h>

#if !defined(_WIN32)
#include <vsim/driver.h>
#endif

namespace {

TEST(WithoutSimulator, NoCardIsFoundAndStatusTextsWork) {
#if !defined(_WIN32)
    vsim::installMachine(std::make_shared<vsim::Machine>());
#endif
    VELTRA_HANDLE card = nullptr;
    EXPECT_EQ(VELTRA_Open(0, &card), VELTRA_DEVICE_NOT_FOUND);
    EXPECT_EQ(card, nullptr);
    EXPECT_STREQ(VELTRA_GetStatusStringA(VELTRA_DEVICE_NOT_FOUND, 1), "VELTRA_DEVICE_NOT_FOUND");
    EXPECT_STREQ(VELTRA_GetStatusStringA(VELTRA_DEVICE_NOT_FOUND, 0),
                 "Failed to open the device with specified CardID");
    EXPECT_STREQ(VELTRA_GetStatusStringA(4294967295u, 0),
                 "Unknown status code 4294967295(0xffffffff)");
    const WCHAR* wide = VELTRA_GetStatusStringW(VELTRA_CANCELLED, 0);
    const char* narrow = "The operation was cancelled";
    for (size_t i = 0;; ++i) {
        ASSERT_EQ(wide[i], static_cast<WCHAR>(narrow[i]));
        if (narrow[i] == 0)
            break;
    }
}

}  // namespace

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
