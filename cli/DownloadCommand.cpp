#include <algorithm>
#include <cctype>
#include <optional>
#include <ostream>
#include <string>

#include "app/Mainprocess.h"
#include "cli/Commands.h"
#include "cli/ExitCodes.h"
#include "cli/TerminalPanel.h"
#include "protocol/HostHooks.h"
#include "session/Session.h"
#include "workflows/DownloadWorkflow.h"
#include "workflows/McuRomFlashWorkflow.h"

namespace qdm::cli {

namespace {

int ExitCodeFor(const RunOutcome& outcome) {
    switch (outcome.result) {
        case RunResult::Success:
            return kExitSuccess;
        case RunResult::NoDongle:
            return kExitNoDongle;
        case RunResult::DongleError:
        case RunResult::FirmwareError:
            return kExitDongle;
        case RunResult::Cancelled:
        case RunResult::FileError:
            return kExitFile;
        case RunResult::ChipTypeMissing:
            return kExitChipType;
        case RunResult::BoardBusy:
            return kExitBoardBusy;
        case RunResult::NoBoard:
            return kExitNoBoard;
        case RunResult::IdCheck:
            return kExitIdCheck;
        case RunResult::Erase:
            return kExitErase;
        case RunResult::BlankCheck:
            return kExitBlankCheck;
        case RunResult::Program:
            return kExitProgram;
        case RunResult::Verify:
            return kExitVerify;
        case RunResult::Failed:
            return kExitInternal;
    }
    return kExitInternal;
}

std::optional<int> ChipTypeIndex(const std::string& name) {
    for (std::size_t i = 0; i < ChipTypeNames.size(); ++i) {
        const std::string_view known = ChipTypeNames[i];
        if (known.size() == name.size() &&
            std::equal(known.begin(), known.end(), name.begin(), [](char a, char b) {
                return std::toupper(static_cast<unsigned char>(a)) ==
                       std::toupper(static_cast<unsigned char>(b));
            }))
            return static_cast<int>(i);
    }
    return std::nullopt;
}

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

}  // namespace

int RunDownloadCommand(Session& session, const std::vector<std::string>& arguments,
                       std::ostream& out) {
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
                out << "unknown chip type " << arguments[i] << "\n";
                return kExitUsage;
            }
            chipType = *index;
        } else if (!file && !arg.empty() && arg[0] != '-') {
            file = arg;
        } else {
            out << "download: unexpected argument " << arg << "\n";
            return kExitUsage;
        }
    }
    if (!file) {
        out << "download needs a ROM file\n";
        return kExitUsage;
    }
    session.PrepareForRun(out);
    TerminalPanel panel(out, StdoutIsTerminal(), file, chipType);
    RunOutcome outcome;
    {
        PumpToPanel pump(panel);
        outcome = RunDownload(panel, options);
    }
    session.AfterRun(out);
    return ExitCodeFor(outcome);
}

int RunMcuRomCommand(Session& session, const std::vector<std::string>& arguments,
                     std::ostream& out) {
    if (arguments.size() != 1 || arguments[0].empty() || arguments[0][0] == '-') {
        out << "mcurom needs exactly one ROM file\n";
        return kExitUsage;
    }
    session.PrepareForRun(out);
    // A file named on the command line is the flow's command-line mode.
    State().ExpgMode = 1;
    State().ExpgFileText = arguments[0] + " ";
    TerminalPanel panel(out, StdoutIsTerminal(), std::nullopt, 0);
    RunOutcome outcome;
    {
        PumpToPanel pump(panel);
        outcome = McuRomFlashWorkflow(panel);
    }
    session.AfterRun(out);
    return ExitCodeFor(outcome);
}

}  // namespace qdm::cli
