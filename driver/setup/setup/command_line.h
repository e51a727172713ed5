// The installer's command line: the argument string after the program name,
// its tokens, and what they ask for. Independent of the window system, so
// that tests and the fuzzer drive it on any platform; `Char` is the UTF-16
// code unit of the platform (WCHAR on Windows, char16_t elsewhere).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "exit_codes.h"

namespace setup {

inline constexpr char kDefaultInfName[] = "kesta.inf";

// The argument string: the command line without the program name and
// without the characters U+0001 to U+0020 that follow it. The program name
// ends at the first character at or below U+0020 outside double quotes.
template <typename Char>
std::basic_string_view<Char> argumentString(std::basic_string_view<Char> commandLine) {
    size_t i = 0;
    bool quoted = false;
    for (; i < commandLine.size(); ++i) {
        const Char c = commandLine[i];
        if (c == Char('"'))
            quoted = !quoted;
        else if (!quoted && c <= Char(0x20))
            break;
    }
    while (i < commandLine.size() && commandLine[i] >= Char(0x01) && commandLine[i] <= Char(0x20))
        ++i;
    return commandLine.substr(i);
}

// Cuts the argument string at every space; only a space separates, quotes
// mean nothing, and empty tokens are kept (the walk skips them).
template <typename Char>
std::vector<std::basic_string<Char>> splitTokens(std::basic_string_view<Char> arguments) {
    std::vector<std::basic_string<Char>> tokens;
    size_t start = 0;
    for (size_t i = 0; i <= arguments.size(); ++i) {
        if (i == arguments.size() || arguments[i] == Char(' ')) {
            if (i > start || i < arguments.size())
                tokens.emplace_back(arguments.substr(start, i - start));
            start = i + 1;
        }
    }
    return tokens;
}

template <typename Char>
struct CommandLine {
    enum class Outcome {
        Run,            // go on with the operation
        Help,           // show the usage box; exit code 0
        InvalidOption,  // "Invalid option: %s" with `token`; exit code 6
        TwoPaths,       // "Specify at most one .inf file."; exit code 6
    };
    Outcome outcome = Outcome::Run;
    std::basic_string<Char> token;    // the unrecognised option, whole
    std::basic_string<Char> infPath;  // as given; empty if none was
    bool haveInfPath = false;
    bool nopause = false;
    bool noui = false;
    bool preinstall = false;
    bool repair = false;

    // The exit code when start-up ends at the command line, else -1.
    int exitCode() const {
        switch (outcome) {
            case Outcome::Help:
                return kExitSuccess;
            case Outcome::InvalidOption:
            case Outcome::TwoPaths:
                return kExitBadCommandLine;
            default:
                return -1;
        }
    }
};

namespace detail {

template <typename Char>
bool equalsIgnoringAsciiCase(std::basic_string_view<Char> text, const char* name) {
    size_t i = 0;
    for (; name[i] != 0; ++i) {
        if (i >= text.size())
            return false;
        Char c = text[i];
        if (c >= Char('A') && c <= Char('Z'))
            c = Char(c - Char('A') + Char('a'));
        if (c != Char(name[i]))
            return false;
    }
    return i == text.size();
}

}  // namespace detail

// Walks the tokens from first to last and stops at the first outcome that
// ends start-up.
template <typename Char>
CommandLine<Char> parseTokens(const std::vector<std::basic_string<Char>>& tokens) {
    using Result = CommandLine<Char>;
    using detail::equalsIgnoringAsciiCase;
    Result result;
    for (const auto& token : tokens) {
        if (token.empty())
            continue;
        if (token[0] == Char('-') || token[0] == Char('/')) {
            const std::basic_string_view<Char> name = std::basic_string_view<Char>(token).substr(1);
            if (equalsIgnoringAsciiCase(name, "h") || equalsIgnoringAsciiCase(name, "help") ||
                equalsIgnoringAsciiCase(name, "?")) {
                result.outcome = Result::Outcome::Help;
                return result;
            }
            if (equalsIgnoringAsciiCase(name, "nopause")) {
                result.nopause = true;
            } else if (equalsIgnoringAsciiCase(name, "noui")) {
                result.noui = true;
                result.nopause = true;
            } else if (equalsIgnoringAsciiCase(name, "preinstall")) {
                result.preinstall = true;
            } else if (equalsIgnoringAsciiCase(name, "repair")) {
                result.repair = true;
            } else {
                result.outcome = Result::Outcome::InvalidOption;
                result.token = token;
                return result;
            }
        } else if (!result.haveInfPath) {
            result.infPath = token;
            result.haveInfPath = true;
        } else {
            result.outcome = Result::Outcome::TwoPaths;
            return result;
        }
    }
    return result;
}

template <typename Char>
CommandLine<Char> parseCommandLine(std::basic_string_view<Char> commandLine) {
    return parseTokens(splitTokens(argumentString(commandLine)));
}

// The folder of the program: its full path up to, not including, the last
// backslash; empty if there is none.
template <typename Char>
std::basic_string<Char> programFolder(std::basic_string_view<Char> programPath) {
    const size_t slash = programPath.rfind(Char('\\'));
    if (slash == std::basic_string_view<Char>::npos)
        return {};
    return std::basic_string<Char>(programPath.substr(0, slash));
}

template <typename Char>
std::basic_string<Char> widen(const char* ascii) {
    std::basic_string<Char> text;
    for (; *ascii != 0; ++ascii)
        text += Char(static_cast<unsigned char>(*ascii));
    return text;
}

// The .inf path: as given, or the default name in the program's folder.
template <typename Char>
std::basic_string<Char> infPathOf(const CommandLine<Char>& commandLine,
                                  const std::basic_string<Char>& folder) {
    if (commandLine.haveInfPath)
        return commandLine.infPath;
    return folder + Char('\\') + widen<Char>(kDefaultInfName);
}

// Where DIFxAPI is loaded from: the "x86_64" sub-folder of the program's.
template <typename Char>
std::basic_string<Char> difxApiPathOf(const std::basic_string<Char>& folder) {
    return folder + widen<Char>("\\x86_64\\difxapi.dll");
}

}  // namespace setup
