#include "cli/Options.h"

#include <CLI/CLI.hpp>
#include <algorithm>

#include "cli/Commands.h"

namespace qdm::cli {

namespace {

// Global options may follow the command; a second command word is an argument, not a command;
// a path such as /tmp/a.bin stays an argument on Windows too.
CLI::App& Configure(CLI::App& app) {
    app.allow_windows_style_options(false);
    app.fallthrough();
    app.allow_extras();
    app.require_subcommand(0, 1);
    return app;
}

std::string Join(const std::vector<std::string>& words) {
    std::string text;
    for (const std::string& word : words)
        text += (text.empty() ? "" : " ") + word;
    return text;
}

bool IsOptionWord(const std::string& word) {
    return word.size() > 1 && word[0] == '-';
}

}  // namespace

CommandLine::CommandLine() : app_(std::make_unique<CLI::App>("", "qdm-writer-cli")) {
    CLI::App& app = *app_;
    app.set_help_flag();  // our own help texts
    Configure(app);
    session::AddSessionOptions(app, global_.session);
    session::AddRunLogOptions(app, global_.log, global_.noLog, "download and mcurom runs");
    app.add_flag("-q,--quiet", global_.quiet,
                 "no status lines or progress; only errors, on stderr");
    app.add_flag("--json", global_.json,
                 "print one JSON result object on stdout; the status lines go\nto stderr");
    app.add_option_function<std::string>(
           "--progress", [this](const std::string&) { global_.progressLines = true; },
           "jsonl: one JSON line per status-line change and per progress\n"
           "step on stdout (the status lines go to stderr); with --json\n"
           "the result object is the last line")
        ->type_name("jsonl")
        ->check(CLI::IsMember({"jsonl"}));
    app.add_flag("-h,--help", global_.help, "this text; after a command, that command's help");
    app.add_flag("--version", global_.version, "the program's version");

    AddListCommand(*this);
    AddDetectCommand(*this);
    AddRunCommands(*this);
    AddGangCommand(*this);
    AddQaCommands(*this);
    AddRomCommands(*this);
    AddFirmwareCommands(*this);
    AddChipsCommand(*this);
    AddDoctorCommand(*this);
    CLI::App& help = Add({"help", "[COMMAND]", "[COMMAND]", "this text, or the help of one command",
                          "Without COMMAND, the usage of the program; with it, that command's "
                          "help, the same as\n`qdm-writer-cli COMMAND --help`.\n",
                          ""},
                         nullptr);
    help.add_option("COMMAND", helpTopic_);
}

CommandLine::~CommandLine() = default;

CLI::App& CommandLine::Add(CommandHelp help, CommandRun run) {
    CLI::App* parent = app_.get();
    std::string name = help.name;
    if (const std::size_t blank = name.find(' '); blank != std::string::npos) {
        const std::string group = name.substr(0, blank);
        const auto found =
            app_->get_subcommands([&group](CLI::App* sub) { return sub->get_name() == group; });
        parent = found.empty() ? &Configure(*app_->add_subcommand(group)) : found.front();
        name = name.substr(blank + 1);
    }
    CLI::App& app = Configure(*parent->add_subcommand(name));
    commands_.push_back({std::move(help), std::move(run), &app});
    return app;
}

const CommandLine::Entry* CommandLine::Find(const std::string& name) const {
    for (const Entry& entry : commands_)
        if (entry.help.name == name) return &entry;
    return nullptr;
}

bool CommandLine::Parse(const std::vector<std::string>& args, std::string& error) {
    global_.arguments = args;
    // CLI11 takes the arguments last first.
    std::vector<std::string> reversed(args.rbegin(), args.rend());
    const auto reached = [this] {
        CLI::App* at = app_.get();
        std::vector<std::string> words;
        for (bool deeper = true; deeper;) {
            deeper = false;
            for (CLI::App* sub : at->get_subcommands())
                if (sub->parsed()) {
                    at = sub;
                    words.push_back(sub->get_name());
                    deeper = true;
                    break;
                }
        }
        command_ = Join(words);
        chosen_ = Find(command_);
        return at;
    };
    try {
        app_->parse(reversed);
    } catch (const CLI::ParseError& e) {
        error = session::ParseErrorText(*reached(), e);
        return false;
    }
    reached();
    std::vector<std::string> extras = app_->remaining(true);
    extras.erase(std::remove(extras.begin(), extras.end(), "--"), extras.end());
    if (command_ == "help") {
        helpRequest_ = Join(helpTopic_);
        return true;
    }
    if (const auto why = Check(extras)) {
        error = *why;
        return false;
    }
    if (global_.help) {
        helpRequest_ = command_;
        return true;
    }
    if (global_.version) return true;
    if (command_.empty()) {
        error = "no command given";
        return false;
    }
    if (const auto why = session::CheckSessionOptions(global_.session, true)) {
        error = *why;
        return false;
    }
    return true;
}

std::optional<std::string> CommandLine::Check(const std::vector<std::string>& extras) {
    const std::string* word = nullptr;
    for (const std::string& extra : extras)
        if (!IsOptionWord(extra)) {
            word = &extra;
            break;
        }
    if (chosen_ == nullptr) {
        // No command yet, or a group without its command.
        if (word != nullptr)
            return command_.empty() ? "unknown command " + *word
                                    : "unknown " + command_ + " command " + *word;
        if (!extras.empty()) return "unknown option " + extras.front();
        if (!command_.empty() && !global_.help) {
            std::string list;
            for (const Entry& entry : commands_)
                if (entry.help.name.rfind(command_ + " ", 0) == 0)
                    list += (list.empty() ? "" : " or ") + entry.help.name;
            return command_ + " needs a command: " + list;
        }
        return std::nullopt;
    }
    if (extras.empty() || global_.help) return std::nullopt;
    if (IsOptionWord(extras.front())) return command_ + ": unknown option " + extras.front();
    return command_ + ": unexpected argument " + extras.front();
}

int CommandLine::Run(Context& context) const {
    return chosen_->run(context);
}

}  // namespace qdm::cli
