// The QA operations against the virtual dongle, on every board: verify after a download and
// after a bit the flash lost, read-back of what the download wrote, blank check around an
// erase, and the refusals of boards without the stages for them.

#include <algorithm>

#include "sim/ParallelFlash.h"
#include "tests/e2e/WorkflowFixture.h"
#include "workflows/BoardOperation.h"

namespace qdm::test {
namespace {

struct Board {
    const char* name;
    const char* verifyOk;
    const char* lostBit;  // the verify's failure once chip 2 (or the only one) lost a bit
    const char* notBlank;
    bool reads;
};

const Board kBoards[] = {
    {"k3r8", "Serial Flash Data Verify OK !", "S-Flash Chip 2 Verify Fail!!",
     "S-Flash Chip 1,2,3,4 Blank Check Fail!!", true},
    {"k3r1", "Serial Flash Data Verify OK !", "Serial Flash Data Verify Fail !(DATA)",
     "Serial Flash Blank Check error!!", false},
    {"demoboard", "Serial Flash Data Verify OK !", "Serial Flash Data Verify Fail !(DATA)", nullptr,
     false},
    {"mcurom", "Flash Verify OK!(0x00)", "Flash Verify Fail!(0x00)",
     "Flash Blank Check Fail!(0x00)", true},
};

constexpr std::uint32_t kUnits = 2;  // the 32 KiB image

class QaOperations : public WorkflowTest, public ::testing::WithParamInterface<Board> {
  protected:
    void SetUp() override {
        WorkflowTest::SetUp();
        Start(GetParam().name);
        container_ = Container(Plain(kUnits * kImageUnit), 0x02, 4);
        file_ = File("QM010.bin", container_);
        panel.files.push_back(file_);
        ASSERT_TRUE(Download().Succeeded()) << panel.status;
    }
    RunOutcome Run(BoardOperation operation, FlashData* data = nullptr) {
        DownloadOptions options;
        options.random = &random;
        options.scope = {operation, kUnits, data};
        if (operation == BoardOperation::Verify) panel.files.push_back(file_);
        return RunDownload(panel, options);
    }
    // The chips the programmed image lies in: one, or the K3.r8's four.
    std::size_t Chips() { return std::string(GetParam().name) == "k3r8" ? 4 : 1; }
    // What the download put into the flash of chip `index`, as the chip reads it.
    std::vector<std::uint8_t> Programmed(std::size_t index) {
        sim::VirtualDongle& dongle = Dongle();
        if (dongle.K3r8() != nullptr)
            return Flash(dongle.K3r8()->Chip(index), 0, kUnits * kImageUnit);
        if (dongle.K3r1() != nullptr) return Flash(dongle.K3r1()->Chip(), 0, kUnits * kImageUnit);
        if (dongle.Demo() != nullptr) return Flash(dongle.Demo()->Chip(), 0, kUnits * kImageUnit);
        const auto all = dongle.McuRomFlash().Contents();
        return {all.begin(), all.begin() + kUnits * kImageUnit};
    }
    // A one bit of the image that the last (or only) chip's flash loses.
    void LoseABit() {
        const std::vector<std::uint8_t> held = Programmed(Chips() == 4 ? 1 : 0);
        const auto at = static_cast<std::uint32_t>(
            std::find_if(held.begin() + 100, held.end(), [](std::uint8_t b) { return b & 1; }) -
            held.begin());
        sim::VirtualDongle& dongle = Dongle();
        if (dongle.K3r8() != nullptr) dongle.K3r8()->Chip(1).AddStuckBit({at, 0, false});
        if (dongle.K3r1() != nullptr) dongle.K3r1()->Chip().AddStuckBit({at, 0, false});
        if (dongle.Demo() != nullptr) dongle.Demo()->Chip().AddStuckBit({at, 0, false});
        if (dongle.Config().kind == sim::DongleKind::McuRom) {
            const std::uint8_t changed = held[at] & 0xFE;
            dongle.McuRomFlash().Preload(at, std::span(&changed, 1));
        }
    }

    std::vector<std::uint8_t> container_;
    std::string file_;
};

TEST_P(QaOperations, VerifyPassesAfterTheDownloadAndNamesTheChipThatLostABit) {
    RunOutcome verified = Run(BoardOperation::Verify);
    EXPECT_TRUE(verified.Succeeded()) << verified.message;
    EXPECT_EQ(verified.message, GetParam().verifyOk);
    LoseABit();
    verified = Run(BoardOperation::Verify);
    EXPECT_EQ(verified.result, RunResult::Verify);
    EXPECT_EQ(verified.message, GetParam().lostBit);
    EXPECT_EQ(panel.status, GetParam().lostBit);
}

TEST_P(QaOperations, ReadReturnsWhatTheDownloadWroteOrIsRefused) {
    FlashData data;
    const RunOutcome read = Run(BoardOperation::Read, &data);
    if (!GetParam().reads) {
        EXPECT_EQ(read.result, RunResult::Unsupported);
        EXPECT_NE(read.message.find("cannot read its flash back"), std::string::npos);
        EXPECT_TRUE(data.empty());
        return;
    }
    ASSERT_TRUE(read.Succeeded()) << read.message;
    ASSERT_EQ(data.size(), Chips());
    // The writer boards and the MCU-ROM flash hold the container's image as it is.
    const std::vector<std::uint8_t> image(container_.begin() + kContainerHeaderSize,
                                          container_.end());
    for (std::size_t chip = 0; chip < data.size(); ++chip) {
        EXPECT_EQ(data[chip], image) << "chip " << chip + 1;
        EXPECT_EQ(data[chip], Programmed(chip)) << "chip " << chip + 1;
    }
}

TEST_P(QaOperations, BlankCheckFailsOnTheImageAndPassesOnceErased) {
    const RunOutcome full = Run(BoardOperation::BlankCheck);
    if (GetParam().notBlank == nullptr) {
        EXPECT_EQ(full.result, RunResult::Unsupported);
        EXPECT_NE(full.message.find("has no blank check"), std::string::npos);
    } else {
        EXPECT_EQ(full.result, RunResult::BlankCheck);
        EXPECT_EQ(full.message, GetParam().notBlank);
    }
    const RunOutcome erased = Run(BoardOperation::Erase);
    EXPECT_TRUE(erased.Succeeded()) << erased.message;
    for (std::size_t chip = 0; chip < Chips(); ++chip) {
        const std::vector<std::uint8_t> held = Programmed(chip);
        EXPECT_TRUE(std::all_of(held.begin(), held.end(), [](std::uint8_t b) { return b == 0xFF; }))
            << "chip " << chip + 1;
    }
    if (GetParam().notBlank != nullptr) {
        EXPECT_TRUE(Run(BoardOperation::BlankCheck).Succeeded());
    }
}

INSTANTIATE_TEST_SUITE_P(EveryBoard, QaOperations, ::testing::ValuesIn(kBoards),
                         [](const ::testing::TestParamInfo<Board>& board) {
                             return std::string(board.param.name);
                         });

}  // namespace
}  // namespace qdm::test
