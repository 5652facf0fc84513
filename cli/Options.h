#pragma once
// The command line of qdm-writer-cli: global options, which may stand anywhere, and one command
// with its own options and arguments. `help COMMAND` is `COMMAND --help`.
//
// A command adds itself (cli/Commands.h) with its help and the function that runs it, then binds
// its options and arguments to variables its run function owns:
//
//     auto file = std::make_shared<std::string>();
//     CLI::App& app = commands.Add({"frob", "FILE", "FILE", "frob a file", "Frobs FILE.\n"},
//                                  [file](Context& context) { return RunFrob(context, *file); });
//     app.add_option("FILE", *file);
//
// Its facts go into the context's result object, its exit status comes from cli/ExitCodes.h.

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "session/SessionOptions.h"

namespace CLI {
class App;
}

namespace qdm::cli {

struct GlobalOptions {
    session::SessionOptions session;  // the dongle to use, as the window takes them too
    std::optional<std::string> log;   // run log file instead of the one in the data folder
    bool noLog = false;               // no run log entry
    bool quiet = false;               // no status lines or progress, errors only
    bool json = false;                // one result object on stdout
    bool progressLines = false;       // --progress=jsonl: status and progress as JSON lines
    bool help = false;
    bool version = false;
    std::vector<std::string> arguments;  // the whole command line after the program's name
};

class Context;

// How a command shows itself in the help texts.
struct CommandHelp {
    std::string name;       // "download", "rom info"
    std::string synopsis;   // its arguments in the list of commands: "ROMFILE"
    std::string arguments;  // its arguments in its usage line; "\n" continues it below them
    std::string summary;    // its line in the list of commands
    std::string about;      // the text between the usage line and the option list
    std::string notes;      // the text after the option list; may be empty
};

using CommandRun = std::function<int(Context&)>;

// Where the commands add themselves.
class CommandSet {
  public:
    CommandSet() = default;
    CommandSet(const CommandSet&) = delete;
    CommandSet& operator=(const CommandSet&) = delete;
    virtual ~CommandSet() = default;

    // Adds a command; "rom info" goes into the group "rom". Its options and arguments go onto
    // the parser it returns, bound to variables that live as long as `run`.
    virtual CLI::App& Add(CommandHelp help, CommandRun run) = 0;
};

class CommandLine final : public CommandSet {
  public:
    // A command line with every command of the tool.
    CommandLine();
    ~CommandLine() override;

    CLI::App& Add(CommandHelp help, CommandRun run) override;

    // Parses the arguments after the program name. False, with `error`, on a usage error.
    bool Parse(const std::vector<std::string>& args, std::string& error);

    [[nodiscard]] const GlobalOptions& Global() const { return global_; }
    // The command the line names ("rom info", "help"), as far as it got; empty for none.
    [[nodiscard]] const std::string& Command() const { return command_; }
    // The text help was asked for with (`help`, --help), when it was.
    [[nodiscard]] const std::optional<std::string>& HelpRequest() const { return helpRequest_; }

    // Runs the command the line names.
    int Run(Context& context) const;

    // The text of --help: the commands, the global options, the faults and the exit statuses.
    [[nodiscard]] std::string UsageText() const;
    // The help of a command or group ("download", "rom", "rom info", "help"); nullopt for
    // anything else.
    [[nodiscard]] std::optional<std::string> HelpText(const std::string& topic) const;

  private:
    struct Entry {
        CommandHelp help;
        CommandRun run;
        CLI::App* app = nullptr;
    };

    const Entry* Find(const std::string& name) const;
    std::optional<std::string> Check(const std::vector<std::string>& extras);

    std::unique_ptr<CLI::App> app_;
    GlobalOptions global_;
    std::vector<Entry> commands_;
    std::vector<std::string> helpTopic_;
    const Entry* chosen_ = nullptr;
    std::string command_;
    std::optional<std::string> helpRequest_;
};

}  // namespace qdm::cli
