// The command line of the veltra tool: its commands, --sim, --version, help,
// and exit codes (0 success, 1 the operation failed, 2 a usage error).
#include "tool.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

namespace tool {

namespace {

// On Windows the simulated driver is a DLL that attaches itself below the
// libraries' imports; an installation on real cards does not have it. The
// Linux build runs on the Win32 stand-in, which has it built in.
// A program started through vsim-run has it already. Anything short of both
// libraries redirected is a failure: the calls would reach real cards.
bool attachSimulator() {
#if defined(_WIN32)
    if (GetModuleHandleA("vsim.dll") != nullptr)
        return true;
    char path[MAX_PATH];
    const DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return false;
    std::string simulatorPath(path, length);
    simulatorPath = simulatorPath.substr(0, simulatorPath.find_last_of("\\/") + 1) + "vsim.dll";
    HMODULE simulator = LoadLibraryA(simulatorPath.c_str());
    if (simulator == nullptr)
        return false;
    auto attach = reinterpret_cast<int (*)(const char*)>(
        reinterpret_cast<void*>(GetProcAddress(simulator, "vsimAttach")));
    if (attach == nullptr)
        return false;
    const int veltra = attach("veltra.dll");
    const int kesta = attach("kesta.dll");
    return veltra > 0 && kesta > 0;
#else
    return true;
#endif
}

// Progress bars and the sensor monitor move the cursor with VT sequences,
// which a Windows console takes once asked to (Windows 10 and later).
void enableTerminalSequences() {
#if defined(_WIN32)
    for (DWORD which : {STD_OUTPUT_HANDLE, STD_ERROR_HANDLE}) {
        HANDLE console = GetStdHandle(which);
        DWORD mode = 0;
        if (console != INVALID_HANDLE_VALUE && GetConsoleMode(console, &mode))
            SetConsoleMode(console, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
    }
#endif
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

// Follows the leading words of the command line down the tree of commands;
// a word that names no command where one is expected is a usage error that
// lists the commands there are.
void checkCommandWords(CLI::App& app, const std::vector<std::string>& words) {
    CLI::App* at = &app;
    std::string path = "veltra";
    for (const std::string& word : words) {
        if (word.empty() || word[0] == '-')
            return;
        const auto commands = at->get_subcommands({});
        if (commands.empty())
            return;
        CLI::App* next = nullptr;
        std::string names;
        for (CLI::App* command : commands) {
            if (command->check_name(word))
                next = command;
            names += (names.empty() ? "" : ", ") + command->get_name();
        }
        if (next == nullptr)
            throw Usage(path, "unknown command '" + word + "' (the commands: " + names + ")");
        at = next;
        path += " " + word;
    }
    if (at != &app && !at->get_subcommands({}).empty() && at->get_require_subcommand_min() > 0 &&
        (words.empty() || words.back() == path.substr(path.rfind(' ') + 1))) {
        std::string names;
        for (CLI::App* command : at->get_subcommands({}))
            names += (names.empty() ? "" : ", ") + command->get_name();
        throw Usage(path, "a command is needed (one of: " + names + ")");
    }
}

}  // namespace

int run(int argc, char** argv) {
    // --sim may stand anywhere on the command line.
    std::vector<std::string> words;
    bool simulator = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--sim") == 0 || std::strcmp(argv[i], "--simulator") == 0)
            simulator = true;
        else
            words.emplace_back(argv[i]);
    }
    if (simulator && !attachSimulator()) {
        std::fprintf(
            stderr,
            "veltra: --sim: the simulated driver (vsim.dll beside veltra.exe) could not be "
            "attached\n");
        return 1;
    }

    enableTerminalSequences();
    CLI::App app(
        "veltra: the cards and their bridge devices, from the command line.\n"
        "Every command takes --help; `veltra help COMMAND` says the same.",
        "veltra");
    app.set_version_flag("--version", "veltra " VELTRA_TOOL_VERSION);
    app.require_subcommand(1);
    bool unused = false;
    app.add_flag("--sim", unused,
                 "(Windows) run on the simulated driver, vsim.dll beside veltra.exe; anywhere on "
                 "the command line");
    // A command line that names a command gets only that command's area
    // (making all of them costs more than many a command's own work); help,
    // and anything else, gets every command.
    static const struct {
        std::vector<std::string> commands;
        void (*add)(CLI::App&);
    } kAreas[] = {
        {{"list", "info"}, addInfoCommands},
        {{"program"}, addProgramCommand},
        {{"flash"}, addFlashCommands},
        {{"vpd", "clock", "sensors", "status"}, addBoardCommands},
        {{"reg", "dma"}, addTransferCommands},
        {{"validate"}, addValidateCommand},
        {{"bridge"}, addBridgeCommands},
        {{"sim"}, addSimulatorCommands},
    };
    bool one = false;
    for (const auto& area : kAreas)
        if (!words.empty() && std::find(area.commands.begin(), area.commands.end(), words[0]) !=
                                  area.commands.end()) {
            area.add(app);
            one = true;
        }
    if (!one)
        for (const auto& area : kAreas)
            area.add(app);

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

    try {
        if (words.empty()) {
            std::fprintf(stderr, "%s", app.help().c_str());
            return 2;
        }
        checkCommandWords(app, words);
        std::vector<std::string> reversed(words.rbegin(), words.rend());
        app.parse(reversed);
        // Output that did not reach its file is a failure too.
        if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
            std::fprintf(stderr, "veltra: cannot write the output: %s\n", std::strerror(errno));
            return 1;
        }
        return 0;
    } catch (const CLI::ParseError& error) {
        if (error.get_exit_code() == 0)
            return app.exit(error);
        std::fprintf(stderr, "%s: %s (see %s --help)\n", commandPath(app).c_str(), error.what(),
                     commandPath(app).c_str());
        return 2;
    } catch (const Usage& error) {
        const std::string path = error.command.empty() ? commandPath(app) : error.command;
        std::fprintf(stderr, "%s: %s (see %s --help)\n", path.c_str(), error.what(), path.c_str());
        return 2;
    } catch (const Failure& error) {
        std::fprintf(stderr, "veltra: %s\n", error.what());
        return 1;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "veltra: %s\n", error.what());
        return 1;
    }
}

}  // namespace tool
