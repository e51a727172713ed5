// The commands of the veltra tool, one table: each command is its words, a
// line that says what it does, and a function that gives its CLI11 command
// its options and returns the work the command does with them. Each area
// (list and info, program, flash, ...) has a file of its own that holds its
// part of the table.
#pragma once

#include <CLI/CLI.hpp>

#include <functional>
#include <span>

namespace tool {

using Work = std::function<void()>;

struct Command {
    const char* path;     // "flash write"
    const char* summary;  // for --help
    // Adds the options and returns the work; null for a group of commands
    // ("flash"), which needs one of its own.
    Work (*define)(CLI::App& command);
};

using Commands = std::span<const Command>;

Commands listCommands();
Commands programCommands();
Commands flashCommands();
Commands vpdCommands();
Commands clockCommands();
Commands sensorsCommands();
Commands statusCommands();
Commands regCommands();
Commands dmaCommands();
Commands validateCommands();
Commands bridgeCommands();
Commands simCommands();
Commands queryCommands();
Commands exporterCommands();

// The whole tool, for main() and for measuring it in one process: the exit
// code.
int run(int argc, char** argv);

}  // namespace tool
