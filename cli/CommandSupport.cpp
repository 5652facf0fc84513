#include "cli/CommandSupport.h"

#include <CLI/CLI.hpp>
#include <cstdio>

#include "cli/Context.h"
#include "cli/Files.h"
#include "session/Session.h"

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

std::string BareHex(const std::string& value) {
    return value.rfind("0x", 0) == 0 ? value.substr(2) : value;
}

std::vector<usb::DeviceLocation> DonglesToAsk(const Context& context, session::Session& session) {
    if (context.Options().session.device) return {usb::DeviceLocation{{}, session.DeviceId()}};
    return session.Dongles();
}

void AddAgentOption(CLI::App& app, std::optional<std::int32_t>& agent,
                    const std::string& description) {
    app.add_option("--agent", agent, description)
        ->type_name("NAME")
        ->transform(CLI::Validator(
            [](std::string& value) -> std::string {
                const auto index = AgentIndexByName(value);
                if (!index) return "unknown agent " + value + " (known: " + AgentNameList() + ")";
                value = std::to_string(*index);
                return {};
            },
            ""));
}

void AddChipOption(CLI::App& app, std::optional<int>& chip, const std::string& description) {
    app.add_option("--chip", chip, description)
        ->type_name("NAME")
        ->transform(CLI::Validator(
            [](std::string& value) -> std::string {
                const auto index = ChipTypeIndex(value);
                if (!index) return "unknown chip type " + value;
                value = std::to_string(*index);
                return {};
            },
            ""));
}

}  // namespace qdm::cli
