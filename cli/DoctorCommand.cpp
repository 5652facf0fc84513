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
#include "cli/Options.h"
#include "cli/Report.h"
#include "protocol/HostHooks.h"
#include "protocol/Usbfunctions.h"
#include "session/Session.h"
#include "state/Mainprocess.h"
#include "usb/Fileiofunctions.h"
#include "usb/FirmwareLoader.h"
#include "usb/UsbDevice.h"
#include "workflows/RunLog.h"
#include "workflows/boards/ClientBoard.h"

namespace qdm::cli {

namespace {

using Json = nlohmann::ordered_json;
using Status = DoctorFinding::Status;

constexpr const char* kUdevRuleName = "60-qdm-writer.rules";
constexpr std::uintmax_t kLargestRuleFile = 64 * 1024;

std::vector<std::filesystem::path>& UdevFolderOverride() {
    static std::vector<std::filesystem::path> folders;
    return folders;
}

// The folders udev reads its rules from, the administrator's first.
std::vector<std::filesystem::path> UdevRuleFolders() {
    if (!UdevFolderOverride().empty()) return UdevFolderOverride();
    return {"/etc/udev/rules.d", "/run/udev/rules.d", "/usr/lib/udev/rules.d", "/lib/udev/rules.d"};
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

std::string Hex4(std::uint16_t value) {
    char text[8];
    std::snprintf(text, sizeof text, "%04X", static_cast<unsigned>(value));
    return text;
}

std::string UdevAdvice() {
    return AccessProblemAdvice(DongleAccessProblem::PermissionDenied);
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
                    "It comes with the dongle: copy it to one of these places (your own data "
                    "folder for yourself, a package data folder for every user of the machine), "
                    "or name it with --firmware FILE.",
                    kExitFile),
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

bool Contains(std::string text, const std::string& word) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text.find(word) != std::string::npos;
}

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
        f = simulated ? Note("udev", "udev rule", text + "\n(the virtual dongle needs none)")
                      : Problem("udev", "udev rule", text, UdevAdvice(), kExitAccess);
    } else {
        std::vector<std::uint8_t> bytes;
        std::error_code ec;
        const std::uintmax_t size = std::filesystem::file_size(*found, ec);
        std::string content;
        if (!ec && size <= kLargestRuleFile) {
            bytes.resize(size);
            if (ReadFileInto(*found, bytes) == size) content.assign(bytes.begin(), bytes.end());
        }
        if (Contains(content, "04b4") && Contains(content, "1004")) {
            f = Ok("udev", "udev rule", "installed as " + found->string());
        } else {
            f = Problem("udev", "udev rule",
                        found->string() + " does not name the dongle (04b4:1004) or cannot be read",
                        UdevAdvice(), kExitAccess);
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

DoctorFinding CheckRunLog(const GlobalOptions& options) {
    if (options.noLog) return Note("run-log", "Run log", "none kept (--no-log)");
    const std::filesystem::path log =
        options.log ? std::filesystem::path(*options.log) : DefaultRunLogPath();
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

DongleAccessProblem AccessProblemOf(std::uint32_t openError) {
    switch (openError) {
        case usb::error::AccessDenied:
            return DongleAccessProblem::PermissionDenied;
        case usb::error::Busy:
        case usb::error::SharingViolation:
            return DongleAccessProblem::Busy;
        case usb::error::FileNotFound:
            return DongleAccessProblem::NoDongle;
        default:
            return DongleAccessProblem::OpenFailed;
    }
}

// A device by its USB port where the backend names it so ("usb:1-2"), else by its place in the
// enumeration.
std::string DeviceName(const std::string& path, std::uint8_t index) {
    return path.rfind("usb:", 0) == 0 ? path : "#" + std::to_string(index);
}

// What device `index` of the driver's class is and whether this user may open it. True for a
// writer dongle that opened.
bool CheckDevice(std::uint8_t index, bool udevRuleInstalled, std::vector<DoctorFinding>& findings) {
    usb::UsbDevice device(0, usb::DriverInterfaceGuid, false);
    const bool opened = device.Open(index);
    const std::string name = DeviceName(device.DevicePath, index);
    const std::string subject = "USB device " + name;
    DoctorFinding f;
    bool writer = false;
    if (!opened) {
        const DongleAccessProblem problem = AccessProblemOf(device.OpenError);
        std::string advice = AccessProblemAdvice(problem);
        if (problem == DongleAccessProblem::PermissionDenied && udevRuleInstalled) {
            advice +=
                " The rule gives the device to the user logged in at the machine itself; "
                "over a remote login or from a service, add a rule with GROUP=\"plugdev\" "
                "and MODE=\"0660\" and put the user into that group.";
        }
        f = Problem("usb", subject, AccessProblemSummary(problem), advice,
                    problem == DongleAccessProblem::NoDongle ? kExitNoDongle : kExitAccess);
        f.details["access"] = AccessProblemSummary(problem);
    } else {
        const std::string ids = Hex4(device.VendorId) + ":" + Hex4(device.ProductId);
        writer = "0x" + Hex4(device.VendorId) == ExpectedVID &&
                 "0x" + Hex4(device.ProductId) == ExpectedPID;
        f = writer ? Ok("usb", subject, ids + ", a writer dongle; this user may open it")
                   : Note("usb", subject,
                          ids +
                              ": not a writer dongle (another device of the "
                              "same chip maker); left alone");
        f.details["vid"] = "0x" + Hex4(device.VendorId);
        f.details["pid"] = "0x" + Hex4(device.ProductId);
        f.details["access"] = nullptr;
    }
    f.details["path"] = name;
    findings.push_back(std::move(f));
    try {
        device.Release();
    } catch (const usb::UsbCloseError&) {
        // Nothing to tell: the check is over.
    }
    return writer;
}

// What the first dongle tells about itself: the exchanges detect starts with, no firmware
// download unless asked for. Device 0 only: the operations reach no other.
DoctorFinding ProbeFirstDongle(Context& context, const DoctorOptions& options,
                               const std::string& name) {
    Session& session = *context.Dongle();
    const std::string subject = "Dongle " + name;
    DoctorFinding f = Ok("dongle", subject, "");
    std::array<std::uint8_t, 4> version{};
    const bool versionAnswered = QueryHardwareVersion(version);
    bool writer = QueryDongleIdentity();
    std::string firmware = writer ? "writer" : versionAnswered ? "boot" : "unknown";
    std::string loaded;
    if (!writer && versionAnswered && IsWriterHardware(version) && options.loadFirmware) {
        GlobalOptions plain = context.Options();
        plain.json = false;
        plain.quiet = false;
        std::ostringstream lines;
        Output scratch(plain, lines, lines, false, false);
        if (BringUpWriterDongle(session, scratch) == kExitSuccess) {
            writer = true;
            firmware = "writer";
            loaded = " (loaded now)";
        } else {
            std::string why = lines.str();
            while (!why.empty() && why.back() == '\n')
                why.pop_back();
            f = Problem("dongle", subject, "the writer firmware download failed:\n" + why,
                        "Run detect -v for the details; replug the dongle and try again.",
                        kExitDongle);
        }
    }
    f.details["hardware_version"] = versionAnswered ? Json(HexBytes(version)) : Json(nullptr);
    f.details["firmware"] = firmware;
    f.details["board"] = nullptr;
    std::string text = "hardware version " + (versionAnswered ? HexBytes(version) : "-");
    if (versionAnswered && !IsWriterHardware(version) && !writer) {
        f = Problem("dongle", subject, text + ", which is not the writer dongle's 05 01 xx 00",
                    "This dongle cannot take the writer firmware; use a writer dongle.",
                    kExitDongle);
        return f;
    }
    if (f.status == Status::Problem) return f;
    if (!writer) {
        f.status = Status::Note;
        f.text = firmware == "boot"
                     ? text +
                           ", boot firmware: the writer firmware is not loaded yet (download "
                           "and detect load it, so does doctor --load-firmware); the client "
                           "board is known once it runs"
                     : text +
                           ", no answer as a writer dongle: an MCU-ROM dongle (mcurom "
                           "programs it), or a dongle that hangs (unplug and replug it)";
        return f;
    }
    text += ", writer firmware running" + loaded;
    State().ClientBoardKind = DetectClientBoard();
    const auto board = boards::MakeClientBoard(State().ClientBoardKind);
    if (!board) {
        f.status = Status::Problem;
        f.text = text + ", no known client board";
        f.advice =
            "Seat the client board firmly in the dongle's connector, then run doctor "
            "again.";
        f.exitCode = kExitNoBoard;
        return f;
    }
    f.details["board"] = std::string(board->Name());
    f.text = text + ", client board " + std::string(board->Name());
    return f;
}

void CheckDongles(Context& context, const DoctorOptions& options, bool udevRuleInstalled,
                  std::vector<DoctorFinding>& findings) {
    if (context.Dongle() == nullptr) {
        findings.push_back(Problem("usb", "USB devices", "the dongle session cannot be set up",
                                   "See the error above.", context.DongleFailure()));
        return;
    }
    usb::UsbDevice counter(0, usb::DriverInterfaceGuid, false);
    const std::uint8_t count = counter.DeviceCount();
    if (count == 0) {
        findings.push_back(Problem("usb", "USB devices",
                                   AccessProblemSummary(DongleAccessProblem::NoDongle),
                                   AccessProblemAdvice(DongleAccessProblem::NoDongle) +
                                       " On Linux, lsusb lists it as 04b4:1004.",
                                   kExitNoDongle));
        return;
    }
    std::vector<std::uint8_t> writers;
    for (std::uint8_t index = 0; index < count; ++index)
        if (CheckDevice(index, udevRuleInstalled, findings)) writers.push_back(index);
    if (writers.empty()) {
        const bool refused = std::any_of(findings.begin(), findings.end(), [](const auto& f) {
            return f.check == "usb" && f.status == Status::Problem;
        });
        if (!refused) {
            findings.push_back(
                Problem("usb", "USB devices", "no writer dongle (04B4:1004) among them",
                        AccessProblemAdvice(DongleAccessProblem::NoDongle), kExitNoDongle));
        }
        return;
    }
    if (writers.front() == 0) {
        const std::vector<std::string> paths =
            usb::ActiveDriver().PresentInterfaces(usb::DriverInterfaceGuid);
        findings.push_back(
            ProbeFirstDongle(context, options, DeviceName(paths.empty() ? "" : paths[0], 0)));
        if (writers.size() > 1)
            findings.push_back(Note("dongle", "Dongles",
                                    "only the first dongle is asked further; detach the others "
                                    "to ask them"));
    } else {
        findings.push_back(Note("dongle", "Dongles",
                                "the first device is no writer dongle, so none is asked further; "
                                "detach it to ask the writer dongle"));
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
    findings.push_back(CheckRunLog(global));
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
    for (const DoctorFinding& f : findings)
        if (f.status == Status::Problem) return f.exitCode == 0 ? kExitInternal : f.exitCode;
    return kExitSuccess;
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
         "whether the run log and the dump folder can be written; and what the dongle tells\n"
         "about itself: hardware version, firmware, client board. Nothing is downloaded unless\n"
         "--load-firmware is given. Exits 0 only when nothing is a problem, else with the first\n"
         "problem's status (3 without a dongle).\n",
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
