// The K3.r8 operations that walk blocks, program and read whole images, against the virtual
// K3.r8 board; client board detection.

#include <array>

#include "protocol/Usbfunctions.h"
#include "sim/K3r8Board.h"
#include "tests/protocol/BoardTestSupport.h"

namespace qdm::test {
namespace {

class K3r8Test : public BoardTest {
  public:
    void SetUp() override {
        BoardTest::SetUp();
        Attach("k3r8");
        ASSERT_TRUE(R8Enable(1));
        Mark();
    }
    sim::SerialFlash& Chip(std::size_t c) { return dongle->K3r8()->Chip(c); }
    bool ReadBack(std::uint32_t units) {
        for (Bytes& chip : chips)
            chip.assign(units * kImageUnit, 0xEE);
        return R8ReadBack(chips[0], chips[1], chips[2], units, chips[3]);
    }
    std::array<Bytes, 4> chips;
};

TEST_F(K3r8Test, DetectionNamesTheBoardByItsIdByte) {
    for (const auto& [id, kind] : std::vector<std::pair<std::uint8_t, std::uint8_t>>{
             {0x3F, 1}, {0x00, 1}, {0x40, 0}, {0xC1, 2}, {0x81, 3}, {0xC0, 0}}) {
        dongle->SetBoardIdOverride(id);
        EXPECT_EQ(DetectClientBoard(), kind) << int{id};
    }
    dongle->Unplug();
    EXPECT_EQ(DetectClientBoard(), 0);
}

TEST_F(K3r8Test, BlankCheckWalksTheBlocksAndStopsAtTheFirstNonBlankOne) {
    std::uint8_t flags = 0;
    EXPECT_TRUE(R8BlankCheck(0, 4, flags));
    EXPECT_EQ(flags, 0x0F);
    ASSERT_EQ(Sent().size(), 4U);
    EXPECT_EQ(Sent()[3], L({0x30, 0x04, 0x03, 0x00, 0x02, 0x00}));
    EXPECT_EQ(pumps, (std::vector<Shown>{{"", 0}, {"", 32}, {"", 64}, {"", 96}}));

    Chip(2).Preload(0x10000, Bytes{0x00});  // chip 3, block 1: the block answers 0xB0
    Mark();
    EXPECT_FALSE(R8BlankCheck(0, 4, flags));
    EXPECT_EQ(flags, 0x0B);
    EXPECT_EQ(Sent().size(), 2U);
    EXPECT_EQ(dongle->ExchangeLog()[1].reply, Bytes{0xB0});
    EXPECT_EQ(State().ProgressValue, 128);
    EXPECT_EQ(Resets(), 1U);
}

TEST_F(K3r8Test, ProgramImageSendsTwoBatchesOf32PageGroupsPerUnit) {
    const Bytes image = TestImage(kImageUnit);
    EXPECT_TRUE(R8ProgramImage(image, 1));
    const auto sent = Sent();
    ASSERT_EQ(sent.size(), 2U);
    for (std::uint32_t h = 0; h < 2; ++h) {
        List list;
        for (std::uint32_t at = h * 8192; at < (h + 1) * 8192; at += 256)
            list.Add({0x31, 0x55})
                .Page(0x34, at, std::span(image).subspan(at))
                .Add({0x30, 0x03})
                .Zeros(248);
        list.Add({0x03, 0x00, 0x02, 0x00});
        EXPECT_EQ(list.bytes().size(), 16388U);
        EXPECT_EQ(sent[h], list.Padded());
    }
    EXPECT_EQ(Bytes(sent[1].begin(), sent[1].begin() + 6),
              (Bytes{0x31, 0x55, 0x34, 0x00, 0x20, 0x00}));
    EXPECT_EQ(pumps, (std::vector<Shown>{{"OTP Writer K3.r8 Serial Flash Programming...", 0},
                                         {"OTP Writer K3.r8 Serial Flash Programming..", 64}}));
    EXPECT_EQ(Resets(), 1U);
    EXPECT_FALSE(R8ProgramImage(std::span(image).first(kImageUnit - 1), 1));  // too short
    EXPECT_EQ(Sent().size(), 2U);
}

TEST_F(K3r8Test, ReadBackSetsThePositionOnceAndDumpsEveryChip) {
    for (std::size_t c = 0; c < 4; ++c)
        Chip(c).Preload(0, TestImage(kImageUnit, c + 1U));
    EXPECT_TRUE(ReadBack(1));
    List first;
    List reads;
    first.Addr(0x32, 0);
    for (int r = 0; r < 8; ++r) {
        first.Add({0x33, 0x3F, 0x02, 0x00});
        reads.Add({0x33, 0x3F, 0x02, 0x00});
    }
    EXPECT_EQ(first.bytes().size(), 36U);
    EXPECT_EQ(reads.bytes().size(), 32U);
    std::vector<Bytes> expected(16, reads.Padded());
    expected[0] = first.Padded();
    EXPECT_EQ(Sent(), expected);
    for (std::size_t c = 0; c < 4; ++c) {
        EXPECT_EQ(chips[c], TestImage(kImageUnit, c + 1U));
        EXPECT_EQ(DumpFile("RDBBK.VF" + std::to_string(c + 1)), chips[c]);
    }
    ASSERT_EQ(pumps.size(), 16U);
    for (std::size_t n = 0; n < 16; ++n)
        EXPECT_EQ(pumps[n], (Shown{n % 2 == 0 ? "OTP Writer K3.r8 Serial Flash Reading..."
                                              : "OTP Writer K3.r8 Serial Flash Reading..",
                                   static_cast<std::uint8_t>(n * 8)}));
    EXPECT_EQ(Resets(), 1U);
    chips[3].pop_back();  // too small: nothing is read
    EXPECT_FALSE(R8ReadBack(chips[0], chips[1], chips[2], 1, chips[3]));
    EXPECT_EQ(Sent().size(), 16U);
}

// Dump files left by an earlier run, longer or shorter, end up holding exactly this run's bytes.
TEST_F(K3r8Test, ReadBackDumpsReplaceTheFilesOfAnEarlierRun) {
    for (std::size_t c = 0; c < 4; ++c) {
        Chip(c).Preload(0, TestImage(kImageUnit, c + 5U));
        const std::size_t earlier = c < 2 ? 3 * kImageUnit : 100;
        WriteFileFrom(Bytes(earlier, 0xA5), dumps / ("RDBBK.VF" + std::to_string(c + 1)));
    }
    EXPECT_TRUE(ReadBack(1));
    for (std::size_t c = 0; c < 4; ++c)
        EXPECT_EQ(DumpFile("RDBBK.VF" + std::to_string(c + 1)), TestImage(kImageUnit, c + 5U)) << c;
}

// A reply that never came reads as zeros; a read that reported success over them would let a
// run carry zeros into the option page.
TEST_F(K3r8Test, ReadsWhoseReplyIsLostReportIt) {
    std::array<Bytes, 4> block;
    block.fill(Bytes(512, 0xEE));
    dongle->NoReplyAtExchange(1);
    EXPECT_FALSE(R8ReadBlock(block[0], block[1], block[2], kOptionBlockIndex, block[3]));
    EXPECT_TRUE(R8ReadBlock(block[0], block[1], block[2], kOptionBlockIndex, block[3]));
    EXPECT_EQ(block[0], Bytes(512, 0xFF));

    // The read-back stops at the lost reply: the read position of what follows is unknown.
    Mark();
    dongle->NoReplyAtExchange(3);
    EXPECT_FALSE(ReadBack(1));
    EXPECT_EQ(Sent().size(), 3U);
    EXPECT_EQ(Resets(), 1U);
    Bytes expected(kImageUnit, 0x00);  // two lists of erased flash, then nothing of the 0xEE
    std::fill_n(expected.begin(), 2048, 0xFF);
    for (const Bytes& chip : chips)
        EXPECT_EQ(chip, expected);
    EXPECT_TRUE(ReadBack(1));
}

// A dongle that stopped answering would make every further batch wait out its time-out, and a
// page write that was lost would leave a page the run never wrote.
TEST_F(K3r8Test, ProgrammingStopsAtTheFirstLostExchange) {
    const Bytes image = TestImage(2 * kImageUnit);
    dongle->LoseListAtExchange(2);
    EXPECT_FALSE(R8ProgramImage(image, 2));
    EXPECT_EQ(Sent().size(), 2U);
    EXPECT_EQ(Resets(), 1U);

    std::array<std::uint8_t, kPageSize> page{};
    Mark();
    dongle->NoReplyAtExchange(1);
    EXPECT_FALSE(R8ProgramPage(page, 0xFFFF));
    EXPECT_TRUE(R8ProgramPage(page, 0xFFFF));
}

TEST_F(K3r8Test, RoundTripLeavesTheImageInAllFourChips) {
    constexpr std::uint32_t kUnits = 16;
    const Bytes image = TestImage(kUnits * kImageUnit);
    for (std::size_t c = 0; c < 4; ++c)
        Chip(c).Fill(0x00);
    std::uint8_t flags = 0;
    EXPECT_TRUE(R8Erase(0x00, 0x04));
    EXPECT_TRUE(R8Erase(0x7F, 0x01));
    EXPECT_TRUE(R8BlankCheck(0, 4, flags));
    EXPECT_TRUE(R8ProgramImage(image, kUnits));
    EXPECT_TRUE(ReadBack(kUnits));
    for (std::size_t c = 0; c < 4; ++c)
        EXPECT_EQ(chips[c], image) << "chip " << c + 1;
    EXPECT_TRUE(R8Enable(0));
    ExpectNothingLeftOpen();
}

TEST_F(K3r8Test, ProgrammingWithoutAnEraseFailsTheComparison) {
    ASSERT_TRUE(R8ProgramImage(TestImage(kImageUnit, 1), 1));
    const Bytes second = TestImage(kImageUnit, 2);
    ASSERT_TRUE(R8ProgramImage(second, 1));
    ASSERT_TRUE(ReadBack(1));
    for (const Bytes& chip : chips)
        EXPECT_NE(chip, second);
}

TEST_F(K3r8Test, AStuckChipShowsInTheBlankCheckFlags) {
    for (std::size_t c = 0; c < 4; ++c) {
        Chip(c).AddStuckBit({0x2345, 3, false});
        std::uint8_t flags = 0;
        R8Erase(0x00, 0x04);
        EXPECT_FALSE(R8BlankCheck(0, 4, flags));
        EXPECT_EQ(flags, 0x0F & ~(1 << c)) << "chip " << c + 1;
        Chip(c).ClearFaults();
    }
}

}  // namespace
}  // namespace qdm::test
