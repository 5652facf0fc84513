#pragma once
// The configuration → interface → endpoint tree built from a configuration descriptor set.

#include <array>
#include <cstdint>
#include <memory>
#include <span>

#include "usb/UsbEndPoint.h"

namespace qdm::usb {

inline constexpr std::size_t kMaxInterfaces = 8;
inline constexpr std::size_t kMaxEndpointEntries = 16;  // entry 0 is the control endpoint

class UsbInterface {
  public:
    // Builds the interface from the descriptors at the start of `descriptors` (the interface
    // descriptor and what follows it, up to the end of the configuration set).
    UsbInterface(UsbDriver& driver, Handle deviceHandle, std::span<const std::uint8_t> descriptors,
                 UsbControlEndPoint* controlEndPoint);

    // Entry 0 is the device's control endpoint (not owned); entries 1..15 are owned.
    std::array<UsbEndPoint*, kMaxEndpointEntries> EndPoints{};

    std::uint8_t bLength = 0;
    std::uint8_t bDescriptorType = 0;
    std::uint8_t bInterfaceNumber = 0;
    std::uint8_t bAlternateSetting = 0;
    std::uint8_t bNumEndpoints = 0;
    std::uint8_t bInterfaceClass = 0;
    std::uint8_t bInterfaceSubClass = 0;
    std::uint8_t bInterfaceProtocol = 0;
    std::uint8_t iInterface = 0;
    std::uint8_t AltSettingCount = 0;
    // Bytes consumed: the interface descriptor plus every descriptor read for its endpoints.
    std::uint16_t TotalLength = 0;

  private:
    std::array<std::unique_ptr<UsbEndPoint>, kMaxEndpointEntries> owned_;
};

class UsbConfig {
  public:
    UsbConfig(UsbDriver& driver, Handle deviceHandle, std::span<const std::uint8_t> descriptorSet,
              UsbControlEndPoint* controlEndPoint);

    std::array<std::unique_ptr<UsbInterface>, kMaxInterfaces> Interfaces;

    std::uint8_t bLength = 0;
    std::uint8_t bDescriptorType = 0;
    std::uint16_t wTotalLength = 0;
    std::uint8_t bNumInterfaces = 0;
    std::uint8_t bConfigurationValue = 0;
    std::uint8_t iConfiguration = 0;
    std::uint8_t bmAttributes = 0;
    std::uint8_t MaxPower = 0;
    std::uint8_t AltInterfaceCount = 0;
};

}  // namespace qdm::usb
