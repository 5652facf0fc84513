#include <gtest/gtest.h>

#include <numeric>

#include "tests/support/FakeDriver.h"
#include "usb/UsbDevice.h"

namespace qdm::usb {
namespace {

using test::FakeDriver;

class EndpointTransferTest : public ::testing::Test {
  protected:
    void SetUp() override {
        driver.devices.emplace_back();
        // The dongle answers every list with its first four bytes reversed.
        driver.devices[0].onList = [](std::span<const std::uint8_t> list) {
            return std::optional<std::vector<std::uint8_t>>({list[3], list[2], list[1], list[0]});
        };
    }
    std::unique_ptr<UsbDevice> Open() {
        auto device = std::make_unique<UsbDevice>(0, DriverInterfaceGuid, true, driver);
        EXPECT_TRUE(device->IsOpen());
        return device;
    }
    FakeDriver driver;
};

TEST_F(EndpointTransferTest, ControlRequestHeaderCarriesTheSetupAndTimeout) {
    auto device = Open();
    UsbControlEndPoint& control = *device->ControlEndPoint;
    control.Target = 0;
    control.RequestType = 2;
    control.Direction = 0;
    control.RequestCode = 0xA0;
    control.Value = 0x1000;
    control.Index = 0;
    struct Case {
        std::uint32_t timeoutMs;
        std::uint32_t seconds;
    };
    for (const Case c : {Case{10000, 10}, Case{0, 0}, Case{1, 1}, Case{999, 1}, Case{1500, 1}}) {
        driver.calls.clear();
        control.TimeOut = c.timeoutMs;
        std::array<std::uint8_t, 3> data = {0xAA, 0xBB, 0xCC};
        std::uint32_t length = 0;
        EXPECT_TRUE(control.TransferData(data, length));
        EXPECT_EQ(length, 3u);
        ASSERT_EQ(driver.calls.size(), 1u);
        const auto& call = driver.calls[0];
        EXPECT_EQ(call.code, ioctl::ControlTransfer);
        EXPECT_TRUE(call.overlapped);
        EXPECT_EQ(call.header.bmRequestType, 0x40);
        EXPECT_EQ(call.header.bRequest, 0xA0);
        EXPECT_EQ(call.header.wValue, 0x1000);
        EXPECT_EQ(call.header.wIndex, 0);
        EXPECT_EQ(call.header.wLength, 3);
        EXPECT_EQ(call.header.TimeOut, c.seconds) << c.timeoutMs;
        EXPECT_EQ(call.header.EndpointAddress, 0);
        EXPECT_EQ(call.header.BufferOffset, 38u);
        EXPECT_EQ(call.header.BufferLength, 3u);
        EXPECT_EQ(call.data, std::vector<std::uint8_t>(data.begin(), data.end()));
    }
}

TEST_F(EndpointTransferTest, DirectInWritesTheCallersBufferWhenTheAnswerArrives) {
    auto device = Open();
    UsbEndPoint& in = *device->BulkInEndPoint;
    UsbEndPoint& out = *device->BulkOutEndPoint;
    Event inEvent(driver);
    Event outEvent(driver);
    Overlapped inOv{inEvent.handle(), 0};
    Overlapped outOv{outEvent.handle(), 0};
    std::array<std::uint8_t, 4> reply{};
    std::array<std::uint8_t, 512> list{};
    std::iota(list.begin(), list.begin() + 4, std::uint8_t{1});

    Request inRequest = in.BeginTransfer(reply, inOv);
    EXPECT_EQ(in.LastError, error::IoPending);
    EXPECT_FALSE(in.WaitForTransfer(inOv, 2000));  // nothing sent yet
    EXPECT_EQ(driver.waitedMs, 2000u);
    Request outRequest = out.BeginTransfer(list, outOv);
    EXPECT_EQ(out.LastError, error::Success);
    EXPECT_TRUE(out.WaitForTransfer(outOv, 2000));
    EXPECT_TRUE(in.WaitForTransfer(inOv, 2000));
    const std::array<std::uint8_t, 4> expected = {4, 3, 2, 1};
    EXPECT_EQ(reply, expected);  // before FinishTransfer: the driver wrote it in place
    std::uint32_t sent = 0;
    std::uint32_t received = 0;
    EXPECT_TRUE(out.FinishTransfer(list, sent, outOv, outRequest));
    EXPECT_TRUE(in.FinishTransfer(reply, received, inOv, inRequest));
    EXPECT_EQ(sent, 512u);
    EXPECT_EQ(received, 4u);
    EXPECT_EQ(in.BytesTransferred, 4u);
    EXPECT_FALSE(inRequest);
    const auto direct = driver.CallsWith(ioctl::DirectTransfer);
    ASSERT_EQ(direct.size(), 2u);
    EXPECT_EQ(direct[0].header.EndpointAddress, 0x86);
    EXPECT_EQ(direct[0].header.BufferOffset, 0u);
    EXPECT_EQ(direct[0].header.BufferLength, 0u);
    EXPECT_EQ(direct[1].header.EndpointAddress, 0x02);
}

TEST_F(EndpointTransferTest, BufferedInDeliversOnlyAtFinishAndNeverBeyondTheBuffer) {
    driver.devices[0].driverVersion = 0x01000000;
    driver.devices[0].onList = [](std::span<const std::uint8_t>) {
        return std::optional<std::vector<std::uint8_t>>(std::vector<std::uint8_t>(6, 0x5A));
    };
    auto device = Open();
    UsbEndPoint& in = *device->BulkInEndPoint;
    UsbEndPoint& out = *device->BulkOutEndPoint;
    Event event(driver);
    Overlapped inOv{event.handle(), 0};
    Event event2(driver);
    Overlapped outOv{event2.handle(), 0};
    std::array<std::uint8_t, 8> reply{};
    std::array<std::uint8_t, 512> list{};
    Request inRequest = in.BeginTransfer(std::span(reply).first(6), inOv);
    Request outRequest = out.BeginTransfer(list, outOv);
    EXPECT_TRUE(in.WaitForTransfer(inOv, 2000));
    EXPECT_EQ(reply[0], 0);  // still in the request buffer
    std::uint32_t received = 0;
    std::uint32_t sent = 0;
    EXPECT_TRUE(out.FinishTransfer(list, sent, outOv, outRequest));
    EXPECT_TRUE(in.FinishTransfer(std::span(reply).first(6), received, inOv, inRequest));
    EXPECT_EQ(received, 6u);
    EXPECT_EQ(reply[5], 0x5A);
    EXPECT_EQ(reply[6], 0);
    EXPECT_EQ(driver.CallsWith(ioctl::BufferedTransfer).size(), 2u);
}

TEST_F(EndpointTransferTest, FinishingAPendingTransferAbortsAndAwaitsIt) {
    driver.devices[0].onList = [](std::span<const std::uint8_t>) { return std::nullopt; };
    auto device = Open();
    UsbEndPoint& in = *device->BulkInEndPoint;
    Event event(driver);
    Overlapped ov{event.handle(), 0};
    std::array<std::uint8_t, 4> reply{};
    Request request = in.BeginTransfer(reply, ov);
    EXPECT_FALSE(in.WaitForTransfer(ov, 2000));
    std::uint32_t received = 99;
    EXPECT_FALSE(in.FinishTransfer(reply, received, ov, request));
    EXPECT_EQ(received, 0u);
    EXPECT_EQ(in.UsbdStatus, status::UsbdCancelled);
    const auto aborts = driver.CallsWith(ioctl::AbortPipe);
    ASSERT_EQ(aborts.size(), 1u);
    EXPECT_EQ(aborts[0].data, std::vector<std::uint8_t>{0x86});
}

TEST_F(EndpointTransferTest, ADroppedRequestIsAbortedBeforeItsBufferGoes) {
    driver.devices[0].onList = [](std::span<const std::uint8_t>) { return std::nullopt; };
    auto device = Open();
    Event event(driver);
    Overlapped ov{event.handle(), 0};
    std::array<std::uint8_t, 4> reply{};
    { Request abandoned = device->BulkInEndPoint->BeginTransfer(reply, ov); }
    EXPECT_EQ(driver.CallsWith(ioctl::AbortPipe).size(), 1u);
}

TEST_F(EndpointTransferTest, NoHandleNoRequest) {
    auto device = Open();
    UsbEndPoint& in = *device->BulkInEndPoint;
    in.DeviceHandle = InvalidHandle;
    Overlapped ov{};
    std::array<std::uint8_t, 4> reply{};
    Request request = in.BeginTransfer(reply, ov);
    EXPECT_FALSE(request);
    std::uint32_t length = 7;
    EXPECT_FALSE(in.FinishTransfer(reply, length, ov, request));
    EXPECT_EQ(length, 0u);

    UsbIsocEndPoint iso(driver, device->DeviceHandle, test::EndpointDescriptor(0x83, 1, 0x1400));
    EXPECT_EQ(iso.PacketsPerFrame, 3);
    EXPECT_EQ(iso.MaxPacketSize, 3 * 1024);
    EXPECT_FALSE(iso.BeginTransfer({}, ov));  // no packets, no request
}

}  // namespace
}  // namespace qdm::usb
