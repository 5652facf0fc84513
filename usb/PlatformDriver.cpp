#include "usb/NoDeviceDriver.h"
#include "usb/UsbDriver.h"

#if defined(_WIN32)
#include "usb/Win32Driver.h"
#endif

namespace qdm::usb {

std::shared_ptr<UsbDriver> CreatePlatformDriver() {
#if defined(_WIN32)
    return CreateWin32Driver();
#else
    return std::make_shared<NoDeviceDriver>();
#endif
}

}  // namespace qdm::usb
