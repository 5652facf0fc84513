// ReadFileVersion on crafted files: the block found wherever it lies, each lookup that can be
// missing, the copy's bounds, and markers that lead to no sound block.

#include "app/FileVersion.h"

#include <gtest/gtest.h>

#include <array>
#include <filesystem>
#include <string>
#include <vector>

#include "usb/Fileiofunctions.h"

namespace qdm {
namespace {

using Buffer = std::array<std::uint8_t, kVersionBufferSize>;

class FileVersionTest : public ::testing::Test {
  protected:
    void SetUp() override {
        folder_ = std::filesystem::temp_directory_path() /
                  ("qdm-version-" +
                   std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
        std::filesystem::create_directories(folder_);
        buffer_.fill(kVersionFiller);
    }
    void TearDown() override { std::filesystem::remove_all(folder_); }

    // `block` between stretches of other bytes, as in a program file.
    std::filesystem::path File(const std::vector<std::uint8_t>& block, std::size_t before = 5000,
                               std::size_t after = 700) {
        std::vector<std::uint8_t> bytes(before, 0x55);
        bytes.insert(bytes.end(), block.begin(), block.end());
        bytes.insert(bytes.end(), after, 0x33);
        const auto file = folder_ / "program";
        WriteFileFrom(bytes, file);
        return file;
    }

    // The buffer's text up to the first zero byte.
    std::string Text() const {
        std::string text;
        for (const std::uint8_t b : buffer_) {
            if (b == 0) break;
            text += static_cast<char>(b);
        }
        return text;
    }

    bool Untouched() const {
        return std::all_of(buffer_.begin(), buffer_.end(),
                           [](std::uint8_t b) { return b == kVersionFiller; });
    }

    std::filesystem::path folder_;
    Buffer buffer_{};
};

TEST_F(FileVersionTest, ReadsTheVersionAndZeroFillsButNeverTheLastByte) {
    ReadFileVersion(File(ProgramVersionBlock("1.2.3.4")), buffer_);
    EXPECT_EQ(Text(), "1.2.3.4");
    EXPECT_TRUE(std::all_of(buffer_.begin() + 7, buffer_.end() - 1, [](auto b) { return b == 0; }));
    EXPECT_EQ(buffer_.back(), kVersionFiller);
}

TEST_F(FileVersionTest, LongVersionKeepsItsFirst63Characters) {
    const std::string version(80, 'x');
    ReadFileVersion(File(ProgramVersionBlock(version)), buffer_);
    EXPECT_EQ(std::string(buffer_.begin(), buffer_.end() - 1), std::string(63, 'x'));
    EXPECT_EQ(buffer_.back(), kVersionFiller);
}

TEST_F(FileVersionTest, EachMissingPieceLeavesTheBufferAlone) {
    const std::string file = "\\StringFileInfo\\040904E4\\FileVersion";
    const char usual[4] = {0x09, 0x04, static_cast<char>(0xE4), 0x04};
    const std::array<VersionValue, 1> noTranslation = {{{file, "1.0"}}};
    const std::array<VersionValue, 1> noFileVersion = {{{kTranslationName, {usual, 4}}}};
    const std::array<VersionValue, 1> shortTranslation = {{{kTranslationName, {usual, 2}}}};
    for (const auto& block :
         {std::vector<std::uint8_t>{}, EncodeVersionBlock(noTranslation),
          EncodeVersionBlock(noFileVersion), EncodeVersionBlock(shortTranslation)}) {
        buffer_.fill(kVersionFiller);
        ReadFileVersion(File(block), buffer_);
        EXPECT_TRUE(Untouched());
    }
    ReadFileVersion(folder_ / "missing", buffer_);
    EXPECT_TRUE(Untouched());
}

TEST_F(FileVersionTest, TheTranslationNamesTheValue) {
    const char german[4] = {0x07, 0x04, static_cast<char>(0xB0), 0x04};
    const std::array<VersionValue, 3> values = {{
        {"\\StringFileInfo\\040904E4\\FileVersion", "wrong"},
        {kTranslationName, {german, 4}},
        {"\\StringFileInfo\\040704B0\\FileVersion", "2.0.0.7"},
    }};
    ReadFileVersion(File(EncodeVersionBlock(values)), buffer_);
    EXPECT_EQ(Text(), "2.0.0.7");
    EXPECT_EQ(FileVersionName(0x0407, 0x04B0), "\\StringFileInfo\\040704B0\\FileVersion");
}

TEST_F(FileVersionTest, MarkersWithoutASoundBlockArePassedOver) {
    auto damaged = ProgramVersionBlock("6.6.6.6");
    damaged.back() ^= 0x01;  // checksum no longer fits
    auto truncated = ProgramVersionBlock("7.7.7.7");
    truncated.resize(truncated.size() - 3);
    auto block = damaged;
    block.insert(block.end(), truncated.begin(), truncated.end());
    const auto good = ProgramVersionBlock("1.0.0.1");
    block.insert(block.end(), good.begin(), good.end());
    ReadFileVersion(File(block), buffer_);
    EXPECT_EQ(Text(), "1.0.0.1");

    buffer_.fill(kVersionFiller);
    ReadFileVersion(File(truncated, 10, 0), buffer_);
    EXPECT_TRUE(Untouched());
}

TEST_F(FileVersionTest, BlockAcrossTheScanChunks) {
    // The scan reads 1 MiB at a time; the marker straddles the first boundary.
    ReadFileVersion(File(ProgramVersionBlock("3.1.4.1"), (1u << 20) - 7), buffer_);
    EXPECT_EQ(Text(), "3.1.4.1");
}

TEST_F(FileVersionTest, AProgramWithoutABlockHasNone) {
    // This test program reads blocks but carries none: the reader never finds itself.
    EXPECT_FALSE(FindVersionBlock(ExecutableDirectory() / "app_tests").has_value());
}

}  // namespace
}  // namespace qdm
