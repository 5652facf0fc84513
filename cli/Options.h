#pragma once
// The command line of qdm-writer-cli: global options, then a command and its arguments.

#include <optional>
#include <string>
#include <vector>

#include "session/SessionOptions.h"

namespace qdm::cli {

struct GlobalOptions {
    session::SessionOptions session;  // the dongle to use, as the window takes them too
    bool help = false;
    bool version = false;
};

struct CommandLine {
    GlobalOptions global;
    std::string command;
    std::vector<std::string> arguments;
};

// Parses argv (without the program name). On a usage error returns nullopt and sets `error`.
std::optional<CommandLine> ParseCommandLine(const std::vector<std::string>& args,
                                            std::string& error);

// The text of --help.
std::string UsageText();

}  // namespace qdm::cli
