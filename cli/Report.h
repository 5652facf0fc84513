#pragma once
// --report FILE.tar.gz: one archive that tells us what happened on a machine we cannot see. It
// holds the command line, the result object, the verbose diagnostic log, the USB trace of the
// run, doctor's findings, the run-log line of a run and, only with --report-include-rom, the ROM
// file and the image bytes in the trace. Without that option neither the trace nor the log carry
// image bytes: command lists are cut before their page data, long replies left out.

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "state/DiagnosticLog.h"

namespace CLI {
class App;
}

namespace qdm::cli {

class Context;

struct ReportOptions {
    std::optional<std::string> file;
    bool includeRom = false;
};

// Adds --report FILE and --report-include-rom, bound to `options`.
void AddReportOptions(CLI::App& app, ReportOptions& options);

// Runs `run` and, with --report, records it and writes the archive afterwards. `romFile` is the
// ROM file the command reads: the archive never replaces it, and takes it in with
// --report-include-rom. The run's exit status, or kExitFile when only the archive failed.
int WithReport(Context& context, const ReportOptions& options, std::string_view command,
               const std::function<int(Context&)>& run,
               const std::optional<std::filesystem::path>& romFile = std::nullopt);

// The diagnostic log's way to standard error, as -v shows it.
DiagnosticSink StderrDiagnosticSink();

}  // namespace qdm::cli
