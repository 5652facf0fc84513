#include "usb/UsbConfig.h"

#include <algorithm>

#include "usb/TransferRequest.h"

namespace qdm::usb {

namespace {
constexpr std::uint8_t kInterfaceDescriptor = 4;
constexpr std::uint8_t kEndpointDescriptor = 5;
constexpr std::size_t kEndpointDescriptorSize = 7;
constexpr int kMaxForeignDescriptors = 11;  // class-specific descriptors stepped over per interface

std::unique_ptr<UsbEndPoint> MakeEndPoint(UsbDriver& driver, Handle handle,
                                          std::span<const std::uint8_t> descriptor) {
    switch (descriptor[3]) {
        case 0:
            return std::make_unique<UsbControlEndPoint>(driver, handle, descriptor);
        case 1:
            return std::make_unique<UsbIsocEndPoint>(driver, handle, descriptor);
        case 2:
            return std::make_unique<UsbBulkEndPoint>(driver, handle, descriptor);
        case 3:
            return std::make_unique<UsbInterruptEndPoint>(driver, handle, descriptor);
        default:
            return nullptr;  // takes its position in the list, but no object
    }
}
}  // namespace

UsbInterface::UsbInterface(UsbDriver& driver, Handle deviceHandle, std::span<const std::uint8_t> d,
                           UsbControlEndPoint* controlEndPoint) {
    // The caller guarantees the nine bytes of the interface descriptor.
    bLength = d[0];
    bDescriptorType = d[1];
    bInterfaceNumber = d[2];
    bAlternateSetting = d[3];
    bNumEndpoints = d[4];
    bInterfaceClass = d[5];
    bInterfaceSubClass = d[6];
    bInterfaceProtocol = d[7];
    iInterface = d[8];
    TotalLength = bLength;
    EndPoints[0] = controlEndPoint;

    const std::size_t wanted = std::min<std::size_t>(bNumEndpoints, kMaxEndpointEntries - 1);
    std::size_t made = 0;
    int foreign = 0;
    std::size_t at = bLength;
    while (made < wanted && at + 2 <= d.size()) {
        const std::uint8_t length = d[at];
        // A descriptor that claims no length or runs past the set ends the walk.
        if (length < 2 || at + length > d.size()) break;
        if (d[at + 1] == kEndpointDescriptor && length >= kEndpointDescriptorSize) {
            owned_[made + 1] = MakeEndPoint(driver, deviceHandle, d.subspan(at, length));
            EndPoints[made + 1] = owned_[made + 1].get();
            ++made;
        } else if (++foreign > kMaxForeignDescriptors) {
            break;
        }
        TotalLength = static_cast<std::uint16_t>(TotalLength + length);
        at += length;
    }
}

UsbConfig::UsbConfig(UsbDriver& driver, Handle deviceHandle, std::span<const std::uint8_t> d,
                     UsbControlEndPoint* controlEndPoint) {
    if (d.size() < 9) return;
    bLength = d[0];
    bDescriptorType = d[1];
    wTotalLength = LoadLe16(d, 2);
    bNumInterfaces = d[4];
    bConfigurationValue = d[5];
    iConfiguration = d[6];
    bmAttributes = d[7];
    MaxPower = d[8];

    const std::span<const std::uint8_t> set =
        d.first(std::min<std::size_t>(wTotalLength, d.size()));
    std::size_t at = bLength;
    while (at + 2 <= set.size() && AltInterfaceCount < kMaxInterfaces) {
        const std::uint8_t length = set[at];
        if (length < 2 || at + length > set.size()) break;
        if (set[at + 1] == kInterfaceDescriptor && length >= 9) {
            auto& slot = Interfaces[AltInterfaceCount];
            slot = std::make_unique<UsbInterface>(driver, deviceHandle, set.subspan(at),
                                                  controlEndPoint);
            ++AltInterfaceCount;
            at += std::max<std::size_t>(slot->TotalLength, length);
        } else {
            at += length;
        }
    }
    for (std::size_t i = 0; i < AltInterfaceCount; ++i) {
        Interfaces[i]->AltSettingCount = static_cast<std::uint8_t>(std::count_if(
            Interfaces.begin(), Interfaces.begin() + AltInterfaceCount, [&](const auto& other) {
                return other->bInterfaceNumber == Interfaces[i]->bInterfaceNumber;
            }));
    }
}

}  // namespace qdm::usb
