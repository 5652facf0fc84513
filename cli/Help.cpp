#include <CLI/CLI.hpp>
#include <cstdio>
#include <string>

#include "cli/ExitCodes.h"
#include "cli/Options.h"
#include "session/SessionOptions.h"
#include "session/SimFaults.h"

namespace qdm::cli {

namespace {

constexpr const char* kProgram = "qdm-writer-cli";
constexpr std::size_t kListColumn = 28;

std::string ExitTable() {
    std::string text = "Exit status:\n";
    for (const ExitCodeRow& row : kExitCodeTable) {
        char line[160];
        std::snprintf(line, sizeof line, "  %2d  %-12s %s\n", row.code,
                      std::string(row.name).c_str(), std::string(row.meaning).c_str());
        text += line;
    }
    return text;
}

// "  download ROMFILE          program the client board"
std::string ListLine(const CommandHelp& help) {
    std::string line = "  " + help.name + (help.synopsis.empty() ? "" : " " + help.synopsis);
    line += line.size() + 2 <= kListColumn ? std::string(kListColumn - line.size(), ' ')
                                           : "\n" + std::string(kListColumn, ' ');
    for (const char c : help.summary) {
        line += c;
        if (c == '\n') line += std::string(kListColumn, ' ');
    }
    return line + "\n";
}

// The usage line, its continuation lines under the arguments.
std::string UsageLine(const char* lead, const CommandHelp& help) {
    std::string line = std::string(lead) + kProgram + " [global options] " + help.name + " ";
    const std::size_t column = line.size();
    for (const char c : help.arguments) {
        line += c;
        if (c == '\n') line += std::string(column, ' ');
    }
    return line + "\n";
}

}  // namespace

std::string CommandLine::UsageText() const {
    std::string list;
    for (const Entry& entry : commands_)
        list += ListLine(entry.help);
    return std::string("Usage: ") + kProgram + " [global options] COMMAND [arguments]\n\n" +
           "Commands:\n" + list + "\nGlobal options:\n" + session::OptionHelpLines(*app_) + "\n" +
           session::SimFaultHelp() + "\n" + ExitTable();
}

std::optional<std::string> CommandLine::HelpText(const std::string& topic) const {
    if (const Entry* entry = Find(topic)) {
        std::string text = UsageLine("Usage: ", entry->help) + "\n" + entry->help.about;
        const std::string options = session::OptionHelpLines(*entry->app);
        if (!options.empty()) text += "\n" + options;
        if (!entry->help.notes.empty()) text += "\n" + entry->help.notes;
        return text;
    }
    // A group: the usage of each of its commands.
    std::string usage;
    std::string list;
    for (const Entry& entry : commands_) {
        if (entry.help.name.rfind(topic + " ", 0) != 0) continue;
        usage += UsageLine(usage.empty() ? "Usage: " : "       ", entry.help);
        list += ListLine(entry.help);
    }
    if (usage.empty()) return std::nullopt;
    return usage + "\nCommands:\n" + list + "\n`" + kProgram +
           " help COMMAND` shows the help of one of them.\n";
}

}  // namespace qdm::cli
