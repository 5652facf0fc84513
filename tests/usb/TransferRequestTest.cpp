#include "usb/TransferRequest.h"

#include <gtest/gtest.h>

#include <array>

#include "usb/UsbDriver.h"

namespace qdm::usb {
namespace {

TEST(TransferRequest, HeaderLayoutFieldByField) {
    TransferRequest h;
    h.bmRequestType = 0xC1;
    h.bRequest = 0xA0;
    h.wValue = 0xE600;
    h.wIndex = 0x1234;
    h.wLength = 0x0201;
    h.TimeOut = 0x0A0B0C0D;
    h.EndpointAddress = 0x86;
    h.NtStatus = 0x11223344;
    h.UsbdStatus = 0x55667788;
    h.IsoPacketOffset = 0x01020304;
    h.IsoPacketLength = 0x05060708;
    h.BufferOffset = 38;
    h.BufferLength = 0x00010000;
    std::array<std::uint8_t, kTransferRequestSize> bytes{};
    bytes.fill(0xEE);
    h.WriteTo(bytes);
    const std::array<std::uint8_t, kTransferRequestSize> expected = {
        0xC1, 0xA0,              // bmRequestType, bRequest
        0x00, 0xE6,              // wValue
        0x34, 0x12,              // wIndex
        0x01, 0x02,              // wLength
        0x0D, 0x0C, 0x0B, 0x0A,  // time-out
        0x00,                    // reserved
        0x86,                    // endpoint address
        0x44, 0x33, 0x22, 0x11,  // NtStatus
        0x88, 0x77, 0x66, 0x55,  // UsbdStatus
        0x04, 0x03, 0x02, 0x01,  // packet-descriptor offset
        0x08, 0x07, 0x06, 0x05,  // packet-descriptor length
        38,   0,    0,    0,     // data offset
        0x00, 0x00, 0x01, 0x00,  // data length
    };
    EXPECT_EQ(bytes, expected);
    EXPECT_EQ(TransferRequest::ReadFrom(bytes), h);
}

TEST(TransferRequest, ControlTimeoutSeconds) {
    const std::array<std::pair<std::uint32_t, std::uint32_t>, 8> cases = {{
        {0, 0},
        {1, 1},
        {500, 1},
        {999, 1},
        {1000, 1},
        {1500, 1},
        {10000, 10},
        {10999, 10},
    }};
    for (const auto& [ms, seconds] : cases)
        EXPECT_EQ(ControlTimeoutSeconds(ms), seconds) << ms;
}

TEST(TransferRequest, DriverCodesAndInterfaceClass) {
    EXPECT_EQ(ioctl::GetDriverVersion, 0x220000u);
    EXPECT_EQ(ioctl::GetUsbdiVersion, 0x220004u);
    EXPECT_EQ(ioctl::GetAltInterfaceSetting, 0x220008u);
    EXPECT_EQ(ioctl::GetAddress, 0x220010u);
    EXPECT_EQ(ioctl::ControlTransfer, 0x220020u);
    EXPECT_EQ(ioctl::BufferedTransfer, 0x220024u);
    EXPECT_EQ(ioctl::ResetPort, 0x220030u);
    EXPECT_EQ(ioctl::GetDeviceName, 0x22003Cu);
    EXPECT_EQ(ioctl::GetFriendlyName, 0x220040u);
    EXPECT_EQ(ioctl::AbortPipe, 0x220044u);
    EXPECT_EQ(ioctl::DirectTransfer, 0x22004Bu);
    EXPECT_EQ(DriverInterfaceGuid.ToString(), "{AE18AA60-7F6A-11D4-97DD-00010229B959}");
    const std::array<std::uint8_t, 16> bytes = {0x60, 0xAA, 0x18, 0xAE, 0x6A, 0x7F, 0xD4, 0x11,
                                                0x97, 0xDD, 0x00, 0x01, 0x02, 0x29, 0xB9, 0x59};
    EXPECT_EQ(DriverInterfaceGuid.Bytes(), bytes);
}

}  // namespace
}  // namespace qdm::usb
