// list: the dongles attached, by the ID that --device and gang take, and with --probe what each
// tells about itself without being changed.

#include <CLI/CLI.hpp>
#include <cstdio>
#include <memory>
#include <string>

#include "cli/CommandSupport.h"
#include "cli/Commands.h"
#include "cli/Context.h"
#include "cli/ExitCodes.h"
#include "cli/Options.h"
#include "session/Session.h"
#include "state/Mainprocess.h"
#include "usb/DeviceSelection.h"
#include "workflows/DongleProbe.h"

namespace qdm::cli {

namespace {

using Json = nlohmann::ordered_json;

std::string Column(const std::string& text, std::size_t width) {
    return text.size() >= width ? text + " " : text + std::string(width - text.size(), ' ');
}

// One dongle, selected: its identifiers, and with `probe` what it answers.
Json Describe(bool probe) {
    Json entry;
    if (!probe) {
        const bool present = CheckDonglePresence();
        const DongleAccessProblem access = LastAccessProblem();
        entry["vid"] = present ? Json(State().DetectedVID) : Json(nullptr);
        entry["pid"] = present ? Json(State().DetectedPID) : Json(nullptr);
        entry["access"] = present ? Json(nullptr) : Json(AccessProblemSummary(access));
        return entry;
    }
    const DongleProbe found = ProbeDongle();
    const bool opened = found.access == DongleAccessProblem::None;
    entry["vid"] = opened ? Json(found.vid) : Json(nullptr);
    entry["pid"] = opened ? Json(found.pid) : Json(nullptr);
    entry["access"] = opened ? Json(nullptr) : Json(AccessProblemSummary(found.access));
    entry["hardware_version"] =
        found.hardwareVersion ? Json(HexBytes(*found.hardwareVersion)) : Json(nullptr);
    entry["firmware"] = std::string(DongleFirmwareName(found.firmware));
    entry["board"] = found.boardKind ? Json(found.board) : Json(nullptr);
    return entry;
}

std::string Trimmed(std::string line) {
    while (!line.empty() && line.back() == ' ')
        line.pop_back();
    return line;
}

std::string Line(const std::string& id, const Json& entry, bool probe) {
    const auto text = [&entry](const char* key) {
        return entry[key].is_string() ? entry[key].get<std::string>() : std::string("-");
    };
    std::string line = Column(id, 12);
    if (entry["access"].is_string()) return line + entry["access"].get<std::string>();
    line += Column(BareHex(text("vid")) + ":" + BareHex(text("pid")), 11);
    if (!probe) return line;
    line += Column(text("hardware_version"), 13) + Column(text("firmware"), 9);
    if (entry["board"].is_string()) return line + text("board");
    return line +
           (entry["firmware"] == "boot" ? "- (known once detect loads the writer firmware)" : "-");
}

int RunList(Context& context, bool probe) {
    Output& output = context.Out();
    Session* session = context.Dongle(DongleUse::All);
    if (session == nullptr) return context.DongleFailure();
    const std::vector<usb::DeviceLocation> dongles = DonglesToAsk(context, *session);
    Json& list = output.Result()["dongles"];
    list = Json::array();
    if (dongles.empty()) {
        output.Human() << "No dongle attached\n";
        output.Error("no dongle found");
        return kExitNoDongle;
    }
    output.Human() << Trimmed(
                          Column("ID", 12) + Column("VID:PID", 11) +
                          (probe ? Column("HARDWARE", 13) + Column("FIRMWARE", 9) + "BOARD" : ""))
                   << "\n";
    for (const usb::DeviceLocation& dongle : dongles) {
        Json entry;
        entry["id"] = dongle.id.empty() ? Json(nullptr) : Json(dongle.id);
        if (dongle.id.empty() || !session->Select(dongle.id)) {
            // Without a port ID it cannot be named, nor asked alone.
            entry["access"] = "no port ID: the system does not tell where it is plugged in";
            output.Human() << Trimmed(Line("?", entry, probe)) << "\n";
        } else {
            const Json described = Describe(probe);
            for (const auto& [key, value] : described.items())
                entry[key] = value;
            output.Human() << Trimmed(Line(dongle.id, entry, probe)) << "\n";
        }
        list.push_back(std::move(entry));
    }
    return kExitSuccess;
}

}  // namespace

void AddListCommand(CommandSet& commands) {
    auto probe = std::make_shared<bool>(false);
    CLI::App& app = commands.Add(
        {"list", "", "[--probe]", "the dongles attached and their IDs (--probe)",
         "Lists every dongle attached with its ID, the USB port it is plugged into (usb:1-2.1:\n"
         "bus 1, port 2, then port 1 of the hub there; sim:N for virtual dongles), which\n"
         "--device and gang take, and its USB identifiers. With --probe each is also asked, as\n"
         "detect asks, for its hardware version, which firmware runs on it (boot, writer or\n"
         "MCU-ROM) and, under the writer firmware, its client board. Nothing is downloaded or\n"
         "written; a dongle that is not under the writer firmware takes a transfer wait or two.\n"
         "Exits 3 when none is attached.\n",
         ""},
        [probe](Context& context) { return RunList(context, *probe); });
    app.add_flag("--probe", *probe, "ask each dongle for its hardware version, firmware and board");
}

}  // namespace qdm::cli
