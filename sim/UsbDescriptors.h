#pragma once
// The standard USB descriptors of the dongle: one configuration with one interface holding bulk
// OUT 0x02 and bulk IN 0x86 of 512 bytes, and its string descriptors.

#include <cstdint>
#include <string_view>
#include <vector>

namespace qdm::sim {

inline constexpr std::uint8_t kBulkOutEndpoint = 0x02;
inline constexpr std::uint8_t kBulkInEndpoint = 0x86;
inline constexpr std::uint16_t kBulkPacketSize = 512;
inline constexpr std::uint16_t kLanguageEnglishUs = 0x0409;

namespace descriptor_type {
inline constexpr std::uint8_t Device = 1;
inline constexpr std::uint8_t Configuration = 2;
inline constexpr std::uint8_t String = 3;
inline constexpr std::uint8_t Interface = 4;
inline constexpr std::uint8_t Endpoint = 5;
}  // namespace descriptor_type

// String indexes used by the device descriptor.
inline constexpr std::uint8_t kManufacturerIndex = 1;
inline constexpr std::uint8_t kProductIndex = 2;
inline constexpr std::uint8_t kSerialNumberIndex = 3;

std::vector<std::uint8_t> BuildDeviceDescriptor(std::uint16_t vendorId, std::uint16_t productId,
                                                std::uint16_t bcdDevice);
std::vector<std::uint8_t> BuildConfigurationDescriptor();
std::vector<std::uint8_t> BuildLanguageDescriptor();
// A string descriptor from Latin-1 text (UTF-16LE, at most 126 characters).
std::vector<std::uint8_t> BuildStringDescriptor(std::string_view text);

}  // namespace qdm::sim
