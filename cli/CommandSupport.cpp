#include "cli/CommandSupport.h"

#include <cstdio>

#include "cli/Context.h"
#include "cli/Files.h"

namespace qdm::cli {

std::string HexValue(std::uint32_t value, int digits) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%0*X", digits, value);
    return text;
}

std::string HexBytes(std::span<const std::uint8_t> bytes) {
    std::string text;
    text.reserve(bytes.size() * 3);
    for (const std::uint8_t b : bytes) {
        char two[4];
        std::snprintf(two, sizeof two, "%02X", static_cast<unsigned>(b));
        if (!text.empty()) text += ' ';
        text += two;
    }
    return text;
}

bool TakeAgent(Output& output, const Arguments& arguments, std::size_t& i,
               std::optional<std::int32_t>& agent) {
    if (i + 1 >= arguments.size()) {
        output.Error("--agent needs a name (" + AgentNameList() + ") or 0-9");
        return false;
    }
    agent = AgentIndexByName(arguments[++i]);
    if (!agent) {
        output.Error("unknown agent " + arguments[i] + " (known: " + AgentNameList() + ")");
        return false;
    }
    return true;
}

}  // namespace qdm::cli
