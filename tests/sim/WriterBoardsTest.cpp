// The writer firmware's list walking and each client board's commands, byte for byte.

#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>

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

// --- List walking -------------------------------------------------------------------------------

struct WalkCase {
    const char* name;
    Bytes list;
    Bytes reply;
    friend void PrintTo(const WalkCase& c, std::ostream* os) { *os << c.name; }
};

class ListWalking : public ::testing::TestWithParam<WalkCase> {};

TEST_P(ListWalking, ReplyIsTheConcatenation) {
    const auto& c = GetParam();
    auto dongle = test::WriterDongle(BoardKind::K3r8);
    List list;
    for (const std::uint8_t b : c.list)
        list.Add({b});
    EXPECT_EQ(Reply(*dongle, list, 64), c.reply);
}

INSTANTIATE_TEST_SUITE_P(
    Writer, ListWalking,
    ::testing::Values(
        WalkCase{"ZeroBytesAreFill", {0x00, 0x00, 0x15, 0x00, 0x00, 0x03, 0x00}, {0x3F, 0x55}},
        WalkCase{"EndGroupDoesNotStop",
                 {0x01, 0x02, 0x02, 0x00, 0x15, 0x00, 0x02, 0x00, 0x03, 0x00},
                 {0x14, 0x02, 0x3F, 0x55}},
        WalkCase{"UnknownOpcodeStopsTheRest", {0x15, 0x00, 0x99, 0x00, 0x15, 0x00}, {0x3F}},
        WalkCase{"UnknownSubCodeStops", {0x03, 0x00, 0x30, 0x07, 0x03, 0x00}, {0x55}},
        WalkCase{"InfoSelectorFourStops", {0x03, 0x00, 0x01, 0x04, 0x03, 0x00}, {0x55}},
        WalkCase{"CommandCutShortStops", {0x03, 0x00, 0x32, 0x00}, {0x55}},
        WalkCase{"OddSelectValueIgnored", {0x35, 0x77, 0x15, 0x00}, {0x3F}}),
    test::CaseName());

// --- Board identification -----------------------------------------------------------------------

struct IdCase {
    const char* name;
    BoardKind board;
    std::optional<std::uint8_t> override;
    std::uint8_t id;
    friend void PrintTo(const IdCase& c, std::ostream* os) { *os << c.name; }
};

class BoardId : public ::testing::TestWithParam<IdCase> {};

TEST_P(BoardId, DetectionListAnswersTheIdByte) {
    const auto& c = GetParam();
    auto dongle = test::WriterDongle(c.board);
    dongle->SetBoardIdOverride(c.override);
    const auto r =
        Reply(*dongle, List().Add({0x35, 0xAA, 0x1A, 0x00, 0x15, 0x00, 0x35, 0x55, 0x02, 0x00}), 1);
    EXPECT_EQ(r, Bytes{c.id});
}

INSTANTIATE_TEST_SUITE_P(Writer, BoardId,
                         ::testing::Values(IdCase{"K3r8", BoardKind::K3r8, std::nullopt, 0x3F},
                                           IdCase{"K3r1", BoardKind::K3r1, std::nullopt, 0xC1},
                                           IdCase{"Demoboard", BoardKind::Demoboard, std::nullopt,
                                                  0x81},
                                           IdCase{"NoBoard", BoardKind::None, std::nullopt, 0x40},
                                           IdCase{"Override", BoardKind::K3r8, 0xC0, 0xC0}),
                         test::CaseName());

// --- K3.r8 --------------------------------------------------------------------------------------

class K3r8 : public ::testing::Test {
  protected:
    void SetUp() override {
        dongle = test::WriterDongle(BoardKind::K3r8);
        board = dongle->K3r8();
        Reply(*dongle,
              List().Add({0x35, 0xAA, 0x1A, 0x3B, 0x1B, 0x00, 0x1C, 0xFF, 0x03, 0x00, 0x02, 0x00}),
              1);
    }
    void ProgramPage(std::uint32_t address, const Bytes& data) {
        Reply(*dongle,
              List().Add({0x31, 0x55}).Page(0x34, address, data).Add({0x30, 0x03, 0x02, 0x00}), 1);
    }
    std::shared_ptr<VirtualDongle> dongle;
    K3r8Board* board = nullptr;
};

TEST_F(K3r8, IdBytesInterleaveChipByChip) {
    const auto r = Reply(*dongle, List().Add({0x30, 0x01, 0x02, 0x00}), 12);
    ASSERT_EQ(r.size(), 12U);
    for (std::size_t c = 0; c < 4; ++c)
        for (std::size_t k = 0; k < 3; ++k)
            EXPECT_EQ(r[4 * k + c], board->Chip(c).ReadId()[k]) << "chip " << c << " byte " << k;
    EXPECT_NE(r[8], r[9]);  // the chips are told apart
}

TEST_F(K3r8, FlashCommandsNeedTheInterfaceSelected) {
    Reply(*dongle, List().Add({0x35, 0x55}), 0);
    EXPECT_FALSE(board->Selected());
    EXPECT_EQ(Reply(*dongle, List().Add({0x30, 0x01}), 12), Bytes(12, 0xFF));
    ProgramPage(0, Bytes(256, 0x00));
    EXPECT_EQ(board->Chip(0).ReadByte(0), 0xFF);
    // selection persists from one list to the next
    Reply(*dongle, List().Add({0x35, 0xAA}), 0);
    ProgramPage(0, Bytes(256, 0x00));
    EXPECT_EQ(board->Chip(3).ReadByte(255), 0x00);
}

TEST_F(K3r8, PageProgramWritesAllFourChipsWithNorSemantics) {
    ProgramPage(0x2000, Bytes(256, 0xF0));
    ProgramPage(0x2000, Bytes(256, 0x3C));
    for (std::size_t c = 0; c < 4; ++c) {
        EXPECT_EQ(board->Chip(c).ReadByte(0x2000), 0x30);
        EXPECT_EQ(board->Chip(c).ReadByte(0x20FF), 0x30);
        EXPECT_EQ(board->Chip(c).ReadByte(0x2100), 0xFF);
    }
}

TEST_F(K3r8, PageProgramNeedsWriteEnable) {
    Reply(*dongle, List().Page(0x34, 0, Bytes(256, 0x00)), 0);
    EXPECT_EQ(board->Chip(0).ReadByte(0), 0xFF);
}

TEST_F(K3r8, ReadsInterleaveAndThePositionPersists) {
    for (std::size_t c = 0; c < 4; ++c) {
        Bytes bytes(1024);
        for (std::size_t i = 0; i < bytes.size(); ++i)
            bytes[i] = static_cast<std::uint8_t>(i * 3 + c * 64);
        board->Chip(c).Preload(0x10000, bytes);
    }
    const auto first =
        Reply(*dongle, List().Addr(0x32, 0x10000).Add({0x33, 0x3F, 0x02, 0x00}), 512);
    const auto second = Reply(*dongle, List().Add({0x33, 0x00, 0x02, 0x00}), 8);
    ASSERT_EQ(first.size(), 512U);
    for (std::size_t p = 0; p < 128; ++p)
        for (std::size_t c = 0; c < 4; ++c)
            ASSERT_EQ(first[4 * p + c], static_cast<std::uint8_t>(p * 3 + c * 64));
    // the next list goes on at byte 128 of each chip
    for (std::size_t p = 0; p < 2; ++p)
        for (std::size_t c = 0; c < 4; ++c)
            EXPECT_EQ(second[4 * p + c], static_cast<std::uint8_t>((128 + p) * 3 + c * 64));
    EXPECT_EQ(board->ReadPosition(), 0x10000U + 130);
}

TEST_F(K3r8, AddressesWrapAtTwoMebibytes) {
    ProgramPage(0xFFFF00, test::PatternPage(5));  // page index 0xFFFF
    EXPECT_TRUE(std::equal(board->Chip(1).Contents().begin() + 0x1FFF00,
                           board->Chip(1).Contents().end(), test::PatternPage(5).begin()));
    // block index 4095: 32 1F FE 00 and four reads of 512 reply bytes
    List read;
    read.Addr(0x32, 4095 * 512);
    for (int i = 0; i < 4; ++i)
        read.Add({0x33, 0x3F, 0x02, 0x00});
    const auto r = Reply(*dongle, read, 2048);
    ASSERT_EQ(r.size(), 2048U);
    EXPECT_EQ(r[4 * 256 + 1], test::PatternPage(5)[0]);
    EXPECT_EQ(r[4 * 511 + 3], test::PatternPage(5)[255]);
    // reading on past the end wraps to address 0
    EXPECT_EQ(board->ReadPosition(), 0U);
}

TEST_F(K3r8, EraseArgumentsAreFirstBlockAndCount) {
    for (std::size_t c = 0; c < 4; ++c)
        board->Chip(c).Fill(0x00);
    EXPECT_EQ(Reply(*dongle, List().Add({0x31, 0xA5, 0x00, 0x04, 0x02, 0x00}), 2),
              (Bytes{0x00, 0x00}));
    EXPECT_EQ(Reply(*dongle, List().Add({0x31, 0xA5, 0x7F, 0x01, 0x02, 0x00}), 2),
              (Bytes{0x00, 0x00}));
    for (std::uint32_t b = 0; b < 32; ++b) {
        const bool erased = b < 4 || b == 31;  // 0x7F wraps to the top block
        EXPECT_EQ(board->Chip(2).IsBlockBlank(b), erased) << "block " << b;
    }
}

TEST_F(K3r8, BlankCheckBitsNameTheBlankChips) {
    EXPECT_EQ(Reply(*dongle, List().Add({0x30, 0x04, 0x00, 0x00, 0x02, 0x00}), 1), Bytes{0xF0});
    board->Chip(2).Preload(0x10005, Bytes{0x7F});  // chip 3, block 1
    EXPECT_EQ(Reply(*dongle, List().Add({0x30, 0x04, 0x01, 0x00}), 1), Bytes{0xB0});
    EXPECT_EQ(Reply(*dongle, List().Add({0x30, 0x04, 0x21, 0x00}), 1), Bytes{0xB0});  // 33 wraps
    EXPECT_EQ(Reply(*dongle, List().Add({0x30, 0x04, 0x02, 0x00}), 1), Bytes{0xF0});
}

TEST_F(K3r8, ProgrammingListOfThirtyTwoPageGroups) {
    List list;
    for (std::uint32_t g = 0; g < 32; ++g)
        list.Add({0x31, 0x55})
            .Page(0x34, 0x2000 + g * 256, test::PatternPage(static_cast<std::uint8_t>(g)))
            .Add({0x30, 0x03})
            .Zeros(248);
    list.Add({0x03, 0x00, 0x02, 0x00});
    ASSERT_EQ(list.bytes().size(), 16388U);
    const auto r = Reply(*dongle, list, 33);
    EXPECT_EQ(r.size(), 33U);
    EXPECT_EQ(r.back(), kAckByte);
    for (std::uint32_t g = 0; g < 32; ++g)
        EXPECT_EQ(board->Chip(g % 4).ReadByte(0x2000 + g * 256 + 9),
                  test::PatternPage(static_cast<std::uint8_t>(g))[9]);
}

// --- K3.r1 --------------------------------------------------------------------------------------

class K3r1 : public ::testing::Test {
  protected:
    void SetUp() override {
        dongle = test::WriterDongle(BoardKind::K3r1);
        board = dongle->K3r1();
    }
    void Enable() {
        Reply(*dongle,
              List().Add({0x55, 0xAA, 0x1A, 0x00, 0x1B, 0xF2, 0x1C, 0xFF, 0x03, 0x00, 0x02, 0x00}),
              1);
    }
    std::shared_ptr<VirtualDongle> dongle;
    K3r1Board* board = nullptr;
};

TEST_F(K3r1, BusyLine) {
    const List check = List().Add({0x1B, 0x00, 0x11, 0xFF, 0x16, 0x00, 0x02, 0x00});
    EXPECT_EQ(Reply(*dongle, check, 1)[0] & 0x01, 0);
    dongle->SetBoardBusy(true);
    EXPECT_EQ(Reply(*dongle, check, 1)[0] & 0x01, 1);
}

TEST_F(K3r1, IdAndSelection) {
    EXPECT_EQ(Reply(*dongle, List().Add({0x50, 0x01, 0x02, 0x00}), 3), Bytes(3, 0xFF));
    Enable();
    EXPECT_EQ(Reply(*dongle, List().Add({0x50, 0x01, 0x02, 0x00}), 3), (Bytes{0xC2, 0x20, 0x15}));
    Reply(*dongle, List().Add({0x55, 0x55, 0x1A, 0x00, 0x1B, 0x02, 0x1C, 0x00, 0x03, 0x00}), 1);
    EXPECT_FALSE(board->Selected());
}

TEST_F(K3r1, EraseBlankCheckAndBitCount) {
    Enable();
    board->Chip().Fill(0x00);
    EXPECT_EQ(Reply(*dongle, List().Add({0x50, 0x04, 0x00, 0x00}), 1), Bytes{0x00});
    EXPECT_EQ(Reply(*dongle, List().Add({0x51, 0xA5, 0x00, 0x04, 0x02, 0x00}), 2),
              (Bytes{0x00, 0x00}));
    EXPECT_EQ(Reply(*dongle, List().Add({0x50, 0x04, 0x03, 0x00}), 1), Bytes{0xA5});
    EXPECT_EQ(Reply(*dongle, List().Add({0x50, 0x04, 0x04, 0x00}), 1), Bytes{0x00});
    // 32 KiB of 0xFF count 0x040000, of zeros 0
    EXPECT_EQ(Reply(*dongle, List().Addr(0x56, 0x8000).Add({0x02, 0x00}), 3),
              (Bytes{0x04, 0x00, 0x00}));
    EXPECT_EQ(Reply(*dongle, List().Addr(0x56, 0x40000).Add({0x02, 0x00}), 3),
              (Bytes{0x00, 0x00, 0x00}));
    board->Chip().Preload(0x0, Bytes{0x0F});
    EXPECT_EQ(Reply(*dongle, List().Addr(0x56, 0x0), 3), (Bytes{0x03, 0xFF, 0xFC}));
}

TEST_F(K3r1, ProgramAndReadBlockBack) {
    Enable();
    Reply(*dongle,
          List()
              .Add({0x51, 0x55})
              .Page(0x54, 0xFFFF00, test::PatternPage(9))
              .Add({0x50, 0x03})
              .Zeros(248)
              .Add({0x03, 0x00, 0x02, 0x00}),
          2);
    const auto r = Reply(*dongle, List().Addr(0x52, 4095 * 512).Add({0x53, 0xFF, 0x02, 0x00}), 512);
    ASSERT_EQ(r.size(), 512U);
    EXPECT_EQ(Bytes(r.begin() + 256, r.end()), test::PatternPage(9));
    EXPECT_EQ(Bytes(r.begin(), r.begin() + 256), Bytes(256, 0xFF));
    // the position went on and wrapped
    EXPECT_EQ(Reply(*dongle, List().Add({0x53, 0x00}), 2), (Bytes{0xFF, 0xFF}));
    EXPECT_EQ(board->ReadPosition(), 2U);
}

// --- Demoboard ----------------------------------------------------------------------------------

class DemoboardTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dongle = test::WriterDongle(BoardKind::Demoboard);
        board = dongle->Demo();
    }
    test::ExchangeResult Run(const List& list, std::size_t reply) {
        return Exchange(*dongle, list, reply);
    }
    void AccessOn() { Reply(*dongle, List().Add({0x46, 0xAA, 0x03, 0x00, 0x02, 0x00}), 1); }
    std::shared_ptr<VirtualDongle> dongle;
    Demoboard* board = nullptr;
};

TEST_F(DemoboardTest, PowerHoldAndAccessStates) {
    EXPECT_TRUE(Run(List().Add({0x1A, 0x00, 0x1B, 0xFE, 0x11, 0x38, 0x11, 0x18, 0x11, 0x58, 0x03,
                                0x00, 0x02, 0x00}),
                    1)
                    .replied);
    EXPECT_TRUE(board->Powered());
    Reply(*dongle, List().Add({0x46, 0xA5, 0x03, 0x00}), 1);
    EXPECT_TRUE(board->Held());
    AccessOn();
    EXPECT_TRUE(board->FlashAccess());
    Reply(*dongle, List().Add({0x46, 0x55, 0x03, 0x00}), 1);
    EXPECT_FALSE(board->FlashAccess());
    Reply(*dongle, List().Add({0x1A, 0x00, 0x1B, 0x00, 0x11, 0x20, 0x03, 0x00}), 1);
    EXPECT_FALSE(board->Powered());
    Reply(*dongle, List().Add({0x46, 0x5A, 0x03, 0x00}), 1);
    EXPECT_FALSE(board->Held());
    // the sequence out of order does not switch it on
    Reply(*dongle, List().Add({0x11, 0x18, 0x11, 0x38, 0x11, 0x58}), 0);
    EXPECT_FALSE(board->Powered());
}

TEST_F(DemoboardTest, FlashCommandsActOnlyWhileAccessIsOn) {
    EXPECT_EQ(Reply(*dongle, List().Add({0x40, 0x01, 0x46, 0x55, 0x02, 0x00}), 3), Bytes(3, 0xFF));
    AccessOn();
    // the access-off command after the ID read does not spoil it
    EXPECT_EQ(Reply(*dongle, List().Add({0x40, 0x01, 0x46, 0x55, 0x02, 0x00}), 3),
              (Bytes{0xEF, 0x40, 0x15}));
    Reply(*dongle, List().Add({0x41, 0x55}).Page(0x44, 0, Bytes(256, 0)), 0);
    EXPECT_EQ(board->Chip().ReadByte(0), 0xFF);
}

TEST_F(DemoboardTest, ProgramNeedsWriteEnable) {
    AccessOn();
    Reply(*dongle, List().Page(0x44, 0x100, Bytes(256, 0)).Add({0x40, 0x03}), 1);
    EXPECT_EQ(board->Chip().ReadByte(0x100), 0xFF);
    Reply(*dongle, List().Add({0x41, 0x55}).Page(0x44, 0x100, Bytes(256, 0)).Add({0x40, 0x03}), 1);
    EXPECT_EQ(board->Chip().ReadByte(0x100), 0x00);
}

TEST_F(DemoboardTest, ChipEraseStaysBusyForTheConfiguredPolls) {
    board->Chip().Fill(0x00);
    board->SetEraseBusyPolls(2);
    AccessOn();
    EXPECT_EQ(Reply(*dongle, List().Add({0x41, 0x55, 0x41, 0xA0, 0x03, 0x00, 0x02, 0x00}), 1),
              Bytes{kAckByte});
    const List poll = List().Add({0x40, 0x02, 0x02, 0x00});
    EXPECT_EQ(Reply(*dongle, poll, 1), Bytes{0x03});
    EXPECT_EQ(Reply(*dongle, poll, 1), Bytes{0x03});
    EXPECT_EQ(Reply(*dongle, poll, 1), Bytes{0x00});
    EXPECT_EQ(Reply(*dongle, poll, 1), Bytes{0x00});
    EXPECT_TRUE(std::all_of(board->Chip().Contents().begin(), board->Chip().Contents().end(),
                            [](std::uint8_t b) { return b == 0xFF; }));
}

TEST_F(DemoboardTest, ChipEraseNeedsWriteEnable) {
    board->Chip().Fill(0x00);
    AccessOn();
    Reply(*dongle, List().Add({0x41, 0xA0, 0x03, 0x00}), 1);
    EXPECT_EQ(Reply(*dongle, List().Add({0x40, 0x02}), 1), Bytes{0x00});
    EXPECT_EQ(board->Chip().ReadByte(0), 0x00);
}

TEST_F(DemoboardTest, ProgramDuringEraseIsIgnored) {
    board->SetEraseBusyPolls(5);
    AccessOn();
    Reply(*dongle, List().Add({0x41, 0x55, 0x41, 0xA0}), 0);
    Reply(*dongle, List().Add({0x41, 0x55}).Page(0x44, 0, Bytes(256, 0)), 0);
    EXPECT_EQ(board->Chip().ReadByte(0), 0xFF);
}

TEST_F(DemoboardTest, BitCountThenAck) {
    AccessOn();
    board->Chip().Preload(0x8000, Bytes(16, 0x00));
    EXPECT_EQ(Reply(*dongle, List().Addr(0x47, 0x8000).Add({0x03, 0x00, 0x02, 0x00}), 4),
              (Bytes{0x03, 0xFF, 0x80, kAckByte}));
    EXPECT_EQ(Reply(*dongle, List().Addr(0x47, 0x1F8000).Add({0x03, 0x00}), 4),
              (Bytes{0x04, 0x00, 0x00, kAckByte}));
}

}  // namespace
}  // namespace qdm::sim
