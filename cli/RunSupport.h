#pragma once
// What the commands that run a workflow on the dongle share: the run log that must be writable
// before a run starts, the run on the terminal with its record appended to the log, and the
// exit status and error line of how it ended.

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "session/ProcessFiles.h"
#include "workflows/DownloadWorkflow.h"
#include "workflows/OperatorPanel.h"
#include "workflows/RunOutcome.h"

namespace qdm::session {
class Session;
}

namespace qdm::cli {

class Context;
class Output;

// The run log file the options name, or the one in the data folder.
std::filesystem::path RunLogPath(const Context& context);

// kExitSuccess when the run log can be written (or is not wanted); else reported, kExitFile: a
// production line must not lose the trace of a run, so such a run does not start.
int CheckRunLog(Context& context);

// Before anything is opened for writing: no output of the run (trace, run log, --sim-dump files,
// the command's own `files.outputs`) may be an input (the firmware file, `files.inputs`) or
// another output. kExitSuccess, or reported and kExitFile.
int CheckRunFiles(Context& context, session::ProcessFiles files);

// CheckRunFiles with the ROM file among the inputs, which is then read whole into `bytes` at
// once: one a run cannot read (a FIFO, a device, a folder, too large) is said before the dongle
// is touched.
int CheckRunFiles(Context& context, const std::string& rom, std::vector<std::uint8_t>& bytes);

// What a download of `rom` checks before the dongle is touched: its files, the run log, then the
// image's warnings said. kExitSuccess when the run may start, else reported.
int CheckDownloadInputs(Context& context, const std::string& rom, std::optional<int> chip,
                        const DownloadOptions& options);

// A --sim-dump that could not be written: on stderr and among the warnings; a run that succeeded
// otherwise ends with a file error. `code` otherwise.
int AfterDump(Output& output, const std::string& dumpError, int code);

// Runs `workflow` on the terminal (and as JSON lines with --progress=jsonl) with the run
// recorded under `operation`, logs it with the dongle's ID and puts its record into the result.
// `file` answers the ROM file dialog, `chipType` preselects the combo box. `dumpError` says why
// the virtual dongles could not be written where --sim-dump names (for AfterDump).
RunOutcome RecordedRun(Context& context, session::Session& session, const std::string& operation,
                       std::optional<std::string> file, int chipType, std::string& dumpError,
                       const std::function<RunOutcome(OperatorPanel&)>& workflow);

// The exit status of a run, after the exit-code table; a failure also as the error line.
// `firmwareProblem`: what is wrong with the dongle firmware file, when something is.
int Reported(Output& output, const RunOutcome& outcome, const std::string& firmwareProblem = {});

}  // namespace qdm::cli
