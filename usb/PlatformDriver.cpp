#include "usb/NoDeviceDriver.h"
#include "usb/UsbDriver.h"

#if defined(QDM_HAVE_LIBUSB)
#include "usb/LibusbDriver.h"
#endif

namespace qdm::usb {

std::shared_ptr<UsbDriver> CreatePlatformDriver() {
#if defined(QDM_HAVE_LIBUSB)
    auto driver = std::make_shared<LibusbDriver>();
    if (driver->Available()) return driver;
#endif
    return std::make_shared<NoDeviceDriver>();
}

}  // namespace qdm::usb
