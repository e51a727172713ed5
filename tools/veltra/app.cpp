// The command line of the veltra tool: the command table made into CLI11
// commands, --sim, --version and help, the checks of command words and
// options that name what is unknown and what was probably meant, and the
// exit codes (0 success, 1 the operation failed, 2 a usage error, 130, on
// Windows 0xC000013A, an interrupt).
#include <veltra.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "command_table.h"
#include "errors.h"
#include "output.h"
#include "interrupts.h"
#include "text.h"

namespace tool {

namespace {

// On Windows the simulated driver is a DLL that attaches itself below the
// libraries' imports, and below the tool's own (the tool lists the cards'
// device paths through SetupAPI); an installation on real cards does not
// have it. The Linux build runs on the Win32 stand-in, which has it built in.
// A program started through vsim-run has the libraries attached already.
// Anything short of both libraries redirected is a failure: the calls would
// reach real cards.
bool attachSimulator(bool asked) {
#if defined(_WIN32)
    HMODULE simulator = GetModuleHandleW(L"vsim.dll");
    const bool attached = simulator != nullptr;
    if (!attached && asked) {
        // Beside veltra.exe, wherever it is installed (any folder name).
        std::wstring path(32768, L'\0');
        const DWORD length =
            GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (length == 0 || length >= path.size())
            return false;
        path.resize(length);
        path = path.substr(0, path.find_last_of(L"\\/") + 1) + L"vsim.dll";
        simulator = LoadLibraryW(path.c_str());
    }
    if (simulator == nullptr)
        return !asked;
    auto attach = reinterpret_cast<int (*)(const char*)>(
        reinterpret_cast<void*>(GetProcAddress(simulator, "vsimAttach")));
    if (attach == nullptr)
        return false;
    attach(nullptr);  // the tool's own SetupAPI calls
    return attached || (attach("veltra.dll") > 0 && attach("kesta.dll") > 0);
#else
    (void)asked;
    return true;
#endif
}

// Progress bars and the sensor monitor move the cursor with VT sequences,
// which a Windows console takes once asked to (Windows 10 and later).
void enableTerminalSequences() {
#if defined(_WIN32)
    bool console = false;
    for (DWORD which : {STD_OUTPUT_HANDLE, STD_ERROR_HANDLE}) {
        HANDLE handle = GetStdHandle(which);
        DWORD mode = 0;
        if (handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode)) {
            SetConsoleMode(handle, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
            console = true;
        }
    }
    // The tool writes UTF-8: a console shows it as such for as long as the
    // tool runs (its own code page is given back at exit); a file or pipe
    // receives the UTF-8 as it is.
    static const UINT original = GetConsoleOutputCP();
    if (console && original != CP_UTF8 && SetConsoleOutputCP(CP_UTF8))
        std::atexit([] { SetConsoleOutputCP(original); });
#endif
}

Commands (*const kAreas[])() = {
    listCommands,    programCommands, flashCommands, vpdCommands,      clockCommands,
    sensorsCommands, statusCommands,  regCommands,   dmaCommands,      validateCommands,
    bridgeCommands,  simCommands,     queryCommands, exporterCommands,
};

std::vector<std::string> wordsOf(const char* path) {
    std::vector<std::string> words;
    for (const char* at = path; *at != '\0';) {
        const char* end = std::strchr(at, ' ');
        words.emplace_back(at, end == nullptr ? std::strlen(at) : static_cast<size_t>(end - at));
        at = end == nullptr ? at + std::strlen(at) : end + 1;
    }
    return words;
}

// Adds one command under the commands its path names, which come before
// it in the table.
void addCommand(CLI::App& app, const Command& command) {
    const std::vector<std::string> words = wordsOf(command.path);
    CLI::App* parent = &app;
    for (size_t i = 0; i + 1 < words.size(); ++i)
        parent = parent->get_subcommand(words[i]);
    CLI::App* added = parent->add_subcommand(words.back(), command.summary);
    if (command.define == nullptr) {
        added->require_subcommand(1);
        return;
    }
    added->callback(command.define(*added));
}

// A command line that names a command gets only that command's area
// (making all of them costs more than many a command's own work); help, and
// anything else, gets every command.
void addCommands(CLI::App& app, const std::vector<std::string>& words) {
    auto names = [&words](const Commands commands) {
        for (const Command& command : commands)
            if (!words.empty() && wordsOf(command.path).front() == words.front())
                return true;
        return false;
    };
    bool one = false;
    for (auto area : kAreas)
        if (names(area())) {
            for (const Command& command : area())
                addCommand(app, command);
            one = true;
        }
    if (!one)
        for (auto area : kAreas)
            for (const Command& command : area())
                addCommand(app, command);
}

void addHelpCommand(CLI::App& app) {
    auto topic = std::make_shared<std::vector<std::string>>();
    CLI::App* help = app.add_subcommand("help", "help on a command: veltra help flash write");
    help->add_option("COMMAND", *topic, "the command")->expected(0, 3);
    help->callback([&app, topic] {
        const CLI::App* at = &app;
        std::string path = "veltra";
        for (const std::string& word : *topic) {
            try {
                at = const_cast<CLI::App*>(at)->get_subcommand(word);
            } catch (const CLI::OptionNotFound&) {
                throw Usage("veltra help", "no command '" + word + "' in " + path);
            }
            path += " " + word;
        }
        std::printf("%s",
                    at->help(at == &app ? "veltra" : path.substr(0, path.rfind(' '))).c_str());
    });
}

// "veltra flash write": the command a usage error is about.
std::string commandPath(const CLI::App& app) {
    std::string path = "veltra";
    const CLI::App* at = &app;
    for (;;) {
        const auto chosen = at->get_subcommands();
        if (chosen.empty())
            return path;
        at = chosen.front();
        path += " " + at->get_name();
    }
}

std::string namesOf(const std::vector<CLI::App*>& commands) {
    std::string names;
    for (const CLI::App* command : commands)
        names += (names.empty() ? "" : ", ") + command->get_name();
    return names;
}

// Follows the command words down the tree of commands; a word that names no
// command where one is expected is a usage error that lists the commands
// there are. Sets `next` to the first word after the command.
CLI::App* namedCommand(CLI::App& app, const std::vector<std::string>& words, size_t& next,
                       std::string& path) {
    CLI::App* at = &app;
    path = "veltra";
    for (next = 0; next < words.size() && !words[next].empty() && words[next][0] != '-'; ++next) {
        const auto commands = at->get_subcommands({});
        if (commands.empty())
            break;
        CLI::App* found = nullptr;
        std::vector<std::string> names;
        for (CLI::App* command : commands) {
            names.push_back(command->get_name());
            if (command->check_name(words[next]))
                found = command;
        }
        if (found == nullptr)
            throw Usage(path, "unknown command '" + words[next] + "'" +
                                  didYouMean(words[next], names, "") +
                                  " (the commands: " + namesOf(commands) + ")");
        at = found;
        path += " " + words[next];
    }
    if (next == words.size() && at != &app && !at->get_subcommands({}).empty() &&
        at->get_require_subcommand_min() > 0)
        throw Usage(path, "a command is needed (one of: " + namesOf(at->get_subcommands({})) + ")");
    return at;
}

// The option of a command (or of the commands above it) a word names.
const CLI::Option* optionNamed(const CLI::App* command, const std::string& name, bool isLong,
                               std::vector<std::string>& known) {
    for (; command != nullptr; command = command->get_parent())
        for (const CLI::Option* option : command->get_options()) {
            const auto& names = isLong ? option->get_lnames() : option->get_snames();
            known.insert(known.end(), names.begin(), names.end());
            if (std::find(names.begin(), names.end(), name) != names.end())
                return option;
        }
    return nullptr;
}

// Every option word names an option of the command: an unknown one is named
// as unknown (not taken for a value, nor reported as a missing required
// one), with the nearest option there is.
void checkOptions(const CLI::App& command, const std::vector<std::string>& words, size_t next,
                  const std::string& path) {
    for (size_t i = next; i < words.size(); ++i) {
        const std::string& word = words[i];
        if (word == "--")
            return;
        const bool isLong = word.rfind("--", 0) == 0 && word.size() > 2;
        const bool isShort = !isLong && word.size() > 1 && word[0] == '-' &&
                             std::isalpha(static_cast<unsigned char>(word[1]));
        if (!isLong && !isShort)
            continue;
        const size_t equals = word.find('=');
        const std::string name =
            isLong ? word.substr(2, equals == std::string::npos ? std::string::npos : equals - 2)
                   : word.substr(1, 1);
        std::vector<std::string> known;
        const CLI::Option* option = optionNamed(&command, name, isLong, known);
        if (option == nullptr)
            throw Usage(path, "unknown option " + std::string(isLong ? "--" : "-") + name +
                                  didYouMean(name, known, isLong ? "--" : "-"));
        const bool valueFollows = isLong ? equals == std::string::npos : word.size() == 2;
        if (option->get_expected_max() > 0 && valueFollows)
            ++i;
    }
}

// The command line's own words: --sim may stand anywhere.
std::vector<std::string> commandWords(int argc, char** argv, bool& simulator) {
    std::vector<std::string> words;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--sim") == 0 || std::strcmp(argv[i], "--simulator") == 0)
            simulator = true;
#if defined(_WIN32)
        else if (std::strcmp(argv[i], "/?") == 0 || std::strcmp(argv[i], "-?") == 0)
            words.emplace_back("--help");  // as Windows programs ask for help
#else
        else if (std::strcmp(argv[i], "-?") == 0)
            words.emplace_back("--help");
#endif
        else
            words.emplace_back(argv[i]);
    }
    return words;
}

void setUp(CLI::App& app, const std::vector<std::string>& words) {
    // On Windows too, "/path/to/file" is a path, never an option.
    app.allow_windows_style_options(false);
    app.set_version_flag("--version", "veltra " VELTRA_TOOL_VERSION);
    app.require_subcommand(1);
#if defined(_WIN32)
    app.footer(
        "Exit codes: 0 done, 1 the operation failed, 2 a wrong command line, "
        "0xC000013A (STATUS_CONTROL_C_EXIT) stopped by Ctrl-C at a safe point.");
#else
    app.footer(
        "Exit codes: 0 done, 1 the operation failed, 2 a wrong command line, "
        "130 stopped by Ctrl-C at a safe point.");
#endif
    static bool unused = false;
    app.add_flag("--sim", unused,
                 "(Windows) run on the simulated driver, vsim.dll beside veltra.exe; anywhere on "
                 "the command line");
    addCommands(app, words);
    addHelpCommand(app);
}

int outputFailed();

int parseAndRun(CLI::App& app, const std::vector<std::string>& words) {
    if (words.empty()) {
        std::fprintf(stderr, "%s", app.help().c_str());
        return kExitUsage;
    }
    size_t next = 0;
    std::string path;
    const CLI::App* command = namedCommand(app, words, next, path);
    if (command != &app)
        checkOptions(*command, words, next, path);
    std::vector<std::string> reversed(words.rbegin(), words.rend());
    app.parse(reversed);
    // Output that did not reach its file is a failure too.
    if (std::fflush(stdout) != 0 || std::ferror(stdout))
        return outputFailed();
    return 0;
}

// Output that stdout did not take: quiet when a pipe's reader went (as a
// Linux program ends by SIGPIPE), said otherwise.
int outputFailed() {
#if defined(_WIN32)
    // The C run time says EPIPE, or EINVAL for the ERROR_NO_DATA a closed
    // pipe gives; a pipe fails a write for little else.
    const int failure = errno;
    HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD written = 0;
    if (GetFileType(output) == FILE_TYPE_PIPE &&
        ((!WriteFile(output, "", 0, &written, nullptr) &&
          (GetLastError() == ERROR_NO_DATA || GetLastError() == ERROR_BROKEN_PIPE)) ||
         failure == EPIPE || failure == EINVAL))
        return kExitFailure;
    errno = failure;
#endif
    std::fprintf(stderr, "veltra: cannot write the output: %s\n", std::strerror(errno));
    return kExitFailure;
}

int report(const std::string& path, const char* what, int code) {
    std::fprintf(stderr, "%s: %s%s\n", path.c_str(), what,
                 code == kExitUsage ? (" (see " + path + " --help)").c_str() : "");
    return code;
}

}  // namespace

int run(int argc, char** argv) {
    bool simulator = false;
    const std::vector<std::string> words = commandWords(argc, argv, simulator);
    if (!attachSimulator(simulator))
        return report("veltra",
                      "--sim: the simulated driver (vsim.dll beside veltra.exe) could "
                      "not be attached",
                      kExitFailure);
    enableTerminalSequences();
    interrupts::install();
    CLI::App app(
        "veltra: the cards and their bridge devices, from the command line.\n"
        "Every command takes --help; `veltra help COMMAND` says the same.",
        "veltra");
    try {
        setUp(app, words);
        return parseAndRun(app, words);
    } catch (const CLI::ParseError& error) {
        if (error.get_exit_code() == 0)
            return app.exit(error);
        return report(commandPath(app), error.what(), kExitUsage);
    } catch (const Usage& error) {
        return report(error.command.empty() ? commandPath(app) : error.command, error.what(),
                      kExitUsage);
    } catch (const Interrupted& error) {
        return report("veltra", error.what(), kExitInterrupted);
    } catch (const OutputFailed&) {
        return outputFailed();
    } catch (const std::exception& error) {
        return report("veltra", error.what(), kExitFailure);
    }
}

}  // namespace tool
