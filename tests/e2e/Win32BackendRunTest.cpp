// A whole download on the K3.r8 through the vendor-driver backend: the Win32 calls it makes are
// served by the virtual dongle, so everything the backend decides is on the path.

#include <algorithm>

#include "tests/e2e/WorkflowFixture.h"
#include "tests/support/Win32CallsOverDriver.h"
#include "usb/TransferRequest.h"
#include "usb/Win32DriverCore.h"

namespace qdm::test {
namespace {

class Win32BackendRun : public WorkflowTest {
  protected:
    void Route() {
        calls = std::make_shared<Win32CallsOverDriver>(simulation.driver,
                                                       usb::win32::kNativePointerBits);
        usb::SetActiveDriver(std::make_shared<usb::win32::Win32DriverCore>(calls));
    }
    std::shared_ptr<Win32CallsOverDriver> calls;
};

TEST_F(Win32BackendRun, DownloadsAContainerOnTheK3r8) {
    Start("k3r8");
    Route();
    const auto plain = Plain(0x10000);
    panel.files.push_back(File("QL020.bin", Container(plain, 0x03, 2)));

    const RunOutcome outcome = Download();
    ASSERT_TRUE(outcome.Succeeded()) << outcome.message;
    EXPECT_EQ(panel.status, "Serial Flash Data Verify OK !");
    const auto chained = MakeChainedImage(plain, AgentKey(kBuiltInAgentIndex));
    for (std::size_t c = 0; c < 4; ++c)
        EXPECT_EQ(Flash(Dongle().K3r8()->Chip(c), 0, chained.size()), chained) << c;

    // The firmware went in through vendor request 0xA0 on the control endpoint.
    const auto io = calls->CallsTo("DeviceIoControl");
    const bool firmwareLoaded = std::any_of(io.begin(), io.end(), [](const auto& call) {
        return call.code == usb::ioctl::ControlTransfer && call.in.size() > 38 &&
               call.in[0] == 0x40 && call.in[1] == 0xA0;
    });
    EXPECT_TRUE(firmwareLoaded);
    // Nothing is left behind: no device, event or system record.
    EXPECT_EQ(simulation.driver->OpenHandles(), 0u);
    EXPECT_EQ(simulation.driver->OpenEvents(), 0u);
    EXPECT_EQ(simulation.driver->PendingRequests(), 0u);
    EXPECT_EQ(calls->LiveRecords(), 0u);
}

TEST_F(Win32BackendRun, AnUnpluggedDongleIsNotFound) {
    Start("k3r8");
    Dongle().Unplug();
    Route();
    panel.files.push_back(File("QL020.bin", Container(Plain(0x10000), 0x03, 2)));
    const RunOutcome outcome = Download();
    EXPECT_FALSE(outcome.Succeeded());
    EXPECT_EQ(panel.Calls("message "), std::vector<std::string>{"USB Not Found!!"});
    EXPECT_TRUE(calls->CallsTo("CreateFileA").empty());
}

}  // namespace
}  // namespace qdm::test
