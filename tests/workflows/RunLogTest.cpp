// The run log: the file digest, the record a run leaves, and appending lines that survive
// concurrent runs and an earlier crash.

#include "workflows/RunLog.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#if !defined(_WIN32)
#include <sys/resource.h>
#endif

#include "tests/support/RecordingPanel.h"
#include "workflows/Sha256.h"

namespace qdm {
namespace {

namespace fs = std::filesystem;

std::span<const std::uint8_t> Bytes(std::string_view text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

std::vector<std::string> Lines(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

class Folder : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() / ("qdm-runlog-" + std::to_string(std::random_device{}()));
        fs::create_directories(dir_);
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }
    fs::path dir_;
};

// --- SHA-256 ---------------------------------------------------------------------------------

TEST(Sha256Digest, KnownVectors) {
    EXPECT_EQ(Sha256Hex(Bytes("")),
              "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(Sha256Hex(Bytes("abc")),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(Sha256Hex(Bytes("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq")),
              "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
    const std::string million(1000000, 'a');
    EXPECT_EQ(Sha256Hex(Bytes(million)),
              "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

TEST(Sha256Digest, PiecesOfAnySizeGiveTheSameDigest) {
    std::string text;
    for (int i = 0; i < 300; ++i)
        text += static_cast<char>(i * 7);
    const std::string whole = Sha256Hex(Bytes(text));
    for (const std::size_t piece : {1u, 3u, 55u, 56u, 63u, 64u, 65u, 128u}) {
        Sha256 hash;
        for (std::size_t at = 0; at < text.size(); at += piece)
            hash.Update(Bytes(std::string_view(text).substr(at, piece)));
        std::ostringstream hex;
        for (const std::uint8_t b : hash.Finish())
            hex << std::hex << (b >> 4) << (b & 0xF);
        EXPECT_EQ(hex.str(), whole) << piece;
    }
}

// --- The record ------------------------------------------------------------------------------

TEST_F(Folder, RecorderPassesEverythingOnAndNotesWhatTheOperatorSaw) {
    test::RecordingPanel panel;
    // The file as typed in the folder it lies in.
    const std::filesystem::path before = std::filesystem::current_path();
    std::filesystem::current_path(dir_);
    const std::string typed = "rom.bin";
    panel.files.push_back(typed);
    std::ofstream(dir_ / "rom.bin", std::ios::binary) << "abc";
    RunRecorder recorder(panel, "qdm-writer", "download");
    recorder.SetSimulated("k3r1");

    EXPECT_EQ(recorder.ChooseRomFile(), typed);
    ShowStatus(recorder, StatusColour::Blue, "Chip Erase OK!");
    recorder.SetFileLabel("OTP Writer K3.r1 / ROM Version RV24");
    recorder.SelectChipType(6);
    recorder.SetOperationControls(false);
    ShowStatus(recorder, StatusColour::Red, "Serial Flash Data Verify Fail !(DATA)");
    recorder.ShowMessage("Please select the chip type!");
    recorder.Wait(std::chrono::milliseconds(5));
    EXPECT_EQ(recorder.SelectedChipType(), 6);
    EXPECT_EQ(panel.StatusLines(),
              (std::vector<std::string>{"blue: Chip Erase OK!",
                                        "red: Serial Flash Data Verify Fail !(DATA)"}));
    EXPECT_EQ(panel.Calls("message "), std::vector<std::string>{"Please select the chip type!"});
    EXPECT_FALSE(panel.controlsEnabled);

    RunOutcome outcome{RunResult::Verify, "Serial Flash Data Verify Fail !(DATA)"};
    outcome.details.board = "OTP Writer K3.r1";
    outcome.details.romKind = "RV24";
    outcome.details.imageLength = 65536;
    outcome.details.chipType = "QM020";
    outcome.details.chipCode = 0x03;
    outcome.details.agentIndex = 7;
    outcome.details.keyPassed = true;
    outcome.details.checksum = 0x12AB;
    // What the run loaded, not what the path holds now: "abc" was put there afterwards.
    outcome.details.sha256 = Sha256Hex(Bytes("loaded"));
    const RunRecord record = recorder.Finish(outcome);
    std::filesystem::current_path(before);
    EXPECT_EQ(record.details.file, typed);  // from the dialog, as given
    ASSERT_EQ(record.steps.size(), 4u);
    EXPECT_EQ(record.steps[1].kind, RunStep::Kind::FileLabel);
    EXPECT_EQ(record.steps[2].colour, StatusColour::Red);

    const std::string line = RunRecordJson(record);
    EXPECT_EQ(line.find('\n'), std::string::npos);
    const auto json = nlohmann::json::parse(line);
    EXPECT_EQ(json["program"], "qdm-writer");
    EXPECT_EQ(json["version"], QDM_VERSION);
    EXPECT_EQ(json["operation"], "download");
    EXPECT_EQ(json["simulated"], "k3r1");
    EXPECT_EQ(json["file_absolute"], (dir_ / "rom.bin").lexically_normal().string());
    EXPECT_EQ(json["sha256"], Sha256Hex(Bytes("loaded")));
    EXPECT_EQ(json["kind"], "RV24");
    EXPECT_EQ(json["image_length"], 65536);
    EXPECT_EQ(json["chip_type"], "QM020");
    EXPECT_EQ(json["chip_code"], "0x03");
    EXPECT_EQ(json["board"], "OTP Writer K3.r1");
    EXPECT_EQ(json["agent"], "Brask");
    EXPECT_EQ(json["agent_key"], "0xB2");
    EXPECT_EQ(json["agent_forced"], false);
    EXPECT_EQ(json["checksum"], "0x000012AB");
    EXPECT_EQ(json["result"], "verify");
    EXPECT_EQ(json["message"], "Serial Flash Data Verify Fail !(DATA)");
    ASSERT_EQ(json["stages"].size(), 4u);
    EXPECT_EQ(json["stages"][0]["status"], "Chip Erase OK!");
    EXPECT_EQ(json["stages"][2]["colour"], "red");
    EXPECT_EQ(json["stages"][3]["message"], "Please select the chip type!");
    EXPECT_TRUE(json["time"].get<std::string>().ends_with("Z"));
    EXPECT_GE(json["duration_ms"].get<int>(), 0);
}

TEST(RunRecordJson, ARunThatEndedEarlyHasNullsAndSurvivesOddFileNames) {
    RunRecord record;
    record.details.file = std::string("rom\xff\"\n.bin");
    record.result = RunResult::NoDongle;
    record.message = "USB Not Found!!";
    const std::string line = RunRecordJson(record);
    EXPECT_EQ(line.find('\n'), std::string::npos);
    const auto json = nlohmann::json::parse(line);
    EXPECT_TRUE(json["kind"].is_null());
    EXPECT_TRUE(json["agent"].is_null());
    EXPECT_TRUE(json["checksum"].is_null());
    EXPECT_TRUE(json["sha256"].is_null());
    EXPECT_EQ(json["result"], "no-dongle");
    EXPECT_NE(json["file"].get<std::string>().find("\"\n.bin"), std::string::npos);
}

// --- Appending -------------------------------------------------------------------------------

TEST_F(Folder, AppendMakesTheFolderAndAddsWholeLines) {
    const fs::path log = dir_ / "a" / "b" / "runs.jsonl";
    ASSERT_TRUE(AppendRunLogLine(log, R"({"n":1})"));
    ASSERT_TRUE(AppendRunLogLine(log, R"({"n":2})"));
    EXPECT_EQ(Lines(log), (std::vector<std::string>{R"({"n":1})", R"({"n":2})"}));
    std::ifstream in(log, std::ios::binary);
    const std::string all((std::istreambuf_iterator<char>(in)), {});
    EXPECT_EQ(all.back(), '\n');
}

TEST_F(Folder, AnUnfinishedLastLineIsEndedBeforeTheNewOne) {
    const fs::path log = dir_ / "runs.jsonl";
    std::ofstream(log, std::ios::binary) << R"({"n":1})"
                                         << "\n"
                                         << R"({"n":2,"cut)";
    ASSERT_TRUE(AppendRunLogLine(log, R"({"n":3})"));
    EXPECT_EQ(Lines(log), (std::vector<std::string>{R"({"n":1})", R"({"n":2,"cut)", R"({"n":3})"}));
}

#if !defined(_WIN32)
// A disk that fills up in the middle of a line (here the file size limit does it) leaves the log
// as it was, so the next line starts on a line of its own and every line stays whole JSON.
TEST_F(Folder, AWriteThatBreaksOffLeavesNoPartOfTheLine) {
    const fs::path log = dir_ / "runs.jsonl";
    ASSERT_TRUE(AppendRunLogLine(log, R"({"n":1})"));
    const auto before = fs::file_size(log);
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    rlimit full = saved;
    full.rlim_cur = before + 4;
    const auto signal = std::signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &full), 0);
    std::string error;
    const bool appended =
        AppendRunLogLine(log, R"({"n":2,"long":")" + std::string(99, 'x') + "\"}", &error);
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, signal);
    EXPECT_FALSE(appended);
    EXPECT_NE(error.find("EFBIG"), std::string::npos) << error;
    EXPECT_EQ(fs::file_size(log), before);
    ASSERT_TRUE(AppendRunLogLine(log, R"({"n":3})"));
    EXPECT_EQ(Lines(log), (std::vector<std::string>{R"({"n":1})", R"({"n":3})"}));
}
#endif

TEST_F(Folder, AppendRefusesWhatWouldBreakTheFile) {
    std::string error;
    EXPECT_FALSE(AppendRunLogLine(dir_ / "runs.jsonl", "two\nlines", &error));
    EXPECT_NE(error.find("one line"), std::string::npos);
    EXPECT_FALSE(fs::exists(dir_ / "runs.jsonl"));
    EXPECT_FALSE(AppendRunLogLine({}, "x", &error));
    std::ofstream(dir_ / "file") << "x";
    EXPECT_FALSE(AppendRunLogLine(dir_ / "file" / "runs.jsonl", "x", &error));
    EXPECT_FALSE(error.empty());
}

TEST_F(Folder, ConcurrentWritersNeverMixTheirLines) {
    const fs::path log = dir_ / "runs.jsonl";
    constexpr int kWriters = 8;
    constexpr int kLines = 50;
    // Long lines make a torn write likely if anything let it happen.
    const std::string padding(6000, 'x');
    std::vector<std::thread> writers;
    for (int w = 0; w < kWriters; ++w) {
        writers.emplace_back([&, w] {
            for (int n = 0; n < kLines; ++n) {
                nlohmann::json line = {{"writer", w}, {"n", n}, {"pad", padding}};
                EXPECT_TRUE(AppendRunLogLine(log, line.dump()));
            }
        });
    }
    for (auto& t : writers)
        t.join();
    const auto lines = Lines(log);
    ASSERT_EQ(lines.size(), std::size_t{kWriters * kLines});
    std::vector<int> seen(kWriters, 0);
    for (const std::string& line : lines) {
        const auto json = nlohmann::json::parse(line);  // throws on a torn line
        ++seen[json["writer"].get<std::size_t>()];
    }
    for (const int count : seen)
        EXPECT_EQ(count, kLines);
}

// The XDG rules of the run log's place (Windows builds use LOCALAPPDATA).
#if !defined(_WIN32)
// Sets an environment variable for one test and puts the old value back.
class ScopedEnv {
  public:
    ScopedEnv(const char* name, const char* value) : name_(name) {
        const char* before = std::getenv(name);
        if (before != nullptr) saved_ = before;
        ::setenv(name, value, 1);
    }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;
    ~ScopedEnv() {
        if (saved_) {
            ::setenv(name_, saved_->c_str(), 1);
        } else {
            ::unsetenv(name_);
        }
    }

  private:
    const char* name_;
    std::optional<std::string> saved_;
};

TEST(RunLogPath, FollowsXdgDataHome) {
    const ScopedEnv home("HOME", "/home/someone");
    {
        const ScopedEnv xdg("XDG_DATA_HOME", "/tmp/qdm-xdg-test");
        EXPECT_EQ(DefaultRunLogPath(), fs::path("/tmp/qdm-xdg-test/qdm-writer/runs.jsonl"));
    }
    // A relative value is not a base directory and is ignored.
    const ScopedEnv xdg("XDG_DATA_HOME", "relative");
    EXPECT_EQ(DefaultRunLogPath(), fs::path("/home/someone/.local/share/qdm-writer/runs.jsonl"));
}

#endif

}  // namespace
}  // namespace qdm
