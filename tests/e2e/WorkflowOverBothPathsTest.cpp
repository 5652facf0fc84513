// Whole workflow runs over both USB paths: the in-process virtual driver, and libusb against
// the emulated kernel USB interface.

#include <filesystem>
#include <random>

#include "sim/K3r8Board.h"
#include "tests/e2e/OverBothPaths.h"
#include "tests/support/RecordingPanel.h"
#include "workflows/DownloadWorkflow.h"
#include "workflows/Mcurom_codec.h"
#include "workflows/RomImage.h"

namespace qdm::test {
namespace {

class WorkflowOverBothPaths : public OverBothPaths {
  protected:
    void SetUp() override {
        OverBothPaths::SetUp();
        // ctest runs each case as its own process, side by side: every case needs its own folder.
        folder_ =
            std::filesystem::temp_directory_path() /
            ("qdm-paths-" + PathName(GetParam()) + "-" + std::to_string(std::random_device{}()));
        std::filesystem::create_directories(folder_);
        SetDumpDirectory(folder_);
        State().FirmwareText = FirmwareText();
    }
    void TearDown() override {
        SetDumpDirectory({});
        std::filesystem::remove_all(folder_);
        OverBothPaths::TearDown();
    }
    // A 32 KiB QM010 container and its plain image.
    std::string Rom(std::vector<std::uint8_t>& plain) {
        plain.assign(0x8000, 0);
        for (std::size_t i = 0; i < plain.size(); ++i)
            plain[i] = static_cast<std::uint8_t>(i * 7 + (i >> 8));
        plain[0] = 0xC8;
        const auto file =
            WrapRomContainer(MakeChainedImage(plain, AgentKey(kBuiltInAgentIndex)), 0x02, 4, false);
        const auto path = folder_ / "QM010.bin";
        WriteFileFrom(file.value(), path);
        return path.string();
    }
    RunOutcome Download() {
        panel_.files.push_back(file_);
        return RunDownload(panel_, {});
    }
    std::filesystem::path folder_;
    RecordingPanel panel_;
    std::string file_;
    std::vector<std::uint8_t> plain_;
};

TEST_P(WorkflowOverBothPaths, K3r8DownloadProgramsEveryChip) {
    Start(*sim::ConfigForBoard("k3r8"));
    file_ = Rom(plain_);
    const RunOutcome outcome = Download();
    ASSERT_TRUE(outcome.Succeeded()) << outcome.message;
    const auto chained = MakeChainedImage(plain_, AgentKey(kBuiltInAgentIndex));
    Rig().WithDongle([&](sim::VirtualDongle& dongle) {
        for (std::size_t chip = 0; chip < 4; ++chip) {
            const auto flash = dongle.K3r8()->Chip(chip).Contents();
            EXPECT_TRUE(std::equal(chained.begin(), chained.end(), flash.begin())) << chip;
        }
    });
    EXPECT_EQ(Rig().OpenHandles(), 0u);
    EXPECT_EQ(Rig().PendingRequests(), 0u);
}

TEST_P(WorkflowOverBothPaths, McuRomFlowBehindANonWriterDongle) {
    Start(*sim::ConfigForBoard("mcurom"));
    file_ = Rom(plain_);
    const RunOutcome outcome = Download();
    ASSERT_TRUE(outcome.Succeeded()) << outcome.message;
    EXPECT_EQ(panel_.StatusLines().front(), "red: Non-USB-Dongle version!!");
    const auto chained = MakeChainedImage(plain_, AgentKey(kBuiltInAgentIndex));
    Rig().WithDongle([&](sim::VirtualDongle& dongle) {
        const auto flash = dongle.McuRomFlash().Contents();
        EXPECT_TRUE(std::equal(chained.begin(), chained.end(), flash.begin()));
    });
}

TEST_P(WorkflowOverBothPaths, UnplugDuringARunEndsItInFailure) {
    Start(*sim::ConfigForBoard("k3r8"));
    file_ = Rom(plain_);
    // Exchange 12 is the programming of the image's first half.
    Rig().WithDongle([](sim::VirtualDongle& dongle) { dongle.UnplugAtExchange(12); });
    const RunOutcome outcome = Download();
    EXPECT_FALSE(outcome.Succeeded());
    EXPECT_EQ(State().OperationBusy, 0);
    EXPECT_TRUE(panel_.controlsEnabled);
    EXPECT_EQ(Rig().OpenHandles(), 0u);
    EXPECT_EQ(Rig().PendingRequests(), 0u);
}

TEST_P(WorkflowOverBothPaths, ALostReplyTimesOutIsCancelledAndFailsTheRun) {
    Start(*sim::ConfigForBoard("k3r1"));
    file_ = Rom(plain_);
    // Exchange 5 switches the board on; its answer never comes.
    Rig().WithDongle([](sim::VirtualDongle& dongle) { dongle.NoReplyAtExchange(5); });
    const RunOutcome outcome = Download();
    EXPECT_EQ(outcome.result, RunResult::BoardBusy);
    EXPECT_EQ(panel_.StatusLines().back(), "blue: Writer Busy !!");
    EXPECT_EQ(Rig().PendingRequests(), 0u);
}

QDM_OVER_BOTH_PATHS(WorkflowOverBothPaths);

}  // namespace
}  // namespace qdm::test
