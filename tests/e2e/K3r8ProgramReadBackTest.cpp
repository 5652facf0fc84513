// A 256 KiB image programmed into the four chips of a K3.r8 board and read back, command list by
// command list through WriterTransaction, over both USB paths.

#include <gtest/gtest.h>

#include "sim/K3r8Board.h"
#include "tests/e2e/OverBothPaths.h"
#include "tests/sim/SimTestSupport.h"

namespace qdm::test {
namespace {

using sim::test::Bytes;
using sim::test::List;

bool Transact(const List& list, Bytes& reply) {
    return WriterTransaction(list.bytes(), reply);
}

using K3r8ProgramReadBack = OverBothPaths;

TEST_P(K3r8ProgramReadBack, WholeImageProgrammedAndReadBackFromAllFourChips) {
    DongleRig& rig = Start();
    ASSERT_TRUE(DownloadFirmware(FirmwareText(), 0));
    ASSERT_TRUE(WaitForDongleAfterFirmware());
    ASSERT_TRUE(QueryDongleIdentity());
    ASSERT_EQ(DetectClientBoard(), kBoardK3r8);
    rig.WithDongle([](auto& d) {
        d.SetExchangeLogEnabled(false);
        d.ResetExchangeCounter();
    });

    // Board on (interface setup), then a whole-chip erase on all four chips.
    Bytes ack(1);
    ASSERT_TRUE(Transact(
        List().Add({0x35, 0xAA, 0x1A, 0x3B, 0x1B, 0x00, 0x1C, 0xFF, 0x03, 0x00, 0x02, 0x00}), ack));
    Bytes erase(2);
    ASSERT_TRUE(Transact(List().Add({0x31, 0xA5, 0x00, 0x04, 0x02, 0x00}), erase));
    EXPECT_EQ(erase[1], 0x00);

    constexpr std::uint32_t kImage = 256 * 1024;
    Bytes image(kImage);
    for (std::uint32_t i = 0; i < kImage; ++i)
        image[i] = static_cast<std::uint8_t>((i * 2654435761U) >> 24);
    // 32 pages per list: write enable, page program, program status, padding to 512 bytes.
    for (std::uint32_t position = 0; position < kImage;) {
        List list;
        for (int g = 0; g < 32; ++g, position += 256)
            list.Add({0x31, 0x55})
                .Page(0x34, position, std::span(image).subspan(position, 256))
                .Add({0x30, 0x03})
                .Zeros(248);
        list.Add({0x03, 0x00, 0x02, 0x00});
        Bytes status(33);
        ASSERT_TRUE(Transact(list, status)) << position;
    }

    // Read back 1 KiB per chip and list: one byte of each chip in turn.
    std::array<Bytes, 4> chips;
    for (std::uint32_t n = 0; n < kImage / 1024; ++n) {
        List list;
        if (n == 0) list.Addr(0x32, 0);
        for (int k = 0; k < 8; ++k)
            list.Add({0x33, 0x3F, 0x02, 0x00});
        Bytes reply(4096);
        ASSERT_TRUE(Transact(list, reply)) << n;
        for (std::size_t p = 0; p < 1024; ++p)
            for (std::size_t c = 0; c < 4; ++c)
                chips[c].push_back(reply[4 * p + c]);
    }
    for (std::size_t c = 0; c < 4; ++c)
        EXPECT_EQ(chips[c], image) << "chip " << c + 1;
    rig.WithDongle([&image](sim::VirtualDongle& d) {
        for (std::size_t c = 0; c < 4; ++c) {
            const auto flash = d.K3r8()->Chip(c).Contents();
            EXPECT_TRUE(std::equal(image.begin(), image.end(), flash.begin())) << c;
        }
        EXPECT_EQ(d.ExchangeCount(), 2U + 32 + 256);
    });
    EXPECT_EQ(rig.OpenHandles(), 0U);
    EXPECT_EQ(rig.PendingRequests(), 0U);
}

QDM_OVER_BOTH_PATHS(K3r8ProgramReadBack);

}  // namespace
}  // namespace qdm::test
