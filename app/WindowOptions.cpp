#include "app/WindowOptions.h"

#include "session/SimFaults.h"

namespace qdm {

std::optional<WindowCommandLine> ParseWindowCommandLine(const std::vector<std::string>& args,
                                                        std::string& error) {
    WindowCommandLine line;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "--") {
            line.rest.insert(line.rest.end(), args.begin() + static_cast<std::ptrdiff_t>(i + 1),
                             args.end());
            break;
        }
        const auto take = session::TakeSessionOption(args, i, line.session, error);
        if (take == session::OptionTake::Error) return std::nullopt;
        if (take == session::OptionTake::Taken) continue;
        if (session::IsOption(arg, "--log")) {
            if (!session::TakeOptionValue(args, i, "--log", line.log, error)) return std::nullopt;
        } else if (arg == "--no-log") {
            line.noLog = true;
        } else if (arg == "--screenshot") {
            if (i + 1 >= args.size()) {
                error = "--screenshot needs a value";
                return std::nullopt;
            }
            line.screenshot = args[++i];
        } else if (arg.rfind("--screenshot=", 0) == 0) {
            line.screenshot = arg.substr(13);
        } else if (arg == "--help" || arg == "-h") {
            line.help = true;
        } else if (arg == "--version") {
            line.version = true;
        } else {
            line.rest.push_back(arg);
        }
    }
    if (const auto why = session::CheckSessionOptions(line.session)) {
        error = *why;
        return std::nullopt;
    }
    if (line.log && line.noLog) {
        error = "--log and --no-log exclude each other";
        return std::nullopt;
    }
    return line;
}

std::string WindowUsageText() {
    return "Usage: qdm-writer [options] [EXPG ROMFILE]\n"
           "\n"
           "EXPG ROMFILE        programs ROMFILE when the dongle runs the MCU-ROM firmware\n"
           "\n"
           "Options:\n" +
           session::SessionOptionsHelp() +
           "  --no-log            do not append download runs to the run log\n"
           "  --log FILE          append them to FILE instead of the run log in the user's data\n"
           "                      folder ($XDG_DATA_HOME/qdm-writer/runs.jsonl)\n"
           "  --screenshot FILE   save a picture of the window after start-up (PNG), then quit\n"
           "  --help              this text\n"
           "  --version           the program's version\n"
           "\n"
           "With --simulate a small \"Virtual dongle\" window plugs and unplugs the virtual\n"
           "dongle while the program runs.\n"
           "\n" +
           session::SimFaultHelp();
}

}  // namespace qdm
