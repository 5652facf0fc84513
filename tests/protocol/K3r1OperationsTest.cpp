// The K3.r1 operations that walk blocks, program and count whole images, against the virtual
// K3.r1 board.

#include "protocol/Usbfunctions.h"
#include "sim/K3r1Board.h"
#include "tests/protocol/BoardTestSupport.h"

namespace qdm::test {
namespace {

class K3r1Test : public BoardTest {
  public:
    void SetUp() override {
        BoardTest::SetUp();
        Attach("k3r1");
        ASSERT_TRUE(R1Enable(1));
        Mark();
    }
    sim::SerialFlash& Chip() { return dongle->K3r1()->Chip(); }
};

TEST_F(K3r1Test, BlankCheckStopsAtTheFirstBlockNotAnsweringA5) {
    Chip().Preload(0x2FFFF, Bytes{0xFE});  // last byte of block 2
    EXPECT_FALSE(R1BlankCheck(0, 4));
    ASSERT_EQ(Sent().size(), 3U);
    EXPECT_EQ(Sent()[2], L({0x50, 0x04, 0x02, 0x00, 0x02, 0x00}));
    EXPECT_EQ(pumps, (std::vector<Shown>{{"", 0}, {"", 32}, {"", 128}}));
    EXPECT_EQ(Resets(), 1U);
}

TEST_F(K3r1Test, ProgramImageUsesTheK3r1RowsAndTexts) {
    EXPECT_TRUE(R1ProgramImage(TestImage(kImageUnit), 1));
    const auto sent = Sent();
    ASSERT_EQ(sent.size(), 2U);
    EXPECT_EQ(Bytes(sent[1].begin(), sent[1].begin() + 6),
              (Bytes{0x51, 0x55, 0x54, 0x00, 0x20, 0x00}));
    EXPECT_EQ(Bytes(sent[1].begin() + 262, sent[1].begin() + 266), (Bytes{0x50, 0x03, 0x00, 0x00}));
    EXPECT_EQ(pumps, (std::vector<Shown>{{"OTP Writer K3.r1 Serial Flash Programming...", 0},
                                         {"OTP Writer K3.r1 Serial Flash Programming..", 64}}));
}

TEST_F(K3r1Test, BitCountSumsTheRegionsItNames) {
    EXPECT_EQ(R1BitCount(0, 2), 0x080000U);  // erased: 262,144 one bits per region
    EXPECT_EQ(Sent(), (std::vector<Bytes>{L({0x56, 0x00, 0x00, 0x00, 0x02, 0x00}),
                                          L({0x56, 0x00, 0x80, 0x00, 0x02, 0x00})}));
    EXPECT_EQ(pumps, (std::vector<Shown>{{"OTP Writer K3.r1 Serial Flash Checking..", 0},
                                         {"OTP Writer K3.r1 Serial Flash Checking..", 64}}));
    EXPECT_EQ(Resets(), 1U);
    Chip().Preload(0x8000, Bytes(0x8000, 0x00));
    EXPECT_EQ(R1BitCount(0, 2), 0x040000U);
}

TEST_F(K3r1Test, ABlockReadWhoseReplyIsLostReportsIt) {
    Bytes block(512, 0xEE);
    dongle->NoReplyAtExchange(1);
    EXPECT_FALSE(R1ReadBlock(block, kOptionBlockIndex));
    EXPECT_EQ(block, Bytes(512, 0x00));  // what was cleared for the reply, never option bytes
    EXPECT_TRUE(R1ReadBlock(block, kOptionBlockIndex));
    EXPECT_EQ(block, Bytes(512, 0xFF));
}

// The cleared reply of a lost count would add zero one bits, which an image may hold there.
TEST_F(K3r1Test, ABitCountWithALostReplyReportsItAndStops) {
    std::uint32_t sum = 7;
    dongle->NoReplyAtExchange(2);
    EXPECT_FALSE(R1BitCount(0, 4, sum));
    EXPECT_EQ(Sent().size(), 2U);
    EXPECT_EQ(Resets(), 1U);
    EXPECT_TRUE(R1BitCount(0, 4, sum));
    EXPECT_EQ(sum, 4U * 0x040000U);

    Mark();
    dongle->LoseListAtExchange(1);
    EXPECT_FALSE(R1ProgramImage(TestImage(kImageUnit), 1));
    EXPECT_EQ(Sent().size(), 1U);
    dongle->NoReplyAtExchange(2);
    EXPECT_FALSE(R1ProgramPage(std::array<std::uint8_t, kPageSize>{}, 3));
}

TEST_F(K3r1Test, RoundTripCountsTheImagesOneBits) {
    constexpr std::uint32_t kUnits = 16;
    const Bytes image = TestImage(kUnits * kImageUnit);
    Chip().Fill(0x00);
    EXPECT_TRUE(R1Erase(0x00, 0x04));
    EXPECT_TRUE(R1Erase(0x7F, 0x01));
    EXPECT_TRUE(R1BlankCheck(0, kUnits / 4));
    EXPECT_TRUE(R1ProgramImage(image, kUnits));
    EXPECT_EQ(R1BitCount(0, kUnits / 2), OneBits(image));
    Bytes block(512);
    EXPECT_TRUE(R1ReadBlock(block, 3));
    EXPECT_TRUE(std::equal(block.begin(), block.end(), image.begin() + 3 * 512));
    EXPECT_TRUE(R1Enable(0));
    ExpectNothingLeftOpen();
}

}  // namespace
}  // namespace qdm::test
