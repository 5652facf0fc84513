#include <CLI/CLI.hpp>
#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>
#include <memory>
#include <optional>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include "cli/CommandSupport.h"
#include "cli/Commands.h"
#include "cli/Context.h"
#include "cli/Doctor.h"
#include "cli/ExitCodes.h"
#include "cli/Files.h"
#include "cli/Options.h"
#include "cli/Report.h"
#include "cli/RunSupport.h"
#include "protocol/HostHooks.h"
#include "protocol/Usbfunctions.h"
#include "session/Session.h"
#include "state/Mainprocess.h"
#include "usb/DeviceSelection.h"
#include "usb/Fileiofunctions.h"
#include "usb/FirmwareLoader.h"
#include "workflows/DongleProbe.h"
#include "workflows/RunLog.h"
#include "workflows/boards/ClientBoard.h"

namespace qdm::cli {

namespace {

using Json = nlohmann::ordered_json;
using Status = DoctorFinding::Status;

constexpr const char* kUdevRuleName = "60-qdm-writer.rules";
constexpr std::size_t kLargestRuleFile = std::size_t{64} * 1024;

std::vector<std::filesystem::path>& UdevFolderOverride() {
    static std::vector<std::filesystem::path> folders;
    return folders;
}

DoctorFinding Ok(std::string check, std::string subject, std::string text) {
    DoctorFinding f;
    f.check = std::move(check);
    f.subject = std::move(subject);
    f.text = std::move(text);
    return f;
}

DoctorFinding Note(std::string check, std::string subject, std::string text) {
    DoctorFinding f = Ok(std::move(check), std::move(subject), std::move(text));
    f.status = Status::Note;
    return f;
}

DoctorFinding Problem(std::string check, std::string subject, std::string text, std::string advice,
                      int exitCode) {
    DoctorFinding f = Ok(std::move(check), std::move(subject), std::move(text));
    f.status = Status::Problem;
    f.advice = std::move(advice);
    f.exitCode = exitCode;
    return f;
}

DoctorFinding CheckProgram(const GlobalOptions& options) {
    const std::string usb = usb::PlatformDriverName();
    std::string text = "qdm-writer-cli " QDM_VERSION ", USB access through " +
                       (usb.empty() ? std::string("nothing (built without libusb)") : usb);
    if (options.session.simulate)
        text += "; this run uses the virtual dongle (--simulate " + *options.session.simulate + ")";
    DoctorFinding f;
    if (usb.empty() && !options.session.simulate) {
        f = Problem("program", "Program", text,
                    "Install the package built with libusb (libusb-1.0-0), or build with "
                    "libusb-1.0-0-dev installed.",
                    kExitNoDongle);
    } else {
        f = Ok("program", "Program", text);
    }
    f.details["version"] = QDM_VERSION;
    f.details["usb"] = usb.empty() ? Json(nullptr) : Json(usb);
    return f;
}

DoctorFinding CheckFirmwareFile(const session::SessionOptions& options) {
    if (options.simulate && !options.firmware) {
        DoctorFinding f =
            Ok("firmware", "Firmware file",
               "none needed: the virtual dongle takes its built-in stand-in firmware");
        f.details["found"] = nullptr;
        return f;
    }
    const std::vector<std::filesystem::path> places =
        options.firmware ? std::vector<std::filesystem::path>{*options.firmware}
                         : FirmwareSearchPaths();
    Json searched = Json::array();
    std::string list;
    std::optional<std::filesystem::path> found;
    for (const std::filesystem::path& place : places) {
        searched.push_back(place.string());
        list += "\n  " + place.string();
        std::error_code ec;
        if (!found && std::filesystem::exists(place, ec)) found = place;
    }
    const auto withDetails = [&](DoctorFinding f, bool valid) {
        f.details["searched"] = searched;
        f.details["found"] = found ? Json(found->string()) : Json(nullptr);
        f.details["valid"] = valid;
        return f;
    };
    if (!found) {
        return withDetails(
            Problem("firmware", "Firmware file",
                    std::string(kFirmwareFileName) + " was not found; it was looked for as" + list,
                    kMissingFirmwareAdvice, kExitFile),
            false);
    }
    std::vector<std::uint8_t> text;
    std::string why;
    if (!ReadFirmwareText(*found, text, &why)) {
        return withDetails(
            Problem("firmware", "Firmware file", "cannot read " + found->string() + ": " + why,
                    "Make it a readable regular file: the " + std::string(kFirmwareFileName) +
                        " that came with the dongle.",
                    kExitFile),
            false);
    }
    if (!ValidateFirmwareText(text, &why)) {
        return withDetails(Problem("firmware", "Firmware file",
                                   found->string() + " is not a dongle firmware file: " + why,
                                   "Replace it with the " + std::string(kFirmwareFileName) +
                                       " that came with the dongle.",
                                   kExitFile),
                           false);
    }
    return withDetails(Ok("firmware", "Firmware file", found->string() + ", valid"), true);
}

#if defined(__linux__)
// The folders udev reads its rules from, the administrator's first.
std::vector<std::filesystem::path> UdevRuleFolders() {
    if (!UdevFolderOverride().empty()) return UdevFolderOverride();
    return {"/etc/udev/rules.d", "/run/udev/rules.d", "/usr/lib/udev/rules.d", "/lib/udev/rules.d"};
}

bool Contains(std::string text, const std::string& word) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text.find(word) != std::string::npos;
}

#endif

// Only where udev gives the devices their permissions.
std::optional<DoctorFinding> CheckUdevRule(bool simulated) {
#if defined(__linux__)
    std::optional<std::filesystem::path> found;
    std::string list;
    for (const std::filesystem::path& folder : UdevRuleFolders()) {
        const std::filesystem::path rule = folder / kUdevRuleName;
        list += "\n  " + rule.string();
        std::error_code ec;
        if (!found && std::filesystem::is_regular_file(rule, ec)) found = rule;
    }
    DoctorFinding f;
    if (!found) {
        const std::string text = "the rule " + std::string(kUdevRuleName) +
                                 " is not installed; it was looked for as" + list;
        f = simulated
                ? Note("udev", "udev rule", text + "\n(the virtual dongle needs none)")
                : Problem("udev", "udev rule", text,
                          AccessProblemAdvice(DongleAccessProblem::PermissionDenied), kExitAccess);
    } else {
        std::vector<std::uint8_t> bytes;
        std::string error;
        std::string content;
        if (ReadInputFile(*found, kLargestRuleFile, bytes, error))
            content.assign(bytes.begin(), bytes.end());
        if (Contains(content, "04b4") && Contains(content, "1004")) {
            f = Ok("udev", "udev rule", "installed as " + found->string());
        } else {
            f = Problem("udev", "udev rule",
                        found->string() + " does not name the dongle (04b4:1004) or cannot be read",
                        AccessProblemAdvice(DongleAccessProblem::PermissionDenied), kExitAccess);
            if (simulated) f.status = Status::Note;
        }
    }
    f.details["found"] = found ? Json(found->string()) : Json(nullptr);
    return f;
#else
    (void)simulated;
    return std::nullopt;
#endif
}

DoctorFinding RunLogFinding(const Context& context) {
    if (context.Options().noLog) return Note("run-log", "Run log", "none kept (--no-log)");
    const std::filesystem::path log = RunLogPath(context);
    if (log.empty()) {
        return Problem("run-log", "Run log", "no data folder: the environment names no home",
                       "Set HOME (XDG_DATA_HOME), name a file with --log FILE or go without one "
                       "with --no-log.",
                       kExitFile);
    }
    std::string error;
    DoctorFinding f =
        CheckRunLogWritable(log, &error)
            ? Ok("run-log", "Run log", log.string() + " can be written")
            : Problem("run-log", "Run log", log.string() + " cannot be written (" + error + ")",
                      "Make its folder writable, name another with --log FILE or go without one "
                      "with --no-log.",
                      kExitFile);
    f.details["path"] = log.string();
    return f;
}

DoctorFinding CheckDumpFolder() {
    const std::filesystem::path folder = DumpDirectory();
    DoctorFinding f =
        IsWritableDirectory(folder)
            ? Ok("dumps", "Dump folder", folder.string() + " can be written")
            : Problem("dumps", "Dump folder",
                      folder.string() + " cannot be written: the read-back dump files are lost",
                      "Make the folder writable for this user.", kExitFile);
    f.details["path"] = folder.string();
    return f;
}

// What this user may do with the device: open it, or why not.
DoctorFinding AccessFinding(const std::string& id, const DongleProbe& probe,
                            bool udevRuleInstalled) {
    const std::string subject = "USB device " + id;
    DoctorFinding f;
    if (probe.access != DongleAccessProblem::None) {
        std::string advice = AccessProblemAdvice(probe.access);
        if (probe.access == DongleAccessProblem::PermissionDenied && udevRuleInstalled) {
            advice +=
                " The rule gives the device to the user logged in at the machine itself; "
                "over a remote login or from a service, add a rule with GROUP=\"plugdev\" "
                "and MODE=\"0660\" and put the user into that group.";
        }
        f = Problem("usb", subject, AccessProblemSummary(probe.access), advice,
                    probe.access == DongleAccessProblem::NoDongle ? kExitNoDongle : kExitAccess);
        f.details["access"] = AccessProblemSummary(probe.access);
    } else {
        const std::string ids = BareHex(probe.vid) + ":" + BareHex(probe.pid);
        f = probe.writerIds ? Ok("usb", subject, ids + ", a writer dongle; this user may open it")
                            : Note("usb", subject,
                                   ids +
                                       ": not a writer dongle (another device of the "
                                       "same chip maker); left alone");
        f.details["vid"] = probe.vid;
        f.details["pid"] = probe.pid;
        f.details["access"] = nullptr;
    }
    f.details["id"] = id;
    return f;
}

// What a writer dongle tells about itself (`loaded`: its writer firmware was loaded just now).
DoctorFinding DongleFinding(const std::string& id, const DongleProbe& probe, bool loaded) {
    const std::string subject = "Dongle " + id;
    const std::string version =
        "hardware version " + (probe.hardwareVersion ? HexBytes(*probe.hardwareVersion) : "-");
    DoctorFinding f;
    switch (probe.firmware) {
        case DongleFirmware::Writer:
            if (probe.board == boards::kNoBoardName) {
                f = Problem("dongle", subject,
                            version + ", writer firmware running, no known client board",
                            "Seat the client board firmly in the dongle's connector, then run "
                            "doctor again.",
                            kExitNoBoard);
            } else {
                f = Ok("dongle", subject,
                       version + ", writer firmware running" + (loaded ? " (loaded now)" : "") +
                           ", client board " + probe.board);
            }
            break;
        case DongleFirmware::Boot:
            f = IsWriterHardware(*probe.hardwareVersion)
                    ? Note("dongle", subject,
                           version +
                               ", boot firmware: the writer firmware is not loaded yet (download "
                               "and detect load it, so does doctor --load-firmware); the client "
                               "board is known once it runs")
                    : Problem("dongle", subject,
                              version + ", which is not the writer dongle's 05 01 xx 00",
                              "This dongle cannot take the writer firmware; use a writer dongle.",
                              kExitDongle);
            break;
        case DongleFirmware::McuRom:
            f = Note("dongle", subject,
                     version + ", MCU-ROM firmware running (mcurom programs it)");
            break;
        case DongleFirmware::Unknown:
            f = Problem("dongle", subject, version + ", no answer to the dongle's requests",
                        "Unplug the dongle, wait a moment and plug it in again.", kExitDongle);
            break;
    }
    f.details["id"] = id;
    f.details["hardware_version"] =
        probe.hardwareVersion ? Json(HexBytes(*probe.hardwareVersion)) : Json(nullptr);
    f.details["firmware"] = std::string(DongleFirmwareName(probe.firmware));
    f.details["board"] = probe.boardKind ? Json(probe.board) : Json(nullptr);
    return f;
}

// The selected dongle asked as list --probe asks it; a writer dongle under its boot firmware gets
// the writer firmware only with --load-firmware.
void CheckSelectedDongle(Context& context, const DoctorOptions& options, const std::string& id,
                         bool udevRuleInstalled, std::vector<DoctorFinding>& findings) {
    DongleProbe probe = ProbeDongle();
    findings.push_back(AccessFinding(id, probe, udevRuleInstalled));
    if (probe.access != DongleAccessProblem::None || !probe.writerIds) return;
    bool loaded = false;
    if (options.loadFirmware && probe.firmware == DongleFirmware::Boot &&
        IsWriterHardware(*probe.hardwareVersion)) {
        GlobalOptions plain = context.Options();
        plain.json = false;
        plain.quiet = false;
        std::ostringstream lines;
        Output scratch(plain, lines, lines, false, false);
        if (BringUpWriterDongle(*context.Dongle(DongleUse::All), scratch) != kExitSuccess) {
            std::string why = lines.str();
            while (!why.empty() && why.back() == '\n')
                why.pop_back();
            findings.push_back(Problem("dongle", "Dongle " + id,
                                       "the writer firmware download failed:\n" + why,
                                       "Run detect -v for the details; replug the dongle and "
                                       "try again.",
                                       kExitDongle));
            return;
        }
        loaded = true;
        probe = ProbeDongle();
    }
    findings.push_back(DongleFinding(id, probe, loaded));
}

void CheckDongles(Context& context, const DoctorOptions& options, bool udevRuleInstalled,
                  std::vector<DoctorFinding>& findings) {
    Session* session = context.Dongle(DongleUse::All);
    if (session == nullptr) {
        const Json& result = context.Out().Result();
        const auto why = result.find("message");
        findings.push_back(
            Problem("usb", "USB devices",
                    "the dongle session cannot be set up" + (why != result.end() && why->is_string()
                                                                 ? ": " + why->get<std::string>()
                                                                 : std::string()),
                    "Correct the command line as the error line says.", context.DongleFailure()));
        return;
    }
    const std::vector<usb::DeviceLocation> dongles = DonglesToAsk(context, *session);
    if (dongles.empty()) {
        findings.push_back(Problem("usb", "USB devices",
                                   AccessProblemSummary(DongleAccessProblem::NoDongle),
                                   AccessProblemAdvice(DongleAccessProblem::NoDongle) +
                                       " On Linux, lsusb lists it as 04b4:1004.",
                                   kExitNoDongle));
        return;
    }
    for (const usb::DeviceLocation& dongle : dongles) {
        if (dongle.id.empty() || !session->Select(dongle.id)) {
            findings.push_back(Note("usb", "USB device ?",
                                    "no port ID: the system does not tell where it is plugged "
                                    "in, so it cannot be asked alone"));
            continue;
        }
        CheckSelectedDongle(context, options, dongle.id, udevRuleInstalled, findings);
    }
    const bool writer = std::any_of(findings.begin(), findings.end(), [](const auto& f) {
        return f.check == "usb" && f.status == Status::Ok;
    });
    const bool refused = std::any_of(findings.begin(), findings.end(), [](const auto& f) {
        return f.check == "usb" && f.status == Status::Problem;
    });
    if (!writer && !refused) {
        findings.push_back(Problem("usb", "USB devices", "no writer dongle (04B4:1004) among them",
                                   AccessProblemAdvice(DongleAccessProblem::NoDongle),
                                   kExitNoDongle));
    }
}

int RunDoctor(Context& context, const DoctorOptions& options) {
    Output& output = context.Out();
    const std::vector<DoctorFinding> findings = RunDoctorChecks(context, options);
    Json checks = FindingsJson(findings);
    PrintFindings(output.Human(), checks);
    output.Result()["checks"] = std::move(checks);
    const auto problems = std::count_if(findings.begin(), findings.end(),
                                        [](const auto& f) { return f.status == Status::Problem; });
    output.Result()["problems"] = problems;
    const int code = FindingsExitCode(findings);
    if (code != kExitSuccess)
        output.Error(std::to_string(problems) + (problems == 1 ? " problem" : " problems") +
                     " found");
    return code;
}

}  // namespace

void SetUdevRuleFolders(std::vector<std::filesystem::path> folders) {
    UdevFolderOverride() = std::move(folders);
}

std::vector<DoctorFinding> RunDoctorChecks(Context& context, const DoctorOptions& options) {
    const GlobalOptions& global = context.Options();
    const bool simulated = global.session.simulate.has_value();
    std::vector<DoctorFinding> findings;
    findings.push_back(CheckProgram(global));
    findings.push_back(CheckFirmwareFile(global.session));
    bool udevRuleInstalled = false;
    if (auto udev = CheckUdevRule(simulated)) {
        udevRuleInstalled = udev->status == Status::Ok;
        findings.push_back(std::move(*udev));
    }
    findings.push_back(RunLogFinding(context));
    findings.push_back(CheckDumpFolder());
    CheckDongles(context, options, udevRuleInstalled, findings);
    return findings;
}

void PrintFindings(std::ostream& out, const Json& findings) {
    constexpr std::size_t kIndent = 9;
    const std::string indent(kIndent, ' ');
    const auto indented = [&indent](const std::string& text) {
        std::string lines;
        for (const char c : text) {
            lines += c;
            if (c == '\n') lines += indent;
        }
        return lines;
    };
    const auto text = [](const Json& entry, const char* key) {
        const auto found = entry.find(key);
        return found != entry.end() && found->is_string() ? found->get<std::string>()
                                                          : std::string();
    };
    for (const Json& f : findings) {
        const std::string status = text(f, "status");
        const char* label = status == "ok"        ? "OK       "
                            : status == "problem" ? "PROBLEM  "
                                                  : "NOTE     ";
        out << label << text(f, "subject") << ": " << indented(text(f, "text")) << "\n";
        if (const std::string advice = text(f, "advice"); !advice.empty())
            out << indent << "What to do: " << indented(advice) << "\n";
    }
}

Json FindingsJson(const std::vector<DoctorFinding>& findings) {
    Json list = Json::array();
    for (const DoctorFinding& f : findings) {
        Json entry;
        entry["check"] = f.check;
        entry["status"] = f.status == Status::Ok        ? "ok"
                          : f.status == Status::Problem ? "problem"
                                                        : "note";
        entry["subject"] = f.subject;
        entry["text"] = f.text;
        entry["advice"] = f.advice.empty() ? Json(nullptr) : Json(f.advice);
        for (auto& [key, value] : f.details.items())
            entry[key] = value;
        list.push_back(std::move(entry));
    }
    return list;
}

int FindingsExitCode(const std::vector<DoctorFinding>& findings) {
    const auto problem = std::find_if(findings.begin(), findings.end(),
                                      [](const auto& f) { return f.status == Status::Problem; });
    if (problem == findings.end()) return kExitSuccess;
    return problem->exitCode == 0 ? kExitInternal : problem->exitCode;
}

void AddDoctorCommand(CommandSet& commands) {
    auto options = std::make_shared<DoctorOptions>();
    auto report = std::make_shared<ReportOptions>();
    CLI::App& app = commands.Add(
        {"doctor", "", "[--load-firmware] [--report FILE.tar.gz]",
         "check this machine and the dongles: what is wrong and what to do",
         "Checks, each as OK, PROBLEM (with what to do) or NOTE: the program's and libusb's\n"
         "versions; the dongle firmware file (where it was looked for, which was found, whether\n"
         "it is valid); the udev rule; this user's access to every attached device of the\n"
         "dongle's maker (a device that another program or a kernel driver holds is named);\n"
         "whether the run log and the dump folder can be written; and what each dongle, by its\n"
         "ID, tells about itself as list --probe asks it (--device: that one alone): hardware\n"
         "version, firmware, client board. Nothing is downloaded unless --load-firmware is\n"
         "given. Exits 0 only when nothing is a problem, else with the first problem's status\n"
         "(3 without a dongle).\n",
         ""},
        [options, report](Context& context) {
            return WithReport(context, *report, "doctor",
                              [options](Context& inner) { return RunDoctor(inner, *options); });
        });
    app.add_flag("--load-firmware", options->loadFirmware,
                 "give a dongle under its boot firmware the writer firmware, so\nits client "
                 "board can be asked too");
    AddReportOptions(app, *report);
}

}  // namespace qdm::cli
