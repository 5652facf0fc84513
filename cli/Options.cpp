#include "cli/Options.h"

#include <string_view>

namespace qdm::cli {

std::optional<CommandLine> ParseCommandLine(const std::vector<std::string>& args,
                                            std::string& error) {
    CommandLine line;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        const session::OptionTake take =
            session::TakeSessionOption(args, i, line.global.session, error);
        if (take == session::OptionTake::Error) return std::nullopt;
        if (take == session::OptionTake::Taken) continue;
        bool ok = true;
        if (session::IsOption(arg, "--log")) {
            ok = session::TakeOptionValue(args, i, "--log", line.global.log, error);
        } else if (arg == "--no-log") {
            line.global.noLog = true;
        } else if (arg == "--quiet" || arg == "-q") {
            line.global.quiet = true;
        } else if (arg == "--json") {
            line.global.json = true;
        } else if (arg == "--help" || arg == "-h") {
            line.global.help = true;
        } else if (arg == "--version") {
            line.global.version = true;
        } else if (line.command.empty() && !arg.empty() && arg[0] != '-') {
            line.command = arg;
        } else if (!line.command.empty()) {
            line.arguments.push_back(arg);
        } else {
            error = "unknown option " + arg;
            return std::nullopt;
        }
        if (!ok) return std::nullopt;
    }
    if (line.command.empty() && !line.global.help && !line.global.version) {
        error = "no command given";
        return std::nullopt;
    }
    if (const auto why = session::CheckSessionOptions(line.global.session)) {
        error = *why;
        return std::nullopt;
    }
    if (line.global.log && line.global.noLog) {
        error = "--log and --no-log exclude each other";
        return std::nullopt;
    }
    return line;
}

}  // namespace qdm::cli
