#include "sim/UsbDescriptors.h"

#include <algorithm>

namespace qdm::sim {

namespace {
std::uint8_t Lo(std::uint16_t v) {
    return static_cast<std::uint8_t>(v & 0xFF);
}
std::uint8_t Hi(std::uint16_t v) {
    return static_cast<std::uint8_t>(v >> 8);
}
}  // namespace

std::vector<std::uint8_t> BuildDeviceDescriptor(std::uint16_t vendorId, std::uint16_t productId,
                                                std::uint16_t bcdDevice) {
    return {18,
            descriptor_type::Device,
            0x00,
            0x02,  // bcdUSB 2.00
            0xFF,
            0xFF,
            0xFF,  // vendor-specific class, as the EZ-USB reports itself
            64,    // bMaxPacketSize0
            Lo(vendorId),
            Hi(vendorId),
            Lo(productId),
            Hi(productId),
            Lo(bcdDevice),
            Hi(bcdDevice),
            kManufacturerIndex,
            kProductIndex,
            kSerialNumberIndex,
            1};  // bNumConfigurations
}

std::vector<std::uint8_t> BuildConfigurationDescriptor() {
    constexpr std::uint16_t kTotal = 9 + 9 + 7 + 7;
    return {// configuration
            9, descriptor_type::Configuration, Lo(kTotal), Hi(kTotal), 1, 1, 0, 0x80, 50,
            // interface 0, alternate setting 0, two endpoints, vendor class
            9, descriptor_type::Interface, 0, 0, 2, 0xFF, 0x00, 0x00, 0,
            // bulk OUT
            7, descriptor_type::Endpoint, kBulkOutEndpoint, 0x02, Lo(kBulkPacketSize),
            Hi(kBulkPacketSize), 0,
            // bulk IN
            7, descriptor_type::Endpoint, kBulkInEndpoint, 0x02, Lo(kBulkPacketSize),
            Hi(kBulkPacketSize), 0};
}

std::vector<std::uint8_t> BuildLanguageDescriptor() {
    return {4, descriptor_type::String, Lo(kLanguageEnglishUs), Hi(kLanguageEnglishUs)};
}

std::vector<std::uint8_t> BuildStringDescriptor(std::string_view text) {
    const std::size_t chars = std::min<std::size_t>(text.size(), 126);
    std::vector<std::uint8_t> d;
    d.reserve(2 + 2 * chars);
    d.push_back(static_cast<std::uint8_t>(2 + 2 * chars));
    d.push_back(descriptor_type::String);
    for (std::size_t i = 0; i < chars; ++i) {
        d.push_back(static_cast<std::uint8_t>(text[i]));
        d.push_back(0);
    }
    return d;
}

}  // namespace qdm::sim
