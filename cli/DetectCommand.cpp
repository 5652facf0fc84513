#include <CLI/CLI.hpp>
#include <array>
#include <cstdio>
#include <memory>
#include <ostream>
#include <string>

#include "cli/CommandSupport.h"
#include "cli/Commands.h"
#include "cli/Context.h"
#include "cli/ExitCodes.h"
#include "cli/Options.h"
#include "cli/Report.h"
#include "protocol/Usbfunctions.h"
#include "session/Session.h"
#include "state/Mainprocess.h"
#include "usb/FirmwareLoader.h"
#include "workflows/boards/ClientBoard.h"

namespace qdm::cli {

namespace {

// A line for the user; with --quiet the failure that ends the command still reaches stderr.
int Failed(Output& output, int code, const std::string& line, const std::string& reason) {
    output.Human() << line << "\n";
    output.Error(reason);
    return code;
}
}  // namespace

bool IsWriterHardware(const std::array<std::uint8_t, 4>& version) {
    return version[0] == 5 && version[1] == 1 && version[3] == 0;
}

int FindDongle(Output& output) {
    std::ostream& out = output.Human();
    auto& result = output.Result();
    const ProgramState& state = State();
    if (!CheckDonglePresence()) {
        result["dongle"] = nullptr;
        const DongleAccessProblem problem = LastAccessProblem();
        if (problem == DongleAccessProblem::NoDongle)
            return Failed(output, kExitNoDongle, "Dongle: none found", "no dongle found");
        result["access"] = AccessProblemSummary(problem);
        return Failed(output, kExitAccess,
                      "Dongle: " + AccessProblemSummary(problem) +
                          "\n  What to do: " + AccessProblemAdvice(problem),
                      AccessProblemSummary(problem));
    }
    result["dongle"] = {{"vid", state.DetectedVID}, {"pid", state.DetectedPID}};
    out << "Dongle: present, VID " << state.DetectedVID << " PID " << state.DetectedPID << "\n";
    if (state.DetectedVID != ExpectedVID || state.DetectedPID != ExpectedPID) {
        return Failed(output, kExitDongle,
                      "Dongle: not a writer dongle (expected VID " + std::string(ExpectedVID) +
                          " PID " + std::string(ExpectedPID) + ")",
                      "the dongle is not a writer dongle");
    }
    return kExitSuccess;
}

int BringUpWriterDongle(Session& session, Output& output) {
    if (const int found = FindDongle(output); found != kExitSuccess) return found;
    std::ostream& out = output.Human();
    auto& result = output.Result();
    ProgramState& state = State();

    std::array<std::uint8_t, 4> version{};
    if (!QueryHardwareVersion(version)) {
        return Failed(output, kExitDongle, "Hardware version: no answer",
                      "the dongle does not tell its hardware version");
    }
    result["hardware_version"] = HexBytes(version);
    out << "Hardware version: " << HexBytes(version) << "\n";

    bool writer = QueryDongleIdentity();
    if (writer) {
        result["firmware"] = "running";
        out << "Firmware: writer firmware already running\n";
    } else {
        if (!IsWriterHardware(version)) {
            return Failed(output, kExitDongle,
                          "Firmware: not loaded, the hardware version is not 05 01 xx 00",
                          "wrong hardware version " + HexBytes(version));
        }
        std::string where;
        std::string problem;
        if (!session.LoadFirmwareText(where, &problem))
            return Failed(output, kExitFile, "Firmware: cannot read " + where, problem);
        if (std::string why; !ValidateFirmwareText(state.FirmwareText, &why)) {
            return Failed(output, kExitFile, "Firmware: " + where + " is not a firmware file",
                          where + " is not a firmware file: " + why);
        }
        if (!DownloadFirmware(state.FirmwareText, state.MainWindowHandle)) {
            return Failed(output, kExitDongle, "Firmware: download of " + where + " failed",
                          "the firmware download of " + where + " failed");
        }
        if (!WaitForDongleAfterFirmware()) {
            return Failed(output, kExitDongle,
                          "Firmware: download of " + where +
                              " failed (the dongle did not come back on the bus)",
                          "the firmware download of " + where + " failed");
        }
        state.FirmwareLoaded = 1;
        result["firmware"] = where;
        out << "Firmware: downloaded " << where << "\n";
        writer = QueryDongleIdentity();
    }
    if (!writer) {
        return Failed(output, kExitDongle,
                      "Identity: the dongle does not answer as a writer dongle (MCU-ROM firmware?)",
                      "the dongle does not answer as a writer dongle");
    }
    out << "Identity: writer firmware\n";
    return kExitSuccess;
}

int CheckMcuRomDongle(Session& session, Output& output) {
    if (const int found = FindDongle(output); found != kExitSuccess) return found;
    // A writer dongle would fail the MCU-ROM flow only after minutes of erase polls. It answers
    // as a writer dongle once its writer firmware runs, which a download would load first.
    bool writer = QueryDongleIdentity();
    std::array<std::uint8_t, 4> version{};
    if (!writer && QueryHardwareVersion(version) && IsWriterHardware(version)) {
        ProgramState& state = State();
        std::string where;
        if (session.LoadFirmwareText(where) &&
            DownloadFirmware(state.FirmwareText, state.MainWindowHandle) &&
            WaitForDongleAfterFirmware())
            writer = QueryDongleIdentity();
    }
    if (!writer) return kExitSuccess;
    return Failed(output, kExitDongle, "Identity: writer firmware",
                  "the dongle is a writer dongle, not an MCU-ROM dongle: program its client "
                  "board with download");
}

int RunDetect(Context& context) {
    Output& output = context.Out();
    Session* session = context.Dongle();
    if (session == nullptr) return context.DongleFailure();
    const int brought = BringUpWriterDongle(*session, output);
    if (brought != kExitSuccess) return brought;

    State().ClientBoardKind = DetectClientBoard();
    const auto board = boards::MakeClientBoard(State().ClientBoardKind);
    if (board) {
        output.Result()["board"] = std::string(board->Name());
    } else {
        output.Result()["board"] = nullptr;
    }
    output.Human() << "Client board: " << (board ? board->Name() : boards::kNoBoardName) << "\n";
    if (!board) {
        output.Error("no known client board");
        return kExitNoBoard;
    }
    return kExitSuccess;
}

void AddDetectCommand(CommandSet& commands) {
    auto report = std::make_shared<ReportOptions>();
    CLI::App& app = commands.Add(
        {"detect", "", "[--report FILE.tar.gz]",
         "find the dongle, load its firmware when needed, name the\nclient board",
         "Finds the dongle and names its USB identifiers and hardware version, downloads "
         "the\nwriter firmware when it is not running yet, confirms the writer firmware "
         "and names the\nclient board. Exits 0 only when a writer dongle with a known "
         "client board answered.\n",
         ""},
        [report](Context& context) { return WithReport(context, *report, "detect", &RunDetect); });
    AddReportOptions(app, *report);
}

}  // namespace qdm::cli
