#pragma once
// Checks the workflows make before touching the dongle.

#include <optional>

namespace qdm {

// True while a workflow runs. A click that reaches a workflow then, through the message pump of
// the running one, is refused before it touches the dongle, the window or the program state:
// taking it for a missing dongle would clear the running workflow's busy flag.
bool OperationInProgress();
inline constexpr const char* kOperationInProgress = "Another operation is in progress.";

// Whether the writer dongle is present with the expected identifiers; keeps DongleConnected in
// step. Changes no control and shows no message. While a run is busy it checks nothing and
// answers false.
bool ConfirmDongle();

// Windows NT 6.1 in its workstation edition (Windows 7), where the dongle's firmware is not
// downloaded. False on every host without that version query.
bool IsWindows7Workstation();

// Replaces the host's answer (nullopt: ask the host again). A virtual dongle has no vendor driver
// to load its firmware, so a simulated session always takes the download's own firmware path.
void SetWindows7Condition(std::optional<bool> forced);

}  // namespace qdm
