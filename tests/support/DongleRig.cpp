#include "tests/support/DongleRig.h"

#include "sim/VirtualDriver.h"
#include "usb/LibusbDriver.h"

namespace qdm::test {

std::string PathName(UsbPath path) {
    return path == UsbPath::InProcess ? "InProcess" : "OverEmulatedKernel";
}

std::vector<UsbPath> AvailablePaths() {
#if defined(QDM_HAVE_UMOCKDEV) && defined(QDM_HAVE_LIBUSB)
    return {UsbPath::InProcess, UsbPath::OverEmulatedKernel};
#else
    return {UsbPath::InProcess};
#endif
}

std::string WhyUnavailable(UsbPath path) {
    if (path == UsbPath::InProcess) return {};
#if defined(QDM_HAVE_UMOCKDEV) && defined(QDM_HAVE_LIBUSB)
    if (!sim::UnderUmockdevPreload())
        return "the emulated kernel USB interface needs libumockdev-preload.so.0 in LD_PRELOAD";
    return {};
#else
    return "built without umockdev or libusb";
#endif
}

DongleRig::DongleRig(UsbPath path, sim::DongleConfig config)
    : path_(path), dongle_(std::make_shared<sim::VirtualDongle>(std::move(config))) {
    if (path == UsbPath::InProcess) {
        auto driver = std::make_shared<sim::VirtualDriver>();
        driver->Attach(dongle_);
        driver_ = driver;
    } else {
#if defined(QDM_HAVE_UMOCKDEV) && defined(QDM_HAVE_LIBUSB)
        // The testbed first: libusb finds the devices when its context starts.
        emulator_ = std::make_unique<sim::KernelUsbEmulator>();
        emulator_->Attach(dongle_, 2);
        driver_ = std::make_shared<usb::LibusbDriver>();
#endif
    }
    usb::SetActiveDriver(driver_);
}

DongleRig::~DongleRig() {
    usb::SetActiveDriver(nullptr);
    driver_.reset();  // the libusb context goes before the testbed it looked at
#if defined(QDM_HAVE_UMOCKDEV)
    emulator_.reset();
#endif
}

void DongleRig::Unplug() {
#if defined(QDM_HAVE_UMOCKDEV)
    if (emulator_) return emulator_->Unplug(0);
#endif
    dongle_->Unplug();
}

void DongleRig::Plug() {
#if defined(QDM_HAVE_UMOCKDEV)
    if (emulator_) return emulator_->Plug(0);
#endif
    dongle_->Plug();
}

std::size_t DongleRig::OpenHandles() const {
#if defined(QDM_HAVE_LIBUSB)
    if (const auto* l = dynamic_cast<const usb::LibusbDriver*>(driver_.get()))
        return l->OpenHandles();
#endif
    return dynamic_cast<const sim::VirtualDriver&>(*driver_).OpenHandles();
}

std::size_t DongleRig::PendingRequests() const {
#if defined(QDM_HAVE_LIBUSB)
    if (const auto* l = dynamic_cast<const usb::LibusbDriver*>(driver_.get()))
        return l->PendingRequests();
#endif
    return dynamic_cast<const sim::VirtualDriver&>(*driver_).PendingRequests();
}

}  // namespace qdm::test
