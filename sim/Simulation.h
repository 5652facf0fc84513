#pragma once
// A ready-made simulation: a virtual driver with one plugged virtual dongle, by board name.

#include <memory>
#include <optional>
#include <string_view>

#include "sim/VirtualDongle.h"
#include "sim/VirtualDriver.h"

namespace qdm::sim {

struct Simulation {
    std::shared_ptr<VirtualDriver> driver;
    std::shared_ptr<VirtualDongle> dongle;
};

// The dongle configuration for a board name: "k3r8", "k3r1", "demoboard" (writer dongles with
// that board) or "mcurom" (an MCU-ROM dongle). Nullopt for any other name.
std::optional<DongleConfig> ConfigForBoard(std::string_view board);

// A driver with one dongle attached, on `clock` (a virtual one unless given); nullopt for an
// unknown board name.
std::optional<Simulation> MakeSimulation(std::string_view board);
Simulation MakeSimulation(DongleConfig config, std::shared_ptr<Clock> clock = nullptr);

// Fills every flash chip of the dongle (the client board's, or the MCU-ROM) with `byte`, or with
// random bytes when there is none: a chip that was used before, where an erase that did not
// happen shows.
void FillFlash(VirtualDongle& dongle, std::optional<std::uint8_t> byte);

// Loads the stand-in writer firmware through the firmware-load request and starts it, as an
// earlier run would have left a real dongle. The control log forgets the load. An MCU-ROM dongle
// takes no load.
void PreloadWriterFirmware(VirtualDongle& dongle);

}  // namespace qdm::sim
