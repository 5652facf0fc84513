// The MCU-ROM link operations against the virtual MCU-ROM dongle and its parallel flash.

#include <functional>

#include "protocol/Usbfunctions_old.h"
#include "tests/protocol/BoardTestSupport.h"

namespace qdm::test {
namespace {

class McuRomTest : public BoardTest {
  public:
    void SetUp() override {
        BoardTest::SetUp();
        Attach("mcurom");
    }
    sim::ParallelFlash& Flash() { return dongle->McuRomFlash(); }
    std::vector<std::uint8_t> Values() const {
        std::vector<std::uint8_t> values;
        for (const Shown& s : pumps)
            values.push_back(s.value);
        return values;
    }
};

const Bytes kLinkOn = L({0x0E, 0x01, 0x03, 0x01, 0x02, 0x00});
const Bytes kLinkOff = L({0x0D, 0xE0, 0x0E, 0x00, 0x03, 0x01, 0x02, 0x00});
const Bytes kProgramOff = L({0x17, 0x55, 0x0E, 0x00, 0x03, 0x01, 0x02, 0x00});
// (address, data) of the chip-erase cycles.
const std::vector<std::pair<std::uint32_t, std::uint8_t>> kEraseCycles = {
    {0xAAA, 0xAA}, {0x555, 0x55}, {0xAAA, 0x80}, {0xAAA, 0xAA}, {0x555, 0x55}, {0xAAA, 0x10}};

TEST_F(McuRomTest, EraseSendsTheSixCycleCommandAndPollsUntilErased) {
    EXPECT_TRUE(McuRomErase());
    List erase;
    erase.Add({0x11, 0xFF, 0x10, 0xFF, 0x0D, 0xC0});
    for (const auto& [address, data] : kEraseCycles)
        erase.Addr(0x1E, address).Add({0x25, data, 0x0D, 0x80, 0x0D, 0xC0});
    erase.Add({0x11, 0x00, 0x0D, 0x40, 0x21, 0x01, 0x02, 0x00});
    List poll;
    for (int r = 0; r < 64; ++r)
        poll.Add({0x21, 0x01});
    poll.Add({0x02, 0x00});
    // The model's erase shows busy for the erase list's read and two polled reads.
    EXPECT_EQ(Sent(), (std::vector<Bytes>{kLinkOn, erase.Padded(), poll.Padded(), kLinkOff}));
    EXPECT_EQ(sleeps, std::vector<std::chrono::milliseconds>{std::chrono::milliseconds(100)});
    EXPECT_EQ(pumps.size(), 1U);
    EXPECT_EQ(Resets(), 1U);
    EXPECT_EQ(Flash().ErasesStarted(), 1U);

    Flash().SetErasePollReads(0);  // the first status read already shows erased
    Mark();
    EXPECT_TRUE(McuRomErase());
    EXPECT_EQ(Sent().size(), 3U);
    EXPECT_TRUE(sleeps.empty());

    Flash().SetErasePollReads(std::nullopt);
    Mark();
    EXPECT_FALSE(McuRomErase());
    EXPECT_EQ(Sent().size(), 2U + 256 + 1);
    EXPECT_EQ(Sent().back(), kLinkOff);
    EXPECT_EQ(sleeps.size(), 256U);
    EXPECT_EQ(Resets(), 1U);
}

TEST_F(McuRomTest, CompareReadsFourListsPerBlockAndShowsProgress) {
    EXPECT_TRUE(McuRomCompare(2, 1, {}));
    List reads;
    for (int r = 0; r < 8; ++r)
        reads.Add({0x26, 0xFF, 0x02, 0x00});
    std::vector<Bytes> expected = {kLinkOn};
    for (std::uint8_t b = 0; b < 2; ++b) {
        for (int q = 0; q < 4; ++q) {
            List list;
            if (b == 0 && q == 0)
                list.Add({0x10, 0xFF}).Addr(0x1E, 0).Add({0x11, 0x00, 0x0D, 0x40});
            if (q == 0) list.Add({0x1D, b});
            Bytes bytes = list.bytes();
            bytes.insert(bytes.end(), reads.bytes().begin(), reads.bytes().end());
            bytes.resize(512);
            expected.push_back(bytes);
        }
    }
    expected.push_back(kLinkOff);
    EXPECT_EQ(Sent(), expected);
    EXPECT_EQ(Values(), (std::vector<std::uint8_t>{0, 16, 32, 48, 64, 80, 96, 112}));
    EXPECT_EQ(Resets(), 0U);

    Flash().Preload(2 * kMcuRomBlockSize - 1, Bytes{0xFE});
    EXPECT_FALSE(McuRomCompare(2, 1, {}));
    Bytes image(2 * kMcuRomBlockSize, 0xFF);
    EXPECT_FALSE(McuRomCompare(2, 0, image));
    image.back() = 0xFE;
    EXPECT_TRUE(McuRomCompare(2, 0, image));
    image.front() = 0x00;
    EXPECT_FALSE(McuRomCompare(2, 2, image));
    Mark();
    EXPECT_FALSE(McuRomCompare(2, 0, std::span(image).first(image.size() - 1)));  // too short
    EXPECT_TRUE(Sent().empty());
}

TEST_F(McuRomTest, ProgramPutsEveryPageGroupOnA512ByteBoundary) {
    const Bytes image = TestImage(2 * kMcuRomBlockSize);
    EXPECT_TRUE(McuRomProgram(2, image));
    std::vector<Bytes> expected = {
        kLinkOn, List().Add({0x10, 0xFF, 0x16, 0xAA}).Addr(0x1E, 0).Add({3, 1, 2, 0}).Padded()};
    for (std::uint8_t b = 0; b < 2; ++b) {
        for (std::size_t h = 0; h < 2; ++h) {
            List list;
            if (h == 0) list.Add({0x1D, b}).Zeros(510);
            for (std::size_t p = 0; p < 32; ++p) {
                const std::size_t at = (4 * b + 2 * h) * 4096 + p * 256;
                list.Add({0x15, 0x7F});
                for (const std::uint8_t v : std::span(image).subspan(at, 256))
                    list.Add({v});
                list.Zeros(254);
            }
            list.Add({0x03, 0x01, 0x02, 0x00});
            expected.push_back(list.Padded());
        }
    }
    expected.push_back(kProgramOff);
    EXPECT_EQ(Sent(), expected);
    EXPECT_EQ(Values(), (std::vector<std::uint8_t>{32, 32, 96, 96}));
    EXPECT_EQ(Resets(), 0U);
    EXPECT_TRUE(std::equal(image.begin(), image.end(), Flash().Contents().begin()));
}

class McuRomRoundTrip : public McuRomTest, public ::testing::WithParamInterface<std::uint32_t> {};

TEST_P(McuRomRoundTrip, EraseBlankCheckProgramAndVerifyPass) {
    const std::uint32_t blocks = GetParam();
    const Bytes image = TestImage(blocks * kMcuRomBlockSize, blocks);
    Flash().Fill(0x00);
    EXPECT_TRUE(McuRomErase());
    EXPECT_TRUE(McuRomCompare(blocks, 1, {}));
    EXPECT_TRUE(McuRomProgram(blocks, image));
    EXPECT_TRUE(McuRomCompare(blocks, 0, image));
    ExpectNothingLeftOpen();
}

INSTANTIATE_TEST_SUITE_P(Blocks, McuRomRoundTrip, ::testing::Values(2U, 4U, 8U, 16U));

struct StopCase {
    const char* name;
    std::function<bool()> run;
    std::uint64_t lists;  // lists a healthy run sends
};

void PrintTo(const StopCase& c, std::ostream* os) {
    *os << c.name;
}

class McuRomStops : public McuRomTest, public ::testing::WithParamInterface<StopCase> {};

// Whatever exchange fails, the operation sends nothing after it and reports failure.
TEST_P(McuRomStops, AtTheFirstFailedExchange) {
    for (const bool unplug : {false, true}) {
        for (std::uint64_t k = 1; k <= GetParam().lists; ++k) {
            dongle->Unplug();  // a fresh dongle for every run
            dongle->ClearFaults();
            dongle->Plug();
            Flash().Fill(0x00);
            Mark();
            if (unplug)
                dongle->UnplugAtExchange(k);
            else
                dongle->NoReplyAtExchange(k);
            EXPECT_FALSE(GetParam().run()) << k;
            EXPECT_EQ(Sent().size(), k) << k;
            ExpectNothingLeftOpen();
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Operations, McuRomStops,
    ::testing::Values(
        StopCase{"Erase", [] { return McuRomErase(); }, 4},
        StopCase{"BlankCheck", [] { return McuRomCompare(2, 1, {}); }, 10},
        StopCase{"Program", [] { return McuRomProgram(2, TestImage(2 * kMcuRomBlockSize)); }, 7}),
    sim::test::CaseName());

TEST_F(McuRomTest, AnExceptionDuringProgrammingGivesFalse) {
    driver->SetCloseDeviceFails(true);
    EXPECT_FALSE(McuRomProgram(2, TestImage(2 * kMcuRomBlockSize)));
    driver->SetCloseDeviceFails(false);
}

}  // namespace
}  // namespace qdm::test
