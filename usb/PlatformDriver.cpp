#include "usb/NoDeviceDriver.h"
#include "usb/UsbDriver.h"

namespace qdm::usb {

std::shared_ptr<UsbDriver> CreatePlatformDriver() {
    return std::make_shared<NoDeviceDriver>();
}

}  // namespace qdm::usb
