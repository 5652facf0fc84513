#pragma once
// Programs a ROM image into the parallel flash behind a dongle that runs the MCU-ROM firmware.
// The download workflows hand over to it when the dongle does not answer as a writer dongle.

#include <cstdint>
#include <optional>

#include "workflows/BoardOperation.h"
#include "workflows/OperatorPanel.h"
#include "workflows/RunOutcome.h"

namespace qdm {

struct McuRomOptions {
    // The agent whose key the image is made with; the key search runs when it is not given.
    std::optional<std::int32_t> agent;
    // The whole flash cycle, or one part of it: verify against the file, read the flash, blank
    // check, erase.
    OperationScope scope;
};

// The board its runs name: a download handed over to this flow ran on it.
inline constexpr const char* kMcuRomBoard = "MCU-ROM";

RunOutcome McuRomFlashWorkflow(OperatorPanel& panel, const McuRomOptions& options = {});

}  // namespace qdm
