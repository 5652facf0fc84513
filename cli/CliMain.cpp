#include <algorithm>
#include <csignal>
#include <exception>
#include <iostream>
#include <string>
#include <vector>

#include "cli/Context.h"
#include "cli/ExitCodes.h"
#include "cli/Options.h"
#include "cli/Report.h"
#include "cli/TerminalPanel.h"
#include "state/DiagnosticLog.h"

namespace qdm::cli {

namespace {

// The diagnostic log on stderr for as long as the command runs.
class DiagnosticScope {
  public:
    explicit DiagnosticScope(bool on) : on_(on) {
        if (!on_) return;
        StartDiagnostics(StderrDiagnosticSink());
        WriteDiagnostic("qdm-writer-cli " QDM_VERSION ": diagnostic log");
    }
    DiagnosticScope(const DiagnosticScope&) = delete;
    DiagnosticScope& operator=(const DiagnosticScope&) = delete;
    ~DiagnosticScope() {
        if (on_) StopDiagnostics();
    }

  private:
    bool on_;
};

int UsageError(Output& output, const CommandLine& line, const std::string& command,
               const std::string& error) {
    output.Error(error);
    const bool known = !command.empty() && line.HelpText(command);
    std::cerr << "Try 'qdm-writer-cli " << (known ? "help " + command : "--help") << "'.\n";
    return output.Finish(command, kExitUsage);
}

// A reader that goes away (`... | head`) must not end a run half-way: its output is lost, the run
// goes on, is logged and ends with its own status. Writes then fail and the streams drop them.
void KeepRunningWithoutReader() {
#if defined(SIGPIPE)
    std::signal(SIGPIPE, SIG_IGN);
#endif
}

}  // namespace

int Main(int argc, char** argv) {
    KeepRunningWithoutReader();
    const std::vector<std::string> args(argv + 1, argv + argc);
    CommandLine line;
    std::string error;
    if (!line.Parse(args, error)) {
        // The line did not parse, but a script that asked for JSON still gets its object.
        GlobalOptions fallback;
        fallback.json = std::find(args.begin(), args.end(), "--json") != args.end();
        Output output(fallback, std::cout, std::cerr, false, false);
        return UsageError(output, line, line.Command(), error);
    }
    const GlobalOptions& global = line.Global();
    Output output(global, std::cout, std::cerr, StdoutIsTerminal(), StderrIsTerminal());
    if (const auto& topic = line.HelpRequest()) {
        const auto text = topic->empty() ? line.UsageText() : line.HelpText(*topic);
        if (!text) return UsageError(output, line, "help", "unknown command " + *topic);
        if (global.json) {
            output.Result()["topic"] = *topic;
            output.Result()["help"] = *text;
        } else {
            std::cout << *text;
        }
        return output.Finish("help", kExitSuccess);
    }
    if (global.version) {
        output.Human() << "qdm-writer-cli " << QDM_VERSION << "\n";
        return output.Finish("version", kExitSuccess);
    }
    const DiagnosticScope diagnostics(global.session.verbose);
    int code = kExitInternal;
    try {
        Context context(global, output);
        code = line.Run(context);
    } catch (const std::exception& e) {
        output.Error(e.what());
        code = kExitInternal;
    }
    return output.Finish(line.Command(), code);
}

}  // namespace qdm::cli

int main(int argc, char** argv) {
    return qdm::cli::Main(argc, argv);
}
