#include "protocol/DongleWait.h"

#include <algorithm>

#include "protocol/HostHooks.h"

namespace qdm {

bool WaitPumping(usb::UsbEndPoint& endpoint, usb::Overlapped& overlapped,
                 std::uint32_t milliseconds, std::uint32_t& waited) {
    // Completed at once, or never started: nothing to wait for.
    if (endpoint.LastError != usb::error::IoPending) return endpoint.WaitForTransfer(overlapped, 0);
    const auto slice = static_cast<std::uint32_t>(kPumpSlice.count());
    for (std::uint32_t left = milliseconds;;) {
        const std::uint32_t step = std::min(left, slice);
        if (endpoint.WaitForTransfer(overlapped, step)) return true;
        waited += step;
        left -= step;
        if (left == 0) return false;
        PumpWhileBusy();
    }
}

}  // namespace qdm
