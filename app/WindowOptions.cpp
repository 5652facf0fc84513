#include "app/WindowOptions.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <array>
#include <string_view>

#include "session/SimFaults.h"

namespace qdm {

namespace {

// Qt's own options, with one or two dashes, as QGuiApplication and QApplication take them out of
// the command line; the first group takes a value, behind a blank or "=".
constexpr std::array<std::string_view, 14> kQtOptionsWithValue = {
    "platform",    "platformpluginpath", "platformtheme", "plugin",  "qwindowgeometry", "geometry",
    "qwindowicon", "qwindowtitle",       "title",         "display", "session",         "name",
    "style",       "stylesheet"};
constexpr std::array<std::string_view, 6> kQtFlags = {"reverse", "widgetcount",   "nograb",
                                                      "dograb",  "qmljsdebugger", "sync"};

// How many arguments Qt's option at args[i] takes up; 0 for none of Qt's.
std::size_t QtOptionLength(const std::vector<std::string>& args, std::size_t i) {
    std::string_view arg = args[i];
    if (arg.size() < 2 || arg[0] != '-') return 0;
    arg.remove_prefix(arg[1] == '-' ? 2 : 1);
    const std::size_t equals = arg.find('=');
    const std::string_view name = arg.substr(0, equals);
    const auto known = [name](const auto& names) {
        return std::find(names.begin(), names.end(), name) != names.end();
    };
    if (known(kQtFlags)) return 1;
    if (!known(kQtOptionsWithValue)) return 0;
    return equals != std::string_view::npos || i + 1 >= args.size() ? 1 : 2;
}

// The window's options, bound to `line`; the parser and the help text both take them from here.
void DefineOptions(CLI::App& app, WindowCommandLine& line) {
    app.set_help_flag();                     // our own help text
    app.allow_windows_style_options(false);  // "/x" is a path, as "EXPG /roms/a.bin" has it
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
    std::vector<std::string> ours;
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--") {
            ours.insert(ours.end(), args.begin() + static_cast<std::ptrdiff_t>(i), args.end());
            break;
        }
        const std::size_t qt = QtOptionLength(args, i);
        if (qt == 0) ours.push_back(args[i]);
        i += qt == 0 ? 0 : qt - 1;
    }
    std::vector<std::string> reversed(ours.rbegin(), ours.rend());
    try {
        app.parse(reversed);
    } catch (const CLI::ParseError& e) {
        error = session::ParseErrorText(app, e);
        return std::nullopt;
    }
    for (const std::string& extra : app.remaining()) {
        if (extra == "--") continue;
        error = "unknown option " + extra;
        return std::nullopt;
    }
    // The window runs as often as it is asked to: the lists count on across runs.
    if (const auto why = session::CheckSessionOptions(line.session, false)) {
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
