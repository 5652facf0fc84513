#pragma once
// The window program's command line: the session options it shares with the command-line tool
// (--simulate, --trace, --firmware, --sim-dump, --sim-fault, --sim-fill, --sim-preloaded, --log,
// --no-log),
// a few of its own, Qt's own options (-platform, -style, ...), which QApplication takes later,
// and the other arguments, left for FormCreate's "EXPG" rule in their order.

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
    // The arguments that are no option, for FormCreate.
    std::vector<std::string> rest;
};

// Parses the arguments after the program name, before any display is opened. Our options are
// taken wherever they stand, Qt's are passed over; "--" ends them and everything behind it goes
// to `rest`. nullopt (with `error` set) for an unknown option, an option without its value, a
// value its check refuses or options that do not fit together.
std::optional<WindowCommandLine> ParseWindowCommandLine(const std::vector<std::string>& args,
                                                        std::string& error);

// The text of --help.
std::string WindowUsageText();

}  // namespace qdm
