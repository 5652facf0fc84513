#include <algorithm>
#include <exception>
#include <iostream>
#include <map>
#include <string>
#include <vector>

#include "cli/Commands.h"
#include "cli/Context.h"
#include "cli/ExitCodes.h"
#include "cli/Options.h"
#include "cli/TerminalPanel.h"
#include "state/DiagnosticLog.h"

namespace qdm::cli {

namespace {

using Command = int (*)(Context&, const Arguments&);

const std::map<std::string, Command>& CommandTable() {
    static const std::map<std::string, Command> commands = {
        {"detect", &RunDetect},
        {"download", &RunDownloadCommand},
        {"mcurom", &RunMcuRomCommand},
        {"reset-demoboard", &RunResetDemoboard},
        {"rom info", &RunRomInfo},
        {"rom pack", &RunRomPack},
        {"firmware decode", &RunFirmwareDecode},
        {"firmware encode", &RunFirmwareEncode},
    };
    return commands;
}

// "rom" and "firmware" take their subcommand from the first argument.
std::string FullCommand(const std::string& command, Arguments& arguments) {
    if ((command == "rom" || command == "firmware") && !arguments.empty() &&
        CommandTable().count(command + " " + arguments.front()) != 0) {
        std::string full = command + " " + arguments.front();
        arguments.erase(arguments.begin());
        return full;
    }
    return command;
}

// The diagnostic log on stderr for as long as the command runs.
class DiagnosticScope {
  public:
    explicit DiagnosticScope(bool on) : on_(on) {
        if (!on_) return;
        // Standard output first, so that where both reach one file the lines keep their order.
        StartDiagnostics([](std::string_view line) {
            std::cout.flush();
            std::cerr << line << std::flush;
        });
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

int UsageError(Output& output, const std::string& command, const std::string& error) {
    output.Error(error);
    std::cerr << "Try 'qdm-writer-cli --help'.\n";
    return output.Finish(command, kExitUsage);
}

}  // namespace

int Main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    std::string error;
    const auto line = ParseCommandLine(args, error);
    if (!line) {
        // The line did not parse, but a script that asked for JSON still gets its object.
        GlobalOptions fallback;
        fallback.json = std::find(args.begin(), args.end(), "--json") != args.end();
        Output output(fallback, std::cout, std::cerr, false, false);
        return UsageError(output, "", error);
    }
    const GlobalOptions& global = line->global;
    Output output(global, std::cout, std::cerr, StdoutIsTerminal(), StderrIsTerminal());
    if (global.version) {
        output.Human() << "qdm-writer-cli " << QDM_VERSION << "\n";
        return output.Finish("version", kExitSuccess);
    }
    Arguments arguments = line->arguments;
    const std::string command = FullCommand(line->command, arguments);
    if (command == "help" || global.help) {
        std::string topic = command == "help" ? "" : command;
        if (command == "help") {
            for (const std::string& word : arguments)
                topic += (topic.empty() ? "" : " ") + word;
        }
        if (topic.empty()) {
            std::cout << UsageText();
            return kExitSuccess;
        }
        const auto help = CommandHelp(topic);
        if (!help) return UsageError(output, "help", "no help for " + topic);
        std::cout << *help;
        return kExitSuccess;
    }
    const auto found = CommandTable().find(command);
    if (found == CommandTable().end()) {
        if (command == "rom" || command == "firmware")
            return UsageError(output, command,
                              command + " needs a subcommand; see qdm-writer-cli help " + command);
        return UsageError(output, command, "unknown command " + command);
    }
    const DiagnosticScope diagnostics(global.session.verbose);
    int code = kExitInternal;
    try {
        Context context(global, output);
        code = found->second(context, arguments);
    } catch (const std::exception& e) {
        output.Error(e.what());
        code = kExitInternal;
    }
    return output.Finish(command, code);
}

}  // namespace qdm::cli

int main(int argc, char** argv) {
    return qdm::cli::Main(argc, argv);
}
