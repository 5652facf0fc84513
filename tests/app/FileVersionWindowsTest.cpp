// The About box's version lookup on Windows: the real version resources of the programs built
// here.

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <string>

#include "app/FileVersion.h"
#include "usb/Fileiofunctions.h"

namespace qdm {
namespace {

using Buffer = std::array<std::uint8_t, kVersionBufferSize>;

Buffer Filled() {
    Buffer buffer{};
    buffer.fill(kVersionFiller);
    return buffer;
}

// The characters up to the first zero, at most all 64: what the About box shows.
std::string Shown(const Buffer& buffer) {
    const auto end = std::find(buffer.begin(), buffer.end(), std::uint8_t{0});
    return {buffer.begin(), end};
}

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
    EXPECT_EQ(buffer.back(), kVersionFiller);
}

// This test program's own resource lists German first and English second, each with its own
// FileVersion; the German one is 70 characters long.
TEST(FileVersionOnWindows, TheFirstTranslationWinsAndLongValuesAreCut) {
    auto buffer = Filled();
    ReadFileVersion(OwnExecutable(), buffer);
    const std::string german = "7.0.0.0-" + std::string(62, 'd');
    EXPECT_EQ(std::string(buffer.begin(), buffer.end() - 1), german.substr(0, 63));
    EXPECT_EQ(buffer.back(), kVersionFiller);
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

}  // namespace
}  // namespace qdm
