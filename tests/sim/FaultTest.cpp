// Fault injection: faults bound to an exchange, per-chip faults, busy boards, erases that never
// end and a wrong hardware version.

#include <gtest/gtest.h>

#include "sim/Demoboard.h"
#include "sim/K3r1Board.h"
#include "sim/K3r8Board.h"
#include "tests/sim/SimTestSupport.h"

namespace qdm::sim {
namespace {

using test::Bytes;
using test::Exchange;
using test::List;
using test::Reply;

const List kIdentity = List().Add({0x01, 0x02, 0x02, 0x00});
const List kR8On =
    List().Add({0x35, 0xAA, 0x1A, 0x3B, 0x1B, 0x00, 0x1C, 0xFF, 0x03, 0x00, 0x02, 0x00});

TEST(ExchangeFaults, UnplugAtExchangeSkipsTheListAndFailsEverything) {
    auto dongle = test::WriterDongle(BoardKind::K3r8);
    dongle->UnplugAtExchange(2);
    EXPECT_TRUE(Exchange(*dongle, kR8On, 1).replied);
    const auto r = Exchange(*dongle, List().Add({0x35, 0x55, 0x03, 0x00}), 1);
    EXPECT_FALSE(r.replied);
    EXPECT_EQ(r.inStatus, BulkStatus::NoDevice);
    EXPECT_EQ(r.outStatus, BulkStatus::NoDevice);
    EXPECT_FALSE(dongle->Plugged());
    EXPECT_TRUE(dongle->K3r8()->Selected());  // 35 55 never ran
    ASSERT_EQ(dongle->ExchangeLog().size(), 2U);
    EXPECT_EQ(dongle->ExchangeLog()[1].fault, FaultKind::Unplug);
    EXPECT_FALSE(dongle->ExchangeLog()[1].delivered);
    EXPECT_EQ(dongle->ScheduledFaults(), 0U);
}

TEST(ExchangeFaults, NoReplyExecutesTheListButWithholdsTheReply) {
    auto dongle = test::WriterDongle(BoardKind::K3r8);
    dongle->NoReplyAtExchange(1);
    const auto r = Exchange(*dongle, kR8On, 1);
    EXPECT_FALSE(r.replied);
    EXPECT_EQ(r.inStatus, BulkStatus::Cancelled);
    EXPECT_TRUE(dongle->K3r8()->Selected());
    EXPECT_EQ(dongle->ExchangeLog()[0].reply, Bytes{kAckByte});
    EXPECT_FALSE(dongle->ExchangeLog()[0].delivered);
    EXPECT_TRUE(Exchange(*dongle, kIdentity, 2).replied);  // one-shot
}

TEST(ExchangeFaults, CorruptReplyFlipsOneByte) {
    auto dongle = test::WriterDongle(BoardKind::K3r8);
    dongle->CorruptReplyAtExchange(1, 1, 0x03);
    dongle->CorruptReplyAtExchange(2, 5, 0xFF);  // past the end: nothing
    EXPECT_EQ(Reply(*dongle, kIdentity, 2), (Bytes{0x14, 0x01}));
    EXPECT_EQ(dongle->ExchangeLog()[0].reply, (Bytes{0x14, 0x02}));
    EXPECT_EQ(Reply(*dongle, kIdentity, 2), (Bytes{0x14, 0x02}));
}

TEST(ExchangeFaults, ALostListNeitherRunsNorAnswersAndTheDongleStays) {
    auto dongle = test::WriterDongle(BoardKind::K3r8);
    dongle->LoseListAtExchange(1);
    const auto r = Exchange(*dongle, kR8On, 1);
    EXPECT_FALSE(r.replied);
    EXPECT_EQ(r.outStatus, BulkStatus::Stall);
    EXPECT_FALSE(dongle->K3r8()->Selected());
    EXPECT_TRUE(dongle->Plugged());
    EXPECT_EQ(dongle->ExchangeLog()[0].fault, FaultKind::LoseList);
    EXPECT_TRUE(Exchange(*dongle, kR8On, 1).replied);
    EXPECT_TRUE(dongle->K3r8()->Selected());
}

TEST(ReplyFilter, ChangesWithholdsOrUnplugsAfterTheListRan) {
    auto dongle = test::WriterDongle(BoardKind::K3r8);
    std::vector<std::uint64_t> seen;
    dongle->SetReplyFilter([&](std::uint64_t exchange, std::span<const std::uint8_t> list,
                               std::vector<std::uint8_t>& reply, bool delivered) {
        seen.push_back(exchange);
        EXPECT_TRUE(delivered);
        EXPECT_EQ(list[0], exchange == 1 ? 0x01 : 0x35);
        if (exchange == 1) {
            reply.push_back(0x99);  // one byte more than asked for
            return ReplyAction::Deliver;
        }
        return exchange == 2 ? ReplyAction::Withhold : ReplyAction::Unplug;
    });
    EXPECT_EQ(Reply(*dongle, kIdentity, 3), (Bytes{0x14, 0x02, 0x99}));
    EXPECT_EQ(dongle->ExchangeLog()[0].reply, (Bytes{0x14, 0x02, 0x99}));
    EXPECT_FALSE(Exchange(*dongle, kR8On, 1).replied);
    EXPECT_TRUE(dongle->K3r8()->Selected());  // the list ran all the same
    dongle->K3r8()->ResetInterface();
    const auto r = Exchange(*dongle, kR8On, 1);
    EXPECT_FALSE(r.replied);
    EXPECT_FALSE(dongle->Plugged());
    EXPECT_FALSE(dongle->ExchangeLog()[2].delivered);
    EXPECT_EQ(seen, (std::vector<std::uint64_t>{1, 2, 3}));
}

TEST(ExchangeFaults, CounterCountsSincePlugInOrReset) {
    auto dongle = test::WriterDongle(BoardKind::K3r8);
    Reply(*dongle, kIdentity, 2);
    Reply(*dongle, kIdentity, 2);
    dongle->ResetExchangeCounter();
    dongle->NoReplyAtExchange(1);
    EXPECT_FALSE(Exchange(*dongle, kIdentity, 2).replied);
    dongle->Unplug();
    dongle->Plug();
    dongle->CorruptReplyAtExchange(1, 0, 0x01);
    EXPECT_EQ(Reply(*dongle, List().Add({0x01, 0x03}), 4), (Bytes{0x04, 0x01, 0x00, 0x00}));
}

TEST(ChipFaults, ChipThatWillNotEraseShowsInBlankCheck) {
    auto dongle = test::WriterDongle(BoardKind::K3r8);
    Reply(*dongle, kR8On, 1);
    for (std::size_t c = 0; c < 4; ++c)
        dongle->K3r8()->Chip(c).Fill(0x00);
    dongle->K3r8()->Chip(1).SetEraseFault(EraseFault::Silent);
    EXPECT_EQ(Reply(*dongle, List().Add({0x31, 0xA5, 0x00, 0x04}), 2), (Bytes{0x00, 0x00}));
    EXPECT_EQ(Reply(*dongle, List().Add({0x30, 0x04, 0x00, 0x00}), 1), Bytes{0xD0});
    dongle->K3r8()->Chip(3).SetEraseFault(EraseFault::Reported);
    EXPECT_EQ(Reply(*dongle, List().Add({0x31, 0xA5, 0x00, 0x04}), 2), (Bytes{0x00, 0x08}));
}

TEST(ChipFaults, K3r1ReportedEraseFailure) {
    auto dongle = test::WriterDongle(BoardKind::K3r1);
    Reply(*dongle, List().Add({0x55, 0xAA}), 0);
    dongle->K3r1()->Chip().SetEraseFault(EraseFault::Reported);
    EXPECT_EQ(Reply(*dongle, List().Add({0x51, 0xA5, 0x7F, 0x01}), 2), (Bytes{0x00, 0x01}));
}

TEST(ChipFaults, StuckBitShowsInReadBack) {
    auto dongle = test::WriterDongle(BoardKind::K3r8);
    Reply(*dongle, kR8On, 1);
    dongle->K3r8()->Chip(2).AddStuckBit({0x1FFE05, 6, false});
    const auto r = Reply(*dongle, List().Addr(0x32, 0x1FFE00).Add({0x33, 0x3F}), 512);
    EXPECT_EQ(r[4 * 5 + 2], 0xBF);
    EXPECT_EQ(r[4 * 5 + 1], 0xFF);
    EXPECT_EQ(Reply(*dongle, List().Add({0x30, 0x04, 0x1F, 0x00}), 1), Bytes{0xB0});
}

TEST(BusyBoards, K3r8RefusesTheEnableListButStillIdentifies) {
    auto dongle = test::WriterDongle(BoardKind::K3r8);
    dongle->SetBoardBusy(true);
    EXPECT_EQ(Reply(*dongle, List().Add({0x35, 0xAA, 0x1A, 0x00, 0x15, 0x00, 0x35, 0x55}), 1),
              Bytes{0x3F});
    const auto r = Exchange(*dongle, kR8On, 1);
    EXPECT_FALSE(r.replied);
    EXPECT_FALSE(dongle->K3r8()->Selected());
    dongle->SetBoardBusy(false);
    EXPECT_TRUE(Exchange(*dongle, kR8On, 1).replied);
}

TEST(BusyBoards, DemoboardRefusesToSwitchOn) {
    auto dongle = test::WriterDongle(BoardKind::Demoboard);
    dongle->SetBoardBusy(true);
    const List on = List().Add(
        {0x1A, 0x00, 0x1B, 0xFE, 0x11, 0x38, 0x11, 0x18, 0x11, 0x58, 0x03, 0x00, 0x02, 0x00});
    EXPECT_FALSE(Exchange(*dongle, on, 1).replied);
    EXPECT_FALSE(dongle->Demo()->Powered());
    // the switch-off list is still answered
    EXPECT_TRUE(
        Exchange(*dongle, List().Add({0x1A, 0x00, 0x1B, 0x00, 0x11, 0x20, 0x03, 0x00}), 1).replied);
}

TEST(BusyBoards, K3r1SetsItsBusyLine) {
    auto dongle = test::WriterDongle(BoardKind::K3r1);
    dongle->SetBoardBusy(true);
    EXPECT_EQ(Reply(*dongle, List().Add({0x1B, 0x00, 0x11, 0xFF, 0x16, 0x00}), 1), Bytes{0xFF});
}

TEST(EraseFaults, DemoboardEraseThatNeverEnds) {
    auto dongle = test::WriterDongle(BoardKind::Demoboard);
    dongle->Demo()->SetEraseBusyPolls(std::nullopt);
    Reply(*dongle, List().Add({0x46, 0xAA, 0x41, 0x55, 0x41, 0xA0}), 0);
    dongle->SetExchangeLogEnabled(false);
    const List poll = List().Add({0x40, 0x02, 0x02, 0x00});
    for (int i = 0; i < 12000; ++i)
        ASSERT_EQ(Reply(*dongle, poll, 1)[0] & 0x01, 1) << i;
    EXPECT_EQ(dongle->Demo()->StatusPolls(), 12000U);
}

TEST(DongleFaults, WrongHardwareVersion) {
    DongleConfig config;
    config.facts.hardwareVersion = {0x04, 0x01, 0x00, 0x00};
    VirtualDongle dongle(config);
    EXPECT_EQ(Reply(dongle, List().Add({0x01, 0x03, 0x02, 0x00}), 4),
              (Bytes{0x04, 0x01, 0x00, 0x00}));
    dongle.SetHardwareVersion({0x05, 0x02, 0x00, 0x01});
    EXPECT_EQ(Reply(dongle, List().Add({0x01, 0x03, 0x02, 0x00}), 4),
              (Bytes{0x05, 0x02, 0x00, 0x01}));
}

}  // namespace
}  // namespace qdm::sim
