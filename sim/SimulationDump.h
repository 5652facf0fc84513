#pragma once
// Writes what a virtual dongle holds into a folder, for looking at a simulated run afterwards:
// ram.bin (64 KiB); chip1.bin .. chip4.bin (K3.r8) or flash.bin (K3.r1, demoboard) or
// mcurom.bin (MCU-ROM dongle); exchanges.txt and controls.txt, one line per list or request.

#include <filesystem>
#include <string>
#include <vector>

#include "sim/VirtualDongle.h"

namespace qdm::sim {

// Creates the folder when needed. Each file is written beside its place under a unique name and
// renamed over it, so a link put there is replaced, never written through. True when every file
// was written; otherwise `error` (when given) names the first that was not, and why.
bool WriteDongleDump(VirtualDongle& dongle, const std::filesystem::path& folder,
                     std::string* error = nullptr);

// The names WriteDongleDump may write in its folder, for any dongle.
std::vector<std::string> DongleDumpFileNames();

}  // namespace qdm::sim
