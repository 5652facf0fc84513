#pragma once
// A small stand-in for the writer firmware, for the virtual dongle only. The virtual dongle
// starts its writer firmware when the RAM holds the signature below at its fixed address when
// the CPU is released; the stand-in image carries it.

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace qdm::sim {

inline constexpr std::uint16_t kWriterSignatureAddress = 0x0040;
inline constexpr std::array<std::uint8_t, 16> kWriterSignature{
    'Q', 'D', 'M', '-', 'W', 'R', 'I', 'T', 'E', 'R', '-', 'F', 'W', '-', '0', '1'};

// True when `ram` (the dongle's 64 KiB) holds the signature at its address.
bool HoldsWriterSignature(std::span<const std::uint8_t> ram);

struct FirmwareRecord {
    std::uint16_t address = 0;
    std::vector<std::uint8_t> data;
};

// The stand-in image as records, in file order (the signature record among them).
std::vector<FirmwareRecord> StandInFirmwareRecords();
// The image as Intel HEX text: 16-byte data records, CR LF line ends, ":00000001FF" last.
std::string StandInFirmwareHex();
// The same text as the firmware file stores it: the two nibbles of every byte exchanged.
std::vector<std::uint8_t> StandInFirmwareFile();

}  // namespace qdm::sim
