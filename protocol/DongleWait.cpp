#include "protocol/DongleWait.h"

#include <algorithm>
#include <cstdio>
#include <string>

#include "protocol/HostHooks.h"
#include "state/DiagnosticLog.h"

namespace qdm {

namespace {
void LogWait(const usb::UsbEndPoint& endpoint, const char* what, std::uint32_t milliseconds) {
    Diagnose([&] {
        char line[96];
        std::snprintf(line, sizeof line, "usb: endpoint 0x%02X: %s %u ms",
                      static_cast<unsigned>(endpoint.Address), what,
                      static_cast<unsigned>(milliseconds));
        return std::string(line);
    });
}
}  // namespace

bool WaitPumping(usb::UsbEndPoint& endpoint, usb::Overlapped& overlapped,
                 std::uint32_t milliseconds, std::uint32_t& waited) {
    // Completed at once, or never started: nothing to wait for.
    if (endpoint.LastError != usb::error::IoPending) return endpoint.WaitForTransfer(overlapped, 0);
    usb::UsbDriver& driver = endpoint.Driver();
    const auto slice = static_cast<std::uint32_t>(kPumpSlice.count());
    for (std::uint32_t left = milliseconds;;) {
        const std::uint32_t step = std::min(left, slice);
        // The slices themselves are not worth a line of the diagnostic log; the whole wait is.
        const usb::WaitResult result = driver.WaitForEvent(overlapped.hEvent, step);
        if (result == usb::WaitResult::Signalled) return true;
        if (result == usb::WaitResult::Failed) {
            LogWait(endpoint, "the wait for completion failed after", waited);
            return false;
        }
        waited += step;
        left -= step;
        if (left == 0) {
            LogWait(endpoint, "no completion within", milliseconds);
            return false;
        }
        PumpWhileBusy();
    }
}

}  // namespace qdm
