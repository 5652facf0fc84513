#pragma once
// The commands of qdm-writer-cli.

#include <iosfwd>
#include <string>
#include <vector>

namespace qdm::cli {

class Session;

// Presence and identifiers, hardware version, firmware download when needed, identity, client
// board. 0 only when a writer dongle with a known board answered.
int RunDetect(Session& session, const std::vector<std::string>& arguments, std::ostream& out);

}  // namespace qdm::cli
