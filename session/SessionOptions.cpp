#include "session/SessionOptions.h"

#include <string_view>

namespace qdm::session {

bool IsOption(const std::string& arg, std::string_view name) {
    return arg == name || arg.rfind(std::string(name) + "=", 0) == 0;
}

bool TakeOptionValue(const std::vector<std::string>& args, std::size_t& i, std::string_view name,
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

OptionTake TakeSessionOption(const std::vector<std::string>& args, std::size_t& i,
                             SessionOptions& options, std::string& error) {
    const std::string& arg = args[i];
    bool ok = true;
    if (IsOption(arg, "--simulate")) {
        ok = TakeOptionValue(args, i, "--simulate", options.simulate, error);
    } else if (IsOption(arg, "--trace")) {
        ok = TakeOptionValue(args, i, "--trace", options.trace, error);
    } else if (IsOption(arg, "--firmware")) {
        ok = TakeOptionValue(args, i, "--firmware", options.firmware, error);
    } else if (IsOption(arg, "--sim-dump")) {
        ok = TakeOptionValue(args, i, "--sim-dump", options.simDump, error);
    } else if (arg == "-v" || arg == "--verbose") {
        options.verbose = true;
    } else if (IsOption(arg, "--sim-fault")) {
        std::optional<std::string> fault;
        ok = TakeOptionValue(args, i, "--sim-fault", fault, error);
        if (ok) options.simFaults.push_back(*fault);
    } else {
        return OptionTake::NotOurs;
    }
    return ok ? OptionTake::Taken : OptionTake::Error;
}

std::optional<std::string> CheckSessionOptions(const SessionOptions& options) {
    if (!options.simulate && (options.simDump || !options.simFaults.empty()))
        return "--sim-dump and --sim-fault need --simulate";
    return std::nullopt;
}

std::string SessionOptionsHelp() {
    return "  --simulate BOARD    use the built-in virtual dongle instead of USB hardware;\n"
           "                      BOARD is k3r8, k3r1, demoboard or mcurom\n"
           "  --trace FILE.pcap   record every USB transfer (usbmon pcap, for Wireshark/tshark)\n"
           "  --firmware FILE     dongle firmware file (default: DWTB.TBH beside the program, in\n"
           "                      the user's data folder, or in the package's data folder)\n"
           "  --sim-dump DIR      when done, write the virtual dongle's flash into DIR\n"
           "                      (chip1.bin .. chip4.bin, flash.bin or mcurom.bin)\n"
           "  --sim-fault FAULT   inject a fault into the virtual dongle (see below)\n"
           "  -v, --verbose       diagnostic log: every transaction, USB and system errors by\n"
           "                      name, the firmware steps (the command-line tool writes it to\n"
           "                      stderr, the window to diagnostics.log in the run log's folder)\n";
}

}  // namespace qdm::session
