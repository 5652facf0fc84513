// Paths someone prepared: whatever stands at a path, reading and writing it refuses at once,
// never blocks, and never changes a file it reaches through a link or a second name.

#include "state/SafeFile.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <random>
#include <string>

#if !defined(_WIN32)
#include <sys/stat.h>
#endif

namespace qdm {
namespace {

namespace fs = std::filesystem;

std::string Contents(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

class SafeFile : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() / ("qdm-safe-" + std::to_string(std::random_device{}()));
        fs::create_directories(dir_);
        std::ofstream(dir_ / "victim") << "victim";
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }
    // Puts `kind` at dir/name: "file", "folder", "fifo", "link" (to the victim), "hardlink".
    fs::path Plant(const std::string& kind, const std::string& name = "target") const {
        const fs::path at = dir_ / name;
        if (kind == "file") std::ofstream(at) << "old";
        if (kind == "folder") fs::create_directories(at);
#if !defined(_WIN32)
        if (kind == "fifo") ::mkfifo(at.c_str(), 0600);
        if (kind == "link") fs::create_symlink(dir_ / "victim", at);
        if (kind == "hardlink") fs::create_hard_link(dir_ / "victim", at);
#endif
        return at;
    }
    fs::path dir_;
};

const std::vector<std::uint8_t> kNew = {'n', 'e', 'w'};

TEST_F(SafeFile, ReadsOnlyARegularFileWithinItsBound) {
    struct Case {
        const char* kind;
        std::uint64_t bound;
        FileProblem problem;
    };
    std::vector<Case> cases = {{"file", 3, FileProblem::None},
                               {"file", 2, FileProblem::TooLarge},
                               {"folder", 99, FileProblem::NotRegular},
                               {"missing", 99, FileProblem::CannotOpen}};
#if !defined(_WIN32)
    cases.push_back({"fifo", 99, FileProblem::NotRegular});
    cases.push_back({"link", 99, FileProblem::None});  // reading through a link is harmless
#endif
    for (const Case& c : cases) {
        fs::remove_all(dir_ / "target");
        std::vector<std::uint8_t> bytes;
        const FileOutcome read = ReadRegularFile(Plant(c.kind), c.bound, bytes, 5);
        EXPECT_EQ(read.problem, c.problem) << c.kind << ": " << read.Reason();
        EXPECT_EQ(bytes.empty(), c.problem != FileProblem::None) << c.kind;
        if (read) {
            EXPECT_GE(bytes.capacity(), bytes.size() + 5);
        }
    }
#if !defined(_WIN32)
    std::vector<std::uint8_t> bytes;
    EXPECT_EQ(ReadRegularFile("/dev/zero", 99, bytes).problem, FileProblem::NotRegular);
#endif
}

// Every way of writing, against everything that may stand where its file goes.
TEST_F(SafeFile, WritesNeverReachAnotherFileOrBlock) {
    using Writer = std::function<FileOutcome(const fs::path&)>;
    const std::vector<std::pair<const char*, Writer>> writers = {
        {"replace", [](const fs::path& p) { return ReplaceWithNewFile(p, kNew); }},
        {"truncate",
         [](const fs::path& p) {
             OutputFile out;
             FileOutcome opened = out.Open(p, OutputMode::Truncate);
             return opened ? out.Write(kNew) : opened;
         }},
        {"append",
         [](const fs::path& p) {
             OutputFile out;
             FileOutcome opened = out.Open(p, OutputMode::Append);
             return opened ? out.Write(kNew) : opened;
         }},
    };
    for (const auto& [writer, write] : writers) {
        for (const char* kind : {"missing", "file", "folder", "fifo", "link", "hardlink"}) {
            fs::remove_all(dir_ / "target");
            std::ofstream(dir_ / "victim") << "victim";
            const fs::path target = Plant(kind);
            if (kind != std::string("missing") && !fs::exists(fs::symlink_status(target)))
                continue;  // no FIFOs or links on this host
            const FileOutcome written = write(target);
            const std::string name = std::string(writer) + " over " + kind;
            EXPECT_EQ(Contents(dir_ / "victim"), "victim") << name;
            // A rename replaces a link or a second name; it never writes through either.
            const std::string k = kind;
            const bool regular = k == "missing" || k == "file" ||
                                 (writer == std::string("replace") && k != "folder" && k != "fifo");
            EXPECT_EQ(static_cast<bool>(written), regular) << name << ": " << written.Reason();
            if (written) {
                EXPECT_EQ(Contents(target).substr(Contents(target).size() - 3), "new") << name;
                EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(target))) << name;
            }
        }
    }
    // No temporary file stays behind, whatever happened.
    for (const auto& entry : fs::directory_iterator(dir_))
        EXPECT_NE(entry.path().extension(), ".part") << entry.path();
}

TEST_F(SafeFile, SameFileThroughLinksButNotByName) {
    const fs::path other = Plant("file", "other");
    EXPECT_TRUE(IsSameFile(dir_ / "victim", dir_ / "." / "victim"));
    EXPECT_FALSE(IsSameFile(dir_ / "victim", other));
    EXPECT_FALSE(IsSameFile(dir_ / "victim", dir_ / "missing"));
#if !defined(_WIN32)
    EXPECT_TRUE(IsSameFile(dir_ / "victim", Plant("link")));
    EXPECT_TRUE(IsSameFile(dir_ / "victim", Plant("hardlink", "second")));
#endif
}

}  // namespace
}  // namespace qdm
