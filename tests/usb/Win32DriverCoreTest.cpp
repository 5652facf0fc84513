// The vendor-driver backend, down to the Win32 calls it makes: the records and their size
// fields for either pointer width, the requests the class family's calls turn into, the mapping
// of the seam's overlapped records onto the system's, the notification filters.

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <memory>

#include "protocol/HostHooks.h"
#include "protocol/Usbfunctions.h"
#include "sim/VirtualDriver.h"
#include "tests/support/FakeDriver.h"
#include "tests/support/Win32CallsOverDriver.h"
#include "usb/DeviceSelection.h"
#include "usb/TransferRequest.h"
#include "usb/UsbDevice.h"
#include "usb/Win32DriverCore.h"

namespace qdm::usb::win32 {
namespace {

using test::FakeDriver;
using test::Win32CallsOverDriver;
using Bytes = std::vector<std::uint8_t>;
using Names = std::vector<std::string>;

constexpr std::array<std::uint8_t, 16> kDriverGuidBytes = {
    0x60, 0xAA, 0x18, 0xAE, 0x6A, 0x7F, 0xD4, 0x11, 0x97, 0xDD, 0x00, 0x01, 0x02, 0x29, 0xB9, 0x59};

// --- Records, filters and paths ---------------------------------------------------------------

TEST(Win32Records, SizesFollowThePointerWidth) {
    constexpr RecordSizes narrow = RecordSizesFor(32);
    EXPECT_EQ(narrow.interfaceData, 28u);
    EXPECT_EQ(narrow.devInfoData, 28u);
    EXPECT_EQ(narrow.detailSizeField, 5u);
    EXPECT_EQ(narrow.interfaceFilter, 32u);
    EXPECT_EQ(narrow.handleFilter, 44u);
    constexpr RecordSizes wide = RecordSizesFor(64);
    EXPECT_EQ(wide.interfaceData, 32u);
    EXPECT_EQ(wide.devInfoData, 32u);
    EXPECT_EQ(wide.detailSizeField, 8u);
    EXPECT_EQ(wide.interfaceFilter, 32u);
    EXPECT_EQ(wide.handleFilter, 56u);
    EXPECT_EQ(kClassDevFlags, 0x12u);
}

TEST(Win32Records, InterfaceFilterNamesTheClass) {
    Bytes expected = {0x20, 0, 0, 0, 0x05, 0, 0, 0, 0, 0, 0, 0};
    expected.insert(expected.end(), kDriverGuidBytes.begin(), kDriverGuidBytes.end());
    expected.insert(expected.end(), {0, 0, 0, 0});
    EXPECT_EQ(InterfaceFilter(DriverInterfaceGuid), expected);
}

TEST(Win32Records, HandleFilterPutsTheHandleWhereEachWidthHasIt) {
    Bytes narrow(44, 0);
    narrow[0] = 44;
    narrow[4] = 6;
    narrow[12] = 0x78;
    narrow[13] = 0x56;
    narrow[14] = 0x34;
    narrow[15] = 0x12;
    EXPECT_EQ(HandleFilter(0x12345678, 32), narrow);

    Bytes wide(56, 0);
    wide[0] = 56;
    wide[4] = 6;
    const Bytes value = {0xEF, 0xCD, 0xAB, 0x89, 0x67, 0x45, 0x23, 0x01};
    std::copy(value.begin(), value.end(), wide.begin() + 16);
    EXPECT_EQ(HandleFilter(0x0123456789ABCDEF, 64), wide);
}

TEST(Win32Records, PathIsTheRequiredSizeLessFiveCharacters) {
    const std::string path = "\\\\?\\usb#vid_04b4&pid_1004#5&1";
    Bytes detail = SizedRecord(4 + path.size() + 1, 8);
    std::copy(path.begin(), path.end(), detail.begin() + 4);
    const auto required = static_cast<std::uint32_t>(path.size() + 5);
    EXPECT_EQ(PathFromDetail(detail, required), path);
    EXPECT_EQ(PathFromDetail(detail, required - 3), path.substr(0, path.size() - 3));
    // A size the record cannot hold, a zero inside, a size below the overhead.
    EXPECT_EQ(PathFromDetail(detail, required + 100), path);
    detail[4 + 5] = 0;
    EXPECT_EQ(PathFromDetail(detail, required), path.substr(0, 5));
    EXPECT_EQ(PathFromDetail(detail, 4), "");
    EXPECT_EQ(PathFromDetail(Bytes(4, 0), 50), "");
}

TEST(Win32Records, WaitCodes) {
    EXPECT_EQ(WaitResultOf(0), WaitResult::Signalled);
    EXPECT_EQ(WaitResultOf(258), WaitResult::TimedOut);
    EXPECT_EQ(WaitResultOf(0xFFFFFFFF), WaitResult::Failed);
    EXPECT_EQ(WaitResultOf(0x80), WaitResult::Failed);  // abandoned
}

// --- The backend over emulated calls -----------------------------------------------------------

class Win32Backend : public ::testing::TestWithParam<unsigned> {
  protected:
    void SetUp() override { Build(GetParam()); }
    void TearDown() override { SetActiveDriver(nullptr); }
    void Build(unsigned bits) {
        fake = std::make_shared<FakeDriver>();
        calls = std::make_shared<Win32CallsOverDriver>(fake, bits);
        core = std::make_shared<Win32DriverCore>(calls, bits);
    }
    void AddDevice(const std::string& path) {
        fake->devices.emplace_back();
        fake->devices.back().path = path;
    }
    [[nodiscard]] RecordSizes Sizes() const { return RecordSizesFor(GetParam()); }
    // DeviceIoControl calls after `from`.
    [[nodiscard]] std::vector<Win32CallsOverDriver::Call> IoControls(std::size_t from = 0) const {
        std::vector<Win32CallsOverDriver::Call> found;
        for (std::size_t i = from; i < calls->calls.size(); ++i)
            if (calls->calls[i].function == "DeviceIoControl") found.push_back(calls->calls[i]);
        return found;
    }

    std::shared_ptr<FakeDriver> fake;
    std::shared_ptr<Win32CallsOverDriver> calls;
    std::shared_ptr<Win32DriverCore> core;
};

TEST_P(Win32Backend, NoDeviceEndsTheWalkAtNoMoreItems) {
    EXPECT_TRUE(core->PresentInterfaces(DriverInterfaceGuid).empty());
    EXPECT_EQ(calls->Functions(), (Names{"SetupDiGetClassDevsA", "SetupDiEnumDeviceInterfaces",
                                         "SetupDiDestroyDeviceInfoList"}));
    const auto& list = calls->calls[0];
    EXPECT_EQ(list.flags, 0x12u);
    EXPECT_EQ(list.text, "{AE18AA60-7F6A-11D4-97DD-00010229B959}");
    const auto& walk = calls->calls[1];
    EXPECT_EQ(walk.index, 0u);
    ASSERT_EQ(walk.in.size(), Sizes().interfaceData);
    EXPECT_EQ(LoadLe32(walk.in, 0), Sizes().interfaceData);
    EXPECT_EQ(calls->OpenLists(), 0u);
}

TEST_P(Win32Backend, EachInterfaceAsksForItsDetailTwice) {
    const std::string first = "\\\\?\\usb#vid_04b4&pid_1004#6&a";
    const std::string second = "\\\\?\\usb#vid_04b4&pid_1004#6&bcd";
    AddDevice(first);
    AddDevice(second);
    EXPECT_EQ(core->PresentInterfaces(DriverInterfaceGuid), (Names{first, second}));
    EXPECT_EQ(calls->Functions(),
              (Names{"SetupDiGetClassDevsA", "SetupDiEnumDeviceInterfaces",
                     "SetupDiGetDeviceInterfaceDetailA", "SetupDiGetDeviceInterfaceDetailA",
                     "SetupDiEnumDeviceInterfaces", "SetupDiGetDeviceInterfaceDetailA",
                     "SetupDiGetDeviceInterfaceDetailA", "SetupDiEnumDeviceInterfaces",
                     "SetupDiDestroyDeviceInfoList"}));
    const auto details = calls->CallsTo("SetupDiGetDeviceInterfaceDetailA");
    ASSERT_EQ(details.size(), 4u);
    // First only the size, with no buffers; then a record of exactly that size.
    EXPECT_EQ(details[0].outSize, 0u);
    EXPECT_EQ(details[0].devInfoSize, 0u);
    EXPECT_EQ(details[1].outSize, first.size() + 5);
    EXPECT_EQ(LoadLe32(details[1].in, 0), Sizes().detailSizeField);
    EXPECT_EQ(details[1].devInfoSize, Sizes().devInfoData);
    EXPECT_EQ(details[3].outSize, second.size() + 5);
    const auto walk = calls->CallsTo("SetupDiEnumDeviceInterfaces");
    EXPECT_EQ(walk[2].index, 2u);
}

TEST_P(Win32Backend, OtherEnumerationFailuresArePassedOver) {
    AddDevice("one");
    AddDevice("two");
    AddDevice("three");
    calls->failingIndexes[1] = error::GenFailure;
    EXPECT_EQ(core->PresentInterfaces(DriverInterfaceGuid), (Names{"one", "three"}));
    EXPECT_EQ(calls->CallsTo("SetupDiEnumDeviceInterfaces").size(), 4u);
}

TEST_P(Win32Backend, AWalkThatNeverEndsIsBounded) {
    for (std::uint32_t i = 0; i < 2 * Win32DriverCore::kMaxInterfaceIndex; ++i)
        calls->failingIndexes[i] = error::GenFailure;
    EXPECT_TRUE(core->PresentInterfaces(DriverInterfaceGuid).empty());
    EXPECT_EQ(calls->CallsTo("SetupDiEnumDeviceInterfaces").size(),
              Win32DriverCore::kMaxInterfaceIndex);
    EXPECT_EQ(calls->OpenLists(), 0u);
}

TEST_P(Win32Backend, AnInterfaceWithoutAPathCountsButDoesNotOpen) {
    AddDevice("lost");
    AddDevice("kept");
    calls->unreadableDetails.insert(0);
    EXPECT_EQ(core->PresentInterfaces(DriverInterfaceGuid), (Names{"", "kept"}));
    UsbDevice device(0, DriverInterfaceGuid, false, *core);
    EXPECT_EQ(device.DeviceCount(), 2);
    EXPECT_FALSE(device.Open(0));
    EXPECT_EQ(device.OpenError, error::FileNotFound);  // what the system said about ""
    EXPECT_TRUE(device.Open(1));
}

TEST_P(Win32Backend, AListThatCannotBeMadeFindsNothing) {
    AddDevice("one");
    calls->failClassDevs = true;
    EXPECT_TRUE(core->PresentInterfaces(DriverInterfaceGuid).empty());
    EXPECT_EQ(calls->Functions(), Names{"SetupDiGetClassDevsA"});
}

TEST_P(Win32Backend, OpensForOverlappedReadingAndWriting) {
    AddDevice("dongle");
    std::uint32_t error = 99;
    const Handle handle = core->OpenDevice("dongle", error);
    ASSERT_NE(handle, InvalidHandle);
    EXPECT_EQ(error, 0u);
    const auto open = calls->CallsTo("CreateFileA").at(0);
    EXPECT_EQ(open.text, "dongle");
    EXPECT_EQ(open.flags, 0xC0000000u);  // GENERIC_READ | GENERIC_WRITE
    EXPECT_EQ(open.share, 3u);           // FILE_SHARE_READ | FILE_SHARE_WRITE
    EXPECT_EQ(open.creation, 3u);        // OPEN_EXISTING
    EXPECT_EQ(open.index, 0x40000000u);  // FILE_FLAG_OVERLAPPED
    EXPECT_TRUE(core->CloseDevice(handle));
    EXPECT_EQ(calls->Functions().back(), "CloseHandle");
    EXPECT_FALSE(core->CloseDevice(handle));
}

TEST_P(Win32Backend, OpenFailureCarriesTheSystemError) {
    AddDevice("dongle");
    fake->devices[0].openError = error::AccessDenied;
    std::uint32_t error = 0;
    EXPECT_EQ(core->OpenDevice("dongle", error), InvalidHandle);
    EXPECT_EQ(error, error::AccessDenied);
}

TEST_P(Win32Backend, OpeningADeviceSendsTheDescriptorAndDriverRequests) {
    AddDevice("dongle");
    UsbDevice device(0, DriverInterfaceGuid, true, *core);
    ASSERT_TRUE(device.IsOpen());
    EXPECT_EQ(device.VendorId, 0x04B4);
    EXPECT_EQ(device.ProductId, 0x1004);
    const auto io = IoControls();
    ASSERT_FALSE(io.empty());

    // The device descriptor request: header and room for 18 bytes, one buffer in and out.
    const auto& first = io[0];
    EXPECT_EQ(first.code, 0x220020u);
    EXPECT_TRUE(first.sameBuffer);
    Bytes header = {0x80, 0x06, 0x00, 0x01, 0x00, 0x00, 0x12, 0x00, 0x05, 0x00, 0x00, 0x00, 0x00,
                    0x00, 0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,
                    0,    0,    0,    0,    0x26, 0x00, 0x00, 0x00, 0x12, 0x00, 0x00, 0x00};
    header.resize(38 + 18, 0);
    EXPECT_EQ(first.in, header);

    // The driver's own requests, each with its output size, in the order of opening.
    std::vector<std::pair<std::uint32_t, std::size_t>> driverRequests;
    for (const auto& call : io)
        if (call.code != ioctl::ControlTransfer)
            driverRequests.emplace_back(call.code, call.outSize);
    const std::vector<std::pair<std::uint32_t, std::size_t>> expected = {
        {0x220010, 1}, {0x22003C, 256}, {0x220040, 256},
        {0x220000, 4}, {0x220004, 4},   {0x220008, 1}};
    EXPECT_EQ(driverRequests, expected);

    // Every one of these synchronous calls had an event of its own, closed afterwards.
    const auto events = calls->CallsTo("CreateEventA");
    EXPECT_EQ(events.size(), io.size());
    for (const auto& e : events) {
        EXPECT_TRUE(e.manualReset);
        EXPECT_FALSE(e.initialState);
    }
    EXPECT_EQ(calls->CallsTo("CloseHandle").size(), io.size());
    EXPECT_NE(io[0].event, 0);
    EXPECT_EQ(calls->LiveRecords(), 0u);
}

TEST_P(Win32Backend, ATransactionQueuesTheReadFirstOnItsOwnEvents) {
    AddDevice("dongle");
    fake->devices[0].onList = [](std::span<const std::uint8_t>) {
        return std::optional<Bytes>(Bytes{0x05, 0x01, 0x02, 0x00});
    };
    SetActiveDriver(core);
    const Bytes command = {0x01, 0x03, 0x02};
    std::array<std::uint8_t, 4> reply{};
    const std::size_t before = calls->calls.size();
    ASSERT_TRUE(WriterTransaction(command, reply));
    EXPECT_EQ(reply, (std::array<std::uint8_t, 4>{0x05, 0x01, 0x02, 0x00}));

    // The transaction's own pair of auto-reset events, beside the manual-reset ones of the
    // synchronous calls.
    std::vector<Win32CallsOverDriver::Call> pair;
    for (const auto& c : calls->CallsTo("CreateEventA"))
        if (!c.manualReset) pair.push_back(c);
    ASSERT_EQ(pair.size(), 2u);
    for (const auto& c : pair)
        EXPECT_FALSE(c.initialState);

    std::vector<Win32CallsOverDriver::Call> bulk;
    for (const auto& c : IoControls(before))
        if (c.code == ioctl::DirectTransfer) bulk.push_back(c);
    ASSERT_EQ(bulk.size(), 2u);
    Bytes inHeader(38, 0);
    inHeader[13] = 0x86;
    EXPECT_EQ(bulk[0].in, inHeader);
    EXPECT_EQ(bulk[0].outSize, reply.size());
    Bytes outHeader(38, 0);
    outHeader[13] = 0x02;
    EXPECT_EQ(bulk[1].in, outHeader);
    EXPECT_EQ(bulk[1].outSize, 512u);  // the list padded to a whole packet
    EXPECT_NE(bulk[0].record, bulk[1].record);
    EXPECT_NE(bulk[0].event, bulk[1].event);

    // OUT went through at once; the read, still pending then, is waited for on its own event,
    // a slice at a time.
    std::vector<Win32CallsOverDriver::Call> waits;
    for (std::size_t i = before; i < calls->calls.size(); ++i)
        if (calls->calls[i].function == "WaitForSingleObject") waits.push_back(calls->calls[i]);
    ASSERT_EQ(waits.size(), 1u);
    EXPECT_EQ(waits[0].handle, bulk[0].event);
    EXPECT_EQ(waits[0].milliseconds, static_cast<std::uint32_t>(kPumpSlice.count()));
    EXPECT_EQ(core->TrackedRequests(), 0u);  // the device was closed
    EXPECT_EQ(calls->LiveRecords(), 0u);
}

TEST_P(Win32Backend, ARefusedSubmissionIsNeverAskedAboutAgain) {
    AddDevice("dongle");
    std::uint32_t error = 0;
    const Handle handle = core->OpenDevice("dongle", error);
    Bytes header(38, 0);
    Overlapped overlapped{core->CreateEventObject(false, false), 0};
    calls->refuseIoControl = {error::DeviceNotConnected};
    const IoResult submitted =
        core->DeviceIoControl(handle, ioctl::DirectTransfer, header, header, &overlapped);
    EXPECT_FALSE(submitted.ok);
    EXPECT_EQ(submitted.error, error::DeviceNotConnected);
    // The system never took the request, so its record would read "in progress" for ever.
    for (const bool wait : {false, true}) {
        const IoResult r = core->GetOverlappedResult(handle, overlapped, wait);
        EXPECT_FALSE(r.ok);
        EXPECT_EQ(r.error, error::DeviceNotConnected);
    }
    EXPECT_TRUE(calls->CallsTo("GetOverlappedResult").empty());
    core->CloseEvent(overlapped.hEvent);
    core->CloseDevice(handle);
}

TEST_P(Win32Backend, APendingRequestKeepsItsRecordUntilTheDeviceCloses) {
    AddDevice("dongle");
    std::uint32_t error = 0;
    const Handle handle = core->OpenDevice("dongle", error);
    Bytes header(38, 0);
    header[13] = 0x86;
    Bytes data(64, 0);
    Overlapped overlapped{core->CreateEventObject(false, false), 0};
    calls->holdRequests = true;
    const IoResult submitted =
        core->DeviceIoControl(handle, ioctl::DirectTransfer, header, data, &overlapped);
    EXPECT_EQ(submitted.error, error::IoPending);
    EXPECT_EQ(core->GetOverlappedResult(handle, overlapped, false).error, error::IoIncomplete);
    EXPECT_EQ(core->TrackedRequests(), 1u);

    // The same record cannot carry a second request while the system still holds it.
    const std::size_t ioBefore = IoControls().size();
    EXPECT_EQ(core->DeviceIoControl(handle, ioctl::DirectTransfer, header, data, &overlapped).error,
              error::InvalidParameter);
    EXPECT_EQ(IoControls().size(), ioBefore);

    // Closing cancels it and sees it complete before the handle goes and the record is freed.
    const std::size_t before = calls->calls.size();
    EXPECT_TRUE(core->CloseDevice(handle));
    Names after;
    for (std::size_t i = before; i < calls->calls.size(); ++i)
        after.push_back(calls->calls[i].function);
    EXPECT_EQ(after,
              (Names{"GetOverlappedResult", "CancelIoEx", "GetOverlappedResult", "CloseHandle"}));
    EXPECT_EQ(core->TrackedRequests(), 0u);
    EXPECT_EQ(calls->LiveRecords(), 0u);
    core->CloseEvent(overlapped.hEvent);
}

TEST_P(Win32Backend, ASynchronousRequestThatGoesPendingIsWaitedFor) {
    AddDevice("dongle");
    std::uint32_t error = 0;
    const Handle handle = core->OpenDevice("dongle", error);
    calls->holdRequests = true;
    std::array<std::uint8_t, 1> address{};
    const std::size_t before = calls->calls.size();
    const IoResult r = core->DeviceIoControl(handle, ioctl::GetAddress, address, address, nullptr);
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.bytes, 1u);
    EXPECT_EQ(address[0], 3);
    Names made;
    for (std::size_t i = before; i < calls->calls.size(); ++i)
        made.push_back(calls->calls[i].function);
    EXPECT_EQ(made,
              (Names{"CreateEventA", "DeviceIoControl", "GetOverlappedResult", "CloseHandle"}));
    EXPECT_TRUE(calls->calls[before + 2].wait);
    core->CloseDevice(handle);
}

TEST_P(Win32Backend, DestroyingTheBackendSettlesWhatIsPending) {
    AddDevice("dongle");
    std::uint32_t error = 0;
    const Handle handle = core->OpenDevice("dongle", error);
    calls->holdRequests = true;
    Bytes header(38, 0);
    Bytes data(8, 0);
    Overlapped overlapped{0, 0};
    core->DeviceIoControl(handle, ioctl::DirectTransfer, header, data, &overlapped);
    core.reset();
    EXPECT_EQ(calls->CallsTo("CancelIoEx").size(), 1u);
    EXPECT_EQ(calls->LiveRecords(), 0u);
}

TEST_P(Win32Backend, NotificationFiltersForTheWindow) {
    AddDevice("dongle");
    constexpr WindowHandle kWindow = 0x1234;
    {
        UsbDevice device(kWindow, DriverInterfaceGuid, true, *core);
        ASSERT_TRUE(device.IsOpen());
        const auto registered = calls->CallsTo("RegisterDeviceNotificationA");
        ASSERT_EQ(registered.size(), 2u);
        EXPECT_EQ(registered[0].window, kWindow);
        EXPECT_EQ(registered[0].flags, 0u);  // DEVICE_NOTIFY_WINDOW_HANDLE
        EXPECT_EQ(registered[0].in, InterfaceFilter(DriverInterfaceGuid));
        EXPECT_EQ(registered[1].window, kWindow);
        EXPECT_EQ(registered[1].in, HandleFilter(device.DeviceHandle, GetParam()));
        EXPECT_EQ(registered[1].in.size(), Sizes().handleFilter);
        EXPECT_EQ(fake->registrations, 2u);  // both filters were understood
        device.Release();
    }
    EXPECT_EQ(calls->CallsTo("UnregisterDeviceNotification").size(), 2u);
}

INSTANTIATE_TEST_SUITE_P(PointerWidths, Win32Backend, ::testing::Values(32u, 64u),
                         [](const auto& p) { return "bits" + std::to_string(p.param); });

// --- Port IDs ----------------------------------------------------------------------------------

// Three virtual dongles as the system reports their places: with location paths, or (older
// systems) the last hub's port only. Each gets its port's ID, and a selection by that ID opens
// and talks to that dongle alone.
class Win32PortIds : public ::testing::TestWithParam<bool> {
  protected:
    void SetUp() override {
        for (int i = 0; i < 3; ++i)
            dongles.push_back(std::make_shared<sim::VirtualDongle>());
        for (const auto& dongle : dongles)
            virtualDriver->Attach(dongle);
        calls = std::make_shared<Win32CallsOverDriver>(virtualDriver, kNativePointerBits);
        calls->locationPaths = GetParam();
        core = std::make_shared<Win32DriverCore>(calls);
    }
    void TearDown() override { SetActiveDriver(nullptr); }

    std::shared_ptr<sim::VirtualDriver> virtualDriver = std::make_shared<sim::VirtualDriver>();
    std::vector<std::shared_ptr<sim::VirtualDongle>> dongles;
    std::shared_ptr<Win32CallsOverDriver> calls;
    std::shared_ptr<Win32DriverCore> core;
};

TEST_P(Win32PortIds, EachDongleIsNamedByItsPortAndSelectedAlone) {
    const std::string stem = GetParam() ? "usb:14.0-" : "usb:hub1-";
    const std::vector<DeviceLocation> found = core->LocateInterfaces(DriverInterfaceGuid);
    const std::vector<DeviceLocation> inner = virtualDriver->LocateInterfaces(DriverInterfaceGuid);
    ASSERT_EQ(found.size(), 3u);
    for (std::size_t i = 0; i < 3; ++i)
        EXPECT_EQ(found[i], (DeviceLocation{inner[i].path, stem + std::to_string(i + 1)}));

    SetActiveDriver(std::make_shared<SelectedDeviceDriver>(core, stem + "2"));
    std::array<std::uint8_t, 4> version{};
    EXPECT_TRUE(QueryHardwareVersion(version));
    EXPECT_EQ(dongles[0]->ExchangeCount() + dongles[2]->ExchangeCount(), 0u);
    EXPECT_EQ(dongles[1]->ExchangeCount(), 1u);
    for (const auto& open : calls->CallsTo("CreateFileA"))
        EXPECT_EQ(open.text, inner[1].path);
}

INSTANTIATE_TEST_SUITE_P(LocationForms, Win32PortIds, ::testing::Bool(),
                         [](const auto& p) { return p.param ? "Paths" : "LastHubOnly"; });

// What the system may report: the ID of a USB port, or none for anything else, never a guess.
TEST(Win32PortIds, LocationTextsGiveAPortIdOrNone) {
    const std::pair<const char*, const char*> paths[] = {
        {"PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(2)#USB(1)", "usb:14.0-2.1"},
        {"PCIROOT(0)#PCI(1C04)#PCI(0000)#USBROOT(0)#USB(13)", "usb:1c.4/00.0-13"},
        {"ACPI(_SB_)#ACPI(PCI0)#ACPI(XHC_)#ACPI(RHUB)#ACPI(HS03)", ""},
        {"PCIROOT(0)#PCI(1400)#USBROOT(0)", ""},
        {"PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(x)", ""},
        {"PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(1234)", ""},
        {"PCIROOT(0)#USBROOT(0)#USB(2)#USBROOT(0)#USB(1)", ""},
        {"PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(2", ""},
        {"#", ""},
        {"", ""},
    };
    for (const auto& [text, id] : paths)
        EXPECT_EQ(IdFromLocationPath(text), id) << text;
    const std::pair<const char*, const char*> information[] = {
        {"Port_#0002.Hub_#0001", "usb:hub1-2"},
        {"Port_#0000.Hub_#0001", ""},
        {"Port_#.Hub_#0001", ""},
        {"Port_#00002.Hub_#0001", ""},
        {"Hub_#0001", ""},
    };
    for (const auto& [text, id] : information)
        EXPECT_EQ(IdFromLocationInformation(text), id) << text;
}

}  // namespace
}  // namespace qdm::usb::win32
