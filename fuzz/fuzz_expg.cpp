// The command line: arguments split at zero bytes, as the shell hands them over, through the
// EXPG rule of the window's creation and the file name it yields.

#include <cctype>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz/FuzzSupport.h"
#include "state/Mainprocess.h"

namespace {

bool IsExpg(const std::string& word) {
    return word.size() == 4 && std::toupper(static_cast<unsigned char>(word[0])) == 'E' &&
           std::toupper(static_cast<unsigned char>(word[1])) == 'X' &&
           std::toupper(static_cast<unsigned char>(word[2])) == 'P' &&
           std::toupper(static_cast<unsigned char>(word[3])) == 'G';
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace qdm;
    using qdm::fuzz::Require;
    std::vector<std::string> arguments(1);
    for (std::size_t i = 0; i < size; ++i) {
        if (data[i] == 0) {
            arguments.emplace_back();
        } else {
            arguments.back().push_back(static_cast<char>(data[i]));
        }
    }
    if (size == 0) arguments.clear();

    ResetProgramState();
    State().AgentIndex = static_cast<std::int32_t>(size % 10);
    State().ExpgFileText = "left over";
    const bool label = FormCreateState(arguments);
    const ProgramState& s = State();
    Require(s.SavedAgentIndex == s.AgentIndex, "the built-in agent remembered");
    const bool expg = arguments.size() >= 2 && IsExpg(arguments[0]);
    Require(label == expg && s.ExpgMode == (expg ? 1 : 0), "EXPG mode exactly for EXPG FILE");
    if (expg) {
        std::string joined;
        for (std::size_t i = 1; i < arguments.size(); ++i)
            joined += arguments[i] + ' ';
        Require(s.ExpgFileText == joined, "the arguments joined with blanks");
        Require(ExpgFileName(s.ExpgFileText) == joined.substr(0, joined.size() - 1),
                "the file name without the joining blank");
    } else {
        Require(s.ExpgFileText == "left over", "no EXPG text without EXPG");
    }
    // The name rule on any text: exactly one trailing blank goes.
    const std::string text(reinterpret_cast<const char*>(data), size);
    const std::string name = ExpgFileName(text);
    Require(size > 0 && text.back() == ' ' ? name == text.substr(0, size - 1) : name == text,
            "one trailing blank goes");
    return 0;
}
