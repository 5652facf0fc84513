// The MCU-ROM flash flow behind a dongle that does not answer as a writer dongle.

#include "tests/e2e/WorkflowFixture.h"
#include "workflows/McuRomFlashWorkflow.h"

namespace qdm::test {
namespace {

using Lines = std::vector<std::string>;

struct SizeRow {
    bool container;
    std::size_t image;
    const char* text;
};

class McuRomFlow : public WorkflowTest, public ::testing::WithParamInterface<SizeRow> {};

TEST_P(McuRomFlow, DownloadHandsOverAndTheFlashHoldsTheImage) {
    const SizeRow row = GetParam();
    Start("mcurom");
    const auto plain = Plain(row.image);
    const auto file = row.container ? File("rom.bin", Container(plain, 0x03, 0))
                                    : File("rom.bin", MakeRawFileImage(plain, AgentKey(6)).value());
    panel.files.push_back(file);
    const RunOutcome outcome = Download();
    ASSERT_TRUE(outcome.Succeeded()) << outcome.message;
    EXPECT_EQ(panel.StatusLines(),
              (Lines{"red: Non-USB-Dongle version!!", "blue: Flash Erasing.....(0x00)",
                     "blue: Flash Erase OK!(0x00)", "blue: Flashing Blank Checking...(x00)",
                     "blue: Flash Blank Check OK!(0x00)", "blue: Flashing Programming...(0x00)",
                     "blue: Flash Programed OK!(0x00)", "blue: Flashing Verifying...(0x00)",
                     "blue: Flash Verify OK!(0x00)"}));
    EXPECT_EQ(panel.Calls("label "), (Lines{file, row.text, file}));
    EXPECT_EQ(panel.Calls("dbrst "), (Lines{"disabled", "enabled"}));
    const auto flash = Dongle().McuRomFlash().Contents();
    const auto chained = MakeChainedImage(plain, AgentKey(6));
    EXPECT_TRUE(std::equal(chained.begin(), chained.end(), flash.begin()));
    EXPECT_EQ(State().OperationBusy, 0);
    EXPECT_TRUE(panel.downloadEnabled);
}

INSTANTIATE_TEST_SUITE_P(
    EverySize, McuRomFlow,
    ::testing::Values(SizeRow{true, 32768, "RV24-256kBits"}, SizeRow{true, 65536, "RV24-512kBits"},
                      SizeRow{true, 131072, "RV24-1MBits"}, SizeRow{true, 262144, "RV24-2MBits"},
                      SizeRow{false, 32768, "RV20-256kBits"},
                      SizeRow{false, 65536, "RV20-512kBits"}, SizeRow{false, 131072, "RV20-1MBits"},
                      SizeRow{false, 262144, "RV20-2MBits"}),
    [](const auto& p) { return std::string(p.param.text).replace(4, 1, "_"); });

TEST_F(WorkflowTest, McuRomSizeTableRejectsOtherLengths) {
    struct Case {
        bool expg;
        bool container;
        std::size_t image;
        const char* line;
    };
    const std::vector<Case> cases = {
        {false, false, 32784, "red: Loading file format error!(0x00)"},
        {false, true, 32752, "red: Loading file format error!(0x00)"},
        {true, false, 32784, "red: File load error!(0x00)[Er.Code=0x01,0x05]"},
        {true, true, 32752, "red: File load error!(0x00)[Er.Code=0x01,0x03]"},
    };
    for (const Case& c : cases) {
        SetUp();
        panel.Clear();
        Start("mcurom");
        const auto file = c.container ? File("rom.bin", Container(Plain(c.image), 0x03, 0))
                                      : File("rom.bin", Plain(c.image));
        if (c.expg) {
            State().ExpgMode = 1;
            State().ExpgFileText = file + " ";
        } else {
            panel.files.push_back(file);
        }
        const RunOutcome outcome = McuRomFlashWorkflow(panel);
        EXPECT_EQ(outcome.result, RunResult::FileError);
        EXPECT_EQ(panel.StatusLines(), Lines{c.line});
        EXPECT_EQ(Dongle().ExchangeCount(), 0u);  // the chip is not touched
        EXPECT_EQ(State().OperationBusy, 0);
    }
}

TEST_F(WorkflowTest, McuRomCommandLineModeTakesTheFileFromExpg) {
    Start("mcurom");
    const auto file = File("rom.bin", Container(Plain(32768), 0x03, 0));
    State().ExpgMode = 1;
    State().ExpgFileText = file + " ";
    ASSERT_TRUE(McuRomFlashWorkflow(panel).Succeeded());
    EXPECT_EQ(panel.StatusLines()[2], "blue: Flash Blank Checking...(0x00)");
    EXPECT_EQ(panel.label, file + " ");
    EXPECT_TRUE(panel.Calls("choose").empty());
}

TEST_F(WorkflowTest, McuRomEraseThatNeverEndsFailsRed) {
    Start("mcurom");
    Dongle().McuRomFlash().SetErasePollReads(std::nullopt);
    panel.files.push_back(File("rom.bin", Container(Plain(32768), 0x03, 0)));
    const RunOutcome outcome = McuRomFlashWorkflow(panel);
    EXPECT_EQ(outcome.result, RunResult::Erase);
    EXPECT_EQ(panel.StatusLines().back(), "red: Flash Erased Fail!!(0x00)");
    EXPECT_LE(slept, std::chrono::milliseconds(256 * 100));
}

TEST_F(WorkflowTest, McuRomCancelShowsNothing) {
    Start("mcurom");
    EXPECT_EQ(McuRomFlashWorkflow(panel).result, RunResult::Cancelled);
    EXPECT_TRUE(panel.StatusLines().empty());
    EXPECT_EQ(panel.Calls("download "), (Lines{"off", "on"}));
}

}  // namespace
}  // namespace qdm::test
