#include "usb/PcapTraceDriver.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "protocol/Usbfunctions.h"
#include "tests/support/FakeDriver.h"
#include "usb/Fileiofunctions.h"
#include "usb/TransferRequest.h"

namespace qdm::usb {
namespace {

struct Packet {
    char type;
    std::uint8_t kind;
    std::uint8_t endpoint;
    std::int32_t status;
    std::uint32_t length;
    std::vector<std::uint8_t> setup;
    std::vector<std::uint8_t> data;
};

std::vector<Packet> ReadPackets(const std::filesystem::path& file, std::uint32_t& linkType) {
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(FileSizeOf(file)));
    ReadFileInto(file, bytes);
    EXPECT_GE(bytes.size(), 24u);
    EXPECT_EQ(LoadLe32(bytes, 0), 0xA1B2C3D4u);
    linkType = LoadLe32(bytes, 20);
    std::vector<Packet> packets;
    std::size_t at = 24;
    while (at + 16 + 64 <= bytes.size()) {
        const std::uint32_t caught = LoadLe32(bytes, at + 8);
        const std::span<const std::uint8_t> h(bytes.data() + at + 16, 64);
        Packet p{static_cast<char>(h[8]), h[9], h[10], static_cast<std::int32_t>(LoadLe32(h, 28)),
                 LoadLe32(h, 32),         {},   {}};
        if (h[14] == 0) p.setup.assign(h.begin() + 40, h.begin() + 48);
        p.data.assign(bytes.begin() + static_cast<std::ptrdiff_t>(at + 16 + 64),
                      bytes.begin() + static_cast<std::ptrdiff_t>(at + 16 + caught));
        EXPECT_EQ(LoadLe32(h, 36), p.data.size());
        packets.push_back(p);
        at += 16 + caught;
    }
    EXPECT_EQ(at, bytes.size());
    return packets;
}

TEST(PcapTrace, RecordsControlAndBulkTransfersWithTheirData) {
    auto fake = std::make_shared<test::FakeDriver>();
    fake->devices.emplace_back();
    fake->devices[0].onList = [](std::span<const std::uint8_t>) {
        return std::optional<std::vector<std::uint8_t>>({0x14, 0x02});
    };
    const auto file = std::filesystem::temp_directory_path() / "qdm-trace-test.pcap";
    {
        auto trace = std::make_shared<PcapTraceDriver>(fake, file);
        ASSERT_TRUE(trace->IsOpen());
        SetActiveDriver(trace);
        std::array<std::uint8_t, 2> reply{};
        EXPECT_TRUE(WriterTransaction(std::vector<std::uint8_t>{0x01, 0x02, 0x02, 0x00}, reply));
        SetActiveDriver(nullptr);
    }
    std::uint32_t linkType = 0;
    const auto packets = ReadPackets(file, linkType);
    std::filesystem::remove(file);
    EXPECT_EQ(linkType, 220u);

    // The device descriptor request opens the trace: a submission with its setup packet.
    ASSERT_GE(packets.size(), 6u);
    EXPECT_EQ(packets[0].type, 'S');
    EXPECT_EQ(packets[0].kind, 2);
    EXPECT_EQ(packets[0].setup, (std::vector<std::uint8_t>{0x80, 6, 0, 1, 0, 0, 18, 0}));
    EXPECT_EQ(packets[1].type, 'C');
    EXPECT_EQ(packets[1].data.size(), 18u);

    std::vector<Packet> bulk;
    for (const Packet& p : packets)
        if (p.kind == 3) bulk.push_back(p);
    ASSERT_EQ(bulk.size(), 4u);
    EXPECT_EQ(bulk[0].type, 'S');  // the read is queued first
    EXPECT_EQ(bulk[0].endpoint, 0x86);
    EXPECT_EQ(bulk[0].length, 2u);
    EXPECT_EQ(bulk[1].type, 'S');
    EXPECT_EQ(bulk[1].endpoint, 0x02);
    ASSERT_EQ(bulk[1].data.size(), 512u);
    EXPECT_EQ(std::vector<std::uint8_t>(bulk[1].data.begin(), bulk[1].data.begin() + 4),
              (std::vector<std::uint8_t>{0x01, 0x02, 0x02, 0x00}));
    EXPECT_EQ(bulk[2].type, 'C');
    EXPECT_EQ(bulk[2].endpoint, 0x02);
    EXPECT_EQ(bulk[3].type, 'C');
    EXPECT_EQ(bulk[3].endpoint, 0x86);
    EXPECT_EQ(bulk[3].status, 0);
    EXPECT_EQ(bulk[3].data, (std::vector<std::uint8_t>{0x14, 0x02}));
}

}  // namespace
}  // namespace qdm::usb
