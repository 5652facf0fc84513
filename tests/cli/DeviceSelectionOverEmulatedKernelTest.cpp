// Three dongles on one bus, each with another board, as libusb sees them through the emulated
// kernel: --device reaches its dongle only, list names them all by their ports, and a dongle
// that is not there, or a choice the tool would have to guess, ends cleanly.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "cli/Context.h"
#include "cli/ExitCodes.h"
#include "cli/Options.h"
#include "protocol/HostHooks.h"
#include "protocol/Usbfunctions.h"
#include "sim/Simulation.h"
#include "sim/StandInFirmware.h"
#include "state/Mainprocess.h"
#include "tests/kernel/KernelUsbEmulator.h"

namespace qdm::cli {
namespace {

struct Outcome {
    int status = -1;
    std::string text;
};

constexpr const char* kBoards[] = {"k3r8", "k3r1", "demoboard"};
constexpr const char* kNames[] = {"OTP Writer K3.r8", "OTP Writer K3.r1", "Speech OTP Demoboard"};

// Ports 2, 3 and 4 of bus 1.
std::string Id(std::size_t index) {
    return "usb:1-" + std::to_string(index + 2);
}

class DeviceSelection : public ::testing::TestWithParam<std::size_t> {
  protected:
    void SetUp() override {
        if (!sim::UnderUmockdevPreload()) GTEST_SKIP() << "needs libumockdev-preload.so.0";
        emulator_ = std::make_unique<sim::KernelUsbEmulator>();
        for (std::size_t i = 0; i < 3; ++i) {
            auto dongle = std::make_shared<sim::VirtualDongle>(*sim::ConfigForBoard(kBoards[i]));
            emulator_->Attach(dongle, static_cast<std::uint8_t>(i + 2));
        }
        firmware_ = std::filesystem::path(emulator_->RootDirectory()) / "DWTB.TBH";
        const std::vector<std::uint8_t> text = sim::StandInFirmwareFile();
        std::ofstream(firmware_, std::ios::binary)
            .write(reinterpret_cast<const char*>(text.data()),
                   static_cast<std::streamsize>(text.size()));
        SetTransferWaitMs(250);  // real time here: a missing reply costs this much
        SetSleepHook([](std::chrono::milliseconds) {});
    }
    void TearDown() override {
        SetSleepHook(nullptr);
        SetTransferWaitMs(kTransferWaitMs);
        ResetProgramState();
        emulator_.reset();
    }
    Outcome Run(std::vector<std::string> args) {
        args.insert(args.begin(), {"--no-log", "--firmware", firmware_.string()});
        CommandLine line;
        std::string error;
        EXPECT_TRUE(line.Parse(args, error)) << error;
        std::ostringstream out;
        std::ostringstream err;
        Output output(line.Global(), out, err, false, false);
        Context context(line.Global(), output);
        const int status = line.Run(context);
        return {status, out.str() + err.str()};
    }
    // Whether any transfer or claim reached dongle `index`.
    bool Touched(std::size_t index) const {
        const sim::KernelUsbCounters c = emulator_->Counters(index);
        return c.submitted + c.claims > 0;
    }

    std::unique_ptr<sim::KernelUsbEmulator> emulator_;
    std::filesystem::path firmware_;
};

TEST_P(DeviceSelection, ReachesItsDongleOnly) {
    const std::size_t chosen = GetParam();
    const Outcome o = Run({"--device", Id(chosen), "detect"});
    EXPECT_EQ(o.status, kExitSuccess) << o.text;
    // The firmware download sends the dongle off the bus and back: it is found on its port.
    EXPECT_NE(o.text.find("Firmware: downloaded"), std::string::npos) << o.text;
    EXPECT_NE(o.text.find(std::string("Client board: ") + kNames[chosen]), std::string::npos)
        << o.text;
    for (std::size_t i = 0; i < 3; ++i)
        EXPECT_EQ(Touched(i), i == chosen) << Id(i);

    const Outcome probed = Run({"list", "--probe"});
    EXPECT_EQ(probed.status, kExitSuccess) << probed.text;
    for (std::size_t i = 0; i < 3; ++i) {
        const std::size_t at = probed.text.find(Id(i) + " ");
        ASSERT_NE(at, std::string::npos) << probed.text;
        const std::string row = probed.text.substr(at, probed.text.find('\n', at) - at);
        EXPECT_NE(row.find(i == chosen ? std::string("writer   ") + kNames[i] : "boot"),
                  std::string::npos)
            << row;
    }
}

INSTANTIATE_TEST_SUITE_P(EachOfThree, DeviceSelection, ::testing::Values(0u, 1u, 2u));

TEST_P(DeviceSelection, AnIdNotAttachedOrAGuessEndsWithoutATransfer) {
    // Unplugged, unknown, and a write to one of several that no ID names.
    emulator_->Unplug(GetParam());
    std::vector<std::string> attached;
    for (std::size_t i = 0; i < 3; ++i)
        if (i != GetParam()) attached.push_back(Id(i));
    const std::string list = attached[0] + ", " + attached[1];
    for (const auto& [args, status, text] :
         {std::tuple{std::vector<std::string>{"--device", Id(GetParam()), "detect"}, kExitNoDongle,
                     "no dongle " + Id(GetParam()) + " is attached (attached: " + list + ";"},
          std::tuple{std::vector<std::string>{"--device", "usb:9-9", "blank-check"}, kExitNoDongle,
                     "no dongle usb:9-9 is attached (attached: " + list + ";"},
          std::tuple{std::vector<std::string>{"erase", "--yes"}, kExitUsage,
                     "2 dongles are attached (" + list + "): name the one to write to"}}) {
        const Outcome o = Run(args);
        EXPECT_EQ(o.status, status) << o.text;
        EXPECT_NE(o.text.find(text), std::string::npos) << o.text;
    }
    for (std::size_t i = 0; i < 3; ++i)
        EXPECT_FALSE(Touched(i)) << Id(i);
}

}  // namespace
}  // namespace qdm::cli
