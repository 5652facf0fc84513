// The About box's version lookup: the copy rule and the key on every host; on Windows the real
// version resources of the programs built here.

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <string>

#include "app/FileVersion.h"

#if defined(_WIN32)
#include <windows.h>

#include "usb/Fileiofunctions.h"
#endif

namespace qdm {
namespace {

constexpr char kFiller = static_cast<char>(0xAA);

std::array<char, 64> Filled() {
    std::array<char, 64> buffer{};
    buffer.fill(kFiller);
    return buffer;
}

// The characters up to the first zero, at most all 64: what the About box shows.
std::string Shown(const std::array<char, 64>& buffer) {
    const auto end = std::find(buffer.begin(), buffer.end(), '\0');
    return {buffer.begin(), end};
}

TEST(FileVersion, KeyNamesLanguageThenCodePage) {
    EXPECT_EQ(FileVersionKey(0x04B00409), "\\StringFileInfo\\040904B0\\FileVersion");
    EXPECT_EQ(FileVersionKey(0x04E40407), "\\StringFileInfo\\040704E4\\FileVersion");
    EXPECT_EQ(FileVersionKey(0x0000ABCD), "\\StringFileInfo\\ABCD0000\\FileVersion");
}

TEST(FileVersion, ShortValueIsZeroFilledUpToTheLastByte) {
    auto buffer = Filled();
    CopyFileVersion("1.2.3.4", buffer);
    EXPECT_EQ(Shown(buffer), "1.2.3.4");
    EXPECT_TRUE(std::all_of(buffer.begin() + 7, buffer.end() - 1, [](char c) { return c == 0; }));
    EXPECT_EQ(buffer[63], kFiller);
}

TEST(FileVersion, LongValueKeepsSixtyThreeCharactersAndTheFiller) {
    const std::string value(70, '7');
    auto buffer = Filled();
    CopyFileVersion(value, buffer);
    EXPECT_EQ(std::string(buffer.begin(), buffer.end() - 1), value.substr(0, 63));
    EXPECT_EQ(buffer[63], kFiller);
    EXPECT_EQ(Shown(buffer).size(), 64u);  // the filler byte runs on into the text
}

TEST(FileVersion, EmptyValueAndTinyBuffers) {
    auto buffer = Filled();
    CopyFileVersion("", buffer);
    EXPECT_EQ(Shown(buffer), "");
    EXPECT_EQ(buffer[63], kFiller);
    std::array<char, 1> one = {kFiller};
    CopyFileVersion("9", one);
    EXPECT_EQ(one[0], kFiller);
    CopyFileVersion("9", std::span<char>{});
}

#if defined(_WIN32)

std::filesystem::path OwnExecutable() {
    std::wstring path(32768, L'\0');
    const DWORD n = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    path.resize(n);
    return path;
}

TEST(FileVersionOnWindows, TheCommandLineToolCarriesTheProjectVersion) {
    auto buffer = Filled();
    ReadFileVersion(ExecutableDirectory() / "qdm-writer-cli.exe", buffer);
    EXPECT_EQ(Shown(buffer), QDM_VERSION);
    EXPECT_EQ(buffer[63], kFiller);
    EXPECT_EQ("QDM-OTP Programmer for Writer.V-V." + Shown(buffer) + ".NAC",
              "QDM-OTP Programmer for Writer.V-V." QDM_VERSION ".NAC");
}

// This test program's own resource lists German first and English second, each with its own
// FileVersion; the German one is 70 characters long.
TEST(FileVersionOnWindows, TheFirstTranslationWinsAndLongValuesAreCut) {
    auto buffer = Filled();
    ReadFileVersion(OwnExecutable(), buffer);
    const std::string german = "7.0.0.0-" + std::string(62, 'd');
    EXPECT_EQ(std::string(buffer.begin(), buffer.end() - 1), german.substr(0, 63));
    EXPECT_EQ(buffer[63], kFiller);
}

TEST(FileVersionOnWindows, FilesWithoutAVersionLeaveTheBufferAlone) {
    const auto untouched = Filled();
    for (const std::filesystem::path& file :
         {ExecutableDirectory() / "no-such-program.exe",
          std::filesystem::path(QDM_SAMPLES_DIR) / "QL020_PB_RV24.bin"}) {
        auto buffer = Filled();
        ReadFileVersion(file, buffer);
        EXPECT_EQ(buffer, untouched) << file.string();
    }
}

#endif

}  // namespace
}  // namespace qdm
