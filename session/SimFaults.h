#pragma once
// Faults of the virtual dongle named on the command line (--sim-fault FAULT).

#include <string>
#include <vector>

#include "sim/VirtualDongle.h"

namespace qdm::session {

// The faults that must be known before the dongle is built: "foreign" and "absent".
void ApplyConfigFaults(const std::vector<std::string>& faults, sim::DongleConfig& config);

// Applies every other fault to the dongle. False (with `error` saying which) for a fault it does
// not understand.
bool ApplySimFaults(const std::vector<std::string>& faults, sim::VirtualDongle& dongle,
                    std::string& error);

// The --help text that lists them.
std::string SimFaultHelp();

}  // namespace qdm::session
