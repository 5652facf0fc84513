#pragma once
// The command line of qdm-writer-cli: global options, then a command and its arguments.

#include <optional>
#include <string>
#include <vector>

#include "session/SessionOptions.h"

namespace qdm::cli {

struct GlobalOptions {
    session::SessionOptions session;  // the dongle to use, as the window takes them too
    std::optional<std::string> log;   // run log file instead of the one in the data folder
    bool noLog = false;               // no run log entry
    bool quiet = false;               // no status lines or progress, errors only
    bool json = false;                // one result object on stdout
    bool help = false;
    bool version = false;
};

struct CommandLine {
    GlobalOptions global;
    std::string command;
    std::vector<std::string> arguments;
};

// Parses argv (without the program name). Global options may stand anywhere. On a usage error
// returns nullopt and sets `error`.
std::optional<CommandLine> ParseCommandLine(const std::vector<std::string>& args,
                                            std::string& error);

// The text of --help: the commands, the global options, the faults and the exit statuses.
std::string UsageText();

// The help of one command ("download", "rom", "rom info", ...); nullopt for an unknown one.
std::optional<std::string> CommandHelp(const std::string& command);

}  // namespace qdm::cli
