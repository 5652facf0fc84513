#pragma once
// What a ROM file holds, as far as the programs can tell without a dongle: its form, the
// container header, the agent the key search picks and every agent whose key passes the
// one-byte test (more than one means the search may pick the wrong one), the checksum and the
// first plain bytes.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <vector>

#include "workflows/RomImage.h"

namespace qdm {

struct AgentCandidate {
    std::int32_t agentIndex = 0;
    std::uint8_t firstPlain = 0;  // the first plain byte under this agent's key
};

struct RomInfo {
    RomKind kind = RomKind::Raw;
    bool rawFileForm = false;  // a raw image of a classic size
    std::size_t fileLength = 0;
    std::size_t imageLength = 0;  // payload length of a container, file length of a raw image
    // Header bytes 11 and 12 of a container; zero for a raw image.
    std::uint8_t chipCode = 0;
    bool rangeFlag = false;
    std::uint8_t chipIndex = 0;
    // The agent the image is decoded with: the forced one, or the key search's pick.
    std::int32_t agentIndex = 0;
    bool agentForced = false;
    bool keyPassed = false;
    // What the key search picks from the starting agent, whether or not an agent was forced.
    std::int32_t searchAgentIndex = 0;
    bool searchPassed = false;
    std::uint32_t checksum = 0;
    std::vector<std::uint8_t> firstPlainBytes;  // up to kInspectPlainBytes
    std::vector<AgentCandidate> candidates;     // in agent order
};

inline constexpr std::size_t kInspectPlainBytes = 16;

// Inspects file contents the way a download loads them, starting the key search from
// `startAgent` (the built-in agent in the programs). Leaves the program state as it found it.
RomOutcome<RomInfo> InspectRom(std::vector<std::uint8_t> fileBytes, std::int32_t startAgent,
                               ForcedAgent forcedAgent = std::nullopt);

}  // namespace qdm
