#pragma once
// What several commands share: hexadecimal texts, the dongles a command that looks at all of them
// asks, and the --agent and --chip options.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "usb/UsbDriver.h"

namespace CLI {
class App;
}

namespace qdm::session {
class Session;
}

namespace qdm::cli {

class Context;

// "0x" and `value` in at least `digits` upper-case hexadecimal digits.
std::string HexValue(std::uint32_t value, int digits);

// The bytes as upper-case hexadecimal pairs, separated by blanks.
std::string HexBytes(std::span<const std::uint8_t> bytes);

// "0x04B4" as "04B4".
std::string BareHex(const std::string& value);

// The dongles attached now, or with --device that one alone: what list and doctor ask.
std::vector<usb::DeviceLocation> DonglesToAsk(const Context& context, session::Session& session);

// --agent NAME: an agent's name (any case) or its index 0-9, taken as the agent's index.
void AddAgentOption(CLI::App& app, std::optional<std::int32_t>& agent,
                    const std::string& description);

// --chip NAME: a chip type's name (any case), taken as its row of the chip table.
void AddChipOption(CLI::App& app, std::optional<int>& chip, const std::string& description);

}  // namespace qdm::cli
