#include "usb/FirmwareLoader.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "state/Mainprocess.h"
#include "tests/support/FakeDriver.h"
#include "usb/Fileiofunctions.h"

namespace qdm {
namespace {

std::vector<std::uint8_t> Bytes(std::string_view text) {
    return {text.begin(), text.end()};
}

const std::string kFirmware =
    ":03100000AABBCCBC\r\n"
    ":020010001234A8\r\n"
    ":00000001FF\r\n";

TEST(HexText, NibbleExchangeAndDigits) {
    std::vector<std::uint8_t> stored = {0xA3, 0x03, 0x03};
    ExchangeNibbles(stored);
    EXPECT_EQ(stored, Bytes(":00"));
    const std::string digits = "09AFafG:";
    const std::vector<std::uint8_t> values = {0, 9, 10, 15, 10, 15, 0, 0};
    for (std::size_t i = 0; i < digits.size(); ++i)
        EXPECT_EQ(HexDigitValue(digits[i]), values[i]);
}

TEST(HexText, LinesSplitOnlyAtCrLf) {
    const auto withEnd = Bytes("ab\r\ncd\r\n");
    std::size_t position = 0;
    EXPECT_EQ(NextTextLine(withEnd, position), "ab");
    EXPECT_EQ(NextTextLine(withEnd, position), "cd");
    EXPECT_EQ(position, withEnd.size());  // the loop ends: no empty line after the last CR LF

    const auto withoutEnd = Bytes("a\nb\rc\r\nlast");
    position = 0;
    EXPECT_EQ(NextTextLine(withoutEnd, position), "a\nb\rc");
    EXPECT_EQ(NextTextLine(withoutEnd, position), "last");
    EXPECT_EQ(position, withoutEnd.size() + 2);
}

TEST(HexText, RecordsAndTheDiagnosticImage) {
    std::array<std::uint8_t, kRecordDataCapacity> data{};
    HexRecord record;
    ASSERT_TRUE(DecodeRecord(":03100000AABBCC00", data, record));  // checksum not examined here
    EXPECT_EQ(record.count, 3);
    EXPECT_EQ(record.address, 0x1000);
    EXPECT_TRUE(record.data);
    EXPECT_EQ(data[0], 0xAA);
    EXPECT_EQ(data[2], 0xCC);
    EXPECT_FALSE(DecodeRecord("03100000AABBCC", data, record));
    EXPECT_FALSE(DecodeRecord(":0310000", data, record));       // shorter than its header
    EXPECT_FALSE(DecodeRecord(":10100000AABB", data, record));  // shorter than its data
    EXPECT_FALSE(DecodeRecord(":" + std::string(600, '0'), data, record));  // longer than 512

    std::vector<std::uint8_t> image(kDiagnosticImageSize, 0);
    std::span<std::uint8_t, kDiagnosticImageSize> view(image.data(), image.size());
    EXPECT_TRUE(DecodeRecordToImage(":03100000AABBCCBC", view));
    EXPECT_EQ(image[0x1000], 0xAA);
    EXPECT_EQ(image[0x1002], 0xCC);
    EXPECT_TRUE(DecodeRecordToImage(":023FFF00112290", view));  // second byte beyond the image
    EXPECT_EQ(image[0x3FFF], 0x11);
    EXPECT_TRUE(DecodeRecordToImage(":00000001FF", view));
}

TEST(HexText, ValidationRejectsEveryMalformedLineBeforeTheEndRecord) {
    EXPECT_TRUE(ValidateFirmwareText(Bytes(kFirmware)));
    EXPECT_TRUE(ValidateFirmwareText(Bytes(kFirmware + "garbage after the end\r\n")));
    const std::vector<std::string> bad = {
        ":03100000AABBCCBD\r\n:00000001FF\r\n",  // checksum
        ":03100000AABBCC\r\n:00000001FF\r\n",    // no checksum
        ":03100000AABBXCBC\r\n:00000001FF\r\n",  // not hexadecimal
        "\r\n:00000001FF\r\n",                   // empty line
        "03100000AABBCCBC\r\n:00000001FF\r\n",   // no colon
        ":03100000AABBCCBC\r\n",                 // no end record
        ":03100000AABBCCBC\n:00000001FF\n",      // LF only: one long line
        ":04100000AABBCCBC\r\n:00000001FF\r\n",  // count larger than the data
        // Outside the dongle's RAM: the CPU register would start a half-loaded firmware, a
        // record past 0xFFFF would wrap onto the reset vector.
        ":01E600000019\r\n:00000001FF\r\n",
        ":03100000AABBCCBC\r\n:02E5FF00010217\r\n:00000001FF\r\n",
        ":02FFFF000102FD\r\n:00000001FF\r\n",
        ":00000001FF\r\n",  // no firmware at all
        // Extended addresses would move the records after them elsewhere.
        ":020000021000EC\r\n:03100000AABBCCBC\r\n:00000001FF\r\n",
        ":020000040001F9\r\n:03100000AABBCCBC\r\n:00000001FF\r\n",
    };
    for (const std::string& text : bad) {
        std::string why;
        EXPECT_FALSE(ValidateFirmwareText(Bytes(text), &why)) << text;
        EXPECT_FALSE(why.empty());
    }
}

class DownloadFirmwareTest : public ::testing::Test {
  protected:
    void SetUp() override {
        driver = std::make_shared<test::FakeDriver>();
        driver->devices.emplace_back();
        usb::SetActiveDriver(driver);
    }
    void TearDown() override { usb::SetActiveDriver(nullptr); }
    std::vector<test::FakeDriver::Call> VendorRequests() const {
        std::vector<test::FakeDriver::Call> found;
        for (const auto& c : driver->CallsWith(usb::ioctl::ControlTransfer))
            if (c.header.bmRequestType == 0x40) found.push_back(c);
        return found;
    }
    std::shared_ptr<test::FakeDriver> driver;
};

TEST_F(DownloadFirmwareTest, RecordsGoDownBetweenHoldingAndReleasingTheCpu) {
    ASSERT_TRUE(DownloadFirmware(Bytes(kFirmware), 0));
    const auto requests = VendorRequests();
    ASSERT_EQ(requests.size(), 5u);
    for (const auto& r : requests) {
        EXPECT_EQ(r.header.bRequest, 0xA0);
        EXPECT_EQ(r.header.wIndex, 0);
        EXPECT_EQ(r.header.TimeOut, 10u);
    }
    EXPECT_EQ(requests[0].header.wValue, 0xE600);
    EXPECT_EQ(requests[0].data, std::vector<std::uint8_t>{0x01});
    EXPECT_EQ(requests[1].header.wValue, 0x1000);
    EXPECT_EQ(requests[1].data, (std::vector<std::uint8_t>{0xAA, 0xBB, 0xCC}));
    EXPECT_EQ(requests[2].header.wValue, 0x0010);
    EXPECT_EQ(requests[2].data, (std::vector<std::uint8_t>{0x12, 0x34}));
    EXPECT_EQ(requests[3].header.wValue, 0x0000);  // the end record: no data
    EXPECT_TRUE(requests[3].data.empty());
    EXPECT_EQ(requests[4].header.wValue, 0xE600);
    EXPECT_EQ(requests[4].data, std::vector<std::uint8_t>{0x00});
}

TEST_F(DownloadFirmwareTest, FailuresSendNothingOrReportThemselves) {
    EXPECT_FALSE(DownloadFirmware({}, 0));
    EXPECT_FALSE(DownloadFirmware(Bytes(":03100000AABBCCBD\r\n:00000001FF\r\n"), 0));
    EXPECT_TRUE(driver->calls.empty());  // a bad text never reaches the dongle

    driver->devices[0].vendorRequestsFail = true;
    EXPECT_FALSE(DownloadFirmware(Bytes(kFirmware), 0));
    EXPECT_EQ(VendorRequests().size(), 1u);  // stopped at the first refusal

    driver->devices.clear();
    EXPECT_FALSE(DownloadFirmware(Bytes(kFirmware), 0));
}

TEST(FirmwareFile, IsReadWholeWithItsNibblesExchanged) {
    const auto dir = std::filesystem::temp_directory_path() / "qdm-firmware-test";
    std::filesystem::create_directories(dir);
    auto stored = Bytes(kFirmware);
    ExchangeNibbles(stored);
    ASSERT_TRUE(WriteFileFrom(stored, dir / "DWTB.TBH"));
    std::vector<std::uint8_t> text;
    ASSERT_TRUE(ReadFirmwareText(dir / "DWTB.TBH", text));
    EXPECT_EQ(text, Bytes(kFirmware));
    EXPECT_FALSE(ReadFirmwareText(dir / "missing.TBH", text));
    EXPECT_TRUE(text.empty());
    // A folder reads as a file of 2^63 - 1 bytes; it must be refused, with the reason.
    std::string why;
    EXPECT_FALSE(ReadFirmwareText(dir, text, &why));
    EXPECT_EQ(why, "not a regular file");
    std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace qdm
