// The exact lists the short board operations send, as the virtual dongle receives them, with
// their results and port resets; and what an unplug in the middle of an operation leaves.

#include <array>

#include "protocol/Usbfunctions.h"
#include "sim/Demoboard.h"
#include "sim/K3r1Board.h"
#include "sim/K3r8Board.h"
#include "tests/protocol/BoardTestSupport.h"

namespace qdm::test {
namespace {

using Id3 = std::array<std::uint8_t, 3>;
using Id12 = std::array<std::uint8_t, 12>;

const Bytes kPage = TestImage(kPageSize, 5);
const Bytes kR8On = L({0x35, 0xAA, 0x1A, 0x3B, 0x1B, 0x00, 0x1C, 0xFF, 3, 0, 2, 0});
const Bytes kR8ReadId = L({0x35, 0xAA, 0x1A, 0x3B, 0x1B, 0x00, 0x1C, 0xFF, 0x30, 0x01, 2, 0});
const Bytes kR1BusyCheck = L({0x1B, 0x00, 0x11, 0xFF, 0x16, 0x00, 0x02, 0x00});
const Bytes kR1On = L({0x55, 0xAA, 0x1A, 0x00, 0x1B, 0xF2, 0x1C, 0xFF, 3, 0, 2, 0});
const Bytes kDemoOn = L({0x1A, 0, 0x1B, 0xFE, 0x11, 0x38, 0x11, 0x18, 0x11, 0x58, 3, 0, 2, 0});
const Bytes kDemoHold = L({0x46, 0xA5, 0x03, 0x00, 0x02, 0x00});
const Bytes kAccessOn = L({0x46, 0xAA, 0x03, 0x00, 0x02, 0x00});
const Bytes kAccessOff = L({0x46, 0x55, 0x03, 0x00, 0x02, 0x00});

// One page group at page index 0xFFFF (address FF FF 00), an acknowledge and the end mark.
Bytes TopPageList(std::uint8_t writeEnable, std::uint8_t program, std::uint8_t status) {
    List list;
    list.Add({writeEnable, 0x55}).Page(program, 0xFFFF00, kPage).Add({status, 0x03}).Zeros(248);
    return list.Add({0x03, 0x00, 0x02, 0x00}).Padded();
}

template <int kBoard>
class Lists : public BoardTest {
  public:
    void SetUp() override {
        BoardTest::SetUp();
        Attach(kBoard == 1 ? "k3r8" : kBoard == 2 ? "k3r1" : "demoboard");
    }
};
using K3r8Lists = Lists<1>;
using K3r1Lists = Lists<2>;
using DemoLists = Lists<3>;

TEST_F(K3r8Lists, Detection) {
    EXPECT_EQ(DetectClientBoard(), kBoardK3r8);
    ExpectSent({L({0x35, 0xAA, 0x1A, 0x00, 0x15, 0x00, 0x35, 0x55, 0x02, 0x00})}, 1);
}

TEST_F(K3r8Lists, EnableAndDisableWithoutReset) {
    EXPECT_TRUE(R8Enable(1));
    EXPECT_TRUE(R8Enable(2));
    ExpectSent({kR8On, L({0x35, 0x55, 0x1A, 0x08, 0x1B, 0x00, 0x1C, 0x00, 3, 0, 2, 0})}, 0);
    dongle->SetBoardBusy(true);
    EXPECT_FALSE(R8Enable(1));
}

TEST_F(K3r8Lists, ReadIdSortsTheIdsByChipAndKeepsThemWhenUnanswered) {
    Id12 id{};
    EXPECT_TRUE(R8ReadId(id));
    EXPECT_EQ(id, (Id12{0xEF, 0x40, 0x15, 0xEF, 0x40, 0x16, 0xEF, 0x40, 0x17, 0xEF, 0x40, 0x18}));
    dongle->NoReplyAtExchange(2);
    id.fill(0x5A);
    EXPECT_TRUE(R8ReadId(id));
    EXPECT_EQ(id, (Id12{0x5A, 0x5A, 0x5A, 0x5A, 0x5A, 0x5A, 0x5A, 0x5A, 0x5A, 0x5A, 0x5A, 0x5A}));
    ExpectSent({kR8ReadId, kR8ReadId}, 0);
}

TEST_F(K3r8Lists, EraseJudgesTheSecondReplyByte) {
    R8Enable(1);
    Mark();
    EXPECT_TRUE(R8Erase(0x7F, 0x01));
    EXPECT_EQ(pumps, (std::vector<Shown>{{"OTP Writer K3.r8 Serial Flash Erasing...", 0}}));
    dongle->K3r8()->Chip(1).SetEraseFault(sim::EraseFault::Reported);
    EXPECT_FALSE(R8Erase(0x00, 0x04));
    ExpectSent({L({0x31, 0xA5, 0x7F, 0x01, 0x02, 0x00}), L({0x31, 0xA5, 0x00, 0x04, 0x02, 0x00})},
               2);
    // An answer that never came is no success, although its cleared bytes read 00 00.
    dongle->K3r8()->Chip(1).SetEraseFault(sim::EraseFault::None);
    dongle->NoReplyAtExchange(dongle->ExchangeCount() + 1);
    EXPECT_FALSE(R8Erase(0x00, 0x04));
}

TEST_F(K3r8Lists, NothingToDoSendsNothingButResets) {
    std::uint8_t flags = 0x77;
    EXPECT_TRUE(R8BlankCheck(4, 4, flags));
    EXPECT_EQ(flags, 0x77);
    EXPECT_TRUE(R8ProgramImage({}, 0));
    ExpectSent({}, 2);
}

TEST_F(K3r8Lists, ProgramPageAtTheTopPageIndex) {
    EXPECT_TRUE(R8ProgramPage(std::span(kPage).first<kPageSize>(), 0xFFFF));
    EXPECT_EQ(State().ProgressText, "OTP Writer K3.r8 Serial Flash Programming..");
    ExpectSent({TopPageList(0x31, 0x34, 0x30)}, 1);
}

TEST_F(K3r8Lists, ReadBlockOfTheOptionBlock) {
    std::array<Bytes, 4> chips;
    for (std::size_t c = 0; c < 4; ++c) {
        dongle->K3r8()->Chip(c).Preload(0x1FFE00, TestImage(512, c + 7));
        chips[c].resize(512);
    }
    R8Enable(1);
    Mark();
    EXPECT_TRUE(R8ReadBlock(chips[0], chips[1], chips[2], kOptionBlockIndex, chips[3]));
    for (std::size_t c = 0; c < 4; ++c) {
        EXPECT_EQ(chips[c], TestImage(512, c + 7));
        EXPECT_EQ(DumpFile("RDBBK_512bytes.BK" + std::to_string(c + 1)), chips[c]);
    }
    EXPECT_EQ(State().ProgressText, "OTP Writer K3.r8 Serial Flash Reading..");
    List list;
    list.Addr(0x32, 0x1FFE00);
    for (int r = 0; r < 4; ++r)
        list.Add({0x33, 0x3F, 0x02, 0x00});
    ExpectSent({list.Padded()}, 1);
    chips[3].pop_back();  // too small: nothing is read
    EXPECT_FALSE(R8ReadBlock(chips[0], chips[1], chips[2], kOptionBlockIndex, chips[3]));
    EXPECT_EQ(Sent().size(), 1U);
}

// A board that does not answer cannot be shown idle: no answer counts as busy.
TEST_F(K3r1Lists, BusyCheckReadsBitZero) {
    const std::vector<std::pair<std::function<void()>, bool>> cases = {
        {[] {}, true},                                                    // the line reads FE
        {[this] { dongle->CorruptReplyAtExchange(1, 0, 0xFF); }, false},  // 01
        {[this] { dongle->NoReplyAtExchange(1); }, false},
        {[this] { dongle->SetBoardBusy(true); }, false},  // FF
    };
    for (const auto& [arrange, idle] : cases) {
        Mark();
        arrange();
        EXPECT_EQ(R1BusyCheck(), idle);
        ExpectSent({kR1BusyCheck}, 1);
    }
}

TEST_F(K3r1Lists, EnableChecksBusyFirstAndDisableDoesNot) {
    EXPECT_TRUE(R1Enable(1));
    EXPECT_TRUE(R1Enable(0));
    ExpectSent(
        {kR1BusyCheck, kR1On, L({0x55, 0x55, 0x1A, 0x00, 0x1B, 0x02, 0x1C, 0x00, 3, 0, 2, 0})}, 3);
    dongle->SetBoardBusy(true);
    Mark();
    EXPECT_FALSE(R1Enable(1));  // refused after the one busy-check list
    ExpectSent({kR1BusyCheck}, 1);
}

TEST_F(K3r1Lists, EraseReadIdBlockAndPage) {
    dongle->K3r1()->Chip().Preload(0x1FFE00, TestImage(512, 9));
    R1Enable(1);
    Mark();
    EXPECT_TRUE(R1Erase(0x00, 0x04));
    EXPECT_EQ(pumps, (std::vector<Shown>{{"OTP Writer K3.r1 Serial Flash Erasing...", 0}}));
    Id3 id{};
    EXPECT_TRUE(R1ReadId(id));
    EXPECT_EQ(id, (Id3{0xC2, 0x20, 0x15}));
    Bytes block(512);
    EXPECT_TRUE(R1ReadBlock(block, kOptionBlockIndex));
    EXPECT_EQ(block, TestImage(512, 9));
    EXPECT_EQ(State().ProgressText, "OTP Writer K3.r1 Serial Flash Reading..");
    EXPECT_EQ(DumpFile("RDBBK_512bytes.BKF"), block);
    SetDumpDirectory(dumps / "missing");  // a dump that cannot be written changes nothing
    EXPECT_TRUE(R1ReadBlock(block, kOptionBlockIndex));
    std::filesystem::remove(dumps / "RDBBK_512bytes.BKF");
    State().DumpFilesEnabled = 0;
    SetDumpDirectory(dumps);
    EXPECT_TRUE(R1ReadBlock(block, kOptionBlockIndex));
    EXPECT_FALSE(std::filesystem::exists(dumps / "RDBBK_512bytes.BKF"));
    EXPECT_TRUE(R1ProgramPage(std::span(kPage).first<kPageSize>(), 0xFFFF));
    EXPECT_EQ(State().ProgressText, "OTP Writer K3.r1 Serial Flash Programming..");
    const Bytes readBlock = L({0x52, 0x1F, 0xFE, 0x00, 0x53, 0xFF, 0x02, 0x00});
    ExpectSent({L({0x51, 0xA5, 0x00, 0x04, 0x02, 0x00}), L({0x50, 0x01, 0x02, 0x00}), readBlock,
                readBlock, readBlock, TopPageList(0x51, 0x54, 0x50)},
               6);
}

TEST_F(K3r1Lists, NothingToDoSendsNothingButResets) {
    EXPECT_TRUE(R1BlankCheck(0, 0));
    EXPECT_EQ(R1BitCount(0x8000, 0), 0U);
    ExpectSent({}, 2);
}

TEST_F(DemoLists, PowerAndRunControl) {
    EXPECT_TRUE(DemoEnable(1));
    EXPECT_TRUE(dongle->Demo()->Powered());
    EXPECT_TRUE(DemoRunControl(0));
    EXPECT_TRUE(DemoRunControl(2));
    EXPECT_TRUE(dongle->Demo()->Held());
    EXPECT_TRUE(DemoEnable(0));
    EXPECT_TRUE(DemoRunControl(1));
    ExpectSent({kDemoOn, kDemoHold, kDemoHold, L({0x1A, 0, 0x1B, 0, 0x11, 0x20, 3, 0, 2, 0}),
                L({0x46, 0x5A, 0x03, 0x00, 0x02, 0x00})},
               5);
    dongle->SetBoardBusy(true);
    EXPECT_FALSE(DemoEnable(1));
}

TEST_F(DemoLists, ReadIdTurnsAccessOffInItsSecondList) {
    Id3 id{};
    EXPECT_TRUE(DemoReadId(id));
    EXPECT_EQ(id, (Id3{0xEF, 0x40, 0x15}));
    EXPECT_FALSE(dongle->Demo()->FlashAccess());
    ExpectSent({kAccessOn, L({0x40, 0x01, 0x46, 0x55, 0x02, 0x00})}, 1);
}

TEST_F(DemoLists, BitCountAddressesConsecutiveRegions) {
    EXPECT_EQ(DemoBitCount(0, 0), 0U);
    ExpectSent({kAccessOn, kAccessOff}, 1);
    Mark();
    EXPECT_EQ(DemoBitCount(0, 8), 8 * 0x040000U);
    std::vector<Bytes> lists = {kAccessOn};
    for (std::uint32_t i = 0; i < 8; ++i)  // 00 00 00, 00 80 00, ... 03 80 00
        lists.push_back(List().Addr(0x47, i * 0x8000).Add({3, 0, 2, 0}).Padded());
    lists.push_back(kAccessOff);
    ExpectSent(lists, 1);
    EXPECT_EQ(pumps.back(), (Shown{"Speech OTP Demoboard Serial Flash Checking..", 112}));
}

// The failures surface in the results the operations document; nothing crashes, hangs or stays
// open, and nothing reaches the dongle after the unplug.
TEST_F(K3r8Lists, AnUnplugMidOperationEndsEveryOperation) {
    const Bytes image = TestImage(2 * kImageUnit);
    std::array<Bytes, 4> chips;
    chips.fill(Bytes(image.size(), 0xEE));
    std::uint8_t flags = 0;
    dongle->UnplugAtExchange(2);
    EXPECT_FALSE(R8ProgramImage(image, 2));
    EXPECT_FALSE(R8BlankCheck(0, 4, flags));
    EXPECT_FALSE(R8ReadBack(chips[0], chips[1], chips[2], 2, chips[3]));
    EXPECT_EQ(chips[0], Bytes(image.size(), 0x00));
    EXPECT_FALSE(R8Enable(1));
    EXPECT_EQ(Sent().size(), 2U);
    ExpectNothingLeftOpen();
}

TEST_F(K3r1Lists, AnUnplugMidOperationEndsEveryOperation) {
    dongle->UnplugAtExchange(3);
    EXPECT_TRUE(R1Enable(1));
    EXPECT_FALSE(R1ProgramImage(TestImage(kImageUnit), 1));
    EXPECT_FALSE(R1BlankCheck(0, 1));
    EXPECT_EQ(R1BitCount(0, 2), 0U);
    EXPECT_FALSE(R1Enable(1));
    EXPECT_EQ(Sent().size(), 3U);
    ExpectNothingLeftOpen();
}

TEST_F(DemoLists, AnUnplugMidOperationEndsEveryOperation) {
    dongle->UnplugAtExchange(4);
    EXPECT_FALSE(DemoChipErase());
    EXPECT_FALSE(DemoProgramImage(TestImage(kImageUnit), 1));
    EXPECT_EQ(DemoBitCount(0, 2), 0U);
    EXPECT_FALSE(DemoEnable(0));
    EXPECT_EQ(Sent().size(), 4U);
    ExpectNothingLeftOpen();
}

}  // namespace
}  // namespace qdm::test
