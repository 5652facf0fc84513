#pragma once
// The window program's command line: the session options it shares with the command-line tool
// (--simulate, --trace, --firmware, --sim-dump, --sim-fault), a few of its own, and whatever is
// left for FormCreate's "EXPG" rule, in its order.

#include <optional>
#include <string>
#include <vector>

#include "session/SessionOptions.h"

namespace qdm {

struct WindowCommandLine {
    session::SessionOptions session;
    std::optional<std::string> log;  // run log file instead of the one in the data folder
    bool noLog = false;              // no run log entries
    // Write a picture of the window shortly after it is first shown, then quit.
    std::optional<std::string> screenshot;
    bool help = false;
    bool version = false;
    // The arguments that are none of the above, for FormCreate.
    std::vector<std::string> rest;
};

// Parses the arguments after the program name (Qt has taken its own already). Our options are
// taken wherever they stand; "--" ends them and everything behind it goes to `rest`. nullopt
// (with `error` set) for an option without its value or options that do not fit together.
std::optional<WindowCommandLine> ParseWindowCommandLine(const std::vector<std::string>& args,
                                                        std::string& error);

// The text of --help.
std::string WindowUsageText();

}  // namespace qdm
