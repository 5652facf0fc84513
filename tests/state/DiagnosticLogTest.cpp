#include "state/DiagnosticLog.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace qdm {
namespace {

std::string Contents(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST(DiagnosticLog, BuildsLinesOnlyWhileOnAndWritesThemWhole) {
    bool built = false;
    const auto line = [&built] {
        built = true;
        return std::string("transaction: list 01 02");
    };
    Diagnose(line);
    EXPECT_FALSE(built);  // off: the line is never even made

    std::vector<std::string> lines;
    StartDiagnostics([&lines](std::string_view l) { lines.emplace_back(l); });
    Diagnose(line);
    StopDiagnostics();
    Diagnose([] { return std::string("after"); });
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].substr(lines[0].find(']')), "] transaction: list 01 02\n");
}

TEST(DiagnosticLog, GoesOnlyIntoARegularFileAndStartsItAfresh) {
    const auto dir = std::filesystem::temp_directory_path() / "qdm-diagnostic-log-test";
    std::filesystem::remove_all(dir);
    const auto file = dir / "sub" / "diagnostics.log";
    std::string error;
    std::filesystem::create_directories(dir / "folder");
    EXPECT_FALSE(StartDiagnosticsFile(dir / "folder", error));
    EXPECT_NE(error.find("folder"), std::string::npos) << error;
    EXPECT_FALSE(DiagnosticsOn());
#if !defined(_WIN32)
    std::filesystem::create_symlink(dir / "elsewhere.log", dir / "link.log");
    EXPECT_FALSE(StartDiagnosticsFile(dir / "link.log", error));
    EXPECT_FALSE(std::filesystem::exists(dir / "elsewhere.log"));
#endif

    ASSERT_TRUE(StartDiagnosticsFile(file, error)) << error;
    WriteDiagnostic("first run");
    StopDiagnostics();
    ASSERT_TRUE(StartDiagnosticsFile(file, error)) << error;
    EXPECT_EQ(DiagnosticsFile(), file);
    WriteDiagnostic("second run");
    StopDiagnostics();
    EXPECT_TRUE(DiagnosticsFile().empty());
    const std::string text = Contents(file);
    EXPECT_EQ(text.find("first run"), std::string::npos);
    EXPECT_NE(text.find("second run\n"), std::string::npos);
    std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace qdm
