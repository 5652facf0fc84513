// A dongle from plug-in to a known client board, through the whole host stack and the virtual
// dongle: hardware version, firmware download, identity, board detection.

#include <gtest/gtest.h>

#include "app/Mainprocess.h"
#include "protocol/Usbfunctions.h"
#include "sim/Simulation.h"
#include "sim/StandInFirmware.h"
#include "usb/Fileiofunctions.h"
#include "usb/FirmwareLoader.h"

namespace qdm {
namespace {

class DongleBringUpTest : public ::testing::Test {
  protected:
    void TearDown() override {
        usb::SetActiveDriver(nullptr);
        ResetProgramState();
    }
    sim::Simulation Start(sim::DongleConfig config = {}) {
        sim::Simulation s = sim::MakeSimulation(config);
        usb::SetActiveDriver(s.driver);
        return s;
    }
    static std::vector<std::uint8_t> FirmwareText() {
        auto text = sim::StandInFirmwareFile();
        ExchangeNibbles(text);
        return text;
    }
};

TEST_F(DongleBringUpTest, BootStateToWriterFirmwareAndBoard) {
    const sim::Simulation s = Start();
    ASSERT_EQ(s.dongle->State(), sim::FirmwareState::Boot);
    EXPECT_FALSE(QueryDongleIdentity());  // the boot firmware does not know the writer's query

    std::array<std::uint8_t, 4> version{};
    ASSERT_TRUE(QueryHardwareVersion(version));
    EXPECT_EQ(version, (std::array<std::uint8_t, 4>{0x05, 0x01, 0x00, 0x00}));

    s.dongle->ClearControlLog();
    ASSERT_TRUE(DownloadFirmware(FirmwareText()));
    EXPECT_EQ(s.dongle->State(), sim::FirmwareState::Writer);
    for (const sim::FirmwareRecord& record : sim::StandInFirmwareRecords()) {
        const auto ram = s.dongle->Ram().subspan(record.address, record.data.size());
        EXPECT_TRUE(std::equal(ram.begin(), ram.end(), record.data.begin())) << record.address;
    }
    std::vector<sim::ControlRecord> loads;
    for (const auto& c : s.dongle->ControlLog())
        if (c.setup.bRequest == 0xA0 && c.setup.bmRequestType == 0x40) loads.push_back(c);
    ASSERT_GE(loads.size(), 2u);
    EXPECT_EQ(loads.front().setup.wValue, 0xE600);
    EXPECT_EQ(loads.front().data, std::vector<std::uint8_t>{0x01});
    EXPECT_EQ(loads.back().setup.wValue, 0xE600);
    EXPECT_EQ(loads.back().data, std::vector<std::uint8_t>{0x00});
    EXPECT_EQ(loads.size(), sim::StandInFirmwareRecords().size() + 3);  // + end record

    EXPECT_TRUE(QueryDongleIdentity());
    EXPECT_EQ(DetectClientBoard(), kBoardK3r8);
    EXPECT_EQ(s.driver->OpenHandles(), 0u);
    EXPECT_EQ(s.driver->PendingRequests(), 0u);
}

TEST_F(DongleBringUpTest, BoardIdentificationBytes) {
    const sim::Simulation s = Start();
    ASSERT_TRUE(DownloadFirmware(FirmwareText()));
    const std::vector<std::pair<std::uint8_t, std::uint8_t>> cases = {
        {0x3F, kBoardK3r8}, {0xC1, kBoardK3r1}, {0x81, kBoardDemo}, {0x40, kBoardNone}};
    for (const auto& [id, kind] : cases) {
        s.dongle->SetBoardIdOverride(id);
        EXPECT_EQ(DetectClientBoard(), kind) << int{id};
    }
}

TEST_F(DongleBringUpTest, ReplugNeedsTheFirmwareAgainAndMcuRomNeverAnswersIdentity) {
    const sim::Simulation s = Start();
    ASSERT_TRUE(DownloadFirmware(FirmwareText()));
    ASSERT_TRUE(QueryDongleIdentity());
    s.dongle->Unplug();
    EXPECT_FALSE(CheckDonglePresence());
    EXPECT_FALSE(QueryDongleIdentity());
    s.dongle->Plug();
    EXPECT_TRUE(CheckDonglePresence());
    EXPECT_FALSE(QueryDongleIdentity());  // back in boot state

    TearDown();
    const sim::Simulation mcu = Start(*sim::ConfigForBoard("mcurom"));
    std::array<std::uint8_t, 4> version{};
    EXPECT_TRUE(QueryHardwareVersion(version));
    EXPECT_TRUE(DownloadFirmware(FirmwareText()));
    EXPECT_FALSE(QueryDongleIdentity());
}

TEST_F(DongleBringUpTest, ForeignProductIdIsReportedAsIs) {
    sim::DongleConfig config;
    config.productId = 0x8613;
    Start(config);
    EXPECT_TRUE(CheckDonglePresence());
    EXPECT_EQ(State().DetectedVID, "0x04B4");
    EXPECT_EQ(State().DetectedPID, "0x8613");
}

}  // namespace
}  // namespace qdm
