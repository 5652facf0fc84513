// The flash models on their own: address wrapping, NOR programming, erase ranges, blank checks,
// one-bit counts and the per-chip faults.

#include <gtest/gtest.h>

#include "sim/ParallelFlash.h"
#include "sim/SerialFlash.h"
#include "tests/sim/SimTestSupport.h"

namespace qdm::sim {
namespace {

using test::Bytes;

TEST(SerialFlashModel, ProgramNeedsWriteEnableAndOnlyClearsBits) {
    SerialFlash chip;
    EXPECT_FALSE(chip.ProgramPage(0, Bytes(256, 0x00)));
    EXPECT_EQ(chip.ReadByte(0), 0xFF);
    chip.WriteEnable();
    EXPECT_TRUE(chip.ProgramPage(0, Bytes(256, 0xAA)));
    EXPECT_FALSE(chip.WriteEnabled());
    chip.WriteEnable();
    chip.ProgramPage(0, Bytes(256, 0x0F));
    EXPECT_EQ(chip.ReadByte(0), 0x0A);
    EXPECT_EQ(chip.PagesProgrammed(), 2U);
}

TEST(SerialFlashModel, ProgramWrapsInsideItsPageAndAddressesWrapAtChipSize) {
    SerialFlash chip;
    chip.WriteEnable();
    chip.ProgramPage(0x2000F0, test::PatternPage(1));  // 0x2000F0 wraps to 0x0000F0
    EXPECT_EQ(chip.ReadByte(0xF0), test::PatternPage(1)[0]);
    EXPECT_EQ(chip.ReadByte(0xFF), test::PatternPage(1)[15]);
    EXPECT_EQ(chip.ReadByte(0x00), test::PatternPage(1)[16]);  // wrapped inside the page
    EXPECT_EQ(chip.ReadByte(0x100), 0xFF);
    EXPECT_EQ(SerialFlash::Wrap(0xFFFF00), 0x1FFF00U);
}

struct EraseCase {
    const char* name;
    std::uint32_t first;
    std::uint32_t count;
    std::vector<std::uint32_t> erased;
    friend void PrintTo(const EraseCase& c, std::ostream* os) { *os << c.name; }
};

class SerialFlashErase : public ::testing::TestWithParam<EraseCase> {};

TEST_P(SerialFlashErase, ErasesTheBlocksNamed) {
    const auto& c = GetParam();
    SerialFlash chip;
    chip.Fill(0x00);
    EXPECT_TRUE(chip.EraseBlocks(c.first, c.count));
    for (std::uint32_t b = 0; b < SerialFlash::kBlockCount; ++b) {
        const bool expected = std::find(c.erased.begin(), c.erased.end(), b) != c.erased.end();
        EXPECT_EQ(chip.IsBlockBlank(b), expected) << "block " << b;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Ranges, SerialFlashErase,
    ::testing::Values(EraseCase{"FirstFour", 0x00, 0x04, {0, 1, 2, 3}},
                      EraseCase{"TopBlockBy7F", 0x7F, 0x01, {31}},
                      EraseCase{"AcrossTheTop", 30, 3, {30, 31, 0}},
                      EraseCase{"NoBlocks", 5, 0, {}},
                      EraseCase{
                          "MoreThanTheChip", 0, 255, {0,  1,  2,  3,  4,  5,  6,  7,  8,  9,  10,
                                                      11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21,
                                                      22, 23, 24, 25, 26, 27, 28, 29, 30, 31}}),
    test::CaseName());

TEST(SerialFlashModel, OneBitCountsPer32KiB) {
    SerialFlash chip;
    EXPECT_EQ(chip.CountOnes(0), 262144U);
    chip.Preload(0x8000, Bytes(0x8000, 0x00));
    EXPECT_EQ(chip.CountOnes(0x8000), 0U);
    chip.Preload(0x8001, Bytes{0x01, 0x80});
    EXPECT_EQ(chip.CountOnes(0x8000), 2U);
    chip.Preload(0x1FFFFF, Bytes{0x00});
    EXPECT_EQ(chip.CountOnes(0x1FC000), 262144U - 8);  // the region wraps to address 0
    EXPECT_EQ(chip.CountOnes(0x1FC001), 262144U - 8);  // unaligned start
}

TEST(SerialFlashModel, StuckBitSurvivesEraseAndProgram) {
    SerialFlash chip;
    chip.AddStuckBit({0x10, 3, false});
    EXPECT_EQ(chip.ReadByte(0x10), 0xF7);
    EXPECT_FALSE(chip.IsBlockBlank(0));
    chip.EraseBlocks(0, 1);
    EXPECT_EQ(chip.ReadByte(0x10), 0xF7);
    chip.AddStuckBit({0x11, 0, true});
    chip.WriteEnable();
    chip.ProgramPage(0, Bytes(256, 0x00));
    EXPECT_EQ(chip.ReadByte(0x11), 0x01);
    chip.ClearFaults();
    chip.EraseBlocks(0, 1);
    EXPECT_TRUE(chip.IsBlockBlank(0));
}

TEST(SerialFlashModel, EraseFaults) {
    SerialFlash chip;
    chip.Fill(0x00);
    chip.SetEraseFault(EraseFault::Silent);
    EXPECT_TRUE(chip.EraseBlocks(0, 1));
    EXPECT_FALSE(chip.IsBlockBlank(0));
    chip.SetEraseFault(EraseFault::Reported);
    EXPECT_FALSE(chip.EraseBlocks(0, 1));
    EXPECT_FALSE(chip.IsBlockBlank(0));
    chip.WriteEnable();
    EXPECT_FALSE(chip.EraseChip());
}

TEST(ParallelFlashModel, ProgramOnlyClearsBitsAndWraps) {
    ParallelFlash flash;
    flash.Program(ParallelFlash::kSize - 1, Bytes{0xF0, 0x3C});
    flash.Program(0, Bytes{0x0F});
    EXPECT_EQ(flash.Contents()[ParallelFlash::kSize - 1], 0xF0);
    EXPECT_EQ(flash.Contents()[0], 0x0C);
}

TEST(ParallelFlashModel, RefusedEraseLeavesCells) {
    ParallelFlash flash;
    flash.Fill(0x00);
    flash.SetEraseRefused(true);
    flash.SetErasePollReads(0);
    for (const auto& c : ParallelFlash::kChipEraseSequence)
        flash.WriteCycle(c.address, c.data);
    EXPECT_TRUE(flash.Erasing());
    EXPECT_EQ(flash.ReadCycle(0), 0x00);
    EXPECT_FALSE(flash.Erasing());
}

}  // namespace
}  // namespace qdm::sim
