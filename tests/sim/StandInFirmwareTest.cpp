// The stand-in writer firmware: a well-formed Intel HEX text, its nibble-exchanged file form,
// and the signature that makes the virtual dongle start its writer firmware.

#include <gtest/gtest.h>

#include <string_view>

#include "tests/sim/SimTestSupport.h"
#include "usb/Fileiofunctions.h"

namespace qdm::sim {
namespace {

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t at = 0;
    while (at < text.size()) {
        const std::size_t end = text.find("\r\n", at);
        EXPECT_NE(end, std::string::npos) << "every line ends with CR LF";
        if (end == std::string::npos) break;
        lines.push_back(text.substr(at, end - at));
        at = end + 2;
    }
    return lines;
}

TEST(StandInFirmware, HexRecordsAreWellFormed) {
    const auto lines = Lines(StandInFirmwareHex());
    ASSERT_GE(lines.size(), 3U);
    EXPECT_EQ(lines.back(), ":00000001FF");
    const auto records = StandInFirmwareRecords();
    ASSERT_EQ(lines.size(), records.size() + 1);
    for (std::size_t i = 0; i + 1 < lines.size(); ++i) {
        const std::string& line = lines[i];
        ASSERT_EQ(line[0], ':');
        ASSERT_EQ(line.size(), 1 + 2 * (5 + 16U));
        unsigned sum = 0;
        for (std::size_t k = 1; k < line.size(); k += 2)
            sum += static_cast<unsigned>(std::stoul(line.substr(k, 2), nullptr, 16));
        EXPECT_EQ(sum & 0xFF, 0U) << line;
        EXPECT_EQ(line.substr(1, 2), "10");
        EXPECT_EQ(line.substr(7, 2), "00");
        EXPECT_EQ(std::stoul(line.substr(3, 4), nullptr, 16), records[i].address);
        EXPECT_EQ(records[i].data.size(), 16U);
    }
}

TEST(StandInFirmware, RecordsCarryTheSignature) {
    std::vector<std::uint8_t> ram(kRamSize, 0);
    for (const auto& r : StandInFirmwareRecords())
        std::copy(r.data.begin(), r.data.end(), ram.begin() + r.address);
    EXPECT_TRUE(HoldsWriterSignature(ram));
    ram[kWriterSignatureAddress + 15] ^= 1;
    EXPECT_FALSE(HoldsWriterSignature(ram));
    EXPECT_FALSE(HoldsWriterSignature(std::vector<std::uint8_t>(16)));
}

TEST(StandInFirmware, FileFormExchangesNibblesAndParsesBack) {
    std::vector<std::uint8_t> file = StandInFirmwareFile();
    const std::string hex = StandInFirmwareHex();
    ASSERT_EQ(file.size(), hex.size());
    EXPECT_EQ(file[0], 0xA3);  // ':' stored nibble-exchanged
    ExchangeNibbles(file);
    EXPECT_EQ(std::string(file.begin(), file.end()), hex);

    // The host's record reader puts the records into a dongle's RAM as its download would.
    VirtualDongle dongle;
    test::VendorWrite(dongle, kCpuControlAddress, {0x01});
    std::size_t position = 0;
    while (position < file.size()) {
        const std::string_view line = NextTextLine(file, position);
        std::array<std::uint8_t, kRecordDataCapacity> data{};
        HexRecord record;
        ASSERT_TRUE(DecodeRecord(line, data, record));
        test::VendorWrite(
            dongle, record.address,
            test::Bytes(data.begin(), data.begin() + (record.data ? record.count : 0)));
    }
    test::VendorWrite(dongle, kCpuControlAddress, {0x00});
    EXPECT_EQ(dongle.State(), FirmwareState::Writer);
    for (const auto& r : StandInFirmwareRecords())
        EXPECT_TRUE(std::equal(r.data.begin(), r.data.end(), dongle.Ram().begin() + r.address));
}

}  // namespace
}  // namespace qdm::sim
