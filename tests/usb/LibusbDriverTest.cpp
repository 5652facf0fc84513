// The libusb backend of the driver seam, request code by request code, through libusb's own
// code and the emulated kernel USB interface: header in, libusb transfer, completion, status
// words and byte counts out.

#include <gtest/gtest.h>
#include <time.h>

#include <chrono>
#include <thread>

#include "sim/UsbDescriptors.h"
#include "tests/kernel/KernelUsbEmulator.h"
#include "tests/support/FileAccessOverride.h"
#include "usb/LibusbDriver.h"
#include "usb/TransferRequest.h"
#include "usb/UsbDevice.h"

namespace qdm::usb {
namespace {

using Bytes = std::vector<std::uint8_t>;
using sim::kBulkInEndpoint;
using sim::kBulkOutEndpoint;

Bytes Header(const TransferRequest& request, std::size_t dataBytes = 0) {
    Bytes buffer(kTransferRequestSize + dataBytes, 0);
    request.WriteTo(buffer);
    return buffer;
}

TransferRequest Endpoint(std::uint8_t address) {
    TransferRequest h;
    h.EndpointAddress = address;
    return h;
}

std::uint32_t Nt(std::span<const std::uint8_t> header) {
    return LoadLe32(header, header::NtStatus);
}
std::uint32_t Usbd(std::span<const std::uint8_t> header) {
    return LoadLe32(header, header::UsbdStatus);
}

// The hardware-version query (01 03, end of group), padded to one block: 4 reply bytes.
Bytes VersionList() {
    Bytes list(512, 0);
    list[0] = 0x01;
    list[1] = 0x03;
    list[2] = 0x02;
    return list;
}

class LibusbDriverOverEmulatedKernel : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!sim::UnderUmockdevPreload()) GTEST_SKIP() << "needs libumockdev-preload.so.0";
        emulator_ = std::make_unique<sim::KernelUsbEmulator>();
    }
    void TearDown() override {
        driver_.reset();
        emulator_.reset();
    }
    // Attaches a dongle at root port `port`; the driver starts with the first Driver() call.
    std::shared_ptr<sim::VirtualDongle> Add(std::uint8_t port, sim::DongleConfig config = {}) {
        auto dongle = std::make_shared<sim::VirtualDongle>(std::move(config));
        emulator_->Attach(dongle, port);
        return dongle;
    }
    // Handles and events left open at the end go with the driver.
    LibusbDriver& Driver() {
        if (!driver_) driver_ = std::make_unique<LibusbDriver>();
        return *driver_;
    }
    EventHandle NewEvent(bool manualReset = false) {
        return Driver().CreateEventObject(manualReset, false);
    }
    // A direct read of `data.size()` bytes from the bulk IN endpoint, left pending.
    void StartRead(Handle h, Bytes& header, Bytes& data, Overlapped& overlapped) {
        header = Header(Endpoint(kBulkInEndpoint));
        ASSERT_EQ(
            Driver().DeviceIoControl(h, ioctl::DirectTransfer, header, data, &overlapped).error,
            error::IoPending);
    }
    Handle Open(std::uint32_t* error = nullptr) {
        const auto paths = Driver().PresentInterfaces(DriverInterfaceGuid);
        std::uint32_t e = 0;
        const Handle h = paths.empty() ? InvalidHandle : Driver().OpenDevice(paths[0], e);
        if (error != nullptr) *error = e;
        return h;
    }

    std::unique_ptr<sim::KernelUsbEmulator> emulator_;
    std::unique_ptr<LibusbDriver> driver_;
};

// --- Devices -----------------------------------------------------------------------------------

TEST_F(LibusbDriverOverEmulatedKernel, DongleVendorDevicesInPortOrder) {
    Add(3);
    sim::DongleConfig foreign;
    foreign.vendorId = 0x1234;
    Add(4, foreign);
    Add(2);
    EXPECT_EQ(Driver().PresentInterfaces(DriverInterfaceGuid),
              (std::vector<std::string>{"usb:1-2", "usb:1-3"}));
    EXPECT_TRUE(Driver().PresentInterfaces(Guid{1, 2, 3, {}}).empty());
}

TEST_F(LibusbDriverOverEmulatedKernel, OpenDetachesAKernelDriverClaimsAndCloseReleases) {
    Add(2);
    emulator_->BindKernelDriver(0, true);
    std::uint32_t error = 99;
    const Handle h = Open(&error);
    ASSERT_NE(h, InvalidHandle);
    EXPECT_EQ(error, error::Success);
    EXPECT_EQ(emulator_->Counters(0).detaches, 1U);
    EXPECT_EQ(emulator_->Counters(0).claims, 1U);
    EXPECT_EQ(Driver().OpenHandles(), 1U);
    EXPECT_TRUE(Driver().CloseDevice(h));
    EXPECT_FALSE(Driver().CloseDevice(h));
    EXPECT_EQ(Driver().OpenHandles(), 0U);
}

TEST_F(LibusbDriverOverEmulatedKernel, OpenFailuresSayWhy) {
    Add(2);
    std::uint32_t error = 0;
    EXPECT_EQ(Driver().OpenDevice("usb:1-7", error), InvalidHandle);
    EXPECT_EQ(error, error::FileNotFound);

    emulator_->RefuseOpen(0, true);
    {
        const test::WithoutFileAccessOverride unprivileged;
        EXPECT_EQ(Open(&error), InvalidHandle);
        EXPECT_EQ(error, error::AccessDenied);
    }
    emulator_->RefuseOpen(0, false);

    emulator_->HoldInterfaceElsewhere(0, true);
    EXPECT_EQ(Open(&error), InvalidHandle);
    EXPECT_EQ(error, error::Busy);
    EXPECT_EQ(Driver().OpenHandles(), 0U);

    emulator_->HoldInterfaceElsewhere(0, false);
    const Handle h = Open(&error);
    EXPECT_NE(h, InvalidHandle);
}

// --- Control requests (0x220020) ---------------------------------------------------------------

TEST_F(LibusbDriverOverEmulatedKernel, ControlInSynchronousReturnsHeaderAndData) {
    const auto dongle = Add(2);
    const Handle h = Open();
    ASSERT_NE(h, InvalidHandle);
    TransferRequest r;
    r.bmRequestType = 0x80;
    r.bRequest = 6;
    r.wValue = 0x0100;
    r.wLength = 64;  // more than the descriptor holds
    r.TimeOut = 5;
    r.BufferOffset = kTransferRequestSize;
    r.BufferLength = 64;
    Bytes request = Header(r, 64);
    request[header::NtStatus] = 0xFF;  // must be overwritten
    const IoResult result =
        Driver().DeviceIoControl(h, ioctl::ControlTransfer, request, request, nullptr);
    EXPECT_TRUE(result.ok);
    EXPECT_EQ(result.error, error::Success);
    EXPECT_EQ(result.bytes, kTransferRequestSize + 18);
    EXPECT_EQ(Nt(request), status::NtSuccess);
    EXPECT_EQ(Usbd(request), status::UsbdSuccess);
    EXPECT_TRUE(std::equal(dongle->DeviceDescriptor().begin(), dongle->DeviceDescriptor().end(),
                           request.begin() + kTransferRequestSize));
}

TEST_F(LibusbDriverOverEmulatedKernel, ControlOutOverlappedCompletesThroughTheEvent) {
    const auto dongle = Add(2);
    const Handle h = Open();
    TransferRequest r;
    r.bmRequestType = 0x40;
    r.bRequest = 0xA0;
    r.wValue = 0x1000;
    r.wLength = 3;
    r.TimeOut = 10;
    r.BufferOffset = kTransferRequestSize;
    r.BufferLength = 3;
    Bytes request = Header(r, 3);
    request[38] = 0xDE;
    request[39] = 0xAD;
    request[40] = 0x42;
    const EventHandle event = NewEvent();
    Overlapped overlapped{event, 0};
    const IoResult submitted =
        Driver().DeviceIoControl(h, ioctl::ControlTransfer, request, request, &overlapped);
    EXPECT_FALSE(submitted.ok);
    EXPECT_EQ(submitted.error, error::IoPending);
    EXPECT_EQ(Driver().WaitForEvent(event, 5000), WaitResult::Signalled);
    const IoResult done = Driver().GetOverlappedResult(h, overlapped, false);
    EXPECT_TRUE(done.ok);
    EXPECT_EQ(done.bytes, kTransferRequestSize + 3);
    EXPECT_EQ(Nt(request), status::NtSuccess);
    emulator_->WithDongle(0, [](sim::VirtualDongle& d) {
        EXPECT_EQ(d.Ram()[0x1000], 0xDE);
        EXPECT_EQ(d.Ram()[0x1002], 0x42);
    });
}

TEST_F(LibusbDriverOverEmulatedKernel, StalledControlRequestSetsTheStatusWords) {
    Add(2);
    const Handle h = Open();
    TransferRequest r;
    r.bmRequestType = 0xC0;
    r.bRequest = 0x55;  // no such vendor request
    r.wLength = 4;
    r.BufferOffset = kTransferRequestSize;
    r.BufferLength = 4;
    Bytes request = Header(r, 4);
    const IoResult result =
        Driver().DeviceIoControl(h, ioctl::ControlTransfer, request, request, nullptr);
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(result.error, error::GenFailure);
    EXPECT_EQ(Nt(request), status::NtUnsuccessful);
    EXPECT_EQ(Usbd(request), status::UsbdStall);
}

// --- Bulk transfers (0x22004B direct, 0x220024 buffered) ---------------------------------------

TEST_F(LibusbDriverOverEmulatedKernel, DirectReadQueuedBeforeTheListGetsTheReply) {
    Add(2);
    const Handle h = Open();
    const EventHandle inEvent = Driver().CreateEventObject(false, false);
    const EventHandle outEvent = Driver().CreateEventObject(false, false);
    Overlapped inOv{inEvent, 0};
    Overlapped outOv{outEvent, 0};
    Bytes inHeader = Header(Endpoint(kBulkInEndpoint));
    Bytes outHeader = Header(Endpoint(kBulkOutEndpoint));
    Bytes reply(4, 0xEE);
    Bytes list = VersionList();

    EXPECT_EQ(Driver().DeviceIoControl(h, ioctl::DirectTransfer, inHeader, reply, &inOv).error,
              error::IoPending);
    EXPECT_EQ(Driver().GetOverlappedResult(h, inOv, false).error, error::IoIncomplete);
    EXPECT_EQ(Driver().DeviceIoControl(h, ioctl::DirectTransfer, outHeader, list, &outOv).error,
              error::IoPending);
    EXPECT_EQ(Driver().WaitForEvent(outEvent, 5000), WaitResult::Signalled);
    EXPECT_EQ(Driver().WaitForEvent(inEvent, 5000), WaitResult::Signalled);
    const IoResult out = Driver().GetOverlappedResult(h, outOv, true);
    const IoResult in = Driver().GetOverlappedResult(h, inOv, true);
    EXPECT_TRUE(out.ok);
    EXPECT_EQ(out.bytes, 512U);
    EXPECT_TRUE(in.ok);
    EXPECT_EQ(in.bytes, 4U);
    EXPECT_EQ(reply, (Bytes{0x05, 0x01, 0x00, 0x00}));
    EXPECT_EQ(Nt(inHeader), status::NtSuccess);
    EXPECT_EQ(Usbd(outHeader), status::UsbdSuccess);
    EXPECT_EQ(Driver().PendingRequests(), 0U);
}

TEST_F(LibusbDriverOverEmulatedKernel, BufferedTransfersCarryTheDataBehindTheHeader) {
    Add(2);
    const Handle h = Open();
    const EventHandle event = NewEvent(true);
    Overlapped inOv{event, 0};
    TransferRequest inRequest = Endpoint(kBulkInEndpoint);
    inRequest.BufferOffset = kTransferRequestSize;
    inRequest.BufferLength = 4;
    Bytes in = Header(inRequest, 4);
    ASSERT_EQ(Driver().DeviceIoControl(h, ioctl::BufferedTransfer, in, in, &inOv).error,
              error::IoPending);
    TransferRequest outRequest = Endpoint(kBulkOutEndpoint);
    outRequest.BufferOffset = kTransferRequestSize;
    outRequest.BufferLength = 512;
    Bytes out = Header(outRequest, 512);
    const Bytes list = VersionList();
    std::copy(list.begin(), list.end(), out.begin() + kTransferRequestSize);
    const IoResult sent = Driver().DeviceIoControl(h, ioctl::BufferedTransfer, out, out, nullptr);
    EXPECT_TRUE(sent.ok);
    EXPECT_EQ(sent.bytes, kTransferRequestSize + 512);
    const IoResult got = Driver().GetOverlappedResult(h, inOv, true);
    EXPECT_TRUE(got.ok);
    EXPECT_EQ(got.bytes, kTransferRequestSize + 4);
    EXPECT_EQ(Bytes(in.begin() + kTransferRequestSize, in.end()), (Bytes{0x05, 0x01, 0x00, 0x00}));
    EXPECT_EQ(Nt(in), status::NtSuccess);
}

TEST_F(LibusbDriverOverEmulatedKernel, ZeroLengthReadCompletesAtOnce) {
    Add(2);
    const Handle h = Open();
    const EventHandle event = NewEvent();
    Overlapped ov{event, 0};
    Bytes header = Header(Endpoint(kBulkInEndpoint));
    const auto before = emulator_->Counters(0).submitted;
    const IoResult r = Driver().DeviceIoControl(h, ioctl::DirectTransfer, header, {}, &ov);
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.error, error::Success);
    EXPECT_EQ(r.bytes, 0U);
    EXPECT_EQ(Driver().WaitForEvent(event, 0), WaitResult::Signalled);
    EXPECT_TRUE(Driver().GetOverlappedResult(h, ov, false).ok);
    EXPECT_EQ(emulator_->Counters(0).submitted, before);  // nothing went to the device
}

// --- Abort pipe (0x220044), port reset (0x220030) ----------------------------------------------

TEST_F(LibusbDriverOverEmulatedKernel, AbortPipeCompletesThePendingReadAsAborted) {
    const auto dongle = Add(2);
    const Handle h = Open();
    const EventHandle event = NewEvent();
    Overlapped ov{event, 0};
    Bytes header;
    Bytes reply(8);
    StartRead(h, header, reply, ov);
    std::uint8_t address = kBulkInEndpoint;
    EXPECT_TRUE(Driver().DeviceIoControl(h, ioctl::AbortPipe, {&address, 1}, {}, nullptr).ok);
    // Abort returns once the transfer has completed.
    const IoResult r = Driver().GetOverlappedResult(h, ov, false);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.error, error::OperationAborted);
    EXPECT_EQ(r.bytes, 0U);
    EXPECT_EQ(Nt(header), status::NtCancelled);
    EXPECT_EQ(Usbd(header), status::UsbdCancelled);
    EXPECT_EQ(Driver().WaitForEvent(event, 0), WaitResult::Signalled);
    EXPECT_EQ(emulator_->Counters(0).discarded, 1U);
    EXPECT_EQ(emulator_->WithDongle(0, [](auto& d) { return d.PendingTransfers(); }), 0U);
}

TEST_F(LibusbDriverOverEmulatedKernel, ResetPortResetsTheDevice) {
    Add(2);
    const Handle h = Open();
    EXPECT_TRUE(Driver().DeviceIoControl(h, ioctl::ResetPort, {}, {}, nullptr).ok);
    EXPECT_EQ(emulator_->Counters(0).resets, 1U);
    EXPECT_EQ(emulator_->WithDongle(0, [](auto& d) { return d.PortResets(); }), 1U);
}

// --- Driver information ------------------------------------------------------------------------

TEST_F(LibusbDriverOverEmulatedKernel, InformationRequests) {
    Add(2);
    const Handle h = Open();
    Bytes four(4);
    EXPECT_EQ(Driver().DeviceIoControl(h, ioctl::GetDriverVersion, four, four, nullptr).bytes, 4U);
    EXPECT_GE(LoadLe32(four, 0), 0x01050500U);  // endpoints keep their direct mode
    EXPECT_TRUE(Driver().DeviceIoControl(h, ioctl::GetUsbdiVersion, four, four, nullptr).ok);
    EXPECT_NE(LoadLe32(four, 0), 0U);
    Bytes one(1, 0xFF);
    EXPECT_EQ(Driver().DeviceIoControl(h, ioctl::GetAltInterfaceSetting, one, one, nullptr).bytes,
              1U);
    EXPECT_EQ(one[0], 0);
    EXPECT_TRUE(Driver().DeviceIoControl(h, ioctl::GetAddress, one, one, nullptr).ok);
    EXPECT_EQ(one[0], 2);
    Bytes name(kDriverNameSize, 0xFF);
    EXPECT_EQ(Driver().DeviceIoControl(h, ioctl::GetDeviceName, name, name, nullptr).bytes,
              kDriverNameSize);
    EXPECT_STREQ(reinterpret_cast<const char*>(name.data()), "libusb 1-2");
    EXPECT_TRUE(Driver().DeviceIoControl(h, ioctl::GetFriendlyName, name, name, nullptr).ok);
    EXPECT_STREQ(reinterpret_cast<const char*>(name.data()), "EZ-USB Writer Dongle (virtual)");
    EXPECT_FALSE(Driver().DeviceIoControl(h, ioctl::GetDriverVersion, one, one, nullptr).ok);
}

// An open reads every descriptor of the dongle, and the program opens it for every exchange:
// after the first open none of those reads crosses the bus, until another device takes the port.
TEST_F(LibusbDriverOverEmulatedKernel, DescriptorsAreReadOnceForEachAttachedDevice) {
    sim::DongleConfig first;
    first.product = "First dongle";
    Add(2, first);
    const auto product = [this] {
        UsbDevice device(0, DriverInterfaceGuid, true, Driver());
        const std::u16string name = device.Product;
        std::array<std::uint8_t, kDriverNameSize> friendly{};
        device.DeviceRequest(ioctl::GetFriendlyName, friendly);
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(friendly.data())),
                  std::string(name.begin(), name.end()));
        device.Release();
        return std::string(name.begin(), name.end());
    };
    EXPECT_EQ(product(), "First dongle");
    const std::uint64_t reads = emulator_->Counters(0).controls;
    EXPECT_GT(reads, 0U);
    EXPECT_EQ(product(), "First dongle");
    EXPECT_EQ(emulator_->Counters(0).controls, reads);

    emulator_->Unplug(0);
    sim::DongleConfig second;
    second.product = "Second dongle";
    Add(2, second);
    EXPECT_EQ(product(), "Second dongle");
    EXPECT_GT(emulator_->Counters(1).controls, 0U);
}

TEST_F(LibusbDriverOverEmulatedKernel, MalformedRequestsAreRefused) {
    Add(2);
    const Handle h = Open();
    Bytes shortHeader(10);
    EXPECT_EQ(Driver()
                  .DeviceIoControl(h, ioctl::ControlTransfer, shortHeader, shortHeader, nullptr)
                  .error,
              error::InvalidParameter);
    Bytes header = Header(Endpoint(0x81));  // no such endpoint
    Bytes data(4);
    EXPECT_EQ(Driver().DeviceIoControl(h, ioctl::DirectTransfer, header, data, nullptr).error,
              error::InvalidParameter);
    TransferRequest past = Endpoint(kBulkInEndpoint);
    past.BufferOffset = kTransferRequestSize;
    past.BufferLength = 100;  // the buffer holds 4
    Bytes buffered = Header(past, 4);
    EXPECT_EQ(
        Driver().DeviceIoControl(h, ioctl::BufferedTransfer, buffered, buffered, nullptr).error,
        error::InvalidParameter);
    TransferRequest control;
    control.bmRequestType = 0x80;
    control.wLength = 64;  // the buffer holds 8
    Bytes small = Header(control, 8);
    EXPECT_EQ(Driver().DeviceIoControl(h, ioctl::ControlTransfer, small, small, nullptr).error,
              error::InvalidParameter);
    EXPECT_EQ(Driver().DeviceIoControl(h, 0x220099, data, data, nullptr).error,
              error::InvalidParameter);
    EXPECT_EQ(Driver().DeviceIoControl(h + 1, ioctl::ResetPort, {}, {}, nullptr).error,
              error::InvalidHandle);
}

// --- Unplug, close, waiting --------------------------------------------------------------------

TEST_F(LibusbDriverOverEmulatedKernel, UnplugFailsThePendingReadAndTheHandleStaysDead) {
    Add(2);
    const Handle h = Open();
    const EventHandle event = NewEvent();
    Overlapped ov{event, 0};
    Bytes header;
    Bytes reply(4);
    StartRead(h, header, reply, ov);
    emulator_->Unplug(0);
    EXPECT_EQ(Driver().WaitForEvent(event, 5000), WaitResult::Signalled);
    const IoResult r = Driver().GetOverlappedResult(h, ov, false);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.error, error::DeviceNotConnected);
    EXPECT_EQ(Nt(header), status::NtNoSuchDevice);
    EXPECT_EQ(Usbd(header), status::UsbdDeviceGone);
    EXPECT_TRUE(Driver().PresentInterfaces(DriverInterfaceGuid).empty());
    Bytes four(4);
    EXPECT_FALSE(Driver().DeviceIoControl(h, ioctl::DirectTransfer, header, four, nullptr).ok);

    emulator_->Plug(0);
    ASSERT_EQ(Driver().PresentInterfaces(DriverInterfaceGuid).size(), 1U);
    // The old handle belongs to the device that left; a new one reaches the new device.
    EXPECT_FALSE(Driver().DeviceIoControl(h, ioctl::ResetPort, {}, {}, nullptr).ok);
    EXPECT_TRUE(Driver().CloseDevice(h));
    const Handle again = Open();
    ASSERT_NE(again, InvalidHandle);
    EXPECT_TRUE(Driver().DeviceIoControl(again, ioctl::ResetPort, {}, {}, nullptr).ok);
    Driver().CloseDevice(again);
}

TEST_F(LibusbDriverOverEmulatedKernel, ClosingWithAPendingReadCancelsItWithoutSignalling) {
    Add(2);
    const Handle h = Open();
    const EventHandle event = NewEvent();
    Overlapped ov{event, 0};
    Bytes header;
    Bytes reply(4, 0xEE);
    StartRead(h, header, reply, ov);
    EXPECT_TRUE(Driver().CloseDevice(h));
    EXPECT_EQ(Driver().PendingRequests(), 0U);
    EXPECT_EQ(emulator_->WithDongle(0, [](auto& d) { return d.PendingTransfers(); }), 0U);
    EXPECT_EQ(Driver().WaitForEvent(event, 0), WaitResult::TimedOut);
    EXPECT_EQ(Nt(header), 0U);  // the abandoned request wrote nothing back
}

double CpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

TEST_F(LibusbDriverOverEmulatedKernel, WaitingForAReplySleepsInsteadOfSpinning) {
    Add(2);
    const Handle h = Open();
    const EventHandle event = NewEvent();
    Overlapped ov{event, 0};
    Bytes header;
    Bytes reply(4);
    StartRead(h, header, reply, ov);
    const double cpu = CpuSeconds();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Driver().WaitForEvent(event, 300), WaitResult::TimedOut);
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, std::chrono::milliseconds(300));
    // Every thread of the process together: the waiter, libusb's event thread in poll(),
    // umockdev's worker.
    EXPECT_LT(CpuSeconds() - cpu, 0.1);
}

}  // namespace
}  // namespace qdm::usb
