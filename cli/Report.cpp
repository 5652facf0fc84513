#include "cli/Report.h"

#include <CLI/CLI.hpp>
#include <chrono>
#include <ctime>
#include <iostream>
#include <random>
#include <sstream>

#include "cli/Context.h"
#include "cli/Doctor.h"
#include "cli/ExitCodes.h"
#include "cli/Files.h"
#include "cli/ReportArchive.h"
#include "cli/RunSupport.h"
#include "session/ProcessFiles.h"
#include "workflows/RunLog.h"

namespace qdm::cli {

namespace {

using Json = nlohmann::ordered_json;

// Far above what one run's logs and trace come to; a trace with the image bytes of a 2 MiB
// download stays well below it.
constexpr std::size_t kLargestTrace = std::size_t{1} << 30;
constexpr std::size_t kLargestRom = std::size_t{64} << 20;
constexpr const char* kFolder = "qdm-report/";

std::string RandomSuffix() {
    static std::mt19937_64 generator{std::random_device{}()};
    char text[20];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(generator()));
    return text;
}

// A folder of the run's own in the system's temporary folder, made exclusively (so nobody else
// prepared it) and removed with everything in it at the end.
class WorkFolder {
  public:
    bool Create(std::string& error) {
        std::error_code ec;
        const std::filesystem::path base = std::filesystem::temp_directory_path(ec);
        if (ec) {
            error = "no temporary folder: " + ec.message();
            return false;
        }
        for (int attempt = 0; attempt < 16; ++attempt) {
            const std::filesystem::path folder = base / ("qdm-report-" + RandomSuffix());
            if (std::filesystem::create_directory(folder, ec)) {
                std::filesystem::permissions(folder, std::filesystem::perms::owner_all,
                                             std::filesystem::perm_options::replace, ec);
                path_ = folder;
                return true;
            }
        }
        error = "cannot make a folder in " + base.string() + (ec ? ": " + ec.message() : "");
        return false;
    }
    WorkFolder() = default;
    WorkFolder(const WorkFolder&) = delete;
    WorkFolder& operator=(const WorkFolder&) = delete;
    ~WorkFolder() {
        std::error_code ignored;
        if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
    }
    [[nodiscard]] const std::filesystem::path& Path() const { return path_; }

  private:
    std::filesystem::path path_;
};

// The diagnostic log into a text for the report, and on to standard error as well under -v.
class DiagnosticCapture {
  public:
    DiagnosticCapture(std::string& log, bool verbose) : verbose_(verbose) {
        DiagnosticSink echo = verbose ? StderrDiagnosticSink() : DiagnosticSink{};
        StartDiagnostics([&log, echo](std::string_view line) {
            log.append(line);
            if (echo) echo(line);
        });
        WriteDiagnostic("qdm-writer-cli " QDM_VERSION ": diagnostic log for a report");
    }
    DiagnosticCapture(const DiagnosticCapture&) = delete;
    DiagnosticCapture& operator=(const DiagnosticCapture&) = delete;
    ~DiagnosticCapture() {
        if (verbose_) {
            StartDiagnostics(StderrDiagnosticSink());
        } else {
            StopDiagnostics();
        }
    }

  private:
    bool verbose_;
};

std::vector<std::uint8_t> Bytes(std::string_view text) {
    return {text.begin(), text.end()};
}

// The command line as a shell would take it back.
std::string Quoted(const std::vector<std::string>& arguments) {
    std::string line = "qdm-writer-cli";
    for (const std::string& argument : arguments) {
        line += ' ';
        const bool plain = !argument.empty() &&
                           argument.find_first_not_of(
                               "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789"
                               "-_./:=,+@%") == std::string::npos;
        if (plain) {
            line += argument;
            continue;
        }
        line += '\'';
        for (const char c : argument)
            line += c == '\'' ? std::string("'\\''") : std::string(1, c);
        line += '\'';
    }
    return line;
}

// Why the report may not be written where --report names: it would replace an input or a file
// the run itself writes, compared as every output of the program is.
std::optional<std::string> ClashOf(const std::filesystem::path& report, const Context& context,
                                   const std::optional<std::filesystem::path>& romFile) {
    const GlobalOptions& options = context.Options();
    session::ProcessFiles files;
    files.AddSession(options.session);
    if (romFile) files.inputs.push_back({"the ROM file", *romFile});
    if (!options.noLog) files.outputs.push_back({"the run log", RunLogPath(context)});
    // Every file of the run is one the report must leave alone.
    files.inputs.insert(files.inputs.end(), files.outputs.begin(), files.outputs.end());
    files.outputs = {{"the report", report}};
    return session::OutputOverAnInput(files);
}

}  // namespace

DiagnosticSink StderrDiagnosticSink() {
    // Standard output first, so that where both reach one file the lines keep their order.
    return [](std::string_view line) {
        std::cout.flush();
        std::cerr << line << std::flush;
    };
}

void AddReportOptions(CLI::App& app, ReportOptions& options) {
    app.add_option("--report", options.file,
                   "write a field report: one archive with the command line, the\nresult, the "
                   "verbose diagnostic log, the USB trace, doctor's\nfindings and the run-log "
                   "line (see the README)")
        ->type_name("FILE.tar.gz");
    app.add_flag("--report-include-rom", options.includeRom,
                 "put the ROM file and the image bytes of the trace into the\nreport too "
                 "(left out by default)");
}

int WithReport(Context& context, const ReportOptions& report, std::string_view command,
               const std::function<int(Context&)>& run,
               const std::optional<std::filesystem::path>& romFile) {
    if (!report.file) return run(context);
    Output& output = context.Out();
    const std::filesystem::path target = *report.file;
    if (const auto clash = ClashOf(target, context, romFile)) {
        output.Error("--report: " + *clash);
        return kExitFile;
    }
    WorkFolder work;
    if (std::string error; !work.Create(error)) {
        output.Error("cannot prepare the report: " + error);
        return kExitFile;
    }
    GlobalOptions options = context.Options();
    const std::filesystem::path trace = work.Path() / "trace.pcap";
    options.session.reportTrace = trace.string();
    options.session.reportTraceWhole = report.includeRom;

    std::string log;
    int code = kExitInternal;
    Json findings;
    Json result;
    {
        const DiagnosticCapture capture(log, options.session.verbose);
        // The session, and with it the trace, ends with this context.
        Context inner(options, output);
        code = run(inner);
        result = output.ResultObject(command, code);
        if (command == "doctor" && output.Result().contains("checks")) {
            findings = output.Result()["checks"];
        } else {
            // What stands in the way now, after the run; no firmware is loaded for it.
            findings = FindingsJson(RunDoctorChecks(inner, {}));
        }
    }

    std::vector<ArchiveMember> members;
    const std::string folder = kFolder;
    members.push_back(
        {folder + "command.txt", Bytes(Quoted(options.arguments) +
                                       "\nversion " QDM_VERSION "\nwritten " + UtcNow() + "\n")});
    members.push_back({folder + "result.json", Bytes(result.dump(2) + "\n")});
    members.push_back({folder + "diagnostic.log", Bytes(log)});
    std::vector<std::uint8_t> traceBytes;
    if (std::string error; ReadInputFile(trace, kLargestTrace, traceBytes, error)) {
        members.push_back({folder + "trace.pcap", std::move(traceBytes)});
    } else {
        output.Warn("the report holds no USB trace: " + error);
    }
    std::ostringstream doctorText;
    PrintFindings(doctorText, findings);
    members.push_back({folder + "doctor.txt", Bytes(doctorText.str())});
    members.push_back({folder + "doctor.json", Bytes(findings.dump(2) + "\n")});
    if (output.Result().contains("run"))
        members.push_back({folder + "run.jsonl", Bytes(output.Result()["run"].dump() + "\n")});
    if (report.includeRom && romFile) {
        std::vector<std::uint8_t> rom;
        std::string name = romFile->filename().string();
        if (name.empty() || name.size() > 80) name = "image.bin";
        if (std::string error; ReadInputFile(*romFile, kLargestRom, rom, error)) {
            members.push_back({folder + "rom/" + name, std::move(rom)});
        } else {
            output.Warn("the report holds no ROM file: " + error);
        }
    }

    std::string error;
    auto tar = TarArchive(members, std::time(nullptr), error);
    std::optional<std::vector<std::uint8_t>> gzip;
    if (tar) gzip = Gzip(*tar, error);
    if (!gzip || !WriteOutputFile(target, *gzip, error)) {
        output.Error("the report was not written: " + error);
        output.Result()["report"] = nullptr;
        return code == kExitSuccess ? kExitFile : code;
    }
    output.Result()["report"] = target.string();
    output.Human() << "Report written to " << target.string() << "\n";
    return code;
}

}  // namespace qdm::cli
