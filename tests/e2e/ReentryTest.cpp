// A click that arrives while a run is busy, through the message pump the run keeps alive, must
// neither start a second run nor disturb the first: no exchange, no open of the dongle, no call
// on the window, no change of the program state. The presence check that polling makes is
// refused the same way.

#include "tests/e2e/WorkflowFixture.h"
#include "workflows/DemoboardReset.h"
#include "workflows/DongleCheck.h"
#include "workflows/McuRomFlashWorkflow.h"

namespace qdm::test {
namespace {

struct Snapshot {
    std::uint8_t busy = 0;
    std::uint8_t connected = 0;
    std::uint8_t firmwareLoaded = 0;
    std::uint8_t board = 0;
    std::int32_t agent = 0;
    std::uint32_t checksum = 0;
    std::string vid;
    std::string pid;
    std::string progressText;
    std::uint8_t progressValue = 0;
    friend bool operator==(const Snapshot&, const Snapshot&) = default;
};

Snapshot Take() {
    const ProgramState& s = State();
    return {s.OperationBusy, s.DongleConnected, s.FirmwareLoaded, s.ClientBoardKind,
            s.AgentIndex,    s.ImageChecksum,   s.DetectedVID,    s.DetectedPID,
            s.ProgressText,  s.ProgressValue};
}

class ReentryTest : public WorkflowTest, public ::testing::WithParamInterface<const char*> {
  protected:
    void TearDown() override {
        SetPumpHook(nullptr);
        WorkflowTest::TearDown();
    }

    // Every button the operator could reach, and the presence check, from inside the pump.
    void ClickEverything() {
        const std::uint64_t exchanges = Dongle().ExchangeCount();
        const std::uint64_t opens = simulation.driver->OpensAttempted();
        const std::size_t controls = Dongle().ControlLog().size();
        const std::size_t calls = panel.calls.size();
        const Snapshot before = Take();
        ASSERT_EQ(before.busy, 1);

        const RunOutcome download = Btn_DownloadClick(panel);
        EXPECT_EQ(download.result, RunResult::Failed);
        EXPECT_EQ(download.message, kOperationInProgress);
        EXPECT_EQ(Btn_2Click(panel).message, kOperationInProgress);
        Btn_DBRstClick(panel);
        EXPECT_EQ(McuRomFlashWorkflow(panel).message, kOperationInProgress);
        EXPECT_FALSE(ConfirmDongle());

        EXPECT_EQ(Dongle().ExchangeCount(), exchanges);
        EXPECT_EQ(simulation.driver->OpensAttempted(), opens);
        EXPECT_EQ(Dongle().ControlLog().size(), controls);
        EXPECT_EQ(panel.calls.size(), calls);
        EXPECT_TRUE(Take() == before);
        ++attempts;
    }

    int attempts = 0;
};

TEST_P(ReentryTest, ClicksDuringARunAreRefusedWithoutATrace) {
    const std::string board = GetParam();
    Start(board);
    panel.files.push_back(File("QM010.bin", Container(Plain(0x8000), 0x02, 4)));
    // The window's pump and the board operations' pump both let a click through.
    panel.onProcess = [this] { ClickEverything(); };
    SetPumpHook([this] { ClickEverything(); });

    const RunOutcome outcome = Download();
    EXPECT_TRUE(outcome.Succeeded()) << outcome.message;
    EXPECT_GT(attempts, 0);
    EXPECT_EQ(State().OperationBusy, 0);
    EXPECT_TRUE(panel.controlsEnabled);
    EXPECT_TRUE(panel.downloadEnabled);

    // Idle again, the next click runs normally.
    panel.onProcess = nullptr;
    SetPumpHook(nullptr);
    panel.files.push_back(File("QM010.bin", Container(Plain(0x8000), 0x02, 4)));
    EXPECT_TRUE(Download().Succeeded());
}

INSTANTIATE_TEST_SUITE_P(EveryBoard, ReentryTest,
                         ::testing::Values("k3r8", "k3r1", "demoboard", "mcurom"),
                         [](const auto& p) { return std::string(p.param); });

}  // namespace
}  // namespace qdm::test
