#include "app/WindowOptions.h"

#include <CLI/CLI.hpp>

#include "session/SimFaults.h"

namespace qdm {

namespace {

// The window's options, bound to `line`; the parser and the help text both take them from here.
void DefineOptions(CLI::App& app, WindowCommandLine& line) {
    app.set_help_flag();  // our own help text
    session::AddSessionOptions(app, line.session);
    session::AddRunLogOptions(app, line.log, line.noLog, "download runs");
    app.add_option("--screenshot", line.screenshot,
                   "save a picture of the window after start-up (PNG), then quit")
        ->type_name("FILE");
    app.add_flag("-h,--help", line.help, "this text");
    app.add_flag("--version", line.version, "the program's version");
    app.add_option("ARGS", line.rest);
}

}  // namespace

std::optional<WindowCommandLine> ParseWindowCommandLine(const std::vector<std::string>& args,
                                                        std::string& error) {
    WindowCommandLine line;
    CLI::App app("", "qdm-writer");
    DefineOptions(app, line);
    app.allow_extras();
    std::vector<std::string> reversed(args.rbegin(), args.rend());
    try {
        app.parse(reversed);
    } catch (const CLI::ParseError& e) {
        error = session::ParseErrorText(app, e);
        return std::nullopt;
    }
    // Unknown options stay for FormCreate, among the other arguments in their order.
    for (const std::string& extra : app.remaining())
        if (extra != "--") line.rest.push_back(extra);
    if (const auto why = session::CheckSessionOptions(line.session)) {
        error = *why;
        return std::nullopt;
    }
    return line;
}

std::string WindowUsageText() {
    WindowCommandLine line;
    CLI::App app("", "qdm-writer");
    DefineOptions(app, line);
    return "Usage: qdm-writer [options] [EXPG ROMFILE]\n"
           "\n"
           "EXPG ROMFILE        programs ROMFILE when the dongle runs the MCU-ROM firmware\n"
           "\n"
           "Options:\n" +
           session::OptionHelpLines(app) +
           "\n"
           "With --simulate a small \"Virtual dongle\" window plugs and unplugs the virtual\n"
           "dongle while the program runs.\n"
           "\n" +
           session::SimFaultHelp();
}

}  // namespace qdm
