#include "sim/StandInFirmware.h"

#include <algorithm>
#include <cstdio>

#include "usb/Fileiofunctions.h"

namespace qdm::sim {

bool HoldsWriterSignature(std::span<const std::uint8_t> ram) {
    if (ram.size() < kWriterSignatureAddress + kWriterSignature.size()) return false;
    return std::equal(kWriterSignature.begin(), kWriterSignature.end(),
                      ram.begin() + kWriterSignatureAddress);
}

std::vector<FirmwareRecord> StandInFirmwareRecords() {
    // A reset vector jumping past the interrupt table, the signature, and a few bytes of code
    // that would park the CPU: enough to look like a firmware, small enough to read.
    return {
        {0x0000,
         {0x02, 0x00, 0x80, 0x32, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
          0xFF}},
        {kWriterSignatureAddress, {kWriterSignature.begin(), kWriterSignature.end()}},
        {0x0080,
         {0x75, 0x81, 0x5F, 0x90, 0xE6, 0x00, 0x74, 0x10, 0xF0, 0x12, 0x00, 0x90, 0x80, 0xFE, 0x00,
          0x00}},
        {0x0090,
         {0xE4, 0x90, 0xE6, 0x04, 0xF0, 0x74, 0x80, 0xF0, 0x74, 0x02, 0xF0, 0x74, 0x06, 0xF0, 0x22,
          0x00}},
    };
}

namespace {

void AppendRecord(std::string& text, std::uint8_t type, std::uint16_t address,
                  std::span<const std::uint8_t> data) {
    char field[8];
    auto sum = static_cast<std::uint8_t>(data.size() + (address >> 8) + (address & 0xFF) + type);
    std::snprintf(field, sizeof field, ":%02X", static_cast<unsigned>(data.size()));
    text += field;
    std::snprintf(field, sizeof field, "%04X", static_cast<unsigned>(address));
    text += field;
    std::snprintf(field, sizeof field, "%02X", static_cast<unsigned>(type));
    text += field;
    for (const std::uint8_t b : data) {
        std::snprintf(field, sizeof field, "%02X", static_cast<unsigned>(b));
        text += field;
        sum = static_cast<std::uint8_t>(sum + b);
    }
    std::snprintf(field, sizeof field, "%02X\r\n",
                  static_cast<unsigned>(static_cast<std::uint8_t>(0x100 - sum)));
    text += field;
}

}  // namespace

std::string StandInFirmwareHex() {
    std::string text;
    for (const FirmwareRecord& record : StandInFirmwareRecords())
        AppendRecord(text, 0x00, record.address, record.data);
    AppendRecord(text, 0x01, 0x0000, {});
    return text;
}

std::vector<std::uint8_t> StandInFirmwareFile() {
    const std::string text = StandInFirmwareHex();
    std::vector<std::uint8_t> file(text.begin(), text.end());
    ExchangeNibbles(file);
    return file;
}

}  // namespace qdm::sim
