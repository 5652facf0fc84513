#include <optional>
#include <ostream>
#include <string>

#include "cli/CommandSupport.h"
#include "cli/Commands.h"
#include "cli/Context.h"
#include "cli/ExitCodes.h"
#include "cli/Files.h"
#include "cli/TerminalPanel.h"
#include "protocol/HostHooks.h"
#include "session/Session.h"
#include "state/Mainprocess.h"
#include "workflows/DemoboardReset.h"
#include "workflows/DownloadWorkflow.h"
#include "workflows/McuRomFlashWorkflow.h"
#include "workflows/RunLog.h"
#include "workflows/boards/ClientBoard.h"

namespace qdm::cli {

namespace {

// The pump of the board operations redraws the terminal's progress bar.
class PumpToPanel {
  public:
    explicit PumpToPanel(TerminalPanel& panel) {
        SetPumpHook([&panel] { panel.ProcessMessages(); });
    }
    PumpToPanel(const PumpToPanel&) = delete;
    PumpToPanel& operator=(const PumpToPanel&) = delete;
    ~PumpToPanel() { SetPumpHook(nullptr); }
};

bool IsFileArgument(const std::string& arg) {
    return !arg.empty() && arg[0] != '-';
}

// Runs a workflow on the terminal with the run recorded, logs it, and reports it.
template <class Workflow>
int RecordedRun(Context& context, Session& session, const std::string& operation,
                std::optional<std::string> file, int chipType, Workflow workflow) {
    Output& output = context.Out();
    session.PrepareForRun(output.Human());
    TerminalPanel panel(output.Human(), output.HumanIsTerminal(), std::move(file), chipType);
    RunRecorder recorder(panel, "qdm-writer-cli", operation);
    if (const auto& board = context.Options().session.simulate) recorder.SetSimulated(*board);
    RunOutcome outcome;
    {
        PumpToPanel pump(panel);
        outcome = workflow(recorder);
    }
    const RunRecord record = recorder.Finish(outcome);
    session.AfterRun(output.Human());

    const std::string line = RunRecordJson(record);
    auto& result = output.Result();
    result["run"] = nlohmann::ordered_json::parse(line);
    result["log"] = nullptr;
    if (!context.Options().noLog) {
        const std::filesystem::path log = context.Options().log
                                              ? std::filesystem::path(*context.Options().log)
                                              : DefaultRunLogPath();
        std::string error;
        if (AppendRunLogLine(log, line, &error)) {
            result["log"] = log.string();
        } else {
            // The chip is programmed all the same; only its trace is missing.
            output.Warn("the run was not logged: " + error);
        }
    }
    const int code = ExitCodeFor(outcome.result);
    if (code != kExitSuccess)
        output.Error(outcome.message.empty() ? "the run failed" : outcome.message);
    return code;
}

}  // namespace

int RunDownloadCommand(Context& context, const Arguments& arguments) {
    Output& output = context.Out();
    std::optional<std::string> file;
    int chipType = 0;
    DownloadOptions options;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& arg = arguments[i];
        if (arg == "--fast") {
            options.fast = true;
        } else if (arg == "--chip" && i + 1 < arguments.size()) {
            const auto index = ChipTypeIndex(arguments[++i]);
            if (!index) {
                output.Error("unknown chip type " + arguments[i]);
                return kExitUsage;
            }
            chipType = *index;
        } else if (arg == "--agent") {
            if (!TakeAgent(output, arguments, i, options.agent)) return kExitUsage;
        } else if (!file && IsFileArgument(arg)) {
            file = arg;
        } else {
            output.Error("download: unexpected argument " + arg);
            return kExitUsage;
        }
    }
    if (!file) {
        output.Error("download needs a ROM file");
        return kExitUsage;
    }
    Session* session = context.Dongle();
    if (session == nullptr) return kExitUsage;
    return RecordedRun(context, *session, options.fast ? "fast download" : "download", file,
                       chipType,
                       [&options](OperatorPanel& panel) { return RunDownload(panel, options); });
}

int RunMcuRomCommand(Context& context, const Arguments& arguments) {
    Output& output = context.Out();
    std::optional<std::string> file;
    McuRomOptions options;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& arg = arguments[i];
        if (arg == "--agent") {
            if (!TakeAgent(output, arguments, i, options.agent)) return kExitUsage;
        } else if (!file && IsFileArgument(arg)) {
            file = arg;
        } else {
            output.Error("mcurom: unexpected argument " + arg);
            return kExitUsage;
        }
    }
    if (!file) {
        output.Error("mcurom needs exactly one ROM file");
        return kExitUsage;
    }
    Session* session = context.Dongle();
    if (session == nullptr) return kExitUsage;
    // A file named on the command line is the flow's command-line mode.
    State().ExpgMode = 1;
    State().ExpgFileText = *file + " ";
    return RecordedRun(
        context, *session, "mcurom", std::nullopt, 0,
        [&options](OperatorPanel& panel) { return McuRomFlashWorkflow(panel, options); });
}

int RunResetDemoboard(Context& context, const Arguments& arguments) {
    Output& output = context.Out();
    if (!arguments.empty()) {
        output.Error("reset-demoboard takes no arguments");
        return kExitUsage;
    }
    Session* session = context.Dongle();
    if (session == nullptr) return kExitUsage;
    session->PrepareForRun(output.Human());
    const int brought = BringUpWriterDongle(*session, output);
    if (brought != kExitSuccess) return brought;

    TerminalPanel panel(output.Human(), output.HumanIsTerminal(), std::nullopt, 0);
    Btn_DBRstClick(panel);
    session->AfterRun(output.Human());
    auto& result = output.Result();
    result["status"] = panel.LastStatus();
    const auto board = boards::MakeClientBoard(State().ClientBoardKind);
    if (!board) {
        output.Error("no known client board");
        return kExitNoBoard;
    }
    if (!board->Held()) {
        // The window's button leaves a writer board alone without a word; a script asked for a
        // reset that did not happen.
        output.Error("the client board is a writer board, not the demoboard; nothing was done");
        return kExitNoBoard;
    }
    return kExitSuccess;
}

}  // namespace qdm::cli
