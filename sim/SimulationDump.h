#pragma once
// Writes what a virtual dongle holds into a folder, for looking at a simulated run afterwards:
// ram.bin (64 KiB); chip1.bin .. chip4.bin (K3.r8) or flash.bin (K3.r1, demoboard) or
// mcurom.bin (MCU-ROM dongle); exchanges.txt and controls.txt, one line per list or request.

#include <filesystem>

#include "sim/VirtualDongle.h"

namespace qdm::sim {

// Creates the folder when needed. True when every file was written.
bool WriteDongleDump(VirtualDongle& dongle, const std::filesystem::path& folder);

}  // namespace qdm::sim
