// The detect command as the program runs it on Linux, through its platform driver (libusb) and
// the emulated kernel USB interface: the whole bring-up, and what it tells the user when the
// dongle is missing, may not be opened, is held by another program or does not come back after
// the firmware download.

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "cli/Commands.h"
#include "cli/Context.h"
#include "cli/ExitCodes.h"
#include "cli/Options.h"
#include "protocol/HostHooks.h"
#include "protocol/Usbfunctions.h"
#include "session/Session.h"
#include "sim/StandInFirmware.h"
#include "state/DiagnosticLog.h"
#include "state/Mainprocess.h"
#include "tests/kernel/KernelUsbEmulator.h"
#include "tests/support/FileAccessOverride.h"

namespace qdm::cli {
namespace {

struct Outcome {
    int status = -1;
    std::string text;
};

class DetectOverEmulatedKernel : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!sim::UnderUmockdevPreload()) GTEST_SKIP() << "needs libumockdev-preload.so.0";
        emulator_ = std::make_unique<sim::KernelUsbEmulator>();
        emulator_->Attach(std::make_shared<sim::VirtualDongle>(), 2);
        firmware_ = std::filesystem::path(emulator_->RootDirectory()) / "DWTB.TBH";
        const std::vector<std::uint8_t> text = sim::StandInFirmwareFile();
        std::ofstream(firmware_, std::ios::binary)
            .write(reinterpret_cast<const char*>(text.data()),
                   static_cast<std::streamsize>(text.size()));
        SetTransferWaitMs(250);  // real time here: a missing reply costs this much
    }
    void TearDown() override {
        SetSleepHook(nullptr);
        SetTransferWaitMs(kTransferWaitMs);
        ResetProgramState();
        emulator_.reset();
    }
    Outcome Detect() { return Run({"detect"}); }
    // A command of the tool, in-process.
    Outcome Run(std::vector<std::string> args) {
        args.insert(args.begin(), {"--no-log", "--firmware", firmware_.string()});
        CommandLine line;
        std::string error;
        EXPECT_TRUE(line.Parse(args, error)) << error;
        SetSleepHook([this](std::chrono::milliseconds) {
            if (++sleeps_ == 1 && dropAfterFirmware_) emulator_->Unplug(0);
        });
        std::ostringstream out;
        std::ostringstream err;
        Output output(line.Global(), out, err, false, false);
        Context context(line.Global(), output);
        const int status = line.Run(context);
        return {status, out.str() + err.str()};
    }
    static bool Has(const Outcome& o, const std::string& text) {
        return o.text.find(text) != std::string::npos;
    }

    std::unique_ptr<sim::KernelUsbEmulator> emulator_;
    std::filesystem::path firmware_;
    int sleeps_ = 0;
    bool dropAfterFirmware_ = false;
};

TEST_F(DetectOverEmulatedKernel, LoadsTheFirmwareAndFindsTheBoard) {
    const Outcome o = Detect();
    EXPECT_EQ(o.status, kExitSuccess) << o.text;
    EXPECT_TRUE(Has(o, "Dongle: present, VID 0x04B4 PID 0x1004")) << o.text;
    EXPECT_TRUE(Has(o, "Hardware version: 05 01 00 00")) << o.text;
    EXPECT_TRUE(Has(o, "Firmware: downloaded")) << o.text;
    EXPECT_TRUE(Has(o, "Client board: OTP Writer K3.r8")) << o.text;
    EXPECT_EQ(LastAccessProblem(), DongleAccessProblem::None);
}

TEST_F(DetectOverEmulatedKernel, NoDongle) {
    emulator_->Unplug(0);
    const Outcome o = Detect();
    EXPECT_EQ(o.status, kExitNoDongle) << o.text;
    EXPECT_EQ(o.text, "Dongle: none found\nqdm-writer-cli: no dongle found\n");
}

TEST_F(DetectOverEmulatedKernel, PermissionDeniedSaysToInstallTheUdevRuleAndReplug) {
    emulator_->RefuseOpen(0, true);
    const test::WithoutFileAccessOverride unprivileged;
    std::string log;
    StartDiagnostics([&log](std::string_view line) { log += line; });
    const std::string rom = firmware_.parent_path() / "x.bin";
    std::ofstream(rom, std::ios::binary) << std::string(64, 'x');
    for (const std::vector<std::string>& command :
         {std::vector<std::string>{"detect"}, {"download", rom}, {"mcurom", rom}}) {
        const Outcome o = Run(command);
        EXPECT_EQ(o.status, kExitAccess) << o.text;
        EXPECT_EQ(LastAccessProblem(), DongleAccessProblem::PermissionDenied);
        EXPECT_TRUE(Has(o, "a dongle is attached but this user may not open it")) << o.text;
        EXPECT_TRUE(Has(o, "packaging/60-qdm-writer.rules")) << o.text;
        EXPECT_TRUE(Has(o, "unplug and replug")) << o.text;
        EXPECT_FALSE(Has(o, "none found"));
    }
    StopDiagnostics();
    // The reason libusb gave, which the seam's error code alone cannot tell from others.
    EXPECT_NE(log.find(": LIBUSB_ERROR_ACCESS\n"), std::string::npos) << log;
}

TEST_F(DetectOverEmulatedKernel, BusySaysAnotherProgramHoldsIt) {
    emulator_->HoldInterfaceElsewhere(0, true);
    const Outcome o = Detect();
    EXPECT_EQ(o.status, kExitAccess) << o.text;
    EXPECT_EQ(LastAccessProblem(), DongleAccessProblem::Busy);
    EXPECT_TRUE(Has(o, "another program is using it")) << o.text;
    EXPECT_TRUE(Has(o, "Close the other program")) << o.text;
}

TEST_F(DetectOverEmulatedKernel, DongleThatDoesNotComeBackFailsTheFirmwareDownload) {
    dropAfterFirmware_ = true;
    const Outcome o = Detect();
    EXPECT_EQ(o.status, kExitDongle) << o.text;
    EXPECT_TRUE(Has(o, "failed (the dongle did not come back on the bus)")) << o.text;
    EXPECT_FALSE(Has(o, "Identity"));
    EXPECT_EQ(sleeps_, 30);
}

}  // namespace
}  // namespace qdm::cli
