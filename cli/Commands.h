#pragma once
// The commands of qdm-writer-cli. Each returns its exit status (cli/ExitCodes.h) and puts its
// facts into the context's result object.

#include <string>
#include <vector>

namespace qdm::session {
class Session;
}

namespace qdm::cli {

using session::Session;

class Context;
class Output;

using Arguments = std::vector<std::string>;

// Presence and identifiers, hardware version, firmware download when needed, identity, client
// board. 0 only when a writer dongle with a known board answered.
int RunDetect(Context& context, const Arguments& arguments);

// download ROMFILE [--chip NAME] [--fast] [--agent NAME]: the whole programming cycle on the
// client board, appended to the run log.
int RunDownloadCommand(Context& context, const Arguments& arguments);

// mcurom ROMFILE [--agent NAME]: the MCU-ROM flash flow with the file from the command line,
// appended to the run log.
int RunMcuRomCommand(Context& context, const Arguments& arguments);

// reset-demoboard: the "Demoboard Reset" button, with the writer firmware loaded first.
int RunResetDemoboard(Context& context, const Arguments& arguments);

// rom info ROMFILE [--agent NAME]
int RunRomInfo(Context& context, const Arguments& arguments);

// rom pack PLAIN OUT --agent NAME [--container --chip NAME [--range]] [--raw]
int RunRomPack(Context& context, const Arguments& arguments);

// firmware decode DWTB.TBH OUT.hex / firmware encode IN.hex OUT.TBH
int RunFirmwareDecode(Context& context, const Arguments& arguments);
int RunFirmwareEncode(Context& context, const Arguments& arguments);

// What detect does up to the identity of the writer firmware, for the commands that need the
// writer firmware running. kExitSuccess when it is.
int BringUpWriterDongle(Session& session, Output& output);

}  // namespace qdm::cli
