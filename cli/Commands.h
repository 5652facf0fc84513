#pragma once
// The commands of qdm-writer-cli.

#include <iosfwd>
#include <string>
#include <vector>

namespace qdm::session {
class Session;
}

namespace qdm::cli {

using session::Session;

// Presence and identifiers, hardware version, firmware download when needed, identity, client
// board. 0 only when a writer dongle with a known board answered.
int RunDetect(Session& session, const std::vector<std::string>& arguments, std::ostream& out);

// download ROMFILE [--chip NAME] [--fast]: the whole programming cycle on the client board.
int RunDownloadCommand(Session& session, const std::vector<std::string>& arguments,
                       std::ostream& out);

// mcurom ROMFILE: the MCU-ROM flash flow with the file from the command line.
int RunMcuRomCommand(Session& session, const std::vector<std::string>& arguments,
                     std::ostream& out);

}  // namespace qdm::cli
