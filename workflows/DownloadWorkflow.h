#pragma once
// The operator's main function: one whole programming cycle on whichever client board is
// attached, or the hand-over to the MCU-ROM flow for a dongle that is not a writer dongle. The
// same run does one part of the cycle on its own (workflows/BoardOperation.h).

#include <cstdint>
#include <optional>

#include "workflows/BoardOperation.h"
#include "workflows/ChipProperties.h"
#include "workflows/OperatorPanel.h"
#include "workflows/RunOutcome.h"

namespace qdm {

struct DownloadOptions {
    // The shorter variant behind "Fast": no firmware download, the chip code from header byte 11,
    // only the system option page, no demoboard reset at the end.
    bool fast = false;
    // Source of the option page's random byte; the system's random device when null.
    RandomByteSource* random = nullptr;
    // The agent whose key the image is made with, for files the key search gets wrong; the
    // search runs when it is not given. Also handed to the MCU-ROM flow.
    std::optional<std::int32_t> agent;
    // The whole download, or only its verify (of the image and option pages `fast` would have
    // written), read, blank check or erase; a board without the stages for it is refused with
    // RunResult::Unsupported before anything is switched on.
    OperationScope scope;
};

RunOutcome RunDownload(OperatorPanel& panel, const DownloadOptions& options);

// "D O W N L O A D"
inline RunOutcome Btn_DownloadClick(OperatorPanel& panel) {
    return RunDownload(panel, {});
}
// "Fast"
inline RunOutcome Btn_2Click(OperatorPanel& panel) {
    DownloadOptions options;
    options.fast = true;
    return RunDownload(panel, options);
}

// One bits in `bytes`.
std::uint64_t CountOneBits(std::span<const std::uint8_t> bytes);

}  // namespace qdm
