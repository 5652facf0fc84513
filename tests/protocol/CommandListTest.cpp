#include "protocol/CommandList.h"

#include <gtest/gtest.h>

#include <functional>
#include <numeric>

namespace qdm {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Of(const CommandList& list) {
    return {list.Bytes().begin(), list.Bytes().end()};
}

std::array<std::uint8_t, kPageSize> Page() {
    std::array<std::uint8_t, kPageSize> page{};
    std::iota(page.begin(), page.end(), std::uint8_t{0});
    return page;
}

TEST(CommandList, EveryAppendWritesItsBytesAndCountsItsReply) {
    struct Case {
        const char* name;
        std::function<bool(CommandList&)> append;
        Bytes bytes;
        int reply;
    };
    const std::vector<Case> cases = {
        {"OP_INFO 1", [](CommandList& l) { return l.OP_INFO(1); }, {0x01, 0x01}, 4},
        {"OP_INFO 2", [](CommandList& l) { return l.OP_INFO(2); }, {0x01, 0x02}, 2},
        {"OP_INFO 3", [](CommandList& l) { return l.OP_INFO(3); }, {0x01, 0x03}, 4},
        {"OP_END_GROUP", [](CommandList& l) { return l.OP_END_GROUP(); }, {0x02, 0x00}, 0},
        {"OP_ACK", [](CommandList& l) { return l.OP_ACK(); }, {0x03, 0x00}, 1},
        {"OP_IO_WRITE", [](CommandList& l) { return l.OP_IO_WRITE(0x38); }, {0x11, 0x38}, 0},
        {"OP_IO_READ_ID", [](CommandList& l) { return l.OP_IO_READ_ID(); }, {0x15, 0x00}, 1},
        {"OP_IO_READ_BUSY", [](CommandList& l) { return l.OP_IO_READ_BUSY(); }, {0x16, 0x00}, 1},
        {"OP_IO_SETUP_A", [](CommandList& l) { return l.OP_IO_SETUP_A(0x3B); }, {0x1A, 0x3B}, 0},
        {"OP_IO_SETUP_B", [](CommandList& l) { return l.OP_IO_SETUP_B(0xF2); }, {0x1B, 0xF2}, 0},
        {"OP_IO_SETUP_C", [](CommandList& l) { return l.OP_IO_SETUP_C(0xFF); }, {0x1C, 0xFF}, 0},
        {"OP_R8_READ_ID", [](CommandList& l) { return l.OP_R8_READ_ID(); }, {0x30, 0x01}, 12},
        {"OP_R8_PROGRAM_STATUS",
         [](CommandList& l) { return l.OP_R8_PROGRAM_STATUS(); },
         {0x30, 0x03},
         1},
        {"OP_R8_BLANK_CHECK",
         [](CommandList& l) { return l.OP_R8_BLANK_CHECK(7); },
         {0x30, 0x04, 0x07, 0x00},
         1},
        {"OP_R8_WRITE_ENABLE",
         [](CommandList& l) { return l.OP_R8_WRITE_ENABLE(); },
         {0x31, 0x55},
         0},
        {"OP_R8_ERASE",
         [](CommandList& l) { return l.OP_R8_ERASE(0x7F, 0x01); },
         {0x31, 0xA5, 0x7F, 0x01},
         2},
        {"OP_R8_SET_ADDRESS",
         [](CommandList& l) { return l.OP_R8_SET_ADDRESS(0x123456); },
         {0x32, 0x12, 0x34, 0x56},
         0},
        {"OP_R8_READ 3F", [](CommandList& l) { return l.OP_R8_READ(0x3F); }, {0x33, 0x3F}, 512},
        {"OP_R8_READ 0", [](CommandList& l) { return l.OP_R8_READ(0); }, {0x33, 0x00}, 8},
        {"OP_R8_SELECT", [](CommandList& l) { return l.OP_R8_SELECT(0xAA); }, {0x35, 0xAA}, 0},
        {"OP_DEMO_READ_ID", [](CommandList& l) { return l.OP_DEMO_READ_ID(); }, {0x40, 0x01}, 3},
        {"OP_DEMO_READ_STATUS",
         [](CommandList& l) { return l.OP_DEMO_READ_STATUS(); },
         {0x40, 0x02},
         1},
        {"OP_DEMO_PROGRAM_STATUS",
         [](CommandList& l) { return l.OP_DEMO_PROGRAM_STATUS(); },
         {0x40, 0x03},
         1},
        {"OP_DEMO_WRITE_ENABLE",
         [](CommandList& l) { return l.OP_DEMO_WRITE_ENABLE(); },
         {0x41, 0x55},
         0},
        {"OP_DEMO_CHIP_ERASE",
         [](CommandList& l) { return l.OP_DEMO_CHIP_ERASE(); },
         {0x41, 0xA0},
         0},
        {"access on",
         [](CommandList& l) { return l.OP_DEMO_MODE_FLASH_ACCESS(1); },
         {0x46, 0xAA},
         0},
        {"access 0",
         [](CommandList& l) { return l.OP_DEMO_MODE_FLASH_ACCESS(0); },
         {0x46, 0x55},
         0},
        {"access 2",
         [](CommandList& l) { return l.OP_DEMO_MODE_FLASH_ACCESS(2); },
         {0x46, 0x55},
         0},
        {"release", [](CommandList& l) { return l.OP_DEMO_MODE_RUN_CONTROL(1); }, {0x46, 0x5A}, 0},
        {"hold", [](CommandList& l) { return l.OP_DEMO_MODE_RUN_CONTROL(0); }, {0x46, 0xA5}, 0},
        {"hold 2", [](CommandList& l) { return l.OP_DEMO_MODE_RUN_CONTROL(2); }, {0x46, 0xA5}, 0},
        {"OP_DEMO_BIT_COUNT",
         [](CommandList& l) { return l.OP_DEMO_BIT_COUNT(0x038000); },
         {0x47, 0x03, 0x80, 0x00},
         3},
        {"OP_R1_READ_ID", [](CommandList& l) { return l.OP_R1_READ_ID(); }, {0x50, 0x01}, 3},
        {"OP_R1_PROGRAM_STATUS",
         [](CommandList& l) { return l.OP_R1_PROGRAM_STATUS(); },
         {0x50, 0x03},
         1},
        {"OP_R1_BLANK_CHECK",
         [](CommandList& l) { return l.OP_R1_BLANK_CHECK(2); },
         {0x50, 0x04, 0x02, 0x00},
         1},
        {"OP_R1_WRITE_ENABLE",
         [](CommandList& l) { return l.OP_R1_WRITE_ENABLE(); },
         {0x51, 0x55},
         0},
        {"OP_R1_ERASE",
         [](CommandList& l) { return l.OP_R1_ERASE(0x00, 0x04); },
         {0x51, 0xA5, 0x00, 0x04},
         2},
        {"OP_R1_SET_ADDRESS",
         [](CommandList& l) { return l.OP_R1_SET_ADDRESS(0x1FFE00); },
         {0x52, 0x1F, 0xFE, 0x00},
         0},
        {"OP_R1_READ FF", [](CommandList& l) { return l.OP_R1_READ(0xFF); }, {0x53, 0xFF}, 512},
        {"OP_R1_READ 0", [](CommandList& l) { return l.OP_R1_READ(0); }, {0x53, 0x00}, 2},
        {"OP_R1_SELECT", [](CommandList& l) { return l.OP_R1_SELECT(0x55); }, {0x55, 0x55}, 0},
        {"OP_R1_BIT_COUNT",
         [](CommandList& l) { return l.OP_R1_BIT_COUNT(0x8000); },
         {0x56, 0x00, 0x80, 0x00},
         3},
        // Bits above 23 never travel.
        {"address bit 24",
         [](CommandList& l) { return l.OP_R8_SET_ADDRESS(0x1FFFF00); },
         {0x32, 0xFF, 0xFF, 0x00},
         0},
    };
    for (const Case& c : cases) {
        CommandList list;
        list.OP_ACK();  // something before, so offsets are checked too
        EXPECT_TRUE(c.append(list)) << c.name;
        Bytes expected = {0x03, 0x00};
        expected.insert(expected.end(), c.bytes.begin(), c.bytes.end());
        EXPECT_EQ(Of(list), expected) << c.name;
        EXPECT_EQ(list.Counters().bytesWritten, static_cast<std::int32_t>(expected.size()))
            << c.name;
        EXPECT_EQ(list.Counters().replyBytes, 1 + c.reply) << c.name;
    }
}

TEST(CommandList, InfoWithAnUnknownSelectorLeavesTheListUntouched) {
    for (const int selector : {0, 4, 0xFF}) {
        CommandList list;
        list.OP_END_GROUP();
        EXPECT_FALSE(list.OP_INFO(static_cast<std::uint8_t>(selector)));
        EXPECT_EQ(Of(list), (Bytes{0x02, 0x00}));
        EXPECT_EQ(list.Counters().bytesWritten, 2);
        EXPECT_EQ(list.Counters().replyBytes, 0);
    }
}

TEST(CommandList, DataAppendsCopyExactlyOnePage) {
    const auto page = Page();
    for (const PageBoard board : {PageBoard::K3r8, PageBoard::K3r1, PageBoard::Demo}) {
        CommandList list;
        list.AppendPageGroup(board, 0x002000, page);
        const Bytes bytes = Of(list);
        ASSERT_EQ(bytes.size(), kPageGroupSize);
        const std::uint8_t row = board == PageBoard::K3r8   ? 0x30
                                 : board == PageBoard::K3r1 ? 0x50
                                                            : 0x40;
        EXPECT_EQ(bytes[0], row + 1);
        EXPECT_EQ(bytes[1], 0x55);
        EXPECT_EQ(bytes[2], row + 4);
        EXPECT_EQ(bytes[3], 0x00);
        EXPECT_EQ(bytes[4], 0x20);
        EXPECT_EQ(bytes[5], 0x00);
        EXPECT_TRUE(std::equal(page.begin(), page.end(), bytes.begin() + 6));
        EXPECT_EQ(bytes[262], row);
        EXPECT_EQ(bytes[263], 0x03);
        EXPECT_TRUE(std::all_of(bytes.begin() + 264, bytes.end(), [](auto b) { return b == 0; }));
        EXPECT_EQ(list.Counters().replyBytes, 1);
    }
}

TEST(CommandList, ThirtyTwoPageGroupsMakeTheProgrammingList) {
    const auto page = Page();
    CommandList list(32 * 1024);
    for (std::uint32_t g = 0; g < 32; ++g)
        list.AppendPageGroup(PageBoard::K3r8, g * 256, page);
    list.OP_ACK();
    list.OP_END_GROUP();
    EXPECT_EQ(list.Counters().bytesWritten, 16388);
    EXPECT_EQ(list.Counters().replyBytes, 33);
    for (std::size_t g = 0; g < 32; ++g)
        EXPECT_EQ(list.Bytes()[g * 512], 0x31) << g;
    list.Reset();
    EXPECT_EQ(list.Counters().bytesWritten, 0);
    EXPECT_EQ(list.Counters().replyBytes, 0);
    EXPECT_TRUE(list.Bytes().empty());
}

TEST(CommandList, PagesAreNeverReadPastTheImage) {
    const Bytes image(600, 0xAB);
    EXPECT_EQ(PageAt(image, 344)[255], 0xAB);
    EXPECT_THROW(PageAt(image, 345), std::out_of_range);
    EXPECT_THROW(PageAt(image, 4096), std::out_of_range);
}

}  // namespace
}  // namespace qdm
