#include "cli/Options.h"

#include <string_view>

#include "session/SimFaults.h"

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
        if (arg == "--help" || arg == "-h") {
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
    }
    if (line.command.empty() && !line.global.help && !line.global.version) {
        error = "no command given";
        return std::nullopt;
    }
    if (const auto why = session::CheckSessionOptions(line.global.session)) {
        error = *why;
        return std::nullopt;
    }
    return line;
}

std::string UsageText() {
    return "Usage: qdm-writer-cli [global options] COMMAND [arguments]\n"
           "\n"
           "Commands:\n"
           "  detect              find the dongle, load its firmware when needed, name the client "
           "board\n"
           "\n"
           "Global options:\n" +
           session::SessionOptionsHelp() +
           "  --help              this text\n"
           "  --version           the program's version\n"
           "\n"
           "\n" +
           session::SimFaultHelp() +
           "\n"
           "Exit status: 0 success, 1 internal error, 2 usage, 3 no dongle, 4 dongle or firmware\n"
           "error, 5 file error, 6 no chip type, 7 board busy, 8 no known client board, 9 ID\n"
           "check, 10 erase, 11 blank check, 12 programming, 13 verify.\n";
}

}  // namespace qdm::cli
