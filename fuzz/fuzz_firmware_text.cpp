// The dongle firmware file: its text (taken as it is and as the stored form with exchanged
// nibbles), the line splitting, the Intel HEX records decoded alone and into the diagnostic
// image, and the download into a virtual dongle. A text the check refuses sends nothing; one it
// accepts holds the CPU, sends exactly its records up to the end record, and releases the CPU.

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/FuzzSupport.h"
#include "usb/Fileiofunctions.h"
#include "usb/FirmwareLoader.h"

namespace qdm::fuzz {
namespace {

// The lines as NextTextLine walks them, with what it promises about each.
std::vector<std::string_view> WalkLines(std::span<const std::uint8_t> text) {
    std::vector<std::string_view> lines;
    std::size_t position = 0;
    while (position < text.size()) {
        const std::size_t before = position;
        const std::string_view line = NextTextLine(text, position);
        Require(position == before + line.size() + 2, "the position moves past the line end");
        Require(line.find("\r\n") == std::string_view::npos, "no line end inside a line");
        Require(reinterpret_cast<const std::uint8_t*>(line.data()) == text.data() + before,
                "the line is the text at the position");
        lines.push_back(line);
    }
    return lines;
}

void DecodeEveryLine(const std::vector<std::string_view>& lines) {
    std::array<std::uint8_t, kRecordDataCapacity> data{};
    std::vector<std::uint8_t> image(kDiagnosticImageSize, 0);
    for (const std::string_view line : lines) {
        HexRecord record;
        record.count = 0xEE;
        const bool decoded = DecodeRecord(line, data, record);
        if (!decoded) {
            Require(record.count == 0xEE, "a refused line writes no record");
        } else {
            Require(line[0] == ':' && line.size() <= kMaxRecordLine, "only record lines decode");
            Require(!record.data || line.size() >= 9 + 2u * record.count,
                    "data bytes only from the line");
        }
        Require(
            DecodeRecordToImage(line, std::span(image).first<kDiagnosticImageSize>()) == decoded,
            "both decoders take the same lines");
    }
}

// The firmware-load requests the dongle received, in order.
std::vector<sim::ControlRecord> Loads(sim::VirtualDongle& dongle) {
    std::vector<sim::ControlRecord> loads;
    for (const sim::ControlRecord& c : dongle.ControlLog())
        if (c.setup.bmRequestType == 0x40 && c.setup.bRequest == kFirmwareLoadRequest)
            loads.push_back(c);
    return loads;
}

void Download(std::span<const std::uint8_t> text, const std::vector<std::string_view>& lines) {
    const bool valid = ValidateFirmwareText(text);
    if (!valid) {
        // Refused before any device is looked for.
        Require(!DownloadFirmware(text, 0), "a refused text is not downloaded");
        return;
    }
    FuzzDongle dongle("k3r8", false);
    dongle.Dongle().ClearControlLog();
    Require(DownloadFirmware(text, 0), "an accepted text is downloaded");
    const std::vector<sim::ControlRecord> loads = Loads(dongle.Dongle());
    Require(loads.size() >= 3, "hold, end record, release");
    const auto cpu = [](const sim::ControlRecord& c, std::uint8_t value) {
        return c.setup.wValue == kCpuControlRegister && c.data == std::vector<std::uint8_t>{value};
    };
    Require(cpu(loads.front(), 0x01) && cpu(loads.back(), 0x00), "the CPU held, then released");
    // One request per data record and one for the end record, in file order.
    std::size_t next = 1;
    std::array<std::uint8_t, kRecordDataCapacity> data{};
    for (const std::string_view line : lines) {
        HexRecord record;
        Require(DecodeRecord(line, data, record), "an accepted text holds records only");
        if (record.type != 0x01 && !record.data) continue;
        Require(next + 1 < loads.size(), "a request for every record");
        const sim::ControlRecord& sent = loads[next++];
        Require(sent.setup.wValue == record.address, "the record's address");
        const std::size_t count = record.data ? record.count : 0;
        Require(sent.data.size() == count &&
                    std::equal(sent.data.begin(), sent.data.end(), data.begin()),
                "the record's data");
        if (record.type == 0x01) break;
    }
    Require(next + 1 == loads.size(), "nothing sent beyond the end record");
    dongle.RequireNothingLeftOpen("the firmware download");
}

void Check(std::span<const std::uint8_t> text) {
    const std::vector<std::string_view> lines = WalkLines(text);
    DecodeEveryLine(lines);
    std::string why;
    if (!ValidateFirmwareText(text, &why)) Require(!why.empty(), "a reason for a refusal");
    Download(text, lines);
}

}  // namespace
}  // namespace qdm::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace qdm;
    fuzz::QuietHooks();
    std::vector<std::uint8_t> text(data, data + size);
    fuzz::Check(text);
    // The same bytes as the firmware file stores its text.
    ExchangeNibbles(text);
    fuzz::Check(text);
    return 0;
}
