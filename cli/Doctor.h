#pragma once
// doctor: what stands between this machine and a working dongle, each check as OK, as a problem
// with what to do about it, or as a note. The command prints them; a field report (--report)
// carries them too.

#include <filesystem>
#include <iosfwd>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace qdm::cli {

class Context;

struct DoctorFinding {
    enum class Status { Ok, Problem, Note };
    std::string check;  // "program", "firmware", "udev", "run-log", "dumps", "usb", "dongle"
    Status status = Status::Ok;
    std::string subject;  // what was checked: "Firmware file", "Dongle usb:1-2"
    std::string text;     // what was found; may run over several lines
    std::string advice;   // what to do, for a problem
    int exitCode = 0;     // the exit status a problem stands for
    nlohmann::ordered_json details = nlohmann::ordered_json::object();
};

struct DoctorOptions {
    bool loadFirmware = false;  // give a dongle under its boot firmware the writer firmware
};

// Every check, in the order the user reads them. Uses the context's dongle session.
std::vector<DoctorFinding> RunDoctorChecks(Context& context, const DoctorOptions& options);

// The findings as --json gives them, and printed from that form: one block per finding.
nlohmann::ordered_json FindingsJson(const std::vector<DoctorFinding>& findings);
void PrintFindings(std::ostream& out, const nlohmann::ordered_json& findings);
// The first problem's exit status; 0 when there is none.
int FindingsExitCode(const std::vector<DoctorFinding>& findings);

// Where the udev rule is looked for; an empty list restores the system's folders.
void SetUdevRuleFolders(std::vector<std::filesystem::path> folders);

}  // namespace qdm::cli
