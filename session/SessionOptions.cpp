#include "session/SessionOptions.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <charconv>
#include <exception>
#include <string_view>
#include <utility>

#include "session/SimFaults.h"
#include "sim/Simulation.h"

namespace qdm::session {

namespace {
constexpr std::size_t kDescriptionColumn = 22;

std::optional<std::uint8_t> ParseByte(std::string_view text) {
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        text.remove_prefix(2);
        base = 16;
    }
    unsigned value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (text.empty() || ec != std::errc{} || end != text.data() + text.size() || value > 0xFF)
        return std::nullopt;
    return static_cast<std::uint8_t>(value);
}
}  // namespace

std::optional<std::uint8_t> SimFillByte(const std::string& fill) {
    return ParseByte(fill);
}

void AddSessionOptions(CLI::App& app, SessionOptions& options) {
    app.add_option("--simulate", options.simulate,
                   "use the built-in virtual dongle instead of USB hardware;\n"
                   "BOARD is k3r8, k3r1, demoboard or mcurom; several, separated\n"
                   "by commas, plug several dongles, sim:1, sim:2, ...")
        ->type_name("BOARD");
    app.add_option("--device", options.device,
                   "use only the dongle with this ID, as `qdm-writer-cli list`\n"
                   "shows it (usb:1-2.1, the USB port; sim:2); the others are\n"
                   "not touched")
        ->type_name("ID");
    app.add_option("--trace", options.trace,
                   "record every USB transfer (usbmon pcap, for Wireshark/tshark)")
        ->type_name("FILE.pcap");
    app.add_option("--firmware", options.firmware,
                   "dongle firmware file (default: DWTB.TBH beside the program, in\n"
                   "the user's data folder, or in the package's data folder)")
        ->type_name("FILE");
    app.add_option("--sim-dump", options.simDump,
                   "when done, write the virtual dongle into DIR: its flash\n"
                   "(chip1.bin .. chip4.bin, flash.bin or mcurom.bin), its RAM\n"
                   "(ram.bin), and one line per command list (exchanges.txt) and\n"
                   "per control request (controls.txt); the read-back dump files\n"
                   "go there too (a simulated run writes them nowhere else)")
        ->type_name("DIR");
    app.add_option("--sim-fault", options.simFaults,
                   "inject a fault into the virtual dongle (see below); sim:N=FAULT\n"
                   "into virtual dongle N only")
        ->type_name("FAULT");
    app.add_option("--sim-fill", options.simFill,
                   "the virtual flash starts filled with BYTE (0-255 or 0x00-0xFF)\n"
                   "or with random bytes, as a used chip does, so that an erase\n"
                   "that did not happen shows (default: erased, 0xFF)")
        ->type_name("BYTE|random");
    app.add_flag("--sim-preloaded", options.simPreloaded,
                 "the virtual dongle starts with its writer firmware running, as\n"
                 "a real one does after an earlier run (for download --fast)");
    app.add_option("--sim-timing", options.simTiming,
                   "how long the virtual dongle takes: zero (at once, the default),\n"
                   "typical or worst (the flash datasheets' figures, in real time)")
        ->type_name("NAME");
    app.add_flag("-v,--verbose", options.verbose,
                 "diagnostic log: every transaction, USB and system errors by\n"
                 "name, the firmware steps (the command-line tool writes it to\n"
                 "stderr, the window to diagnostics.log in the run log's folder)");
}

void AddRunLogOptions(CLI::App& app, std::optional<std::string>& log, bool& noLog,
                      const std::string& runs) {
    CLI::Option* off = app.add_flag("--no-log", noLog, "do not append " + runs + " to the run log");
    app.add_option("--log", log,
                   "append them to FILE instead of the run log in the user's data\n"
                   "folder ($XDG_DATA_HOME/qdm-writer/runs.jsonl)")
        ->type_name("FILE")
        ->excludes(off);
}

std::vector<std::string> SimulatedBoards(const SessionOptions& options) {
    std::vector<std::string> boards;
    if (!options.simulate) return boards;
    const std::string& list = *options.simulate;
    for (std::size_t at = 0; at <= list.size();) {
        const std::size_t end = std::min(list.find(',', at), list.size());
        boards.push_back(list.substr(at, end - at));
        at = end + 1;
    }
    return boards;
}

std::optional<unsigned> SimulatedNumber(std::string_view id) {
    constexpr std::string_view kPrefix = "sim:";
    if (id.substr(0, kPrefix.size()) != kPrefix) return std::nullopt;
    id.remove_prefix(kPrefix.size());
    unsigned number = 0;
    const auto [end, ec] = std::from_chars(id.data(), id.data() + id.size(), number);
    if (ec != std::errc{} || end != id.data() + id.size() || number == 0 || id[0] == '0')
        return std::nullopt;
    return number;
}

std::vector<unsigned> SimulatedNumbers(const SessionOptions& options) {
    const auto count = static_cast<unsigned>(SimulatedBoards(options).size());
    const unsigned only = options.device ? SimulatedNumber(*options.device).value_or(0) : 0;
    if (only != 0 && only <= count) return {only};
    std::vector<unsigned> numbers;
    for (unsigned number = 1; number <= count; ++number)
        numbers.push_back(number);
    return numbers;
}

std::filesystem::path SimDumpFolder(const SessionOptions& options, unsigned number) {
    std::filesystem::path folder(options.simDump.value_or(std::string()));
    if (SimulatedBoards(options).size() > 1) folder /= "sim-" + std::to_string(number);
    return folder;
}

namespace {

// "sim:N=FAULT": N and FAULT; a fault without an ID: 0 and itself.
std::pair<unsigned, std::string> Target(const std::string& fault) {
    const std::size_t equals = fault.find('=');
    if (equals == std::string::npos) return {0, fault};
    return {SimulatedNumber(std::string_view(fault).substr(0, equals)).value_or(0),
            fault.substr(equals + 1)};
}

}  // namespace

std::vector<std::string> FaultsOf(const SessionOptions& options, unsigned number) {
    std::vector<std::string> faults;
    for (const std::string& fault : options.simFaults) {
        auto [target, text] = Target(fault);
        if (target == 0 || target == number) faults.push_back(std::move(text));
    }
    return faults;
}

std::optional<std::string> CheckSessionOptions(const SessionOptions& options, bool oneRun) {
    if (!options.simulate && (options.simDump || !options.simFaults.empty() ||
                              options.simPreloaded || options.simTiming || options.simFill))
        return "--sim-dump, --sim-fault, --sim-fill, --sim-preloaded and --sim-timing need "
               "--simulate";
    if (options.device && options.device->empty()) return "--device needs an ID";
    if (options.simFill && *options.simFill != "random" && !ParseByte(*options.simFill))
        return "--sim-fill takes a byte (0-255 or 0x00-0xFF) or random, not " + *options.simFill;
    if (!options.simulate) return std::nullopt;
    if (options.simTiming && !sim::TimingByName(*options.simTiming))
        return "unknown timing '" + *options.simTiming + "' for --sim-timing (use " +
               sim::TimingNames() + ")";
    const std::vector<std::string> boards = SimulatedBoards(options);
    for (const std::string& board : boards)
        if (!sim::ConfigForBoard(board))
            return "unknown board '" + board +
                   "' for --simulate (use k3r8, k3r1, demoboard or mcurom, or several of them "
                   "separated by commas)";
    for (const std::string& fault : options.simFaults) {
        const auto [target, text] = Target(fault);
        if (fault.find('=') != std::string::npos && (target == 0 || target > boards.size()))
            return "--sim-fault " + fault + ": " + fault.substr(0, fault.find('=')) +
                   " is no virtual dongle; --simulate plugs sim:1" +
                   (boards.size() > 1 ? " to sim:" + std::to_string(boards.size()) : "");
        for (unsigned n = 1; n <= boards.size(); ++n)
            if (target == 0 || target == n)
                if (auto why = CheckSimFault(text, boards[n - 1], oneRun)) return why;
    }
    if (options.simPreloaded && std::find(boards.begin(), boards.end(), "mcurom") != boards.end())
        return "--sim-preloaded needs writer dongles (k3r8, k3r1 or demoboard): an MCU-ROM "
               "dongle runs its own firmware";
    return std::nullopt;
}

std::string OptionHelpLines(const CLI::App& app) {
    std::string text;
    for (const CLI::Option* option : app.get_options()) {
        if (option->get_positional() || option->get_description().empty()) continue;
        std::string names;
        for (const std::string& name : option->get_snames())
            names += (names.empty() ? "-" : ", -") + name;
        for (const std::string& name : option->get_lnames())
            names += (names.empty() ? "--" : ", --") + name;
        if (!option->get_type_name().empty()) names += " " + option->get_type_name();
        std::string line = "  " + names;
        line += line.size() + 2 <= kDescriptionColumn
                    ? std::string(kDescriptionColumn - line.size(), ' ')
                    : "\n" + std::string(kDescriptionColumn, ' ');
        const std::string& description = option->get_description();
        for (const char c : description) {
            line += c;
            if (c == '\n') line += std::string(kDescriptionColumn, ' ');
        }
        text += line + "\n";
    }
    return text;
}

std::string ParseErrorText(const CLI::App& app, const std::exception& error) {
    std::string text = error.what();
    // CLI11 names the option first: "--chip: 1 required NAME missing".
    const std::size_t colon = text.find(": ");
    if (colon == std::string::npos || text.rfind('-', 0) != 0) return text;
    const std::string name = text.substr(0, colon);
    const std::string rest = text.substr(colon + 2);
    if (rest.find("required") != std::string::npos && rest.find("missing") != std::string::npos) {
        std::string value = "value";
        for (const CLI::App* at = &app; at != nullptr; at = at->get_parent())
            if (const CLI::Option* option = at->get_option_no_throw(name)) {
                value = option->get_type_name();
                break;
            }
        return name + " needs a " + value;
    }
    if (rest.find("At Most") != std::string::npos) return name + " may be given only once";
    return text;
}

}  // namespace qdm::session
