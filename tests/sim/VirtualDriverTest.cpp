// The driver adapter, driven with raw DeviceIoControl calls: enumeration and handles, the
// request header of control and bulk transfers, overlapped completion, events and virtual time,
// abort, reset, unplug, and the test hooks.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>

#include "sim/K3r8Board.h"
#include "sim/Simulation.h"
#include "tests/sim/SimTestSupport.h"

namespace qdm::sim {
namespace {

using test::Bytes;
using test::List;
using usb::DriverInterfaceGuid;
using usb::IoResult;
using usb::Overlapped;
using usb::TransferRequest;
using usb::WaitResult;
namespace ioctl = usb::ioctl;
namespace error = usb::error;

constexpr std::size_t kHeader = usb::kTransferRequestSize;

std::uint32_t NtStatusOf(const Bytes& header) {
    return usb::LoadLe32(header, usb::header::NtStatus);
}
std::uint32_t UsbdStatusOf(const Bytes& header) {
    return usb::LoadLe32(header, usb::header::UsbdStatus);
}

Bytes ControlRequest(std::uint8_t type, std::uint8_t request, std::uint16_t value,
                     std::uint16_t index, std::uint16_t length) {
    TransferRequest r;
    r.bmRequestType = type;
    r.bRequest = request;
    r.wValue = value;
    r.wIndex = index;
    r.wLength = length;
    r.TimeOut = 5;
    r.BufferOffset = kHeader;
    r.BufferLength = length;
    return test::Header(r, length);
}

Bytes BulkHeader(std::uint8_t endpoint, std::uint32_t bufferedLength = 0, bool buffered = false) {
    TransferRequest r;
    r.EndpointAddress = endpoint;
    if (buffered) {
        r.BufferOffset = kHeader;
        r.BufferLength = bufferedLength;
    }
    return test::Header(r, buffered ? bufferedLength : 0);
}

class Driver : public ::testing::Test {
  protected:
    void SetUp() override {
        auto made = MakeSimulation("k3r8");
        ASSERT_TRUE(made);
        sim = std::move(*made);
    }
    VirtualDriver& driver() { return *sim.driver; }
    VirtualDongle& dongle() { return *sim.dongle; }

    usb::Handle Open() {
        const auto paths = driver().PresentInterfaces(DriverInterfaceGuid);
        EXPECT_FALSE(paths.empty());
        if (paths.empty()) return usb::InvalidHandle;
        std::uint32_t err = 99;
        const usb::Handle h = driver().OpenDevice(paths[0], err);
        EXPECT_EQ(err, error::Success);
        return h;
    }
    IoResult VendorWrite(usb::Handle h, std::uint16_t address, const Bytes& data) {
        Bytes request =
            ControlRequest(0x40, 0xA0, address, 0, static_cast<std::uint16_t>(data.size()));
        std::copy(data.begin(), data.end(), request.begin() + kHeader);
        return driver().DeviceIoControl(h, ioctl::ControlTransfer, request, request, nullptr);
    }
    void LoadStandIn(usb::Handle h) {
        VendorWrite(h, kCpuControlAddress, {0x01});
        for (const auto& r : StandInFirmwareRecords())
            VendorWrite(h, r.address, r.data);
        VendorWrite(h, kCpuControlAddress, {0x00});
    }

    Simulation sim;
};

// --- Enumeration and handles --------------------------------------------------------------------

TEST_F(Driver, EnumeratesPluggedDonglesOfTheDriverClassOnly) {
    EXPECT_EQ(driver().PresentInterfaces(DriverInterfaceGuid).size(), 1U);
    usb::Guid other = DriverInterfaceGuid;
    other.Data1 ^= 1;
    EXPECT_TRUE(driver().PresentInterfaces(other).empty());
    const auto second = std::make_shared<VirtualDongle>();
    const std::string path = driver().Attach(second);
    auto paths = driver().PresentInterfaces(DriverInterfaceGuid);
    ASSERT_EQ(paths.size(), 2U);
    EXPECT_EQ(paths[1], path);
    EXPECT_NE(paths[0], paths[1]);
    dongle().Unplug();
    paths = driver().PresentInterfaces(DriverInterfaceGuid);
    ASSERT_EQ(paths.size(), 1U);
    EXPECT_EQ(paths[0], path);
}

TEST_F(Driver, OpenFailures) {
    const std::string path = driver().PresentInterfaces(DriverInterfaceGuid)[0];
    std::uint32_t err = 0;
    EXPECT_EQ(driver().OpenDevice("\\\\?\\nothing", err), usb::InvalidHandle);
    EXPECT_EQ(err, error::FileNotFound);
    driver().InjectOpenFailure(error::AccessDenied);
    EXPECT_EQ(driver().OpenDevice(path, err), usb::InvalidHandle);
    EXPECT_EQ(err, error::AccessDenied);
    driver().InjectOpenFailure(error::Busy, 2);
    EXPECT_EQ(driver().OpenDevice(path, err), usb::InvalidHandle);
    EXPECT_EQ(driver().OpenDevice(path, err), usb::InvalidHandle);
    EXPECT_EQ(err, error::Busy);
    const usb::Handle h = driver().OpenDevice(path, err);
    EXPECT_NE(h, usb::InvalidHandle);
    EXPECT_EQ(err, error::Success);
    dongle().Unplug();
    EXPECT_EQ(driver().OpenDevice(path, err), usb::InvalidHandle);
    EXPECT_EQ(err, error::FileNotFound);
    EXPECT_EQ(driver().OpensAttempted(), 6U);
}

TEST_F(Driver, CloseAndItsFailureHook) {
    const usb::Handle h = Open();
    driver().SetCloseDeviceFails(true);
    EXPECT_FALSE(driver().CloseDevice(h));
    EXPECT_EQ(driver().OpenHandles(), 1U);
    driver().SetCloseDeviceFails(false);
    EXPECT_TRUE(driver().CloseDevice(h));
    EXPECT_FALSE(driver().CloseDevice(h));
    Bytes out(4);
    EXPECT_EQ(driver().DeviceIoControl(h, ioctl::GetDriverVersion, {}, out, nullptr).error,
              error::InvalidHandle);
}

// --- Device-level requests ----------------------------------------------------------------------

TEST_F(Driver, InfoRequests) {
    const usb::Handle h = Open();
    Bytes four(4);
    auto r = driver().DeviceIoControl(h, ioctl::GetDriverVersion, {}, four, nullptr);
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.bytes, 4U);
    EXPECT_EQ(four, (Bytes{0x00, 0x05, 0x05, 0x01}));
    driver().SetDriverVersion(0x01050400);
    driver().DeviceIoControl(h, ioctl::GetDriverVersion, {}, four, nullptr);
    EXPECT_EQ(usb::LoadLe32(four, 0), 0x01050400U);
    EXPECT_TRUE(driver().DeviceIoControl(h, ioctl::GetUsbdiVersion, {}, four, nullptr).ok);
    EXPECT_EQ(usb::LoadLe32(four, 0), VirtualDriver::kDefaultUsbdiVersion);

    Bytes one(1, 0xEE);
    EXPECT_EQ(driver().DeviceIoControl(h, ioctl::GetAltInterfaceSetting, {}, one, nullptr).bytes,
              1U);
    EXPECT_EQ(one[0], 0);
    driver().SetAltInterfaceSetting(3);
    driver().DeviceIoControl(h, ioctl::GetAltInterfaceSetting, {}, one, nullptr);
    EXPECT_EQ(one[0], 3);
    EXPECT_TRUE(driver().DeviceIoControl(h, ioctl::GetAddress, {}, one, nullptr).ok);
    EXPECT_NE(one[0], 0);

    Bytes name(256, 0xEE);
    r = driver().DeviceIoControl(h, ioctl::GetFriendlyName, {}, name, nullptr);
    EXPECT_EQ(r.bytes, 256U);
    const std::string friendly(reinterpret_cast<const char*>(name.data()));
    EXPECT_EQ(friendly, dongle().Config().product);
    EXPECT_EQ(name.back(), 0);
    EXPECT_TRUE(driver().DeviceIoControl(h, ioctl::GetDeviceName, {}, name, nullptr).ok);
    EXPECT_NE(name[0], 0);

    Bytes small(2);
    EXPECT_EQ(driver().DeviceIoControl(h, ioctl::GetDriverVersion, {}, small, nullptr).error,
              error::InvalidParameter);
    EXPECT_EQ(driver().DeviceIoControl(h, 0x220099, {}, four, nullptr).error,
              error::InvalidParameter);
}

TEST_F(Driver, ControlTransferReadsDescriptorBehindTheHeader) {
    const usb::Handle h = Open();
    Bytes request = ControlRequest(0x80, 6, 0x0100, 0, 18);
    const auto r = driver().DeviceIoControl(h, ioctl::ControlTransfer, request, request, nullptr);
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.bytes, kHeader + 18);
    EXPECT_EQ(NtStatusOf(request), 0U);
    EXPECT_EQ(UsbdStatusOf(request), 0U);
    EXPECT_EQ(Bytes(request.begin() + kHeader, request.end()), dongle().DeviceDescriptor());
}

TEST_F(Driver, ControlTransferWithSeparateBuffersMirrorsTheHeader) {
    const usb::Handle h = Open();
    Bytes in = ControlRequest(0x80, 6, 0x0200, 0, 9);
    Bytes out(kHeader + 9, 0xEE);
    ASSERT_TRUE(driver().DeviceIoControl(h, ioctl::ControlTransfer, in, out, nullptr).ok);
    EXPECT_EQ(TransferRequest::ReadFrom(out).wValue, 0x0200);
    EXPECT_EQ(out[kHeader + 1], 2);
}

TEST_F(Driver, ControlStallFailsWithBusStatus) {
    const usb::Handle h = Open();
    Bytes request = ControlRequest(0x80, 6, 0x0309, 0x0409, 2);
    const auto r = driver().DeviceIoControl(h, ioctl::ControlTransfer, request, request, nullptr);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.error, error::GenFailure);
    EXPECT_EQ(UsbdStatusOf(request), usb::status::UsbdStall);
    EXPECT_NE(NtStatusOf(request), 0U);
}

TEST_F(Driver, ControlTransferBuffersAreBoundsChecked) {
    const usb::Handle h = Open();
    Bytes shortHeader(20);
    EXPECT_EQ(driver()
                  .DeviceIoControl(h, ioctl::ControlTransfer, shortHeader, shortHeader, nullptr)
                  .error,
              error::InvalidParameter);
    Bytes request = ControlRequest(0x80, 6, 0x0100, 0, 18);
    request.resize(kHeader + 4);  // wLength 18 does not fit
    EXPECT_EQ(driver().DeviceIoControl(h, ioctl::ControlTransfer, request, request, nullptr).error,
              error::InvalidParameter);
}

TEST_F(Driver, FirmwareLoadThroughTheDriverStartsTheWriter) {
    const usb::Handle h = Open();
    LoadStandIn(h);
    EXPECT_EQ(dongle().State(), FirmwareState::Writer);
    EXPECT_EQ(dongle().ControlLog().front().data, Bytes{0x01});
    EXPECT_EQ(dongle().ControlLog().back().data, Bytes{0x00});
}

// --- Bulk transfers and overlapped completion ---------------------------------------------------

class Bulk : public Driver {
  protected:
    void SetUp() override {
        Driver::SetUp();
        h = Open();
        LoadStandIn(h);
    }
    usb::Handle h = usb::InvalidHandle;
};

TEST_F(Bulk, DirectInPendsUntilTheListArrives) {
    usb::Event inEvent(driver());
    usb::Event outEvent(driver());
    Overlapped inOv{inEvent.handle(), 0};
    Overlapped outOv{outEvent.handle(), 0};
    Bytes inHeader = BulkHeader(0x86);
    Bytes reply(2, 0xEE);
    auto in = driver().DeviceIoControl(h, ioctl::DirectTransfer, inHeader, reply, &inOv);
    EXPECT_FALSE(in.ok);
    EXPECT_EQ(in.error, error::IoPending);
    EXPECT_EQ(driver().EventSignalled(inEvent.handle()), false);
    EXPECT_EQ(driver().GetOverlappedResult(h, inOv, false).error, error::IoIncomplete);
    EXPECT_EQ(driver().PendingRequests(), 1U);

    Bytes outHeader = BulkHeader(0x02);
    Bytes list = List().Add({0x01, 0x02, 0x02, 0x00}).Padded();
    auto out = driver().DeviceIoControl(h, ioctl::DirectTransfer, outHeader, list, &outOv);
    EXPECT_TRUE(out.ok);
    EXPECT_EQ(out.bytes, 512U);
    EXPECT_EQ(driver().WaitForEvent(outEvent.handle(), 2000), WaitResult::Signalled);
    EXPECT_EQ(driver().WaitForEvent(inEvent.handle(), 2000), WaitResult::Signalled);
    EXPECT_EQ(driver().ElapsedMilliseconds(), 0U);

    const auto done = driver().GetOverlappedResult(h, inOv, false);
    EXPECT_TRUE(done.ok);
    EXPECT_EQ(done.bytes, 2U);
    EXPECT_EQ(reply, (Bytes{0x14, 0x02}));
    EXPECT_EQ(NtStatusOf(inHeader), 0U);
    EXPECT_EQ(driver().GetOverlappedResult(h, outOv, true).bytes, 512U);
    EXPECT_EQ(driver().PendingRequests(), 0U);
}

TEST_F(Bulk, BufferedTransfersCarryDataBehindTheHeader) {
    usb::Event event(driver());
    Overlapped inOv{event.handle(), 0};
    Bytes in = BulkHeader(0x86, 4, true);
    ASSERT_EQ(driver().DeviceIoControl(h, ioctl::BufferedTransfer, in, in, &inOv).error,
              error::IoPending);
    const Bytes list = List().Add({0x01, 0x03, 0x02, 0x00}).Padded();
    Bytes out = BulkHeader(0x02, 512, true);
    std::copy(list.begin(), list.end(), out.begin() + kHeader);
    const auto sent = driver().DeviceIoControl(h, ioctl::BufferedTransfer, out, out, nullptr);
    EXPECT_TRUE(sent.ok);
    EXPECT_EQ(sent.bytes, kHeader + 512);
    const auto got = driver().GetOverlappedResult(h, inOv, false);
    EXPECT_TRUE(got.ok);
    EXPECT_EQ(got.bytes, kHeader + 4);
    EXPECT_EQ(Bytes(in.begin() + kHeader, in.end()), (Bytes{0x05, 0x01, 0x00, 0x00}));
}

TEST_F(Bulk, BufferedRequestBoundsAreChecked) {
    Bytes lowOffset = BulkHeader(0x86, 4, true);
    usb::StoreLe32(lowOffset, usb::header::BufferOffset, 10);
    EXPECT_EQ(
        driver().DeviceIoControl(h, ioctl::BufferedTransfer, lowOffset, lowOffset, nullptr).error,
        error::InvalidParameter);
    Bytes tooLong = BulkHeader(0x86, 4, true);
    usb::StoreLe32(tooLong, usb::header::BufferLength, 5000);
    EXPECT_EQ(driver().DeviceIoControl(h, ioctl::BufferedTransfer, tooLong, tooLong, nullptr).error,
              error::InvalidParameter);
    Bytes shortHeader(12);
    Bytes data(4);
    EXPECT_EQ(driver().DeviceIoControl(h, ioctl::DirectTransfer, shortHeader, data, nullptr).error,
              error::InvalidParameter);
    EXPECT_EQ(dongle().PendingTransfers(), 0U);
}

TEST_F(Bulk, ImmediateCompletionSignalsTheEvent) {
    Bytes outHeader = BulkHeader(0x02);
    Bytes list = List().Add({0x15, 0x00}).Padded();
    ASSERT_TRUE(driver().DeviceIoControl(h, ioctl::DirectTransfer, outHeader, list, nullptr).ok);
    usb::Event event(driver());
    Overlapped ov{event.handle(), 0};
    Bytes header = BulkHeader(0x86);
    Bytes reply(1);
    const auto r = driver().DeviceIoControl(h, ioctl::DirectTransfer, header, reply, &ov);
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.error, error::Success);
    EXPECT_EQ(r.bytes, 1U);
    EXPECT_EQ(reply[0], 0x3F);
    EXPECT_EQ(driver().WaitForEvent(event.handle(), 0), WaitResult::Signalled);
    EXPECT_EQ(driver().WaitForEvent(event.handle(), 0), WaitResult::TimedOut);  // auto-reset
    EXPECT_TRUE(driver().GetOverlappedResult(h, ov, false).ok);
}

TEST_F(Bulk, TimeOutAdvancesVirtualClockWithoutSleeping) {
    usb::Event event(driver());
    Overlapped ov{event.handle(), 0};
    Bytes header = BulkHeader(0x86);
    Bytes reply(4);
    driver().DeviceIoControl(h, ioctl::DirectTransfer, header, reply, &ov);
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 100; ++i)
        EXPECT_EQ(driver().WaitForEvent(event.handle(), 2000), WaitResult::TimedOut);
    const auto wall = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(driver().ElapsedMilliseconds(), 200000U);
    EXPECT_LT(wall, std::chrono::seconds(2));
    EXPECT_EQ(driver().WaitForEvent(event.handle(), usb::kInfinite), WaitResult::Failed);
    EXPECT_EQ(driver().WaitForEvent(12345, 10), WaitResult::Failed);
}

TEST_F(Bulk, AbortPipeCompletesPendingWithOperationAborted) {
    usb::Event event(driver());
    Overlapped ov{event.handle(), 0};
    Bytes header = BulkHeader(0x86);
    Bytes reply(4, 0xEE);
    driver().DeviceIoControl(h, ioctl::DirectTransfer, header, reply, &ov);
    Bytes address{0x86};
    EXPECT_TRUE(driver().DeviceIoControl(h, ioctl::AbortPipe, address, {}, nullptr).ok);
    EXPECT_EQ(driver().WaitForEvent(event.handle(), usb::kInfinite), WaitResult::Signalled);
    const auto r = driver().GetOverlappedResult(h, ov, true);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.error, error::OperationAborted);
    EXPECT_EQ(r.bytes, 0U);
    EXPECT_EQ(NtStatusOf(header), usb::status::NtCancelled);
    EXPECT_EQ(reply, Bytes(4, 0xEE));
    EXPECT_EQ(driver().DeviceIoControl(h, ioctl::AbortPipe, {}, {}, nullptr).error,
              error::InvalidParameter);
}

TEST_F(Bulk, ResetPortClearsWaitingReplyBytes) {
    Bytes outHeader = BulkHeader(0x02);
    Bytes list = List().Add({0x01, 0x03}).Padded();
    driver().DeviceIoControl(h, ioctl::DirectTransfer, outHeader, list, nullptr);
    EXPECT_EQ(dongle().PendingReplyBytes(), 4U);
    EXPECT_TRUE(driver().DeviceIoControl(h, ioctl::ResetPort, {}, {}, nullptr).ok);
    EXPECT_EQ(dongle().PendingReplyBytes(), 0U);
    EXPECT_EQ(dongle().State(), FirmwareState::Writer);
}

TEST_F(Bulk, SynchronousInThatWouldNeverCompleteFails) {
    Bytes header = BulkHeader(0x86);
    Bytes reply(4);
    const auto r = driver().DeviceIoControl(h, ioctl::DirectTransfer, header, reply, nullptr);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.error, error::WaitTimeout);
    EXPECT_EQ(dongle().PendingTransfers(), 0U);
    EXPECT_EQ(driver().PendingRequests(), 0U);
}

TEST_F(Bulk, UnplugCompletesPendingAndKillsTheHandle) {
    usb::Event event(driver());
    Overlapped ov{event.handle(), 0};
    Bytes header = BulkHeader(0x86);
    Bytes reply(4);
    driver().DeviceIoControl(h, ioctl::DirectTransfer, header, reply, &ov);
    dongle().Unplug();
    EXPECT_EQ(driver().WaitForEvent(event.handle(), 2000), WaitResult::Signalled);
    const auto r = driver().GetOverlappedResult(h, ov, false);
    EXPECT_EQ(r.error, error::DeviceNotConnected);
    EXPECT_EQ(NtStatusOf(header), usb::status::NtNoSuchDevice);
    EXPECT_EQ(UsbdStatusOf(header), usb::status::UsbdDeviceGone);

    Bytes four(4);
    EXPECT_EQ(driver().DeviceIoControl(h, ioctl::GetDriverVersion, {}, four, nullptr).error,
              error::DeviceNotConnected);
    EXPECT_TRUE(driver().PresentInterfaces(DriverInterfaceGuid).empty());
    dongle().Plug();
    EXPECT_EQ(driver().DeviceIoControl(h, ioctl::GetDriverVersion, {}, four, nullptr).error,
              error::DeviceNotConnected);  // a handle from before the unplug stays dead
    const usb::Handle fresh = Open();
    EXPECT_TRUE(driver().DeviceIoControl(fresh, ioctl::GetDriverVersion, {}, four, nullptr).ok);
    EXPECT_TRUE(driver().CloseDevice(h));
}

TEST_F(Bulk, UnplugFaultMidTransaction) {
    dongle().UnplugAtExchange(1);
    usb::Event inEvent(driver());
    usb::Event outEvent(driver());
    Overlapped inOv{inEvent.handle(), 0};
    Overlapped outOv{outEvent.handle(), 0};
    Bytes inHeader = BulkHeader(0x86);
    Bytes outHeader = BulkHeader(0x02);
    Bytes reply(2);
    Bytes list = List().Add({0x01, 0x02}).Padded();
    driver().DeviceIoControl(h, ioctl::DirectTransfer, inHeader, reply, &inOv);
    const auto out = driver().DeviceIoControl(h, ioctl::DirectTransfer, outHeader, list, &outOv);
    EXPECT_EQ(out.error, error::DeviceNotConnected);
    EXPECT_EQ(driver().GetOverlappedResult(h, inOv, false).error, error::DeviceNotConnected);
    EXPECT_TRUE(driver().CloseDevice(h));
}

TEST_F(Bulk, ClosingAHandleAbandonsItsPendingRequests) {
    usb::Event event(driver());
    Overlapped ov{event.handle(), 0};
    Bytes header = BulkHeader(0x86);
    Bytes reply(2, 0xEE);
    driver().DeviceIoControl(h, ioctl::DirectTransfer, header, reply, &ov);
    const Bytes headerBefore = header;
    EXPECT_TRUE(driver().CloseDevice(h));
    EXPECT_EQ(dongle().PendingTransfers(), 0U);
    EXPECT_EQ(driver().PendingRequests(), 0U);
    EXPECT_EQ(header, headerBefore);  // nothing written after the close
    EXPECT_EQ(driver().EventSignalled(event.handle()), false);
    // a later list's reply goes nowhere near the abandoned buffer
    const usb::Handle other = Open();
    Bytes outHeader = BulkHeader(0x02);
    Bytes list = List().Add({0x01, 0x02}).Padded();
    driver().DeviceIoControl(other, ioctl::DirectTransfer, outHeader, list, nullptr);
    EXPECT_EQ(reply, Bytes(2, 0xEE));
    EXPECT_EQ(driver().GetOverlappedResult(h, ov, false).error, error::InvalidHandle);
}

TEST_F(Bulk, GetOverlappedResultOfAnUnknownRecord) {
    Overlapped ov{0, 777};
    EXPECT_EQ(driver().GetOverlappedResult(h, ov, false).error, error::InvalidParameter);
}

// --- Events -------------------------------------------------------------------------------------

TEST_F(Driver, EventsAreSeparateAndKeepTheirResetKind) {
    const auto a = driver().CreateEventObject(false, false);
    const auto b = driver().CreateEventObject(false, false);
    const auto manual = driver().CreateEventObject(true, true);
    EXPECT_EQ(driver().EventSignalled(manual), true);

    // a request completed through `a` signals `a` alone
    const usb::Handle h = Open();
    Overlapped ov{a, 0};
    Bytes four(4);
    EXPECT_TRUE(driver().DeviceIoControl(h, ioctl::GetDriverVersion, {}, four, &ov).ok);
    EXPECT_EQ(driver().EventSignalled(b), false);
    EXPECT_EQ(driver().WaitForEvent(a, 0), WaitResult::Signalled);
    EXPECT_EQ(driver().EventSignalled(a), false);  // auto-reset
    EXPECT_EQ(driver().WaitForEvent(manual, 0), WaitResult::Signalled);
    EXPECT_EQ(driver().WaitForEvent(manual, 0), WaitResult::Signalled);

    EXPECT_TRUE(driver().CloseEvent(a));
    EXPECT_FALSE(driver().CloseEvent(a));
    EXPECT_TRUE(driver().CloseEvent(b));
    EXPECT_TRUE(driver().CloseEvent(manual));
    EXPECT_EQ(driver().OpenEvents(), 0U);
}

// --- Notifications ------------------------------------------------------------------------------

TEST_F(Driver, NotificationsAreRecordedAndUnregisterCanFail) {
    const usb::Handle h = Open();
    const auto device = driver().RegisterInterfaceNotification(0x1234, DriverInterfaceGuid);
    const auto handle = driver().RegisterHandleNotification(0x1234, h);
    EXPECT_NE(device, 0);
    EXPECT_NE(handle, 0);
    EXPECT_EQ(driver().RegisterHandleNotification(0x1234, 0x999), 0);
    ASSERT_EQ(driver().Notifications().size(), 2U);
    EXPECT_EQ(driver().Notifications()[0].kind, NotificationRecord::Kind::Interface);
    EXPECT_EQ(driver().Notifications()[0].interfaceClass, DriverInterfaceGuid);
    EXPECT_EQ(driver().Notifications()[1].device, h);
    driver().SetUnregisterNotificationFails(true);
    EXPECT_FALSE(driver().UnregisterNotification(handle));
    driver().SetUnregisterNotificationFails(false);
    EXPECT_TRUE(driver().UnregisterNotification(handle));
    EXPECT_FALSE(driver().UnregisterNotification(handle));
    EXPECT_FALSE(driver().Notifications()[1].active);
}

// --- Factory ------------------------------------------------------------------------------------

TEST(SimulationFactory, BoardNames) {
    EXPECT_EQ(MakeSimulation("k3r8")->dongle->Board().Kind(), BoardKind::K3r8);
    EXPECT_EQ(MakeSimulation("k3r1")->dongle->Board().Kind(), BoardKind::K3r1);
    EXPECT_EQ(MakeSimulation("demoboard")->dongle->Board().Kind(), BoardKind::Demoboard);
    const auto mcurom = MakeSimulation("mcurom");
    ASSERT_TRUE(mcurom);
    EXPECT_EQ(mcurom->dongle->State(), FirmwareState::McuRom);
    EXPECT_EQ(mcurom->driver->PresentInterfaces(DriverInterfaceGuid).size(), 1U);
    EXPECT_FALSE(MakeSimulation("k3r9"));
    EXPECT_FALSE(MakeSimulation(""));
}

}  // namespace
}  // namespace qdm::sim
