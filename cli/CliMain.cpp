#include <exception>
#include <iostream>
#include <map>
#include <string>
#include <vector>

#include "cli/Commands.h"
#include "cli/ExitCodes.h"
#include "cli/Options.h"
#include "session/Session.h"

namespace qdm::cli {

int Main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    std::string error;
    const auto line = ParseCommandLine(args, error);
    if (!line) {
        std::cerr << "qdm-writer-cli: " << error << "\n\n" << UsageText();
        return kExitUsage;
    }
    if (line->global.help) {
        std::cout << UsageText();
        return kExitSuccess;
    }
    if (line->global.version) {
        std::cout << "qdm-writer-cli " << QDM_VERSION << "\n";
        return kExitSuccess;
    }
    using Command = int (*)(Session&, const std::vector<std::string>&, std::ostream&);
    const std::map<std::string, Command> commands = {
        {"detect", &RunDetect},
        {"download", &RunDownloadCommand},
        {"mcurom", &RunMcuRomCommand},
    };
    const auto command = commands.find(line->command);
    if (command == commands.end()) {
        std::cerr << "qdm-writer-cli: unknown command " << line->command << "\n\n" << UsageText();
        return kExitUsage;
    }
    try {
        const auto session = Session::Create(line->global.session, std::cerr);
        if (!session) return kExitUsage;
        return command->second(*session, line->arguments, std::cout);
    } catch (const std::exception& e) {
        std::cerr << "qdm-writer-cli: " << e.what() << "\n";
        return kExitInternal;
    }
}

}  // namespace qdm::cli

int main(int argc, char** argv) {
    return qdm::cli::Main(argc, argv);
}
