#pragma once
// The configuration → interface → endpoint tree built from a configuration descriptor set.

#include <array>
#include <cstdint>
#include <memory>
#include <span>

#include "usb/CCyUSBEndPoint.h"

namespace qdm::usb {

inline constexpr std::size_t kMaxInterfaces = 8;
inline constexpr std::size_t kMaxEndpointEntries = 16;  // entry 0 is the control endpoint

class CCyUSBInterface {
  public:
    // Builds the interface from the descriptors at the start of `descriptors` (the interface
    // descriptor and what follows it, up to the end of the configuration set).
    CCyUSBInterface(UsbDriver& driver, Handle deviceHandle,
                    std::span<const std::uint8_t> descriptors, CCyControlEndPoint* controlEndPoint);

    // Entry 0 is the device's control endpoint (not owned); entries 1..15 are owned.
    std::array<CCyUSBEndPoint*, kMaxEndpointEntries> EndPoints{};

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
    std::array<std::unique_ptr<CCyUSBEndPoint>, kMaxEndpointEntries> owned_;
};

class CCyUSBConfig {
  public:
    CCyUSBConfig(UsbDriver& driver, Handle deviceHandle,
                 std::span<const std::uint8_t> descriptorSet, CCyControlEndPoint* controlEndPoint);

    std::array<std::unique_ptr<CCyUSBInterface>, kMaxInterfaces> Interfaces;

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
