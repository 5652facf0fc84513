#include <CLI/CLI.hpp>
#include <cstdio>
#include <ostream>
#include <string>

#include "cli/CommandSupport.h"
#include "cli/Commands.h"
#include "cli/Context.h"
#include "cli/ExitCodes.h"
#include "cli/Options.h"
#include "workflows/ChipProperties.h"

namespace qdm::cli {

namespace {

int RunChips(Context& context) {
    Output& output = context.Out();
    std::ostream& out = output.Human();
    auto& chips = output.Result()["chips"];
    chips = nlohmann::ordered_json::array();
    out << "Chip type  Code  Image size\n";
    for (const ChipProperties& row : ChipPropertyTable) {
        chips.push_back({{"name", std::string(row.name)},
                         {"code", HexValue(row.code, 2)},
                         {"image_size", row.imageSize}});
        char line[96];
        if (row.imageSize == 0) {
            std::snprintf(line, sizeof line, "%-10s -     none: a container's header names it",
                          std::string(row.name).c_str());
        } else {
            std::snprintf(line, sizeof line, "%-10s %s  %u bytes (%u KiB)",
                          std::string(row.name).c_str(), HexValue(row.code, 2).c_str(),
                          row.imageSize, row.imageSize / 1024);
        }
        out << line << "\n";
    }
    return kExitSuccess;
}

}  // namespace

void AddChipsCommand(CommandSet& commands) {
    commands.Add({"chips", "", "", "the chip types --chip takes: name, code, image size",
                  "The chip types a download takes with --chip, in any case: the code the chip's\n"
                  "option page and a container's header carry, and the image size it programs.\n",
                  ""},
                 &RunChips);
}

}  // namespace qdm::cli
