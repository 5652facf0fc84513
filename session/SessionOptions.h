#pragma once
// The options both programs take to pick their dongle: the virtual one or the hardware, a USB
// trace, another firmware file, the virtual dongle's faults, timing and flash dump, and the
// diagnostic log; and where their runs are logged. Each is defined here once, for both command
// lines.

#include <cstdint>
#include <exception>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace CLI {
class App;
}

namespace qdm::session {

struct SessionOptions {
    std::optional<std::string> simulate;   // boards of the virtual dongles, separated by commas
    std::optional<std::string> device;     // the dongle's ID: only it is used
    std::optional<std::string> trace;      // pcap file for every USB transfer
    std::optional<std::string> firmware;   // firmware file instead of the one next to the program
    std::optional<std::string> simDump;    // folder for the virtual dongle's flash at the end
    std::vector<std::string> simFaults;    // faults of the virtual dongle
    std::optional<std::string> simFill;    // what the virtual flash holds at the start: BYTE|random
    bool simPreloaded = false;             // the virtual dongle's writer firmware already runs
    std::optional<std::string> simTiming;  // timing profile of the virtual dongles (zero if none)
    bool verbose = false;                  // -v, --verbose: the diagnostic log
    // Set by a front end, not by an option: the trace a field report takes, its bulk data cut to
    // the command bytes (no image) unless `reportTraceWhole`.
    std::optional<std::string> reportTrace;
    bool reportTraceWhole = false;
};

// Adds --simulate, --device, --trace, --firmware, --sim-dump, --sim-fault, --sim-fill,
// --sim-preloaded, --sim-timing and -v to a command line, bound to `options`, which must outlive
// the parsing.
void AddSessionOptions(CLI::App& app, SessionOptions& options);

// Adds --log FILE and --no-log, which exclude each other.
void AddRunLogOptions(CLI::App& app, std::optional<std::string>& log, bool& noLog,
                      const std::string& runs);

// The byte of --sim-fill BYTE (0-255, or 0x00-0xFF); nullopt for "random". Only for a value
// CheckSessionOptions took.
std::optional<std::uint8_t> SimFillByte(const std::string& fill);

// The checks that need all options: nullopt when they fit together, else the reason. `oneRun`: the
// process makes at most one run (the command line), so no fault may count past one.
std::optional<std::string> CheckSessionOptions(const SessionOptions& options, bool oneRun);

// The boards --simulate names, in the order of their virtual dongles' IDs sim:1, sim:2, ...
std::vector<std::string> SimulatedBoards(const SessionOptions& options);

// The virtual dongles a session makes: every one --simulate names, or with --device sim:N only
// N. A --device that names none of them finds them all, and says so.
std::vector<unsigned> SimulatedNumbers(const SessionOptions& options);

// Where --sim-dump puts virtual dongle N's files: the folder itself, or its sim-N subfolder when
// --simulate names several dongles (also in a process that makes only one of them).
std::filesystem::path SimDumpFolder(const SessionOptions& options, unsigned number);

// The number N of the ID "sim:N"; nothing for any other text.
std::optional<unsigned> SimulatedNumber(std::string_view id);

// The faults of virtual dongle N: those that name it ("sim:N=FAULT", as FAULT) and those that
// name none, which every virtual dongle gets.
std::vector<std::string> FaultsOf(const SessionOptions& options, unsigned number);

// The option lines of a help text: each option with its value name, then its description, whose
// further lines are indented to the same column.
std::string OptionHelpLines(const CLI::App& app);

// A parse failure in our words: a missing value, an option given twice, a value its check
// refused. `app` is the innermost command the parsing reached; its options and those of the
// commands around it are searched for the value's name.
std::string ParseErrorText(const CLI::App& app, const std::exception& error);

}  // namespace qdm::session
