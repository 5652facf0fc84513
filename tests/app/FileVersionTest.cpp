// ReadFileVersion on crafted files, beyond the About box's cases: each lookup that can be
// missing, the translation naming the value, markers that lead to no sound block, a block across
// the scan's chunks, and a program that carries none.

#include "app/FileVersion.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "usb/Fileiofunctions.h"

// Windows builds read the system's version resource instead: FileVersionWindowsTest.cpp.
#if !defined(_WIN32)

namespace qdm {
namespace {

class FileVersionTest : public ::testing::Test {
  protected:
    void TearDown() override { std::filesystem::remove(file_); }

    // The version of a file holding `block` behind `before` other bytes; "-" for none.
    std::string Read(const std::vector<std::uint8_t>& block, std::size_t before = 5000) {
        std::vector<std::uint8_t> bytes(before, 0x55);
        bytes.insert(bytes.end(), block.begin(), block.end());
        bytes.insert(bytes.end(), 700, 0x33);
        WriteFileFrom(bytes, file_);
        std::array<std::uint8_t, kVersionBufferSize> buffer{};
        buffer.fill(kVersionFiller);
        ReadFileVersion(file_, buffer);
        if (std::all_of(buffer.begin(), buffer.end(), [](auto b) { return b == 0xAA; })) return "-";
        EXPECT_EQ(buffer.back(), kVersionFiller);
        return std::string(buffer.begin(), std::find(buffer.begin(), buffer.end(), 0));
    }

    // ctest runs the tests side by side: one file each.
    std::filesystem::path file_ =
        std::filesystem::temp_directory_path() /
        ("qdm-version-" +
         std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
};

TEST_F(FileVersionTest, LookupsFollowTheTranslation) {
    const char usual[4] = {0x09, 0x04, static_cast<char>(0xE4), 0x04};
    const char german[4] = {0x07, 0x04, static_cast<char>(0xB0), 0x04};
    const std::string value = FileVersionName(0x0409, 0x04E4);
    const std::string other = FileVersionName(0x0407, 0x04B0);
    const auto block = [](std::initializer_list<VersionValue> values) {
        return EncodeVersionBlock(std::vector<VersionValue>(values));
    };
    EXPECT_EQ(Read(block({{value, "1.0"}})), "-");                                // no translation
    EXPECT_EQ(Read(block({{kTranslationName, {usual, 4}}})), "-");                // no value
    EXPECT_EQ(Read(block({{kTranslationName, {usual, 2}}, {value, "1"}})), "-");  // short entry
    EXPECT_EQ(Read(block({{value, "wrong"}, {kTranslationName, {german, 4}}, {other, "2.0.0.7"}})),
              "2.0.0.7");
}

TEST_F(FileVersionTest, OnlyASoundBlockCounts) {
    auto damaged = ProgramVersionBlock("6.6.6.6");
    damaged.back() ^= 0x01;  // the checksum no longer fits
    auto truncated = ProgramVersionBlock("7.7.7.7");
    truncated.resize(truncated.size() - 3);
    auto blocks = damaged;
    blocks.insert(blocks.end(), truncated.begin(), truncated.end());
    const auto good = ProgramVersionBlock("1.0.0.1");
    blocks.insert(blocks.end(), good.begin(), good.end());
    EXPECT_EQ(Read(blocks), "1.0.0.1");
    // The scan reads 1 MiB at a time; this marker straddles the first boundary.
    EXPECT_EQ(Read(ProgramVersionBlock("3.1.4.1"), (1u << 20) - 7), "3.1.4.1");
    // This test program holds the reader but no block: the reader never finds itself.
    EXPECT_FALSE(FindVersionBlock(ExecutableDirectory() / "app_tests").has_value());
}

}  // namespace
}  // namespace qdm

#endif
