#pragma once
// What a dongle tells about itself without being changed: whether it opens, its USB identifiers,
// its hardware version, which firmware runs on it and, under the writer firmware, its client
// board. No firmware is downloaded and nothing reaches a flash chip, so any dongle may be asked,
// as often as wanted, in the middle of a production line.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "protocol/Usbfunctions.h"

namespace qdm {

enum class DongleFirmware {
    Unknown,  // no answer, or not a writer dongle's identifiers
    Boot,     // only the hardware version answers: the writer firmware is not loaded yet
    Writer,   // the writer firmware answers its identity
    McuRom,   // the MCU-ROM firmware answers its acknowledge
};

// "boot", "writer", "MCU-ROM", "unknown".
std::string_view DongleFirmwareName(DongleFirmware firmware);

struct DongleProbe {
    DongleAccessProblem access = DongleAccessProblem::NoDongle;  // None: it opened
    std::string vid;                                             // "0x04B4"
    std::string pid;
    bool writerIds = false;  // the writer dongle's identifiers, so it was asked further
    std::optional<std::array<std::uint8_t, 4>> hardwareVersion;
    DongleFirmware firmware = DongleFirmware::Unknown;
    // Under the writer firmware: the board kind DetectClientBoard reports and its name.
    std::optional<std::uint8_t> boardKind;
    std::string board;
};

// Asks device 0, with the exchanges the download itself starts with: presence and identifiers,
// the identity query, the hardware version, the board detection under the writer firmware, and
// otherwise the MCU-ROM firmware's acknowledge (which the boot firmware does not answer). A dongle
// with foreign identifiers gets no command list. On hardware a dongle that is not under the
// writer firmware costs a transfer wait or two.
DongleProbe ProbeDongle();

}  // namespace qdm
