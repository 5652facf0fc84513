#include "cli/Options.h"

#include <string_view>

#include "cli/SimFaults.h"

namespace qdm::cli {

namespace {
bool TakeValue(const std::vector<std::string>& args, std::size_t& i, std::string_view name,
               std::optional<std::string>& value, std::string& error) {
    const std::string& arg = args[i];
    const std::string prefix = std::string(name) + "=";
    if (arg.rfind(prefix, 0) == 0) {
        value = arg.substr(prefix.size());
        return true;
    }
    if (i + 1 >= args.size()) {
        error = std::string(name) + " needs a value";
        return false;
    }
    value = args[++i];
    return true;
}

bool IsOption(const std::string& arg, std::string_view name) {
    return arg == name || arg.rfind(std::string(name) + "=", 0) == 0;
}
}  // namespace

std::optional<CommandLine> ParseCommandLine(const std::vector<std::string>& args,
                                            std::string& error) {
    CommandLine line;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        bool ok = true;
        if (IsOption(arg, "--simulate")) {
            ok = TakeValue(args, i, "--simulate", line.global.simulate, error);
        } else if (IsOption(arg, "--trace")) {
            ok = TakeValue(args, i, "--trace", line.global.trace, error);
        } else if (IsOption(arg, "--firmware")) {
            ok = TakeValue(args, i, "--firmware", line.global.firmware, error);
        } else if (IsOption(arg, "--sim-dump")) {
            ok = TakeValue(args, i, "--sim-dump", line.global.simDump, error);
        } else if (IsOption(arg, "--sim-fault")) {
            std::optional<std::string> fault;
            ok = TakeValue(args, i, "--sim-fault", fault, error);
            if (ok) line.global.simFaults.push_back(*fault);
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
    if (!line.global.simulate && (line.global.simDump || !line.global.simFaults.empty())) {
        error = "--sim-dump and --sim-fault need --simulate";
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
           "Global options:\n"
           "  --simulate BOARD    use the built-in virtual dongle instead of USB hardware;\n"
           "                      BOARD is k3r8, k3r1, demoboard or mcurom\n"
           "  --trace FILE.pcap   record every USB transfer (usbmon pcap, for Wireshark/tshark)\n"
           "  --firmware FILE     dongle firmware file (default: DWTB.TBH next to the program)\n"
           "  --sim-dump DIR      after the run, write the virtual dongle's flash into DIR\n"
           "                      (chip1.bin .. chip4.bin, flash.bin or mcurom.bin)\n"
           "  --sim-fault SPEC    inject a fault into the virtual dongle (see below)\n"
           "  --help              this text\n"
           "  --version           the program's version\n"
           "\n"
           "\n" +
           SimFaultHelp() +
           "\n"
           "Exit status: 0 success, 1 internal error, 2 usage, 3 no dongle, 4 dongle or firmware\n"
           "error, 5 file error, 6 no chip type, 7 board busy, 8 no known client board, 9 ID\n"
           "check, 10 erase, 11 blank check, 12 programming, 13 verify, 14 a dongle is attached\n"
           "but cannot be opened (permission or busy; the message says what to do).\n";
}

}  // namespace qdm::cli
