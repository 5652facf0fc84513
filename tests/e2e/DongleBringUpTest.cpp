// A dongle from plug-in to a known client board, through the whole host stack, over both USB
// paths: hardware version, firmware download, the wait for the dongle to come back, identity,
// board detection.

#include <gtest/gtest.h>

#include "tests/e2e/OverBothPaths.h"

namespace qdm::test {
namespace {

using DongleBringUp = OverBothPaths;

TEST_P(DongleBringUp, BootStateToWriterFirmwareAndBoard) {
    DongleRig& rig = Start();
    ASSERT_EQ(rig.WithDongle([](auto& d) { return d.State(); }), sim::FirmwareState::Boot);
    EXPECT_FALSE(QueryDongleIdentity());  // the boot firmware does not know the writer's query

    std::array<std::uint8_t, 4> version{};
    ASSERT_TRUE(QueryHardwareVersion(version));
    EXPECT_EQ(version, (std::array<std::uint8_t, 4>{0x05, 0x01, 0x00, 0x00}));

    rig.WithDongle([](auto& d) { d.ClearControlLog(); });
    ASSERT_TRUE(DownloadFirmware(FirmwareText(), 0));
    ASSERT_TRUE(WaitForDongleAfterFirmware());
    EXPECT_EQ(slept_.size(), 1U);  // present at the first look
    rig.WithDongle([](sim::VirtualDongle& d) {
        EXPECT_EQ(d.State(), sim::FirmwareState::Writer);
        for (const sim::FirmwareRecord& record : sim::StandInFirmwareRecords()) {
            const auto ram = d.Ram().subspan(record.address, record.data.size());
            EXPECT_TRUE(std::equal(ram.begin(), ram.end(), record.data.begin())) << record.address;
        }
        std::vector<sim::ControlRecord> loads;
        for (const auto& c : d.ControlLog())
            if (c.setup.bRequest == 0xA0 && c.setup.bmRequestType == 0x40) loads.push_back(c);
        ASSERT_GE(loads.size(), 2U);
        EXPECT_EQ(loads.front().setup.wValue, 0xE600);
        EXPECT_EQ(loads.front().data, std::vector<std::uint8_t>{0x01});
        EXPECT_EQ(loads.back().setup.wValue, 0xE600);
        EXPECT_EQ(loads.back().data, std::vector<std::uint8_t>{0x00});
        EXPECT_EQ(loads.size(), sim::StandInFirmwareRecords().size() + 3);  // + end record
    });

    EXPECT_TRUE(QueryDongleIdentity());
    EXPECT_EQ(DetectClientBoard(), kBoardK3r8);
    EXPECT_EQ(rig.OpenHandles(), 0U);
    EXPECT_EQ(rig.PendingRequests(), 0U);
    EXPECT_EQ(LastAccessProblem(), DongleAccessProblem::None);
}

TEST_P(DongleBringUp, BoardIdentificationBytes) {
    DongleRig& rig = Start();
    ASSERT_TRUE(DownloadFirmware(FirmwareText(), 0));
    const std::vector<std::pair<std::uint8_t, std::uint8_t>> cases = {
        {0x3F, kBoardK3r8}, {0xC1, kBoardK3r1}, {0x81, kBoardDemo}, {0x40, kBoardNone}};
    for (const auto& [id, kind] : cases) {
        rig.WithDongle([id = id](auto& d) { d.SetBoardIdOverride(id); });
        EXPECT_EQ(DetectClientBoard(), kind) << int{id};
    }
}

TEST_P(DongleBringUp, ReplugNeedsTheFirmwareAgain) {
    DongleRig& rig = Start();
    ASSERT_TRUE(DownloadFirmware(FirmwareText(), 0));
    ASSERT_TRUE(QueryDongleIdentity());
    rig.Unplug();
    EXPECT_FALSE(CheckDonglePresence());
    EXPECT_EQ(LastAccessProblem(), DongleAccessProblem::NoDongle);
    EXPECT_FALSE(QueryDongleIdentity());
    rig.Plug();
    EXPECT_TRUE(CheckDonglePresence());
    EXPECT_FALSE(QueryDongleIdentity());  // back in boot state
    EXPECT_EQ(rig.OpenHandles(), 0U);
}

TEST_P(DongleBringUp, McuRomDongleNeverAnswersIdentity) {
    Start(*sim::ConfigForBoard("mcurom"));
    std::array<std::uint8_t, 4> version{};
    EXPECT_TRUE(QueryHardwareVersion(version));
    EXPECT_TRUE(DownloadFirmware(FirmwareText(), 0));
    EXPECT_FALSE(QueryDongleIdentity());
}

TEST_P(DongleBringUp, ForeignProductIdIsReportedAsIs) {
    sim::DongleConfig config;
    config.productId = 0x8613;
    Start(config);
    EXPECT_TRUE(CheckDonglePresence());
    EXPECT_EQ(State().DetectedVID, "0x04B4");
    EXPECT_EQ(State().DetectedPID, "0x8613");
}

TEST_P(DongleBringUp, DongleThatLeavesTheBusIsAwaitedUntilItReturns) {
    DongleRig& rig = Start();
    ASSERT_TRUE(DownloadFirmware(FirmwareText(), 0));
    onSleep_ = [&rig](std::size_t n) {
        if (n == 1) rig.Unplug();  // the new firmware disconnects ...
        if (n == 5) rig.Plug();    // ... and connects again
    };
    rig.Unplug();
    EXPECT_TRUE(WaitForDongleAfterFirmware());
    EXPECT_EQ(slept_.size(), 5U);
    for (const auto d : slept_)
        EXPECT_EQ(d, kReenumerationPoll);
}

TEST_P(DongleBringUp, DongleThatDoesNotReturnFailsTheDownloadAfterAboutThreeSeconds) {
    DongleRig& rig = Start();
    ASSERT_TRUE(DownloadFirmware(FirmwareText(), 0));
    rig.Unplug();
    EXPECT_FALSE(WaitForDongleAfterFirmware());
    std::chrono::milliseconds total{0};
    for (const auto d : slept_)
        total += d;
    EXPECT_EQ(total, kReenumerationLimit);
    EXPECT_EQ(slept_.size(), 30U);
    EXPECT_EQ(LastAccessProblem(), DongleAccessProblem::NoDongle);
}

QDM_OVER_BOTH_PATHS(DongleBringUp);

}  // namespace
}  // namespace qdm::test
