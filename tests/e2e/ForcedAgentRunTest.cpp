// Whole runs with the agent named instead of searched for, and what a run reports about itself.

#include "tests/e2e/WorkflowFixture.h"
#include "workflows/McuRomFlashWorkflow.h"

namespace qdm::test {
namespace {

constexpr std::int32_t kBrenzCo = 3, kQuelvo = 5, kPb = 6, kBrask = 7;
constexpr std::uint32_t kOptionPage = 0x1FFF00;

std::vector<std::uint8_t> StartingWith(std::vector<std::uint8_t> plain, std::uint8_t first) {
    plain[0] = first;
    return plain;
}

std::uint32_t ChecksumOnPage(const std::vector<std::uint8_t>& page) {
    return std::uint32_t{page[236]} << 24 | std::uint32_t{page[237]} << 16 |
           std::uint32_t{page[238]} << 8 | page[239];
}

// Quelvo's container whose plain image starts with 0x00 passes the key test under Brask's key,
// which the search tries before it could ever reach Quelvo.
TEST_F(WorkflowTest, NamedAgentPutsItsKeyAndChecksumOnTheOptionPage) {
    const auto plain = StartingWith(Plain(0x10000), 0x00);
    const auto file = File("quelvo.bin", Container(plain, 0x03, 2, false, kQuelvo));

    Start("k3r1");
    panel.files.push_back(file);
    const RunOutcome searched = Download();
    ASSERT_TRUE(searched.Succeeded()) << searched.message;
    EXPECT_EQ(searched.details.agentIndex, kBrask);
    EXPECT_EQ(Flash(Dongle().K3r1()->Chip(), kOptionPage, 256)[251], AgentKey(kBrask));

    SetUp();
    panel.Clear();
    Start("k3r1");
    panel.files.push_back(file);
    DownloadOptions options;
    options.random = &random;
    options.agent = kQuelvo;
    const RunOutcome named = RunDownload(panel, options);
    ASSERT_TRUE(named.Succeeded()) << named.message;
    const auto page = Flash(Dongle().K3r1()->Chip(), kOptionPage, 256);
    EXPECT_EQ(page[251], AgentKey(kQuelvo));
    EXPECT_EQ(ChecksumOnPage(page), ImageChecksum(plain));
    EXPECT_EQ(named.details.agentIndex, kQuelvo);
    EXPECT_TRUE(named.details.agentForced);
    EXPECT_TRUE(named.details.keyPassed);
    // The image itself is programmed as stored; only the key that goes with it changed.
    EXPECT_EQ(Flash(Dongle().K3r1()->Chip(), 0, plain.size()),
              MakeChainedImage(plain, AgentKey(kQuelvo)));
}

// The demoboard gets the plain image, so a wrong key shows in its flash.
TEST_F(WorkflowTest, NamedAgentGivesTheDemoboardThePlainImage) {
    const auto plain = StartingWith(Plain(0x8000), 0xC8);
    const auto file = File("brenz.bin", MakeRawFileImage(plain, AgentKey(kBrenzCo)).value());
    Start("demoboard");
    panel.files.push_back(file);
    ASSERT_TRUE(Download().Succeeded());
    EXPECT_NE(Flash(Dongle().Demo()->Chip(), 0, plain.size()), plain);  // PB's key passed first

    SetUp();
    panel.Clear();
    Start("demoboard");
    panel.files.push_back(file);
    DownloadOptions options;
    options.random = &random;
    options.agent = kBrenzCo;
    const RunOutcome outcome = RunDownload(panel, options);
    ASSERT_TRUE(outcome.Succeeded()) << outcome.message;
    EXPECT_EQ(Flash(Dongle().Demo()->Chip(), 0, plain.size()), plain);
    EXPECT_EQ(outcome.details.chipType, "QN040");  // the demoboard's row for raw images
}

TEST_F(WorkflowTest, NamedAgentReachesTheMcuRomFlowFromTheDownload) {
    const auto plain = StartingWith(Plain(0x8000), 0xC8);
    Start("mcurom");
    panel.files.push_back(File("brenz.bin", MakeRawFileImage(plain, AgentKey(kBrenzCo)).value()));
    DownloadOptions options;
    options.agent = kBrenzCo;
    const RunOutcome outcome = RunDownload(panel, options);
    ASSERT_TRUE(outcome.Succeeded()) << outcome.message;
    const auto flash = Dongle().McuRomFlash().Contents();
    const auto chained = MakeChainedImage(plain, AgentKey(kBrenzCo));
    EXPECT_TRUE(std::equal(chained.begin(), chained.end(), flash.begin()));
    EXPECT_EQ(outcome.details.board, "MCU-ROM");
    EXPECT_EQ(outcome.details.agentIndex, kBrenzCo);
    EXPECT_EQ(outcome.details.chipType, "RV20-256kBits");
    EXPECT_EQ(outcome.details.romKind, "RV20");
}

TEST_F(WorkflowTest, RunDetailsNameTheBoardImageAndChip) {
    Start("k3r8");
    const auto plain = Plain(0x10000);
    const auto file = File("QM020.bin", Container(plain, 0x03, 6));
    panel.files.push_back(file);
    const RunOutcome outcome = Download();
    ASSERT_TRUE(outcome.Succeeded());
    const RunDetails& d = outcome.details;
    EXPECT_EQ(d.file, file);
    EXPECT_EQ(d.board, "OTP Writer K3.r8");
    EXPECT_EQ(d.romKind, "RV24");
    EXPECT_EQ(d.imageLength, plain.size());
    EXPECT_EQ(d.chipType, "QM020");
    EXPECT_EQ(d.chipCode, 0x03);
    EXPECT_EQ(d.agentIndex, kPb);
    EXPECT_FALSE(d.agentForced);
    EXPECT_EQ(d.checksum, ImageChecksum(plain));

    // A run that stops before the file knows only its board.
    SetUp();
    panel.Clear();
    Start("k3r8");
    panel.files.push_back(File("raw.bin", Plain(0x10000)));
    const RunOutcome missing = Download();
    EXPECT_EQ(missing.result, RunResult::ChipTypeMissing);
    EXPECT_EQ(missing.details.board, "OTP Writer K3.r8");
    EXPECT_EQ(missing.details.chipCode, std::nullopt);
}

}  // namespace
}  // namespace qdm::test
