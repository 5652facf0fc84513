#include "workflows/ChipProperties.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <set>
#include <string_view>
#include <tuple>
#include <vector>

#include "state/Mainprocess.h"
#include "workflows/Mcurom_codec.h"

namespace qdm {
namespace {

// The chip table typed in again, column by column as it is documented:
// code, size, end address, then option bytes 249, 248, 247, 246, 209, 208, 250.
struct Row {
    std::uint8_t code;
    std::uint32_t size;
    std::uint32_t end;
    std::array<std::uint8_t, 7> options;
};
const std::array<Row, 13> kRows = {{
    {0x00, 0, 0, {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}},
    {0x04, 0x20000, 0x1FFC0, {0x48, 0x09, 0x78, 0x09, 0x01, 0x00, 0xAF}},
    {0x03, 0x10000, 0xFFC0, {0x48, 0x09, 0x78, 0x09, 0x01, 0x00, 0xC0}},
    {0x01, 0x4000, 0x3FC0, {0x7C, 0x04, 0xAB, 0x04, 0x04, 0x00, 0xA7}},
    {0x02, 0x8000, 0x7FC0, {0x48, 0x09, 0x78, 0x09, 0x01, 0x00, 0x60}},
    {0x82, 0x8000, 0x7FC0, {0x48, 0x09, 0x78, 0x09, 0x01, 0x00, 0x60}},
    {0x03, 0x10000, 0xFFC0, {0x48, 0x09, 0x78, 0x09, 0x01, 0x00, 0x8A}},
    {0x04, 0x20000, 0x1FFC0, {0x48, 0x09, 0x78, 0x09, 0x01, 0x00, 0x6A}},
    {0x07, 0x40000, 0x3FFC0, {0x48, 0x09, 0x78, 0x09, 0x01, 0x01, 0x6A}},
    {0x05, 0x10000, 0xFFC0, {0x00, 0x00, 0xFF, 0x00, 0x02, 0x01, 0xAF}},
    {0x10, 0x20000, 0x1FFC0, {0xA4, 0x04, 0xBC, 0x04, 0x02, 0x01, 0x1F}},
    {0x20, 0x40000, 0x3FFC0, {0x7C, 0x04, 0xAB, 0x04, 0x02, 0x01, 0x5C}},
    {0xFF, 0x200000, 0, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00}},
}};
constexpr std::array<std::size_t, 7> kOptionOffsets = {249, 248, 247, 246, 209, 208, 250};

// Hands out a fixed sequence and counts the draws.
class FixedRandom final : public RandomByteSource {
  public:
    explicit FixedRandom(std::vector<std::uint8_t> bytes) : bytes_(std::move(bytes)) {}
    std::uint8_t NextByte() override { return bytes_[draws_++ % bytes_.size()]; }
    std::size_t draws() const { return draws_; }

  private:
    std::vector<std::uint8_t> bytes_;
    std::size_t draws_ = 0;
};

class ChipPropertiesTest : public ::testing::Test {
  protected:
    void SetUp() override { ResetProgramState(); }
    void TearDown() override { ResetProgramState(); }
};

// --- the table -------------------------------------------------------------------------------

TEST_F(ChipPropertiesTest, EveryRowAsDocumented) {
    for (std::size_t i = 0; i < kRows.size(); ++i) {
        const ChipProperties& row = ChipPropertyTable[i];
        SCOPED_TRACE(ChipTypeNames[i]);
        EXPECT_EQ(row.name, ChipTypeNames[i]);
        EXPECT_EQ(row.code, kRows[i].code);
        EXPECT_EQ(row.imageSize, kRows[i].size);
        EXPECT_EQ(row.startAddress, 0u);
        EXPECT_EQ(row.endAddress, kRows[i].end);
        const std::array<std::uint8_t, 7> options = {row.option249, row.option248, row.option247,
                                                     row.option246, row.option209, row.option208,
                                                     row.option250};
        EXPECT_EQ(options, kRows[i].options);
    }
}

TEST_F(ChipPropertiesTest, Lookups) {
    EXPECT_EQ(ChipRow(12), &ChipPropertyTable[12]);
    EXPECT_EQ(ChipRow(13), nullptr);
    EXPECT_EQ(ChipRow(-1), nullptr);
    const std::pair<std::uint8_t, int> cases[] = {{0x03, 2},  {0x04, 1}, {0x82, 5}, {0x20, 11},
                                                  {0xFF, 12}, {0x00, 0}, {0x99, -1}};
    for (const auto& [code, row] : cases) {
        EXPECT_EQ(FirstRowWithCode(code), row < 0 ? nullptr : &ChipPropertyTable[std::size_t(row)])
            << int{code};
    }
}

// --- the system option page --------------------------------------------------------------------

const Row* FirstTestRowWithCode(std::uint8_t code) {
    for (const Row& r : kRows) {
        if (r.code == code) return &r;
    }
    return nullptr;
}

OptionPage ExpectedPage(const SysOptRequest& q, std::uint8_t random, bool reduced) {
    OptionPage page;
    page.fill(0xFF);
    const Row* byCode = FirstTestRowWithCode(q.chipCode);
    if (byCode != nullptr) {
        for (std::size_t i = 0; i < kOptionOffsets.size(); ++i) {
            if (!reduced || kOptionOffsets[i] == 250) page[kOptionOffsets[i]] = byCode->options[i];
        }
    }
    const bool writer = q.clientBoardKind == 1 || q.clientBoardKind == 2;
    if (!reduced && writer) {
        const std::uint32_t start = q.rangeFlag ? 0x400 : 0;
        const std::uint32_t end =
            q.rangeFlag ? 0x400 : kRows[static_cast<std::size_t>(q.chipRow)].end;
        page[198] = static_cast<std::uint8_t>(end);
        page[199] = static_cast<std::uint8_t>(end >> 8);
        page[200] = static_cast<std::uint8_t>(end >> 16);
        page[201] = static_cast<std::uint8_t>(start);
        page[202] = static_cast<std::uint8_t>(start >> 8);
        page[203] = static_cast<std::uint8_t>(start >> 16);
    }
    if (q.carried.Carried()) {
        page[227] = q.carried.bytes[0];
        page[228] = q.carried.bytes[1];
        page[229] = q.carried.bytes[2];
    }
    page[230] = static_cast<std::uint8_t>(q.agentKey ^ random ^ 0xFF);
    page[231] = random;
    page[236] = static_cast<std::uint8_t>(q.checksum >> 24);
    page[237] = static_cast<std::uint8_t>(q.checksum >> 16);
    page[238] = static_cast<std::uint8_t>(q.checksum >> 8);
    page[239] = static_cast<std::uint8_t>(q.checksum);
    page[251] = q.agentKey;
    page[252] = q.chipCode;
    page[255] = 0x5C;
    return page;
}

void ExpectSamePage(const OptionPage& got, const OptionPage& want) {
    for (std::size_t k = 0; k < got.size(); ++k)
        EXPECT_EQ(int{got[k]}, int{want[k]}) << "byte " << k;
}

// Every row, with and without range flag and carried bytes, on every board, with the row's own
// code and with a code no row carries; the full page and the reduced one.
TEST_F(ChipPropertiesTest, PagesByteByByte) {
    CarriedOptionBytes carried;
    carried.bytes = {0xFF, 0x0A, 0x12};  // 227, 228, 229
    for (std::int32_t row = 0; row < 13; ++row) {
        for (const int variant : {0, 1, 2, 3, 4, 5, 6, 7}) {
            for (const std::uint8_t board : {kBoardNone, kBoardK3r8, kBoardK3r1, kBoardDemo}) {
                SysOptRequest q;
                q.chipCode = (variant & 4) != 0 ? 0x99 : kRows[std::size_t(row)].code;
                q.chipRow = row;
                q.rangeFlag = (variant & 1) != 0;
                q.carried = (variant & 2) != 0 ? carried : CarriedOptionBytes{};
                q.agentKey = AgentKey(row % 10);
                q.checksum = 0x01020304u * std::uint32_t(row + 1);
                q.clientBoardKind = board;
                const auto r = std::uint8_t(0x3C + row + variant);
                FixedRandom random({r});
                SCOPED_TRACE(testing::Message()
                             << "row " << row << " variant " << variant << " board " << int{board});
                const OptionPage full = BuildSysOptPage(q, random);
                ExpectSamePage(full, ExpectedPage(q, r, false));
                ExpectSamePage(BuildReducedSysOptPage(q, random), ExpectedPage(q, r, true));
                EXPECT_EQ(full[230] ^ full[231] ^ 0xFF, full[251]);
                EXPECT_EQ(random.draws(), 2u);
            }
        }
    }
}

TEST_F(ChipPropertiesTest, RequestFromProgramStateAndSystemRandom) {
    State().AgentIndex = 3;
    State().ImageChecksum = 0x12345678;
    State().ClientBoardKind = kBoardK3r1;
    CarriedOptionBytes carried;
    carried.bytes = {1, 2, 3};
    const SysOptRequest q = SysOptRequestFromState(0x10, 10, true, carried);
    EXPECT_EQ(std::tie(q.chipCode, q.chipRow, q.rangeFlag, q.carried.bytes, q.agentKey, q.checksum,
                       q.clientBoardKind),
              std::make_tuple(0x10, 10, true, carried.bytes, 0x7D, 0x12345678u, kBoardK3r1));
    std::set<std::uint8_t> seen;
    for (int i = 0; i < 64; ++i)
        seen.insert(DefaultRandomByteSource().NextByte());
    EXPECT_GT(seen.size(), 1u);
}

// --- parameter blocks and write order ----------------------------------------------------------

// Blocks A to I by chip code offset; every other offset of every block is 0xFF.
struct BlockColumn {
    std::size_t offset;
    std::array<std::uint8_t, 9> abcdefghi;
};
const BlockColumn kBlockColumns[] = {
    {1, {0x5A, 0x00, 0x3F, 0x01, 0x00, 0x7C, 0x04, 0xAB, 0x04}},
    {2, {0x5A, 0x00, 0x7F, 0x01, 0x00, 0x48, 0x09, 0x78, 0x09}},
    {3, {0x5A, 0x00, 0xFF, 0x01, 0x00, 0x48, 0x09, 0x78, 0x09}},
    {4, {0x5A, 0x01, 0xFF, 0x01, 0x00, 0x48, 0x09, 0x78, 0x09}},
    {5, {0xFF, 0xFF, 0xFF, 0x02, 0x01, 0x00, 0x00, 0xFF, 0x00}},
    {7, {0x5A, 0x03, 0xFF, 0x01, 0x01, 0x48, 0x09, 0x78, 0x09}},
    {16, {0x5A, 0x01, 0xFF, 0x02, 0x01, 0xA4, 0x04, 0xBC, 0x04}},
    {32, {0x5A, 0x03, 0xFF, 0x02, 0x01, 0x7C, 0x04, 0xAB, 0x04}},
    {130, {0x5A, 0x00, 0x7F, 0x01, 0x00, 0x48, 0x09, 0x78, 0x09}},
};

TEST_F(ChipPropertiesTest, BlocksAToI) {
    for (std::size_t b = 0; b < kOptionBlockCount; ++b) {
        OptionPage expected;
        expected.fill(0xFF);
        for (const BlockColumn& column : kBlockColumns)
            expected[column.offset] = column.abcdefghi[b];
        SCOPED_TRACE(testing::Message() << "block " << static_cast<char>('A' + b));
        ExpectSamePage(OptionBlocks[b], expected);
    }
}

TEST_F(ChipPropertiesTest, XorPages) {
    const OptionPage abc = XorPageAToC();
    const OptionPage di = XorPageDToI();
    for (std::size_t k = 0; k < kOptionPageSize; ++k) {
        EXPECT_EQ(abc[k],
                  OptionBlocks[kBlockA][k] ^ OptionBlocks[kBlockB][k] ^ OptionBlocks[kBlockC][k])
            << k;
        std::uint8_t x = 0;
        for (std::size_t b = kBlockD; b <= kBlockI; ++b)
            x = static_cast<std::uint8_t>(x ^ OptionBlocks[b][k]);
        EXPECT_EQ(di[k], x) << k;
    }
    // Offsets no chip code uses: three erased bytes give 0xFF, six give 0x00.
    for (const std::size_t k : {0u, 6u, 8u, 100u, 131u, 255u}) {
        EXPECT_EQ(abc[k], 0xFF) << k;
        EXPECT_EQ(di[k], 0x00) << k;
    }
    EXPECT_EQ(abc[1], 0x5A ^ 0x00 ^ 0x3F);
    EXPECT_EQ(di[16], 0x02 ^ 0x01 ^ 0xA4 ^ 0x04 ^ 0xBC ^ 0x04);
}

TEST_F(ChipPropertiesTest, TwelvePagesInOrder) {
    OptionPage sysOpt;
    sysOpt.fill(0x42);
    const auto writes = OptionPageWriteOrder(sysOpt);
    const OptionPage abc = XorPageAToC();
    const OptionPage di = XorPageDToI();
    const std::array<std::uint16_t, 12> indices = {0xFFFF, 0xFFFE, 0xFFFD, 0xFFFC, 0xFFFB, 0xFFCE,
                                                   0xFFCD, 0xFFCC, 0xFFCB, 0xFFCA, 0xFFC9, 0xFFCF};
    const std::string_view order = "SABCxDEFGHIy";  // S: option page, x and y: the XOR pages
    for (std::size_t i = 0; i < writes.size(); ++i) {
        const char c = order[i];
        const OptionPage& want = c == 'S'   ? sysOpt
                                 : c == 'x' ? abc
                                 : c == 'y' ? di
                                            : OptionBlocks[std::size_t(c - 'A')];
        EXPECT_EQ(writes[i].pageIndex, indices[i]) << i;
        EXPECT_EQ(writes[i].content, want) << c;
    }
    EXPECT_EQ(kFirstOptionGroupSize, 5u);
}

// --- reading the option page back ----------------------------------------------------------------

TEST_F(ChipPropertiesTest, OptionBytesFromBlock4095) {
    std::vector<std::uint8_t> block(512);
    for (std::size_t i = 0; i < block.size(); ++i)
        block[i] = static_cast<std::uint8_t>(i * 7);
    EXPECT_EQ(OptionByteFromBlock(block, 252), block[508]);
    EXPECT_EQ(OptionByteFromBlock(block, 227), block[483]);
    EXPECT_EQ(OptionByteFromBlock(block, 0), block[256]);
    EXPECT_EQ(OptionByteFromBlock(block, 255), block[511]);
    EXPECT_EQ(OptionByteFromBlock(block, 256), std::nullopt);
    EXPECT_EQ(OptionByteFromBlock(std::span(block).first(508), 252), std::nullopt);

    const auto page = OptionPageFromBlock(block);
    ASSERT_TRUE(page.has_value());
    EXPECT_TRUE(std::equal(page->begin(), page->end(), block.begin() + 256));
    EXPECT_FALSE(OptionPageFromBlock(std::span(block).first(511)).has_value());

    const CarriedOptionBytes carried = CarriedBytesFromBlock(block);
    EXPECT_EQ(carried.bytes, (std::array<std::uint8_t, 3>{block[483], block[484], block[485]}));
    EXPECT_TRUE(carried.Carried());
    std::fill(block.begin() + 483, block.begin() + 486, 0xFF);
    EXPECT_FALSE(CarriedBytesFromBlock(block).Carried());
    block[485] = 0xFE;  // byte 229 alone is enough
    EXPECT_TRUE(CarriedBytesFromBlock(block).Carried());
    EXPECT_FALSE(CarriedBytesFromBlock(std::span(block).first(485)).Carried());
}

}  // namespace
}  // namespace qdm
