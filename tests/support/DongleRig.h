#pragma once
// A virtual dongle reachable over one of the two USB paths the end-to-end tests run on: through
// the in-process virtual driver, or through libusb against the emulated kernel USB interface.
// The rig makes its driver the active one for as long as it lives.

#include <memory>
#include <string>
#include <utility>

#include "sim/VirtualDongle.h"
#include "usb/UsbDriver.h"

#if defined(QDM_HAVE_UMOCKDEV)
#include "tests/kernel/KernelUsbEmulator.h"
#endif

namespace qdm::test {

enum class UsbPath { InProcess, OverEmulatedKernel };

// "InProcess" / "OverEmulatedKernel", as the test names carry them.
std::string PathName(UsbPath path);
// The paths this build can run (the emulated kernel needs umockdev).
std::vector<UsbPath> AvailablePaths();
// Empty when `path` can run in this process, else why not (for GTEST_SKIP).
std::string WhyUnavailable(UsbPath path);

class DongleRig {
  public:
    DongleRig(UsbPath path, sim::DongleConfig config = {});
    DongleRig(const DongleRig&) = delete;
    DongleRig& operator=(const DongleRig&) = delete;
    ~DongleRig();

    [[nodiscard]] UsbPath Path() const { return path_; }
    [[nodiscard]] usb::UsbDriver& Driver() { return *driver_; }

    // Runs `f` on the dongle, serialised with the emulated kernel's handler where there is one.
    template <class F>
    decltype(auto) WithDongle(F&& f) {
#if defined(QDM_HAVE_UMOCKDEV)
        if (emulator_) return emulator_->WithDongle(0, std::forward<F>(f));
#endif
        return std::forward<F>(f)(*dongle_);
    }
    void Unplug();
    void Plug();

    // Open handles and transfers still pending at the driver (both must be 0 between
    // operations).
    [[nodiscard]] std::size_t OpenHandles() const;
    [[nodiscard]] std::size_t PendingRequests() const;

#if defined(QDM_HAVE_UMOCKDEV)
    // Null on the in-process path.
    [[nodiscard]] sim::KernelUsbEmulator* Emulator() {
        return emulator_.get();
    }
#endif

  private:
    UsbPath path_;
    std::shared_ptr<sim::VirtualDongle> dongle_;
#if defined(QDM_HAVE_UMOCKDEV)
    std::unique_ptr<sim::KernelUsbEmulator> emulator_;
#endif
    std::shared_ptr<usb::UsbDriver> driver_;
};

}  // namespace qdm::test
