#pragma once
// The options both programs take to pick their dongle: the virtual one or the hardware, a USB
// trace, another firmware file, the virtual dongle's faults and flash dump, and the diagnostic
// log.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qdm::session {

struct SessionOptions {
    std::optional<std::string> simulate;  // board of the virtual dongle
    std::optional<std::string> trace;     // pcap file for every USB transfer
    std::optional<std::string> firmware;  // firmware file instead of the one next to the program
    std::optional<std::string> simDump;   // folder for the virtual dongle's flash at the end
    std::vector<std::string> simFaults;   // faults of the virtual dongle
    bool verbose = false;                 // -v, --verbose: the diagnostic log
};

enum class OptionTake {
    NotOurs,  // args[i] is none of the session options
    Taken,    // taken, with its value; `i` is at the last argument used
    Error,    // one of ours but unusable (a missing value); `error` says why
};

// Whether `arg` is the option `name`, alone or as "--name=VALUE".
bool IsOption(const std::string& arg, std::string_view name);

// The value of the option `name` at args[i]: behind its "=", or the next argument (then `i` moves
// to it). False, with `error`, when there is none.
bool TakeOptionValue(const std::vector<std::string>& args, std::size_t& i, std::string_view name,
                     std::optional<std::string>& value, std::string& error);

// Takes the session option at args[i] ("--name VALUE" or "--name=VALUE").
OptionTake TakeSessionOption(const std::vector<std::string>& args, std::size_t& i,
                             SessionOptions& options, std::string& error);

// The checks that need all options: nullopt when they fit together, else the reason.
std::optional<std::string> CheckSessionOptions(const SessionOptions& options);

// Help lines for the options, indented for a "Global options:" list.
std::string SessionOptionsHelp();

}  // namespace qdm::session
