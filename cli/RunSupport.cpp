#include "cli/RunSupport.h"

#include <optional>
#include <utility>

#include "cli/Context.h"
#include "cli/ExitCodes.h"
#include "cli/Files.h"
#include "cli/ImageChecks.h"
#include "cli/ProgressStream.h"
#include "cli/TerminalPanel.h"
#include "protocol/HostHooks.h"
#include "protocol/Usbfunctions.h"
#include "session/Session.h"
#include "state/Mainprocess.h"
#include "workflows/RomImage.h"
#include "workflows/RunLog.h"

namespace qdm::cli {

namespace {

// The pump of the board operations redraws the terminal's progress bar and writes the progress
// lines.
class PumpToPanel {
  public:
    explicit PumpToPanel(OperatorPanel& panel) {
        SetPumpHook([&panel] { panel.ProcessMessages(); });
    }
    PumpToPanel(const PumpToPanel&) = delete;
    PumpToPanel& operator=(const PumpToPanel&) = delete;
    ~PumpToPanel() { SetPumpHook(nullptr); }
};

// Why a run found no writer dongle, which its texts do not tell: none attached (as they say),
// one this user may not open, or a foreign one.
int MissingDongleExit(std::string& message) {
    const DongleAccessProblem problem = LastAccessProblem();
    if (problem == DongleAccessProblem::NoDongle) return kExitNoDongle;
    if (problem == DongleAccessProblem::None) {
        message += " (the dongle, VID " + State().DetectedVID + " PID " + State().DetectedPID +
                   ", is not a writer dongle)";
        return kExitDongle;
    }
    message += " (" + AccessProblemSummary(problem) + "; " + AccessProblemAdvice(problem) + ")";
    return kExitAccess;
}

}  // namespace

std::filesystem::path RunLogPath(const Context& context) {
    const auto& log = context.Options().log;
    return log ? std::filesystem::path(*log) : DefaultRunLogPath();
}

int CheckRunLog(Context& context) {
    if (context.Options().noLog) return kExitSuccess;
    const std::filesystem::path log = RunLogPath(context);
    std::string error;
    if (CheckRunLogWritable(log, &error)) return kExitSuccess;
    context.Out().Error("the run log " + log.string() + " cannot be written (" + error +
                        "); name another with --log FILE or go without one with --no-log");
    return kExitFile;
}

int CheckRunFiles(Context& context, session::ProcessFiles files) {
    const GlobalOptions& options = context.Options();
    files.AddSession(options.session);
    if (!options.noLog) files.outputs.push_back({"the run log", RunLogPath(context)});
    if (const auto clash = session::OutputOverAnInput(files)) {
        context.Out().Error(*clash);
        return kExitFile;
    }
    return kExitSuccess;
}

int CheckRunFiles(Context& context, const std::string& rom, std::vector<std::uint8_t>& bytes) {
    session::ProcessFiles files;
    files.inputs.push_back({"the ROM file", rom});
    if (const int checked = CheckRunFiles(context, std::move(files)); checked != kExitSuccess)
        return checked;
    std::string error;
    if (ReadInputFile(rom, kMaxRomFileLength, bytes, error)) return kExitSuccess;
    context.Out().Error(error);
    return kExitFile;
}

int AfterDump(Output& output, const std::string& dumpError, int code) {
    if (dumpError.empty()) return code;
    output.Warn(dumpError);
    if (code != kExitSuccess) return code;
    output.Result()["message"] = dumpError;
    return kExitFile;
}

int CheckDownloadInputs(Context& context, const std::string& rom, std::optional<int> chip,
                        const DownloadOptions& options) {
    std::vector<std::uint8_t> bytes;
    if (const int files = CheckRunFiles(context, rom, bytes); files != kExitSuccess) return files;
    if (const int log = CheckRunLog(context); log != kExitSuccess) return log;
    for (const std::string& warning : ImageWarnings(rom, std::move(bytes), chip, options))
        context.Out().Warn(warning);
    return kExitSuccess;
}

RunOutcome RecordedRun(Context& context, session::Session& session, const std::string& operation,
                       std::optional<std::string> file, int chipType, std::string& dumpError,
                       const std::function<RunOutcome(OperatorPanel&)>& workflow) {
    Output& output = context.Out();
    TerminalPanel terminal(output.Human(), output.HumanIsTerminal(), std::move(file), chipType);
    std::optional<ProgressStream> lines;
    if (context.Options().progressLines)
        lines.emplace(terminal, output.Lines(), session.DeviceId());
    OperatorPanel* shown = &terminal;
    if (lines) shown = &*lines;
    OperatorPanel& panel = *shown;
    RunRecorder recorder(panel, "qdm-writer-cli", operation);
    recorder.SetSimulated(session.SimulatedBoard());
    recorder.SetDevice(session.DeviceId());
    RunOutcome outcome;
    {
        PumpToPanel pump(panel);
        outcome = workflow(recorder);
    }
    const RunRecord record = recorder.Finish(outcome);
    session.AfterRun(output.Human(), dumpError);

    const std::string line = RunRecordJson(record);
    auto& result = output.Result();
    result["run"] = nlohmann::ordered_json::parse(line);
    result["log"] = nullptr;
    if (!context.Options().noLog) {
        const std::filesystem::path log = RunLogPath(context);
        std::string error;
        if (AppendRunLogLine(log, line, &error)) {
            result["log"] = log.string();
        } else {
            // The chip is programmed all the same; only its trace is missing.
            output.Warn("the run was not logged: " + error);
        }
    }
    return outcome;
}

int Reported(Output& output, const RunOutcome& outcome, const std::string& firmwareProblem) {
    int code = ExitCodeFor(outcome.result);
    std::string message = outcome.message.empty() ? "the run failed" : outcome.message;
    if (outcome.result == RunResult::NoDongle) code = MissingDongleExit(message);
    if (outcome.result == RunResult::FirmwareError && !firmwareProblem.empty()) {
        code = kExitFile;
        message += " (" + firmwareProblem + ")";
    }
    // The window's texts name neither the file nor the command line's way to a chip type.
    const std::string& file = outcome.details.file;
    if (outcome.result == RunResult::FileError && !file.empty() &&
        message.find(file) == std::string::npos)
        message = file + ": " + message;
    if (outcome.result == RunResult::ChipTypeMissing)
        message +=
            " The image names no chip type: give one with --chip NAME (`qdm-writer-cli "
            "chips` lists them).";
    if (code != kExitSuccess) output.Error(message);
    return code;
}

}  // namespace qdm::cli
