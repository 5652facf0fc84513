// The MCU-ROM firmware and its parallel flash: the chip-erase command cycles, data polling,
// block selection, reads and programming runs, with the lists the host's link operations send.

#include <gtest/gtest.h>

#include <algorithm>

#include "tests/sim/SimTestSupport.h"

namespace qdm::sim {
namespace {

using test::Bytes;
using test::List;
using test::Reply;

using Cycle = ParallelFlash::BusCycle;

constexpr Cycle kErase[] = {{0xAAA, 0xAA}, {0x555, 0x55}, {0xAAA, 0x80},
                            {0xAAA, 0xAA}, {0x555, 0x55}, {0xAAA, 0x10}};

List& AddCycle(List& list, Cycle c) {
    return list.Addr(0x1E, c.address).Add({0x25, c.data, 0x0D, 0x80, 0x0D, 0xC0});
}

List LinkOn() {
    return List().Add({0x0E, 0x01, 0x03, 0x01, 0x02, 0x00});
}

// The erase list: setup, the cycles, then one data-polling read.
List EraseList(const std::vector<Cycle>& cycles) {
    List list;
    list.Add({0x11, 0xFF, 0x10, 0xFF, 0x0D, 0xC0});
    for (const Cycle& c : cycles)
        AddCycle(list, c);
    list.Add({0x11, 0x00, 0x0D, 0x40, 0x21, 0x01, 0x02, 0x00});
    return list;
}

class McuRom : public ::testing::Test {
  protected:
    void SetUp() override {
        dongle = test::McuRomDongle();
        flash = &dongle->McuRomFlash();
        flash->Fill(0x00);
        Reply(*dongle, LinkOn(), 1);
    }
    std::shared_ptr<VirtualDongle> dongle;
    ParallelFlash* flash = nullptr;
};

TEST_F(McuRom, ExactSixCycleSequenceErasesAfterPolling) {
    flash->SetErasePollReads(3);
    const std::vector<Cycle> cycles(std::begin(kErase), std::end(kErase));
    const auto first = Reply(*dongle, EraseList(cycles), 1);
    ASSERT_EQ(first.size(), 1U);
    EXPECT_NE(first[0], 0xFF);
    EXPECT_TRUE(flash->Erasing());
    List poll;
    for (int i = 0; i < 64; ++i)
        poll.Add({0x21, 0x01});
    poll.Add({0x02, 0x00});
    const auto polls = Reply(*dongle, poll, 64);
    ASSERT_EQ(polls.size(), 64U);
    EXPECT_NE(polls[0], 0xFF);
    EXPECT_NE(polls[1], 0xFF);
    EXPECT_EQ(polls[2], 0xFF);  // three reads saw the erase running
    EXPECT_FALSE(flash->Erasing());
    EXPECT_TRUE(std::all_of(flash->Contents().begin(), flash->Contents().end(),
                            [](std::uint8_t b) { return b == 0xFF; }));
    EXPECT_EQ(flash->ErasesStarted(), 1U);
}

struct EraseVariant {
    const char* name;
    std::vector<Cycle> cycles;
    friend void PrintTo(const EraseVariant& c, std::ostream* os) { *os << c.name; }
};

class McuRomNoErase : public McuRom, public ::testing::WithParamInterface<EraseVariant> {};

TEST_P(McuRomNoErase, NothingElseStartsAnErase) {
    const auto r = Reply(*dongle, EraseList(GetParam().cycles), 1);
    EXPECT_FALSE(flash->Erasing());
    EXPECT_EQ(flash->ErasesStarted(), 0U);
    EXPECT_EQ(r, Bytes{0x00});  // the cell itself
}

std::vector<Cycle> Without(std::size_t index) {
    std::vector<Cycle> c(std::begin(kErase), std::end(kErase));
    c.erase(c.begin() + static_cast<std::ptrdiff_t>(index));
    return c;
}

std::vector<Cycle> Replaced(std::size_t index, Cycle with) {
    std::vector<Cycle> c(std::begin(kErase), std::end(kErase));
    c[index] = with;
    return c;
}

INSTANTIATE_TEST_SUITE_P(
    Cycles, McuRomNoErase,
    ::testing::Values(EraseVariant{"FirstCycleMissing", Without(0)},
                      EraseVariant{"FourthCycleMissing", Without(3)},
                      EraseVariant{"LastCycleMissing", Without(5)},
                      EraseVariant{"SectorEraseCommand", Replaced(5, {0xAAA, 0x30})},
                      EraseVariant{"ProgramCommand", Replaced(2, {0xAAA, 0xA0})},
                      EraseVariant{"WrongUnlockAddress", Replaced(1, {0xAAA, 0x55})},
                      EraseVariant{"HighAddressBitsSet", Replaced(0, {0x10AAA, 0xAA})},
                      EraseVariant{"StrayCycleBetween",
                                   [] {
                                       auto c =
                                           std::vector<Cycle>(std::begin(kErase), std::end(kErase));
                                       c.insert(c.begin() + 3, Cycle{0x123, 0x00});
                                       return c;
                                   }()}),
    test::CaseName());

TEST_F(McuRom, CyclesNeedDrivenDataLinesAnEnabledChipAndLinkMode) {
    // data lines released: strobes do not write
    List released;
    released.Add({0x11, 0x00, 0x0D, 0xC0});
    for (const Cycle& c : kErase)
        AddCycle(released, c);
    Reply(*dongle, released, 0);
    EXPECT_EQ(flash->WriteCycles(), 0U);
    // chip not enabled: 0xA0 / 0xE0 strobes
    List disabled;
    disabled.Add({0x11, 0xFF, 0x0D, 0xE0});
    for (const Cycle& c : kErase)
        disabled.Addr(0x1E, c.address).Add({0x25, c.data, 0x0D, 0xA0, 0x0D, 0xE0});
    Reply(*dongle, disabled, 0);
    EXPECT_EQ(flash->WriteCycles(), 0U);
    // out of link mode
    Reply(*dongle, List().Add({0x0E, 0x00}), 0);
    const std::vector<Cycle> cycles(std::begin(kErase), std::end(kErase));
    Reply(*dongle, EraseList(cycles), 1);
    EXPECT_EQ(flash->WriteCycles(), 0U);
    EXPECT_FALSE(flash->Erasing());
}

TEST_F(McuRom, EraseThatNeverEndsKeepsPolling) {
    flash->SetErasePollReads(std::nullopt);
    const std::vector<Cycle> cycles(std::begin(kErase), std::end(kErase));
    Reply(*dongle, EraseList(cycles), 1);
    List poll;
    for (int i = 0; i < 64; ++i)
        poll.Add({0x21, 0x01});
    for (int round = 0; round < 4; ++round) {
        const auto r = Reply(*dongle, poll, 64);
        EXPECT_TRUE(std::none_of(r.begin(), r.end(), [](std::uint8_t b) { return b == 0xFF; }));
    }
    EXPECT_TRUE(flash->Erasing());
}

// The read lists of a compare run: the first sets position and lines, each block starts with a
// block select, eight reads of 512 bytes per list.
Bytes ReadBack(VirtualDongle& dongle, std::uint32_t blocks) {
    Bytes image;
    for (std::uint32_t b = 0; b < blocks; ++b) {
        for (std::uint32_t q = 0; q < 4; ++q) {
            List list;
            if (b == 0 && q == 0)
                list.Add({0x10, 0xFF, 0x1E, 0x00, 0x00, 0x00, 0x11, 0x00, 0x0D, 0x40});
            if (q == 0) list.Add({0x1D, static_cast<std::uint8_t>(b)});
            for (int i = 0; i < 8; ++i)
                list.Add({0x26, 0xFF, 0x02, 0x00});
            const auto r = Reply(dongle, list, 4096);
            EXPECT_EQ(r.size(), 4096U);
            image.insert(image.end(), r.begin(), r.end());
        }
    }
    return image;
}

void Program(VirtualDongle& dongle, const Bytes& image, std::uint32_t blocks) {
    Reply(dongle,
          List().Add({0x10, 0xFF, 0x16, 0xAA, 0x1E, 0x00, 0x00, 0x00, 0x03, 0x01, 0x02, 0x00}), 1);
    std::size_t i = 0;
    for (std::uint32_t b = 0; b < blocks; ++b) {
        for (int h = 0; h < 2; ++h) {
            List list;
            if (h == 0) list.Add({0x1D, static_cast<std::uint8_t>(b)}).Zeros(510);
            for (int g = 0; g < 32; ++g) {
                list.Add({0x15, 0x7F});
                for (int k = 0; k < 256; ++k)
                    list.Add({image[i++]});
                list.Zeros(254);
            }
            list.Add({0x03, 0x01, 0x02, 0x00});
            EXPECT_EQ(Reply(dongle, list, 1), Bytes{kAckByte});
        }
    }
    Reply(dongle, List().Add({0x17, 0x55, 0x0E, 0x00, 0x03, 0x01, 0x02, 0x00}), 1);
}

TEST_F(McuRom, BlockSelectAndReadsFollowThePosition) {
    Bytes content(ParallelFlash::kSize);
    for (std::size_t i = 0; i < content.size(); ++i)
        content[i] = static_cast<std::uint8_t>((i >> 8) ^ i);
    flash->Preload(0, content);
    const Bytes back = ReadBack(*dongle, 2);
    EXPECT_EQ(back, Bytes(content.begin(), content.begin() + 32768));
    // block 9 alone
    const auto r = Reply(*dongle, List().Add({0x1D, 0x09, 0x26, 0xFF}), 512);
    EXPECT_EQ(r, Bytes(content.begin() + 9 * 16384, content.begin() + 9 * 16384 + 512));
    EXPECT_EQ(dongle->McuRom().Position(), 9U * 16384 + 512);
}

TEST_F(McuRom, ReadsNeedOutputEnabled) {
    flash->Fill(0xA5);
    EXPECT_EQ(Reply(*dongle, List().Add({0x11, 0x00, 0x0D, 0xC0, 0x21, 0x01}), 1), Bytes{0x00});
    EXPECT_EQ(Reply(*dongle, List().Add({0x0D, 0x40, 0x21, 0x01}), 1), Bytes{0xA5});
    EXPECT_EQ(Reply(*dongle, List().Add({0x11, 0xFF, 0x21, 0x01}), 1), Bytes{0x00});
}

TEST_F(McuRom, ProgrammingRunWritesTheImageAndCloses) {
    flash->Fill(0xFF);
    Bytes image(2 * 16384);
    for (std::size_t i = 0; i < image.size(); ++i)
        image[i] = static_cast<std::uint8_t>(i * 13 + 1);
    Program(*dongle, image, 2);
    EXPECT_TRUE(std::equal(image.begin(), image.end(), flash->Contents().begin()));
    EXPECT_EQ(flash->Contents()[32768], 0xFF);
    EXPECT_FALSE(dongle->McuRom().LinkMode());
    EXPECT_FALSE(dongle->McuRom().ProgrammingRun());
}

TEST_F(McuRom, ProgramOutsideARunDoesNothing) {
    flash->Fill(0xFF);
    List list;
    list.Add({0x1E, 0x00, 0x00, 0x00, 0x15, 0x00, 0x12, 0x34});
    Reply(*dongle, list, 0);
    EXPECT_EQ(flash->Contents()[0], 0xFF);
    EXPECT_EQ(dongle->McuRom().Position(), 0U);
}

struct SizeCase {
    const char* name;
    std::uint32_t blocks;
    friend void PrintTo(const SizeCase& c, std::ostream* os) { *os << c.name; }
};

class McuRomRoundTrip : public McuRom, public ::testing::WithParamInterface<SizeCase> {};

TEST_P(McuRomRoundTrip, EraseBlankCheckProgramVerify) {
    const std::uint32_t blocks = GetParam().blocks;
    const std::vector<Cycle> cycles(std::begin(kErase), std::end(kErase));
    auto r = Reply(*dongle, EraseList(cycles), 1);
    List poll;
    for (int i = 0; i < 64; ++i)
        poll.Add({0x21, 0x01});
    while (r.empty() || std::find(r.begin(), r.end(), 0xFF) == r.end())
        r = Reply(*dongle, poll, 64);
    Reply(*dongle, List().Add({0x0D, 0xE0, 0x0E, 0x00, 0x03, 0x01}), 1);

    Reply(*dongle, LinkOn(), 1);
    const Bytes blank = ReadBack(*dongle, blocks);
    EXPECT_TRUE(std::all_of(blank.begin(), blank.end(), [](std::uint8_t b) { return b == 0xFF; }));
    Reply(*dongle, List().Add({0x0D, 0xE0, 0x0E, 0x00, 0x03, 0x01}), 1);

    Bytes image(blocks * 16384);
    for (std::size_t i = 0; i < image.size(); ++i)
        image[i] = static_cast<std::uint8_t>(i % 251);
    Reply(*dongle, LinkOn(), 1);
    Program(*dongle, image, blocks);

    Reply(*dongle, LinkOn(), 1);
    EXPECT_EQ(ReadBack(*dongle, blocks), image);
}

INSTANTIATE_TEST_SUITE_P(Sizes, McuRomRoundTrip,
                         ::testing::Values(SizeCase{"Blocks2", 2}, SizeCase{"Blocks4", 4},
                                           SizeCase{"Blocks8", 8}, SizeCase{"Blocks16", 16}),
                         test::CaseName());

}  // namespace
}  // namespace qdm::sim
