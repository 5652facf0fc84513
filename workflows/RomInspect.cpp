#include "workflows/RomInspect.h"

#include <algorithm>

#include "state/Mainprocess.h"
#include "workflows/Mcurom_codec.h"

namespace qdm {

namespace {

// Loading sets the agent and the checksum of the program; an inspection must not.
class StateKeeper {
  public:
    StateKeeper() : agent_(State().AgentIndex), checksum_(State().ImageChecksum) {}
    StateKeeper(const StateKeeper&) = delete;
    StateKeeper& operator=(const StateKeeper&) = delete;
    ~StateKeeper() {
        State().AgentIndex = agent_;
        State().ImageChecksum = checksum_;
    }

  private:
    std::int32_t agent_;
    std::uint32_t checksum_;
};

}  // namespace

RomOutcome<RomInfo> InspectRom(std::vector<std::uint8_t> fileBytes, std::int32_t startAgent,
                               ForcedAgent forcedAgent) {
    const StateKeeper keeper;
    RomInfo info;
    info.fileLength = fileBytes.size();
    const bool container = IsRomContainer(fileBytes) && fileBytes.size() > kContainerHeaderSize;
    info.rawFileForm = !container && IsRawFileFormSize(fileBytes.size());
    const ScrambledForm form = info.rawFileForm ? ScrambledForm::RawFile : ScrambledForm::Chained;
    const std::size_t firstAt = container ? kContainerHeaderSize : 0;
    const std::uint8_t firstStored = firstAt < fileBytes.size() ? fileBytes[firstAt] : 0;

    State().AgentIndex = startAgent;
    const auto loaded =
        LoadRomBytes(std::move(fileBytes), "", HeaderUse::ChipCodeAndByte12, forcedAgent);
    if (!loaded) return loaded.error();
    const RomImage& rom = loaded.value();

    info.kind = rom.Kind();
    info.imageLength = rom.ImageLength();
    info.chipCode = rom.ChipCode();
    info.rangeFlag = rom.RangeFlag();
    info.chipIndex = rom.ChipIndex();
    info.agentIndex = rom.AgentIndex();
    info.agentForced = rom.AgentForced();
    info.keyPassed = rom.KeyPassed();
    info.checksum = rom.Checksum();

    if (info.kind == RomKind::Raw && !info.rawFileForm) {
        // Loading searches no key for a raw image taken as chained: the starting agent stands.
        info.searchAgentIndex = startAgent;
        info.searchPassed =
            PassesKeyTest(FirstPlainByte(form, firstStored, AgentKey(startAgent)), true);
    } else {
        const AgentSearchResult search = SearchAgentKey(form, firstStored, startAgent);
        info.searchAgentIndex = search.agentIndex;
        info.searchPassed = search.passed;
    }

    std::vector<std::uint8_t> head(
        rom.Image().begin(), rom.Image().begin() + static_cast<std::ptrdiff_t>(std::min(
                                                       kInspectPlainBytes, rom.ImageLength())));
    DecodeChainedImage(head, AgentKey(info.agentIndex));
    info.firstPlainBytes = std::move(head);

    for (std::int32_t agent = 0; agent < static_cast<std::int32_t>(kAgentCount); ++agent) {
        const std::uint8_t first = FirstPlainByte(form, firstStored, AgentKey(agent));
        if (PassesKeyTest(first, true)) info.candidates.push_back({agent, first});
    }
    return info;
}

}  // namespace qdm
