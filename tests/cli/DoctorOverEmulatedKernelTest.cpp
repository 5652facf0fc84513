// doctor as it runs on Linux, through libusb and the emulated kernel USB interface: what it says,
// and with which exit status, for a machine where everything works and for the first-contact
// failures a user meets.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>

#include "cli/Context.h"
#include "cli/Doctor.h"
#include "cli/ExitCodes.h"
#include "cli/Options.h"
#include "protocol/HostHooks.h"
#include "protocol/Usbfunctions.h"
#include "sim/Simulation.h"
#include "sim/StandInFirmware.h"
#include "state/Mainprocess.h"
#include "tests/kernel/KernelUsbEmulator.h"
#include "tests/support/FileAccessOverride.h"

namespace qdm::cli {
namespace {

struct DoctorCase {
    const char* name;
    std::function<void(sim::KernelUsbEmulator&)> arrange;
    bool firmwareFile;
    int status;
    std::vector<std::string> says;
};

void PrintTo(const DoctorCase& c, std::ostream* out) {
    *out << c.name;
}

class DoctorOverEmulatedKernel : public ::testing::TestWithParam<DoctorCase> {
  protected:
    void SetUp() override {
        if (!sim::UnderUmockdevPreload()) GTEST_SKIP() << "needs libumockdev-preload.so.0";
        emulator_ = std::make_unique<sim::KernelUsbEmulator>();
        emulator_->Attach(std::make_shared<sim::VirtualDongle>(), 2);
        root_ = emulator_->RootDirectory();
        const std::vector<std::uint8_t> text = sim::StandInFirmwareFile();
        std::ofstream(root_ / "DWTB.TBH", std::ios::binary)
            .write(reinterpret_cast<const char*>(text.data()),
                   static_cast<std::streamsize>(text.size()));
        std::filesystem::create_directories(root_ / "rules.d");
        std::filesystem::copy_file(QDM_PACKAGING_DIR "/60-qdm-writer.rules",
                                   root_ / "rules.d" / "60-qdm-writer.rules");
        SetUdevRuleFolders({root_ / "rules.d"});
        SetDumpDirectory(root_);
        // The user's data folder is one of the firmware file's places.
        setenv("XDG_DATA_HOME", (root_ / "data").c_str(), 1);
        SetTransferWaitMs(250);
    }
    void TearDown() override {
        SetUdevRuleFolders({});
        SetDumpDirectory({});
        SetSleepHook(nullptr);
        SetTransferWaitMs(kTransferWaitMs);
        ResetProgramState();
        emulator_.reset();
    }

    std::unique_ptr<sim::KernelUsbEmulator> emulator_;
    std::filesystem::path root_;
};

TEST_P(DoctorOverEmulatedKernel, SaysWhatIsWrongAndWhatToDo) {
    const DoctorCase& c = GetParam();
    c.arrange(*emulator_);
    std::vector<std::string> args = {"--log", (root_ / "runs.jsonl").string(), "doctor",
                                     "--load-firmware"};
    if (c.firmwareFile) args.insert(args.begin(), {"--firmware", (root_ / "DWTB.TBH").string()});
    CommandLine line;
    std::string error;
    ASSERT_TRUE(line.Parse(args, error)) << error;
    SetSleepHook([](std::chrono::milliseconds) {});
    std::ostringstream out;
    std::ostringstream err;
    int status = -1;
    {
        const test::WithoutFileAccessOverride unprivileged;
        Output output(line.Global(), out, err, false, false);
        Context context(line.Global(), output);
        status = line.Run(context);
    }
    const std::string text = out.str() + err.str();
    EXPECT_EQ(status, c.status) << text;
    for (const std::string& said : c.says)
        EXPECT_NE(text.find(said), std::string::npos) << said << "\n--- in ---\n" << text;
    if (c.status == kExitSuccess) {
        EXPECT_EQ(text.find("PROBLEM"), std::string::npos) << text;
    }
}

INSTANTIATE_TEST_SUITE_P(
    FirstContact, DoctorOverEmulatedKernel,
    ::testing::Values(
        DoctorCase{"AllOk",
                   [](sim::KernelUsbEmulator& e) {
                       e.Attach(std::make_shared<sim::VirtualDongle>(*sim::ConfigForBoard("k3r1")),
                                3);
                       sim::DongleConfig other;
                       other.productId = 0x8613;
                       e.Attach(std::make_shared<sim::VirtualDongle>(other), 4);
                   },
                   true,
                   kExitSuccess,
                   {"OK       udev rule: installed as", "OK       Firmware file:",
                    "usb:1-2: 04B4:1004, a writer dongle; this user may open it",
                    "Dongle usb:1-2: hardware version 05 01 00 00, writer firmware running "
                    "(loaded now), client board OTP Writer K3.r8",
                    "Dongle usb:1-3: hardware version 05 01 00 00, writer firmware running "
                    "(loaded now), client board OTP Writer K3.r1",
                    "NOTE     USB device usb:1-4: 04B4:8613: not a writer dongle"}},
        DoctorCase{"AccessRefused",
                   [](sim::KernelUsbEmulator& e) { e.RefuseOpen(0, true); },
                   true,
                   kExitAccess,
                   {"PROBLEM  USB device usb:1-2: a dongle is attached but this user may not open "
                    "it (permission denied)",
                    "What to do: Install the udev rule", "unplug and replug the dongle",
                    "GROUP=\"plugdev\""}},
        DoctorCase{"Busy",
                   [](sim::KernelUsbEmulator& e) { e.HoldInterfaceElsewhere(0, true); },
                   true,
                   kExitAccess,
                   {"PROBLEM  USB device usb:1-2: a dongle is attached but another program is "
                    "using it",
                    "What to do: Close the other program"}},
        DoctorCase{"NoFirmwareFile",
                   [](sim::KernelUsbEmulator&) {},
                   false,
                   kExitFile,
                   {"PROBLEM  Firmware file: DWTB.TBH was not found; it was looked for as",
                    "/data/qdm-writer/DWTB.TBH", "What to do: It comes with the dongle: copy it"}},
        DoctorCase{
            "NoDongle",
            [](sim::KernelUsbEmulator& e) { e.Unplug(0); },
            true,
            kExitNoDongle,
            {"PROBLEM  USB devices: no dongle is attached", "What to do: Plug the dongle in"}}),
    [](const ::testing::TestParamInfo<DoctorCase>& param) {
        return std::string(param.param.name);
    });

}  // namespace
}  // namespace qdm::cli
