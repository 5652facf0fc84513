#pragma once
// Whole runs of the workflows against the virtual dongle, driven through a recording panel.

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "protocol/HostHooks.h"
#include "sim/Demoboard.h"
#include "sim/K3r1Board.h"
#include "sim/K3r8Board.h"
#include "sim/Simulation.h"
#include "sim/StandInFirmware.h"
#include "state/Mainprocess.h"
#include "tests/support/RecordingPanel.h"
#include "usb/Fileiofunctions.h"
#include "usb/FirmwareLoader.h"
#include "usb/UsbDriver.h"
#include "workflows/ChipProperties.h"
#include "workflows/DownloadWorkflow.h"
#include "workflows/Mcurom_codec.h"
#include "workflows/RomImage.h"

namespace qdm::test {

// Always the same random byte, so the option page is known.
class FixedRandom final : public RandomByteSource {
  public:
    std::uint8_t NextByte() override { return 0x5A; }
};

class WorkflowTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ResetProgramState();
        folder = std::filesystem::temp_directory_path() /
                 ("qdm-workflow-" +
                  std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
        std::filesystem::create_directories(folder);
        SetDumpDirectory(folder);
        SetSleepHook([this](std::chrono::milliseconds d) { slept += d; });
        State().FirmwareText = sim::StandInFirmwareFile();
        ExchangeNibbles(State().FirmwareText);
    }
    void TearDown() override {
        usb::SetActiveDriver(nullptr);
        SetSleepHook(nullptr);
        SetDumpDirectory({});
        ResetProgramState();
        std::filesystem::remove_all(folder);
    }

    sim::VirtualDongle& Start(std::string_view board) { return Start(*sim::ConfigForBoard(board)); }
    sim::VirtualDongle& Start(const sim::DongleConfig& config) {
        simulation = sim::MakeSimulation(config);
        usb::SetActiveDriver(simulation.driver);
        return *simulation.dongle;
    }
    sim::VirtualDongle& Dongle() { return *simulation.dongle; }
    // What an earlier full download leaves behind: the writer firmware running.
    void LoadWriterFirmware() {
        ASSERT_TRUE(DownloadFirmware(State().FirmwareText, 0));
        State().FirmwareLoaded = 1;
    }

  public:
    sim::VirtualDongle& Dut() { return *simulation.dongle; }

  protected:
    // A ROM file in the test's folder.
    std::string File(const std::string& name, const std::vector<std::uint8_t>& bytes) {
        const auto path = folder / name;
        WriteFileFrom(bytes, path);
        return path.string();
    }
    // A plain image of `size` bytes that starts with a byte the key test accepts.
    static std::vector<std::uint8_t> Plain(std::size_t size, std::uint32_t seed = 7) {
        std::vector<std::uint8_t> plain(size);
        std::uint32_t x = seed;
        for (auto& b : plain) {
            x = x * 1664525u + 1013904223u;
            b = static_cast<std::uint8_t>(x >> 24);
        }
        plain[0] = 0xC8;
        return plain;
    }
    static std::vector<std::uint8_t> Container(const std::vector<std::uint8_t>& plain,
                                               std::uint8_t chipCode, std::uint8_t chipIndex,
                                               bool range = false, int agent = kBuiltInAgentIndex) {
        return WrapRomContainer(MakeChainedImage(plain, AgentKey(agent)), chipCode, chipIndex,
                                range)
            .value();
    }

    RunOutcome Download(bool fast = false) {
        DownloadOptions options;
        options.fast = fast;
        options.random = &random;
        return RunDownload(panel, options);
    }

    // The chip's bytes at [address, address + length).
    static std::vector<std::uint8_t> Flash(const sim::SerialFlash& chip, std::uint32_t address,
                                           std::size_t length) {
        const auto all = chip.Contents();
        return {all.begin() + address, all.begin() + static_cast<std::ptrdiff_t>(address + length)};
    }

    std::filesystem::path folder;
    sim::Simulation simulation;
    RecordingPanel panel;
    FixedRandom random;
    std::chrono::milliseconds slept{0};
};

}  // namespace qdm::test
