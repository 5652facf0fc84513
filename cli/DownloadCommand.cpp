#include <CLI/CLI.hpp>
#include <memory>
#include <optional>
#include <ostream>
#include <string>

#include "cli/CommandSupport.h"
#include "cli/Commands.h"
#include "cli/Context.h"
#include "cli/ExitCodes.h"
#include "cli/Files.h"
#include "cli/Options.h"
#include "cli/Report.h"
#include "cli/RunSupport.h"
#include "cli/TerminalPanel.h"
#include "session/Session.h"
#include "state/Mainprocess.h"
#include "workflows/DemoboardReset.h"
#include "workflows/DownloadWorkflow.h"
#include "workflows/McuRomFlashWorkflow.h"
#include "workflows/RomImage.h"
#include "workflows/boards/ClientBoard.h"

namespace qdm::cli {

namespace {

struct DownloadArguments {
    std::string file;
    std::optional<int> chip;
    DownloadOptions options;
    ReportOptions report;
};

int RunDownloadCommand(Context& context, const DownloadArguments& arguments) {
    Output& output = context.Out();
    if (arguments.file.empty()) {
        output.Error("download needs a ROM file");
        return kExitUsage;
    }
    if (const int checked =
            CheckDownloadInputs(context, arguments.file, arguments.chip, arguments.options);
        checked != kExitSuccess)
        return checked;
    Session* session = context.Dongle(DongleUse::Writes);
    if (session == nullptr) return context.DongleFailure();
    // A dongle whose writer firmware runs needs no file: a problem with it is a warning first.
    std::string firmwareProblem;
    if (!session->PrepareForRun(firmwareProblem)) output.Warn(firmwareProblem);
    const DownloadOptions& options = arguments.options;
    std::string dumpError;
    const RunOutcome outcome =
        RecordedRun(context, *session, options.fast ? "fast download" : "download", arguments.file,
                    arguments.chip.value_or(0), dumpError,
                    [&options](OperatorPanel& panel) { return RunDownload(panel, options); });
    const int code = AfterDump(output, dumpError, Reported(output, outcome, firmwareProblem));
    // The window's texts blame the MCU-ROM flow; the reason is the missing writer firmware.
    if (options.fast && code != kExitSuccess && outcome.details.board == kMcuRomBoard) {
        output.Warn(std::string("the dongle's writer firmware is not running, and --fast does "
                                "not load it: run download once without --fast (or detect), "
                                "then --fast") +
                    (context.Options().session.simulate
                         ? "; --sim-preloaded starts the virtual dongle with it running"
                         : ""));
    }
    return code;
}

struct McuRomArguments {
    std::string file;
    McuRomOptions options;
};

int RunMcuRomCommand(Context& context, const McuRomArguments& arguments) {
    Output& output = context.Out();
    if (arguments.file.empty()) {
        output.Error("mcurom needs exactly one ROM file");
        return kExitUsage;
    }
    std::vector<std::uint8_t> bytes;
    if (const int files = CheckRunFiles(context, arguments.file, bytes); files != kExitSuccess)
        return files;
    if (const int log = CheckRunLog(context); log != kExitSuccess) return log;
    Session* session = context.Dongle(DongleUse::Writes);
    if (session == nullptr) return context.DongleFailure();
    if (const int checked = CheckMcuRomDongle(*session, output); checked != kExitSuccess)
        return checked;
    // A file named on the command line is the flow's command-line mode.
    State().ExpgMode = 1;
    State().ExpgFileText = arguments.file + " ";
    const McuRomOptions& options = arguments.options;
    std::string dumpError;
    const RunOutcome outcome = RecordedRun(
        context, *session, "mcurom", std::nullopt, 0, dumpError,
        [&options](OperatorPanel& panel) { return McuRomFlashWorkflow(panel, options); });
    return AfterDump(output, dumpError, Reported(output, outcome));
}

int RunResetDemoboard(Context& context) {
    Output& output = context.Out();
    Session* session = context.Dongle();
    if (session == nullptr) return context.DongleFailure();
    const int brought = BringUpWriterDongle(*session, output);
    if (brought != kExitSuccess) return brought;

    TerminalPanel panel(output.Human(), output.HumanIsTerminal(), std::nullopt, 0);
    Btn_DBRstClick(panel);
    std::string dumpError;
    session->AfterRun(output.Human(), dumpError);
    auto& result = output.Result();
    result["status"] = panel.LastStatus();
    const auto board = boards::MakeClientBoard(State().ClientBoardKind);
    if (!board) {
        output.Error("no known client board");
        return AfterDump(output, dumpError, kExitNoBoard);
    }
    if (!board->Held()) {
        // The window's button leaves a writer board alone without a word; a script asked for a
        // reset that did not happen.
        output.Error("the client board is a writer board, not the demoboard; nothing was done");
        return AfterDump(output, dumpError, kExitNoBoard);
    }
    return AfterDump(output, dumpError, kExitSuccess);
}

constexpr const char* kRunLogNote =
    "The run is appended to the run log unless --no-log is given.\n";

}  // namespace

void AddRunCommands(CommandSet& commands) {
    auto download = std::make_shared<DownloadArguments>();
    CLI::App& app = commands.Add(
        {"download", "ROMFILE", "ROMFILE [--chip NAME] [--fast] [--agent NAME]",
         "program the client board (--chip, --fast, --agent)",
         "The whole programming cycle of the window's \"D O W N L O A D\" button on the client\n"
         "board: firmware download when needed, board detection, image preparation, erase,\n"
         "blank check, programming, option pages, data and option verify. A dongle that does not\n"
         "answer as a writer dongle gets the MCU-ROM flow instead. Each status line is printed as\n"
         "it changes; a progress bar runs during the long stages when the output is a terminal.\n",
         kRunLogNote},
        [download](Context& context) {
            return WithReport(
                context, download->report, "download",
                [download](Context& inner) { return RunDownloadCommand(inner, *download); },
                download->file.empty() ? std::nullopt
                                       : std::optional<std::filesystem::path>(download->file));
        });
    app.add_option("ROMFILE", download->file);
    AddChipOption(app, download->chip,
                  "chip type (AUTO, QL040, QL020, QM005, QM010, QM010C, QM020, QM040,\n"
                  "QM080, QN020, QN040, QN080, Demoboard; `qdm-writer-cli chips` lists\n"
                  "their codes and sizes); a raw image needs one, a container names its own");
    app.add_flag("--fast", download->options.fast,
                 "the shorter \"Fast\" variant: no firmware download, chip code from\n"
                 "header byte 11, only the system option page, no demoboard reset");
    AddAgentOption(app, download->options.agent,
                   "take this agent's key (a name or 0-9) instead of searching for it, for\n"
                   "files the one-byte key test gets wrong (see `rom info`)");
    AddReportOptions(app, download->report);

    auto mcurom = std::make_shared<McuRomArguments>();
    CLI::App& flash = commands.Add(
        {"mcurom", "ROMFILE", "ROMFILE [--agent NAME]",
         "program an MCU-ROM dongle's flash (--agent)",
         "The MCU-ROM flash flow with the file from the command line: erase, blank check,\n"
         "programming and verify of the parallel flash behind an MCU-ROM dongle. The chip size\n"
         "comes from the file's length (32, 64, 128 or 256 KiB, plus 16 for a container).\n",
         kRunLogNote},
        [mcurom](Context& context) { return RunMcuRomCommand(context, *mcurom); });
    flash.add_option("ROMFILE", mcurom->file);
    AddAgentOption(flash, mcurom->options.agent,
                   "take this agent's key instead of searching for it");

    commands.Add({"reset-demoboard", "", "", "release the demoboard",
                  "The window's \"Demoboard Reset\" button: switches the demoboard's interface off "
                  "and\nreleases the board from the hold a download keeps it in. Loads the writer "
                  "firmware\nfirst when needed. Exits 8 when the client board is not the demoboard "
                  "(nothing is\ndone then).\n",
                  ""},
                 &RunResetDemoboard);
}

}  // namespace qdm::cli
