#pragma once
// Faults of the virtual dongle named on the command line (--sim-fault FAULT).

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sim/VirtualDongle.h"

namespace qdm::session {

// Whether FAULT can be injected into the virtual dongle of `board` (as --simulate names it) and
// can ever happen: nullopt when it can, else why, with the form it takes, the boards it affects or
// how far the board reaches (no command list past the longest run when the process makes
// `oneRun`, no reply byte past the longest reply, no address past the chip).
std::optional<std::string> CheckSimFault(std::string_view fault, std::string_view board,
                                         bool oneRun);

// The faults that must be known before the dongle is built: "foreign" and "absent".
void ApplyConfigFaults(const std::vector<std::string>& faults, sim::DongleConfig& config);

// Applies every other fault to the dongle. False (with `error` saying which) for a fault it does
// not understand; CheckSimFault tells why beforehand.
bool ApplySimFaults(const std::vector<std::string>& faults, sim::VirtualDongle& dongle,
                    std::string& error);

// The --help text that lists them.
std::string SimFaultHelp();

}  // namespace qdm::session
