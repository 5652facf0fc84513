#include "usb/NoDeviceDriver.h"
#include "usb/UsbDriver.h"

#if defined(_WIN32)
#include "usb/Win32Driver.h"
#elif defined(QDM_HAVE_LIBUSB)
#include "usb/LibusbDriver.h"
#endif

namespace qdm::usb {

std::shared_ptr<UsbDriver> CreatePlatformDriver() {
#if defined(_WIN32)
    return CreateWin32Driver();
#else
#if defined(QDM_HAVE_LIBUSB)
    auto driver = std::make_shared<LibusbDriver>();
    if (driver->Available()) return driver;
#endif
    return std::make_shared<NoDeviceDriver>();
#endif
}

std::string PlatformDriverName() {
#if defined(_WIN32)
    return "the vendor's USB driver";
#elif defined(QDM_HAVE_LIBUSB)
    return LibusbVersionText();
#else
    return {};
#endif
}

}  // namespace qdm::usb
