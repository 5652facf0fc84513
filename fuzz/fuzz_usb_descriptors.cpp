// The configuration descriptor set a device reports, parsed into the configuration, interface
// and endpoint tree. The tree may hold only what the bytes really contain.

#include <cstdint>
#include <span>

#include "fuzz/FuzzSupport.h"
#include "usb/UsbConfig.h"
#include "usb/NoDeviceDriver.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace qdm::usb;
    using qdm::fuzz::Require;
    NoDeviceDriver driver;
    UsbControlEndPoint control(driver, InvalidHandle, {});
    const UsbConfig config(driver, InvalidHandle, std::span(data, size), &control);
    Require(config.AltInterfaceCount <= kMaxInterfaces, "at most eight interfaces");
    for (std::size_t i = 0; i < kMaxInterfaces; ++i) {
        const auto& interface = config.Interfaces[i];
        Require((interface != nullptr) == (i < config.AltInterfaceCount), "the interfaces made");
        if (!interface) continue;
        Require(interface->EndPoints[0] == &control, "entry 0 is the control endpoint");
        Require(interface->AltSettingCount >= 1, "an interface counts itself");
        for (std::size_t e = 1; e < kMaxEndpointEntries; ++e) {
            const UsbEndPoint* endpoint = interface->EndPoints[e];
            if (endpoint != nullptr) Require(endpoint->Attributes <= 3, "a known transfer type");
        }
    }
    return 0;
}
