// The demoboard's chip erase, image programming and counting against the virtual demoboard.

#include <array>
#include <chrono>

#include "protocol/Usbfunctions.h"
#include "sim/Demoboard.h"
#include "tests/protocol/BoardTestSupport.h"

namespace qdm::test {
namespace {

class DemoboardTest : public BoardTest {
  public:
    void SetUp() override {
        BoardTest::SetUp();
        Attach("demoboard");
    }
    sim::Demoboard& Board() { return *dongle->Demo(); }
};

const Bytes kAccessOn = L({0x46, 0xAA, 0x03, 0x00, 0x02, 0x00});
const Bytes kAccessOff = L({0x46, 0x55, 0x03, 0x00, 0x02, 0x00});
const Bytes kStatusPoll = L({0x40, 0x02, 0x02, 0x00});
const std::string kErase = "Speech Demoboard Serial Flash Erasing...";
const std::string kErasing3 = "Speech demoboard Serial Flash Erasing...";
const std::string kErasing2 = "Speech demoboard Serial Flash Erasing..";

struct EraseCase {
    const char* name;
    std::uint32_t busyPolls;
    std::vector<Shown> polls;  // what each poll showed
};

void PrintTo(const EraseCase& c, std::ostream* os) {
    *os << c.name;
}

class DemoboardErase : public DemoboardTest, public ::testing::WithParamInterface<EraseCase> {};

TEST_P(DemoboardErase, PollsUntilTheBusyBitClears) {
    Board().SetEraseBusyPolls(GetParam().busyPolls);
    EXPECT_TRUE(DemoChipErase());
    const auto sent = Sent();
    ASSERT_EQ(sent.size(), 3 + GetParam().polls.size());
    EXPECT_EQ(sent[0], kAccessOn);
    EXPECT_EQ(sent[1], List().Add({0x41, 0x55, 0x41, 0xA0, 0x03, 0x00, 0x02, 0x00}).Padded());
    for (std::size_t i = 2; i + 1 < sent.size(); ++i)
        EXPECT_EQ(sent[i], kStatusPoll);
    EXPECT_EQ(sent.back(), kAccessOff);
    std::vector<Shown> shown = {{kErase, 0}};
    shown.insert(shown.end(), GetParam().polls.begin(), GetParam().polls.end());
    EXPECT_EQ(pumps, shown);
    EXPECT_EQ(State().ProgressValue, 0);
    EXPECT_EQ(Resets(), 1U);
}

// Status 0x03 while erasing (busy, write enabled), then 0x00.
INSTANTIATE_TEST_SUITE_P(
    Polls, DemoboardErase,
    ::testing::Values(EraseCase{"DoneAtOnce", 0, {{kErasing3, 0}}},
                      EraseCase{
                          "TwoBusyPolls", 2, {{kErasing3, 3}, {kErasing2, 3}, {kErasing3, 0}}}),
    sim::test::CaseName());

TEST_F(DemoboardTest, ANeverEndingEraseGivesUpAfter12000Polls) {
    Board().SetEraseBusyPolls(std::nullopt);
    dongle->SetExchangeLogEnabled(false);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(DemoChipErase());
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(Board().StatusPolls(), 12000U);
    EXPECT_EQ(dongle->ExchangeCount(), 2U + 12000 + 1);
    EXPECT_FALSE(Board().FlashAccess());
    EXPECT_EQ(pumps.back(), (Shown{kErasing2, 3}));
    RecordProperty(
        "milliseconds",
        std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(took).count()));
}

// The status byte stands in for the progress while the erase runs; a status above 128 (bits the
// progress display does not know, or a floating bus reading 0xFF) must not show beyond 100 %.
TEST_F(DemoboardTest, AStatusAbove128ShowsAsComplete) {
    Board().SetEraseBusyPolls(1);
    dongle->CorruptReplyAtExchange(3, 0, 0xFC);  // 0x03 reads 0xFF: still busy
    EXPECT_TRUE(DemoChipErase());
    EXPECT_EQ(pumps, (std::vector<Shown>{{kErase, 0}, {kErasing3, 128}, {kErasing2, 0}}));
}

TEST_F(DemoboardTest, AFailedPollEndsTheEraseAtOnce) {
    dongle->NoReplyAtExchange(3);
    EXPECT_FALSE(DemoChipErase());
    EXPECT_EQ(Sent().size(), 3U);
    EXPECT_TRUE(Board().FlashAccess());  // no access-off list, no reset
    EXPECT_EQ(Resets(), 0U);
}

TEST_F(DemoboardTest, LostExchangesStopTheProgrammingAndTheCount) {
    dongle->LoseListAtExchange(2);  // the first batch, after flash access went on
    EXPECT_FALSE(DemoProgramImage(TestImage(2 * kImageUnit), 2));
    ASSERT_EQ(Sent().size(), 3U);
    EXPECT_EQ(Sent().back(), kAccessOff);

    Mark();
    std::uint32_t sum = 0;
    dongle->NoReplyAtExchange(3);  // the second count
    EXPECT_FALSE(DemoBitCount(0, 4, sum));
    ASSERT_EQ(Sent().size(), 4U);
    EXPECT_EQ(Sent().back(), kAccessOff);
    EXPECT_EQ(Resets(), 1U);
}

TEST_F(DemoboardTest, ProgramImageBracketsItsBatchesWithFlashAccess) {
    const Bytes image = TestImage(kImageUnit);
    EXPECT_TRUE(DemoProgramImage(image, 1));
    const auto sent = Sent();
    ASSERT_EQ(sent.size(), 4U);
    EXPECT_EQ(sent[0], kAccessOn);
    EXPECT_EQ(Bytes(sent[2].begin(), sent[2].begin() + 6),
              (Bytes{0x41, 0x55, 0x44, 0x00, 0x20, 0x00}));
    EXPECT_EQ(Bytes(sent[2].begin() + 262, sent[2].begin() + 266), (Bytes{0x40, 0x03, 0x00, 0x00}));
    EXPECT_EQ(sent[3], kAccessOff);
    EXPECT_EQ(pumps, (std::vector<Shown>{{"Speech OTP Demoboard Serial Flash Programming...", 0},
                                         {"Speech OTP Demoboard Serial Flash Programming..", 64}}));
    EXPECT_EQ(Resets(), 1U);
}

TEST_F(DemoboardTest, RoundTripCountsTheImagesOneBits) {
    constexpr std::uint32_t kUnits = 16;
    const Bytes image = TestImage(kUnits * kImageUnit);
    Board().Chip().Fill(0x00);
    ASSERT_TRUE(DemoRunControl(0));
    ASSERT_TRUE(DemoEnable(1));
    EXPECT_TRUE(DemoChipErase());
    EXPECT_TRUE(DemoProgramImage(image, kUnits));
    EXPECT_EQ(DemoBitCount(0, kUnits / 2), OneBits(image));
    EXPECT_TRUE(std::equal(image.begin(), image.end(), Board().Chip().Contents().begin()));
    EXPECT_TRUE(DemoEnable(0));
    EXPECT_TRUE(DemoRunControl(1));
    ExpectNothingLeftOpen();
}

}  // namespace
}  // namespace qdm::test
