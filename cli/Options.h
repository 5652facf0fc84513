#pragma once
// The command line of qdm-writer-cli: global options, then a command and its arguments.

#include <optional>
#include <string>
#include <vector>

namespace qdm::cli {

struct GlobalOptions {
    std::optional<std::string> simulate;  // board of the virtual dongle
    std::optional<std::string> trace;     // pcap file for every USB transfer
    std::optional<std::string> firmware;  // firmware file instead of the one next to the program
    std::optional<std::string> simDump;   // folder for the virtual dongle's flash after the run
    std::vector<std::string> simFaults;   // faults of the virtual dongle
    bool help = false;
    bool version = false;
};

struct CommandLine {
    GlobalOptions global;
    std::string command;
    std::vector<std::string> arguments;
};

// Parses argv (without the program name). On a usage error returns nullopt and sets `error`.
std::optional<CommandLine> ParseCommandLine(const std::vector<std::string>& args,
                                            std::string& error);

// The text of --help.
std::string UsageText();

}  // namespace qdm::cli
