// Where the programs look for the firmware file and put their dump files.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <string>

#include "protocol/HostHooks.h"
#include "usb/Fileiofunctions.h"
#include "usb/FirmwareLoader.h"

namespace qdm {
namespace {

namespace fs = std::filesystem;

class DataPaths : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() / ("qdm-paths-" + std::to_string(std::random_device{}()));
        fs::create_directories(dir_);
        const char* xdg = std::getenv("XDG_DATA_HOME");
        if (xdg != nullptr) savedXdg_ = xdg;
        ::setenv("XDG_DATA_HOME", (dir_ / "data").c_str(), 1);
    }
    void TearDown() override {
        if (savedXdg_) {
            ::setenv("XDG_DATA_HOME", savedXdg_->c_str(), 1);
        } else {
            ::unsetenv("XDG_DATA_HOME");
        }
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }
    fs::path dir_;
    std::optional<std::string> savedXdg_;
};

TEST_F(DataPaths, FirmwareIsLookedUpBesideTheProgramThenForTheUserThenInThePackage) {
    const auto paths = FirmwareSearchPaths();
    ASSERT_GE(paths.size(), 3u);
    EXPECT_EQ(paths[0], ExecutableDirectory() / "DWTB.TBH");
    EXPECT_EQ(paths[1], dir_ / "data" / "qdm-writer" / "DWTB.TBH");
    EXPECT_EQ(paths[2], (ExecutableDirectory().parent_path() / "share" / "qdm-writer" / "DWTB.TBH")
                            .lexically_normal());
    EXPECT_EQ(paths.back().filename(), "DWTB.TBH");

    // None there: the first place is named, so the failure message says where to put it.
    if (!fs::exists(paths[0])) {
        EXPECT_EQ(FirmwareFilePath(), paths[0]);
        fs::create_directories(paths[1].parent_path());
        std::ofstream(paths[1]) << "x";
        EXPECT_EQ(FirmwareFilePath(), paths[1]);
    }
}

TEST_F(DataPaths, UserDataFolderFollowsXdgThenHome) {
    EXPECT_EQ(UserDataDirectory(), dir_ / "data" / "qdm-writer");
    ::setenv("XDG_DATA_HOME", "not/absolute", 1);
    const char* home = std::getenv("HOME");
    if (home != nullptr) {
        EXPECT_EQ(UserDataDirectory(), fs::path(home) / ".local" / "share" / "qdm-writer");
    }
}

TEST_F(DataPaths, WritableFolders) {
    EXPECT_TRUE(IsWritableDirectory(dir_));
    EXPECT_FALSE(IsWritableDirectory(dir_ / "missing"));
    std::ofstream(dir_ / "file") << "x";
    EXPECT_FALSE(IsWritableDirectory(dir_ / "file"));
    // The test folder itself is writable, so the dumps stay beside the test program.
    SetDumpDirectory({});
    EXPECT_EQ(DumpDirectory(), IsWritableDirectory(ExecutableDirectory())
                                   ? ExecutableDirectory()
                                   : dir_ / "data" / "qdm-writer");
}

TEST_F(DataPaths, DumpsOfAnInstalledProgramGoToTheUsersFolder) {
    const fs::path bin = dir_ / "prefix" / "bin";
    fs::create_directories(bin);
    EXPECT_EQ(DefaultDumpDirectory(bin), bin);  // a build folder, a program unpacked by hand
    // An installed one (its package's data folder beside it): its folder belongs to the system,
    // however writable it is to root.
    fs::create_directories(dir_ / "prefix" / "share" / "qdm-writer");
    EXPECT_EQ(DefaultDumpDirectory(bin), dir_ / "data" / "qdm-writer");
    EXPECT_TRUE(fs::is_directory(dir_ / "data" / "qdm-writer"));
}

}  // namespace
}  // namespace qdm
