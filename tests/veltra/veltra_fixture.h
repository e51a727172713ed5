// Tests of the VELTRA library against a scripted device.
#pragma once

#include <veltra.h>

#include <string>

#include "simtest.h"

// Whether the program tests the checked (tracing) build: the test sources
// are compiled once for both programs, and each program's variant.cpp says.
bool veltraTestsCheckedBuild();
inline const bool kCheckedBuild = veltraTestsCheckedBuild();

// One scripted VELTRA device as card 0, opened.
class ScriptedCard : public testing::Test {
  protected:
    void SetUp() override {
        device_ = machine_.add(vsim::kVeltraInterface);
        ASSERT_EQ(VELTRA_Open(0, &card_), VELTRA_SUCCESS);
        device_->clearRequests();
        vsimClearDebugOutput();
    }
    void TearDown() override {
        if (card_ != nullptr)
            VELTRA_Close(card_);
    }

    // The last request the device received.
    vsim::RecordedRequest lastRequest() {
        auto all = device_->requests();
        EXPECT_FALSE(all.empty());
        return all.empty() ? vsim::RecordedRequest{} : all.back();
    }

    simtest::PlatformScope platform_;
    simtest::ScriptedMachine machine_;
    std::shared_ptr<vsim::ScriptedDevice> device_;
    VELTRA_HANDLE card_ = nullptr;
};

// Narrow text of a wide string (ASCII).
inline std::string narrowOf(const WCHAR* wide) {
    std::string text;
    for (; *wide != 0; ++wide)
        text += static_cast<char>(*wide);
    return text;
}
