// Card, version, bank and module information: the records sent and how
// replies become the application's records.
#include <cstring>

#include "veltra_fixture.h"

namespace {

using Info = ScriptedCard;

constexpr uint32_t code(uint32_t request) {
    return 0x222004 + 8 * request;
}

TEST_F(Info, NullOutputIsRefusedBeforeAnythingIsSentEvenOnABadHandle) {
    const VELTRA_HANDLE bad = reinterpret_cast<VELTRA_HANDLE>(0x4444);
    for (VELTRA_HANDLE h : {card_, bad}) {
        EXPECT_EQ(VELTRA_GetVersionInfo(h, nullptr), VELTRA_NULL_POINTER);
        EXPECT_EQ(VELTRA_GetCardInfo(h, nullptr), VELTRA_NULL_POINTER);
        EXPECT_EQ(VELTRA_GetCardInfoEx(h, nullptr), VELTRA_NULL_POINTER);
        EXPECT_EQ(VELTRA_GetBankInfo(h, 0, nullptr), VELTRA_NULL_POINTER);
        EXPECT_EQ(VELTRA_GetModuleInfoA(h, 0, nullptr), VELTRA_NULL_POINTER);
        EXPECT_EQ(VELTRA_GetModuleInfoW(h, 0, nullptr), VELTRA_NULL_POINTER);
    }
    EXPECT_EQ(device_->requestCount(), 0u);
}

TEST_F(Info, VersionIsTheLibrarysOwnAndTheDriversReply) {
    device_->queue(vsim::Answer::replyWith(
        vsim::Bytes().put<uint16_t>(0, 9).put<uint16_t>(2, 8).put<uint16_t>(4, 7)));
    VELTRA_VERSION_INFO info;
    std::memset(&info, 0xAA, sizeof info);
    ASSERT_EQ(VELTRA_GetVersionInfo(card_, &info), VELTRA_SUCCESS);
    EXPECT_EQ(info.apiMajor, 1);
    EXPECT_EQ(info.apiMinor, 4);
    EXPECT_EQ(info.apiBugfix, 16);
    EXPECT_EQ(info.driverMajor, 9);
    EXPECT_EQ(info.driverMinor, 8);
    EXPECT_EQ(info.driverBugfix, 7);
    const auto request = lastRequest();
    EXPECT_EQ(request.code, code(4));
    EXPECT_EQ(request.inSize, 0u);
    EXPECT_EQ(request.outSize, 6u);
}

TEST_F(Info, FailedRequestLeavesTheRecordUntouched) {
    device_->onCode(code(1), vsim::Answer::fail(vsim::driverError(VELTRA_HARDWARE_ERROR)));
    device_->onCode(code(2), vsim::Answer::fail(vsim::driverError(VELTRA_INVALID_INDEX)));
    device_->onCode(code(32), vsim::Answer::fail(vsim::driverError(VELTRA_INVALID_INDEX)));
    VELTRA_CARD_INFO card;
    std::memset(&card, 0x5A, sizeof card);
    EXPECT_EQ(VELTRA_GetCardInfo(card_, &card), VELTRA_HARDWARE_ERROR);
    EXPECT_EQ(card.reserved1, 0x5A5A5A5Au);
    VELTRA_BANK_INFO bank;
    std::memset(&bank, 0x5A, sizeof bank);
    EXPECT_EQ(VELTRA_GetBankInfo(card_, 7, &bank), VELTRA_INVALID_INDEX);
    EXPECT_EQ(bank.bankValue0, 0x5A5A5A5A5A5A5A5Aull);
    VELTRA_MODULE_INFOW module;
    std::memset(&module, 0x5A, sizeof module);
    EXPECT_EQ(VELTRA_GetModuleInfoW(card_, 3, &module), VELTRA_INVALID_INDEX);
    EXPECT_EQ(module.bModuleFlag, 0x5A5A5A5Au);
}

// The first two reply words change places; the reserved words read 0.
TEST_F(Info, CardInfoWordsLandInTheirPlaces) {
    vsim::Bytes reply;
    for (uint32_t i = 0; i < 11; ++i)
        reply.put<uint32_t>(4 * i, 100 + i);
    device_->onCode(code(1), vsim::Answer::replyWith(reply));
    device_->onCode(code(31), vsim::Answer::replyWith(reply));

    VELTRA_CARD_INFO info;
    std::memset(&info, 0xEE, sizeof info);
    ASSERT_EQ(VELTRA_GetCardInfo(card_, &info), VELTRA_SUCCESS);
    const uint32_t expected[10] = {101, 0, 100, 102, 103, 104, 105, 106, 107, 108};
    EXPECT_EQ(std::memcmp(&info, expected, sizeof expected), 0);
    EXPECT_EQ(info.windowCount, 107u);
    auto request = lastRequest();
    EXPECT_EQ(request.code, code(1));
    EXPECT_EQ(request.inSize, 0u);
    EXPECT_EQ(request.outSize, 36u);

    VELTRA_CARD_INFO_EX ex;
    std::memset(&ex, 0xEE, sizeof ex);
    ASSERT_EQ(VELTRA_GetCardInfoEx(card_, &ex), VELTRA_SUCCESS);
    const uint32_t expectedEx[13] = {101, 0, 100, 102, 103, 104, 105, 106, 107, 108, 109, 110, 0};
    EXPECT_EQ(std::memcmp(&ex, expectedEx, sizeof expectedEx), 0);
    request = lastRequest();
    EXPECT_EQ(request.code, code(31));
    EXPECT_EQ(request.outSize, 44u);
}

TEST_F(Info, BankHalvesSumModulo65536AndAnyFlagIsOne) {
    device_->queue(vsim::Answer::replyWith(vsim::Bytes(40)
                                               .put<uint64_t>(0, 0x1111111111111111)
                                               .put<uint64_t>(8, 0x2222)
                                               .put<uint64_t>(16, 0x33)
                                               .put<uint16_t>(24, 0xFFFF)
                                               .put<uint16_t>(26, 1)
                                               .put<uint32_t>(28, 0x44444444)
                                               .put<uint32_t>(32, 0x55)
                                               .put<uint8_t>(36, 0x80)));
    VELTRA_BANK_INFO info;
    std::memset(&info, 0xEE, sizeof info);
    ASSERT_EQ(VELTRA_GetBankInfo(card_, 6, &info), VELTRA_SUCCESS);
    EXPECT_EQ(info.bankValue0, 0x1111111111111111ull);
    EXPECT_EQ(info.bankValue1, 0x2222ull);
    EXPECT_EQ(info.bankValue2, 0x33ull);
    EXPECT_EQ(info.bankHalf0, 0xFFFF);
    EXPECT_EQ(info.bankHalf1, 1);
    EXPECT_EQ(info.bankHalfSum, 0);
    EXPECT_EQ(info.padding30, 0);
    EXPECT_EQ(info.bankValue3, 0x44444444u);
    EXPECT_EQ(info.bankValue4, 0x55u);
    EXPECT_EQ(info.bBankFlag, 1u);
    EXPECT_EQ(info.padding44, 0u);
    const auto request = lastRequest();
    EXPECT_EQ(request.code, code(2));
    EXPECT_EQ(request.inSize, 4u);
    EXPECT_EQ(request.outSize, 40u);
    EXPECT_EQ(simtest::field<uint32_t>(request.input, 0), 6u);
}

// Answers a module request as the driver does: the reply goes to the
// address that the request carries.
vsim::Answer moduleReply(const uint8_t (&reply)[272]) {
    std::vector<uint8_t> bytes(reply, reply + 272);
    return vsim::Answer::run([bytes](vsim::IoRequest& rq) {
        std::memcpy(reinterpret_cast<void*>(static_cast<uintptr_t>(rq.in<uint64_t>(0))),
                    bytes.data(), bytes.size());
        return vsim::Outcome::success();
    });
}

struct ModuleReply {
    uint8_t bytes[272] = {};
    ModuleReply() {
        std::memset(bytes, 'x', 64);  // text 0 has no terminator in its 64 bytes
        std::strcpy(reinterpret_cast<char*>(bytes + 64), "PN-001");
        std::strcpy(reinterpret_cast<char*>(bytes + 128), "");
        std::strcpy(reinterpret_cast<char*>(bytes + 192), "Rev \xE9");
        const int16_t whole = -1;
        const uint16_t fraction = 0x8000;
        const uint32_t values[3] = {0xABCD, 0x1234, 7};
        std::memcpy(bytes + 256, &whole, 2);
        std::memcpy(bytes + 258, &fraction, 2);
        std::memcpy(bytes + 260, values, 12);
    }
};

TEST_F(Info, ModuleTextsStayInTheirFieldsAndFixedPointConverts) {
    ModuleReply reply;
    device_->queue(moduleReply(reply.bytes));
    VELTRA_MODULE_INFOA info;
    std::memset(&info, 0xEE, sizeof info);
    ASSERT_EQ(VELTRA_GetModuleInfoA(card_, 5, &info), VELTRA_SUCCESS);
    EXPECT_EQ(std::string(info.moduleText0), std::string(63, 'x'));
    EXPECT_STREQ(info.moduleText1, "PN-001");
    EXPECT_STREQ(info.moduleText2, "");
    EXPECT_STREQ(info.moduleText3, "Rev \xE9");
    EXPECT_EQ(info.moduleText1[10], 0) << "the record is zeroed before it is filled";
    EXPECT_DOUBLE_EQ(info.moduleFixed, -0.5);
    EXPECT_EQ(info.moduleValue0, 0xABCDu);
    EXPECT_EQ(info.moduleValue1, 0x1234u);
    EXPECT_EQ(info.bModuleFlag, 1u);

    const auto request = lastRequest();
    EXPECT_EQ(request.code, code(32));
    EXPECT_EQ(request.inSize, 16u);
    EXPECT_EQ(request.outSize, 0u);
    EXPECT_NE(simtest::field<uint64_t>(request.input, 0), 0u) << "the address of the reply buffer";
    EXPECT_EQ(simtest::field<uint32_t>(request.input, 8), 5u);
}

// The wide form converts each text (Windows-1252: 0xE9 is U+00E9) and leaves
// the caller's characters after each terminator alone, except the field's
// last one, which is always NUL.
TEST_F(Info, WideModuleTextsKeepTheCallersCharactersAfterEachTerminator) {
    ModuleReply reply;
    device_->queue(moduleReply(reply.bytes));
    VELTRA_MODULE_INFOW info;
    for (auto& c : info.moduleText1)
        c = 0x5555;
    ASSERT_EQ(VELTRA_GetModuleInfoW(card_, 0, &info), VELTRA_SUCCESS);
    EXPECT_EQ(narrowOf(info.moduleText0), std::string(63, 'x'));
    EXPECT_EQ(narrowOf(info.moduleText1), "PN-001");
    EXPECT_EQ(info.moduleText1[6], 0);
    EXPECT_EQ(info.moduleText1[7], 0x5555) << "left as it was";
    EXPECT_EQ(info.moduleText1[62], 0x5555);
    EXPECT_EQ(info.moduleText1[63], 0);
    EXPECT_EQ(info.moduleText3[4], 0x00E9);
    EXPECT_DOUBLE_EQ(info.moduleFixed, -0.5);
    EXPECT_EQ(info.moduleValue0, 0xABCDu);
    EXPECT_EQ(info.bModuleFlag, 1u);
}

// The default machine's cards, end to end.
TEST(DefaultCards, DescribeThemselves) {
    vsim::resetMachine();
    VELTRA_HANDLE card = nullptr;
    ASSERT_EQ(VELTRA_Open(0, &card), VELTRA_SUCCESS);
    VELTRA_CARD_INFO info;
    ASSERT_EQ(VELTRA_GetCardInfo(card, &info), VELTRA_SUCCESS);
    EXPECT_EQ(info.windowCount, 4u);
    VELTRA_BANK_INFO bank;
    EXPECT_EQ(VELTRA_GetBankInfo(card, 1, &bank), VELTRA_SUCCESS);
    EXPECT_EQ(VELTRA_GetBankInfo(card, 2, &bank), VELTRA_INVALID_INDEX);
    VELTRA_MODULE_INFOA module;
    ASSERT_EQ(VELTRA_GetModuleInfoA(card, 0, &module), VELTRA_SUCCESS);
    EXPECT_STREQ(module.moduleText1, "QSFP28-100G-SR4");
    EXPECT_DOUBLE_EQ(module.moduleFixed, 35.5);
    EXPECT_EQ(VELTRA_GetModuleInfoA(card, 2, &module), VELTRA_INVALID_INDEX);
    VELTRA_VERSION_INFO version;
    ASSERT_EQ(VELTRA_GetVersionInfo(card, &version), VELTRA_SUCCESS);
    EXPECT_EQ(version.driverMajor, 2);
    EXPECT_EQ(VELTRA_Close(card), VELTRA_SUCCESS);
    EXPECT_EQ(VELTRA_GetCardInfo(card, &info), VELTRA_INVALID_HANDLE);
}

}  // namespace
