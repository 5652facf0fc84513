#include "cli/ImageChecks.h"

#include "cli/CommandSupport.h"
#include "cli/Files.h"
#include "state/Mainprocess.h"
#include "workflows/ChipProperties.h"
#include "workflows/RomInspect.h"
#include "workflows/RunLog.h"

namespace qdm::cli {

std::vector<std::string> ImageWarnings(const std::string& file, std::vector<std::uint8_t> bytes,
                                       std::optional<int> chip, const DownloadOptions& options) {
    const auto inspected = InspectRom(std::move(bytes), State().SavedAgentIndex, options.agent);
    if (!inspected) return {};
    const RomInfo& info = inspected.value();
    std::vector<std::string> warnings;
    if (info.agentForced && !info.keyPassed) {
        warnings.push_back("the key of agent " + std::string(AgentName(info.agentIndex)) +
                           " does not pass the first-byte test for " + file);
    } else if (!info.agentForced && info.candidates.empty()) {
        warnings.push_back("no agent's key passes the first-byte test for " + file +
                           "; the image may be damaged or made for another program");
    }

    const auto name = [](int row) {
        return std::string(ChipTypeNames[static_cast<std::size_t>(row)]);
    };
    const bool container = info.kind == RomKind::Container;
    // The container's chip index picks the chip type over --chip, but not in the fast download.
    const int headerRow =
        container && !options.fast && info.chipIndex < kChipTypeCount ? info.chipIndex : 0;
    int row = chip.value_or(0);
    if (headerRow > 0) {
        if (row > 0 && row != headerRow)
            warnings.push_back("--chip " + name(row) + " is ignored: the header of " + file +
                               " names chip type " + name(headerRow));
        row = headerRow;
    } else if (container && row > 0 && info.chipCode != 0 &&
               ChipPropertyTable[static_cast<std::size_t>(row)].code != info.chipCode) {
        warnings.push_back("--chip " + name(row) + " gives the chip code " +
                           HexValue(ChipPropertyTable[static_cast<std::size_t>(row)].code, 2) +
                           ", the header of " + file + " names " + HexValue(info.chipCode, 2) +
                           "; the chip gets " +
                           HexValue(ChipPropertyTable[static_cast<std::size_t>(row)].code, 2));
    }
    const std::uint32_t size = ChipPropertyTable[static_cast<std::size_t>(row)].imageSize;
    if (row > 0 && size > 0 && info.imageLength > size)
        warnings.push_back("the image in " + file + " (" + std::to_string(info.imageLength) +
                           " bytes) is larger than chip type " + name(row) + " (" +
                           std::to_string(size) + " bytes)");
    return warnings;
}

}  // namespace qdm::cli
