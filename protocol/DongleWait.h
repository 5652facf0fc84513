#pragma once
// Waiting for a transfer to the dongle without freezing the front end: the wait goes in slices
// of kPumpSlice, with PumpWhileBusy between them. What the dongle sees does not change.

#include <cstdint>

#include "usb/UsbEndPoint.h"

namespace qdm {

// Waits up to `milliseconds` for the transfer of `overlapped` on `endpoint`, as
// UsbEndPoint::WaitForTransfer does; `waited` grows by the time spent waiting (the pumping not
// counted). True when the transfer completed.
bool WaitPumping(usb::UsbEndPoint& endpoint, usb::Overlapped& overlapped,
                 std::uint32_t milliseconds, std::uint32_t& waited);

}  // namespace qdm
