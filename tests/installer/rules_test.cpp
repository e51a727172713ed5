// The installer's command-line rules and result table, as plain code: the
// argument string, the tokens, the walk over them, the paths, and the
// numbering of the exit codes. Runs on both platforms.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "command_line.h"
#include "expected_results.h"
#include "results.h"

namespace {

using Text = std::u16string;
using View = std::u16string_view;
using Outcome = setup::CommandLine<char16_t>::Outcome;

setup::CommandLine<char16_t> parse(View commandLine) {
    return setup::parseCommandLine(commandLine);
}

TEST(ArgumentString, ProgramNameEndsAtABlankOutsideQuotes) {
    EXPECT_EQ(setup::argumentString(View(u"install.exe -noui")), u"-noui");
    EXPECT_EQ(setup::argumentString(View(u"\"C:\\my pkg\\install.exe\" -noui a.inf")),
              u"-noui a.inf");
    EXPECT_EQ(setup::argumentString(View(u"C:\\my\" \"pkg\\install.exe  -x")), u"-x");
    EXPECT_EQ(setup::argumentString(View(u"install.exe\t\x01\x1f -noui \t")), u"-noui \t")
        << "the blanks after the name go, the rest stays";
    EXPECT_EQ(setup::argumentString(View(u"install.exe")), u"");
    EXPECT_EQ(setup::argumentString(View(u"\"unterminated name -noui")), u"");
    EXPECT_EQ(setup::argumentString(View(u"")), u"");
    // U+0000 ends the name but is not skipped after it.
    EXPECT_EQ(setup::argumentString(View(u"a\0b", 3)), View(u"\0b", 2));
}

TEST(Tokens, OnlyASpaceSeparates) {
    using Tokens = std::vector<Text>;
    EXPECT_EQ(setup::splitTokens(View(u"-noui a.inf")), (Tokens{u"-noui", u"a.inf"}));
    EXPECT_EQ(setup::splitTokens(View(u"a  b ")), (Tokens{u"a", u"", u"b"}))
        << "two spaces give an empty token; a space at the end gives none";
    EXPECT_EQ(setup::splitTokens(View(u"-noui\ta.inf")), (Tokens{u"-noui\ta.inf"}));
    EXPECT_EQ(setup::splitTokens(View(u"\"a b\"")), (Tokens{u"\"a", u"b\""}));
    EXPECT_EQ(setup::splitTokens(View(u"")), Tokens{});
    EXPECT_EQ(setup::splitTokens(View(u" ")), (Tokens{u""}));
}

TEST(Walk, FirstOutcomeDecides) {
    auto r = parse(u"x -noui -help -bad");
    EXPECT_EQ(r.outcome, Outcome::Help);
    EXPECT_EQ(r.exitCode(), 0);
    r = parse(u"x -bad -help");
    EXPECT_EQ(r.outcome, Outcome::InvalidOption);
    EXPECT_EQ(r.token, u"-bad");
    EXPECT_EQ(r.exitCode(), 6);
    r = parse(u"x a b -bad");
    EXPECT_EQ(r.outcome, Outcome::TwoPaths);
    EXPECT_EQ(r.exitCode(), 6);
    r = parse(u"x a -bad b");
    EXPECT_EQ(r.outcome, Outcome::InvalidOption);
    EXPECT_EQ(parse(u"x -").token, u"-");
    EXPECT_EQ(parse(u"x /").token, u"/");
    EXPECT_EQ(parse(u"x -helpme").token, u"-helpme");
    EXPECT_EQ(parse(u"x /H").outcome, Outcome::Help);
    EXPECT_EQ(parse(u"x -?").outcome, Outcome::Help);
}

TEST(Walk, OptionsAndThePath) {
    auto r = parse(u"x /NOUI");
    EXPECT_EQ(r.outcome, Outcome::Run);
    EXPECT_EQ(r.exitCode(), -1);
    EXPECT_TRUE(r.noui);
    EXPECT_TRUE(r.nopause) << "-noui implies -nopause";
    EXPECT_FALSE(r.haveInfPath);
    r = parse(u"x -NoPause -repair \"q.inf\" -PREINSTALL -repair");
    EXPECT_TRUE(r.nopause);
    EXPECT_FALSE(r.noui);
    EXPECT_TRUE(r.repair);
    EXPECT_TRUE(r.preinstall);
    EXPECT_EQ(r.infPath, u"\"q.inf\"");
    // Non-ASCII letters keep their case: only A-Z fold.
    EXPECT_EQ(parse(u"x -NOU\u0130").outcome, Outcome::InvalidOption);
}

TEST(Paths, DefaultsComeFromTheProgramsFolder) {
    const auto none = parse(u"x -noui");
    EXPECT_EQ(setup::programFolder(View(u"C:\\pkg\\install.exe")), u"C:\\pkg");
    EXPECT_EQ(setup::infPathOf(none, Text(u"C:\\pkg")), u"C:\\pkg\\kesta.inf");
    EXPECT_EQ(setup::difxApiPathOf(Text(u"C:\\pkg")), u"C:\\pkg\\x86_64\\difxapi.dll");
    // A program path without a backslash: both paths from the drive's root.
    const Text folder = setup::programFolder(View(u"install.exe"));
    EXPECT_EQ(folder, u"");
    EXPECT_EQ(setup::infPathOf(none, folder), u"\\kesta.inf");
    EXPECT_EQ(setup::difxApiPathOf(folder), u"\\x86_64\\difxapi.dll");
    const auto given = parse(u"x rel\\a.inf");
    EXPECT_EQ(setup::infPathOf(given, Text(u"C:\\pkg")), u"rel\\a.inf");
}

TEST(ResultTable, EveryResultOfEachOperation) {
    using setup::Operation;
    // An exit code of -1: the operation's code for any other result, and no message.
    auto expectOutcome = [](Operation op, uint32_t value, int code, const char* message,
                            int other) {
        const auto outcome = setup::outcomeOf(op, value);
        EXPECT_EQ(outcome.exitCode, code < 0 ? other : code);
        if (code < 0) {
            EXPECT_EQ(outcome.message, nullptr);
        } else {
            EXPECT_STREQ(outcome.message, message);
        }
    };
    for (const auto& row : expected::kResults) {
        SCOPED_TRACE(row.value);
        expectOutcome(Operation::Install, row.value, row.installCode, row.installMessage, 222);
        expectOutcome(Operation::Preinstall, row.value, row.preinstallCode, row.preinstallMessage,
                      123);
    }
    // Any other result, whatever its bits.
    for (uint32_t other : {3u, 1602u, 0x80000000u, 0xE0000302u, 0xFFFFFFFFu}) {
        expectOutcome(Operation::Install, other, -1, nullptr, 222);
        expectOutcome(Operation::Preinstall, other, -1, nullptr, 123);
    }
    EXPECT_STREQ(setup::kUnexpectedResult, expected::kUnexpectedResult);
}

// Random command lines: the walk never fails, ends with an exit code that
// the program's table allows, and agrees with what the tokens say.
TEST(Property, RandomCommandLines) {
    const std::vector<Text> vocabulary = {
        u"-noui", u"/NOUI", u"-nopause", u"/NoPause", u"-preinstall", u"-Repair", u"-h",
        u"/?",    u"-HELP", u"-x",       u"-",        u"/",           u"a.inf",   u"\"b c\"",
        u"",      u"\t",    u"\"",       u"-noui\t",  u"\x01",        u"\u00e9",  u"C:\\d\\k.inf"};
    std::mt19937 random(20261207);
    auto isHelp = [](const Text& t) { return t == u"-h" || t == u"/?" || t == u"-HELP"; };
    auto isKnown = [&](const Text& t) {
        return isHelp(t) || t == u"-noui" || t == u"/NOUI" || t == u"-nopause" ||
               t == u"/NoPause" || t == u"-preinstall" || t == u"-Repair";
    };
    for (int round = 0; round < 20000; ++round) {
        Text line = u"install.exe";
        std::vector<Text> tokens;
        const int count = static_cast<int>(random() % 6);
        for (int i = 0; i < count; ++i) {
            line += random() % 4 == 0 ? u"  " : u" ";
            tokens.push_back(vocabulary[random() % vocabulary.size()]);
            line += tokens.back();
        }
        const auto r = parse(line);
        const int code = r.exitCode();
        ASSERT_TRUE(code == -1 || code == 0 || code == 6) << code;
        // What the tokens say, walked independently: the first decisive one.
        Outcome expected = Outcome::Run;
        int paths = 0;
        const auto all = setup::splitTokens(setup::argumentString(View(line)));
        for (const Text& t : all) {
            if (t.empty())
                continue;
            if (t[0] == u'-' || t[0] == u'/') {
                if (isHelp(t)) {
                    expected = Outcome::Help;
                    break;
                }
                if (!isKnown(t)) {
                    expected = Outcome::InvalidOption;
                    break;
                }
            } else if (++paths == 2) {
                expected = Outcome::TwoPaths;
                break;
            }
        }
        ASSERT_EQ(r.outcome, expected) << std::string(line.begin(), line.end());
    }
}

}  // namespace
