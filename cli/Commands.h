#pragma once
// The commands of qdm-writer-cli. Each Add function puts its commands onto the command line
// (cli/Options.h); a command returns its exit status (cli/ExitCodes.h) and puts its facts into
// the context's result object.

#include <array>
#include <cstdint>

namespace qdm::session {
class Session;
}

namespace qdm::cli {

using session::Session;

class CommandSet;
class Context;
class Output;

// detect: presence and identifiers, hardware version, firmware download when needed,
// identity, client board.
void AddDetectCommand(CommandSet& commands);
// download ROMFILE, mcurom ROMFILE, reset-demoboard.
void AddRunCommands(CommandSet& commands);
// rom info ROMFILE, rom pack PLAIN OUT.
void AddRomCommands(CommandSet& commands);
// firmware decode DWTB.TBH OUT.hex, firmware encode IN.hex OUT.TBH.
void AddFirmwareCommands(CommandSet& commands);
// chips: the chip table.
void AddChipsCommand(CommandSet& commands);
// verify ROMFILE, read OUT, blank-check, erase --yes.
void AddQaCommands(CommandSet& commands);
// list [--probe]: the dongles attached and their IDs.
void AddListCommand(CommandSet& commands);
// gang ROMFILE: a download on every dongle at once.
void AddGangCommand(CommandSet& commands);
// doctor [--load-firmware]: what stands in the way of a working dongle, and what to do.
void AddDoctorCommand(CommandSet& commands);

// detect itself: 0 only when a writer dongle with a known board answered.
int RunDetect(Context& context);

// Presence, access and identifiers of the dongle, reported; kExitSuccess for a dongle with the
// writer dongle's identifiers, else the exit status of what is wrong.
int FindDongle(Output& output);

// What detect does up to the identity of the writer firmware, for the commands that need the
// writer firmware running. kExitSuccess when it is.
int BringUpWriterDongle(Session& session, Output& output);

// Whether a hardware version is the one the writer firmware is made for: 05 01 xx 00.
bool IsWriterHardware(const std::array<std::uint8_t, 4>& version);

// Whether the dongle can be an MCU-ROM dongle: kExitDongle, reported, for a writer dongle (one
// that answers as such, at the latest once given the writer firmware).
int CheckMcuRomDongle(Session& session, Output& output);

}  // namespace qdm::cli
