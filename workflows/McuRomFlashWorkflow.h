#pragma once
// Programs a ROM image into the parallel flash behind a dongle that runs the MCU-ROM firmware.
// The download workflows hand over to it when the dongle does not answer as a writer dongle.

#include "workflows/OperatorPanel.h"
#include "workflows/RunOutcome.h"

namespace qdm {

RunOutcome McuRomFlashWorkflow(OperatorPanel& panel);

}  // namespace qdm
