#include "state/Mainprocess.h"

#include <algorithm>
#include <cctype>

namespace qdm {

ProgramState& State() {
    static ProgramState state;
    return state;
}

void ResetProgramState() {
    State() = ProgramState{};
}

namespace {
bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::toupper(static_cast<unsigned char>(x)) ==
                      std::toupper(static_cast<unsigned char>(y));
           });
}
}  // namespace

bool FormCreateState(std::span<const std::string> arguments) {
    ProgramState& s = State();
    s.SavedAgentIndex = s.AgentIndex;
    s.ExpgMode = 0;
    if (arguments.size() < 2 || !EqualsIgnoringCase(arguments[0], "EXPG")) return false;
    s.ExpgMode = 1;
    s.ExpgFileText.clear();
    // Arguments the shell split at blanks are joined again with single blanks.
    for (const std::string& argument : arguments.subspan(1)) {
        s.ExpgFileText += argument;
        s.ExpgFileText += ' ';
    }
    return true;
}

std::string ExpgFileName(std::string_view expgFileText) {
    // Only the blank the join appended goes; a name that really ends in a blank keeps it.
    if (!expgFileText.empty() && expgFileText.back() == ' ') expgFileText.remove_suffix(1);
    return std::string(expgFileText);
}

}  // namespace qdm
