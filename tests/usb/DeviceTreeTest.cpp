#include <gtest/gtest.h>

#include "tests/support/FakeDriver.h"
#include "usb/UsbDevice.h"

namespace qdm::usb {
namespace {

using test::ConfigSet;
using test::EndpointDescriptor;
using test::FakeDevice;
using test::FakeDriver;
using test::InterfaceDescriptor;
using Answer = test::ScriptedAnswer;

std::vector<std::uint8_t> ClassSpecific() {
    return {5, 0x24, 0x01, 0x02, 0x03};
}

class DeviceTreeTest : public ::testing::Test {
  protected:
    FakeDriver driver;
    FakeDevice& AddDevice() {
        driver.devices.emplace_back();
        FakeDevice& d = driver.devices.back();
        d.path += std::to_string(driver.devices.size());
        return d;
    }
    std::unique_ptr<UsbDevice> OpenDevice() {
        return std::make_unique<UsbDevice>(0, DriverInterfaceGuid, true, driver);
    }
};

TEST_F(DeviceTreeTest, OpensTheDongleAndReadsItsIdentity) {
    FakeDevice& d = AddDevice();
    d.strings = {{1, u"Maker"}, {2, u"Writer"}, {3, u"0001"}};
    auto device = OpenDevice();
    ASSERT_TRUE(device->IsOpen());
    EXPECT_EQ(device->VendorId, 0x04B4);
    EXPECT_EQ(device->ProductId, 0x1004);
    EXPECT_EQ(device->BcdUsb, 0x0200);
    EXPECT_EQ(device->MaxPacketSize, 64);
    EXPECT_EQ(device->Manufacturer, u"Maker");
    EXPECT_EQ(device->Product, u"Writer");
    EXPECT_EQ(device->SerialNumber, u"0001");
    EXPECT_EQ(device->FriendlyName, "QDM writer dongle");
    EXPECT_EQ(device->DeviceName, "Writer dongle");
    EXPECT_EQ(device->UsbAddress, 3);
    EXPECT_EQ(device->DriverVersion, 0x01050500u);
    EXPECT_EQ(device->DevicePath, d.path);
    ASSERT_EQ(device->EndPointCount(), 3);
    EXPECT_EQ(device->EndPoints[0], device->ControlEndPoint.get());
    ASSERT_NE(device->BulkOutEndPoint, nullptr);
    ASSERT_NE(device->BulkInEndPoint, nullptr);
    EXPECT_EQ(device->BulkOutEndPoint->Address, 0x02);
    EXPECT_EQ(device->BulkInEndPoint->Address, 0x86);
    EXPECT_EQ(device->BulkInEndPoint->MaxPacketSize, 512);
    EXPECT_TRUE(device->BulkInEndPoint->IsIn);
    EXPECT_EQ(device->BulkInEndPoint->TransferMode, kTransferDirect);

    // Every descriptor request is a standard GET_DESCRIPTOR with five seconds to answer.
    for (const auto& call : driver.CallsWith(ioctl::ControlTransfer)) {
        EXPECT_EQ(call.header.bmRequestType, 0x80);
        EXPECT_EQ(call.header.bRequest, 6);
        EXPECT_EQ(call.header.TimeOut, 5u);
        EXPECT_EQ(call.header.BufferOffset, 38u);
        EXPECT_EQ(call.header.BufferLength, call.header.wLength);
    }
}

TEST_F(DeviceTreeTest, NoDeviceAndIndexBeyondTheCount) {
    auto none = OpenDevice();
    EXPECT_FALSE(none->IsOpen());
    EXPECT_EQ(none->DeviceCount(), 0);
    EXPECT_EQ(none->EndPointCount(), 0);
    EXPECT_TRUE(driver.calls.empty());

    AddDevice();
    AddDevice();
    auto device = OpenDevice();
    EXPECT_EQ(device->DeviceCount(), 2);
    EXPECT_TRUE(device->IsOpen());
    EXPECT_EQ(device->DevicePath, driver.devices[0].path);  // always the first one enumerated
    EXPECT_FALSE(device->Open(2));
    EXPECT_FALSE(device->IsOpen());
    EXPECT_EQ(device->DeviceIndex, 0);
    EXPECT_TRUE(device->Open(1));
    EXPECT_EQ(device->DevicePath, driver.devices[1].path);
}

TEST_F(DeviceTreeTest, RefusedOpenKeepsTheReason) {
    AddDevice().openError = error::AccessDenied;
    auto device = OpenDevice();
    EXPECT_FALSE(device->IsOpen());
    EXPECT_EQ(device->OpenError, error::AccessDenied);
}

TEST_F(DeviceTreeTest, TwoConfigurationsAreReadAndTheFirstIsSelected) {
    FakeDevice& d = AddDevice();
    d.deviceDescriptor = test::DeviceDescriptorBytes(0x04B4, 0x1004, 3);
    d.configurations = {
        test::DongleConfigSet(),
        ConfigSet({InterfaceDescriptor(0, 0, 1), EndpointDescriptor(0x81, 3, 64)}, 1, 2),
        ConfigSet({InterfaceDescriptor(0, 0, 0)}, 1, 3),
    };
    auto device = OpenDevice();
    ASSERT_TRUE(device->Configurations[0] && device->Configurations[1]);
    EXPECT_EQ(device->Configurations[1]->bConfigurationValue, 2);
    EXPECT_EQ(device->ConfigDescriptors[1], d.configurations[1]);
    EXPECT_EQ(device->ConfigValue, 1);
    EXPECT_EQ(device->ConfigIndex, 0);
    // A third configuration is not read.
    for (const auto& call : driver.CallsWith(ioctl::ControlTransfer))
        EXPECT_NE(call.header.wValue, 0x0202);
}

TEST_F(DeviceTreeTest, ClassSpecificDescriptorsBetweenEndpointsAreSteppedOver) {
    struct Case {
        int foreign;
        bool bulkInFound;
    };
    for (const Case c : {Case{1, true}, Case{11, true}, Case{12, false}}) {
        driver.devices.clear();
        FakeDevice& d = AddDevice();
        std::vector<std::vector<std::uint8_t>> parts = {InterfaceDescriptor(0, 0, 2),
                                                        EndpointDescriptor(0x02, 2)};
        for (int i = 0; i < c.foreign; ++i)
            parts.push_back(ClassSpecific());
        parts.push_back(EndpointDescriptor(0x86, 2));
        d.configurations = {ConfigSet(parts, 1)};
        auto device = OpenDevice();
        ASSERT_EQ(device->EndPointCount(), 3) << c.foreign;
        EXPECT_NE(device->BulkOutEndPoint, nullptr);
        EXPECT_EQ(device->BulkInEndPoint != nullptr, c.bulkInFound) << c.foreign;
        const UsbInterface& itf = *device->Configurations[0]->Interfaces[0];
        const int consumed = c.bulkInFound ? 9 + 7 + 5 * c.foreign + 7 : 9 + 7 + 5 * 11;
        EXPECT_EQ(itf.TotalLength, consumed) << c.foreign;
    }
}

TEST_F(DeviceTreeTest, EndpointOfUnknownKindKeepsItsPlaceWithoutAnObject) {
    FakeDevice& d = AddDevice();
    d.configurations = {ConfigSet({InterfaceDescriptor(0, 0, 3), EndpointDescriptor(0x83, 0x05, 64),
                                   EndpointDescriptor(0x02, 2), EndpointDescriptor(0x86, 2)},
                                  1)};
    auto device = OpenDevice();
    ASSERT_EQ(device->EndPointCount(), 4);
    EXPECT_EQ(device->EndPoints[1], nullptr);
    EXPECT_EQ(device->EndPoints[2]->Address, 0x02);
    EXPECT_EQ(device->EndPoints[3]->Address, 0x86);
    EXPECT_EQ(device->IsocInEndPoint, nullptr);
    EXPECT_EQ(device->BulkInEndPoint, device->EndPoints[3]);
}

TEST_F(DeviceTreeTest, AlternateSettingsAndUnmatchedCurrentSetting) {
    FakeDevice& d = AddDevice();
    d.configurations = {ConfigSet({InterfaceDescriptor(0, 0, 0), InterfaceDescriptor(0, 1, 2),
                                   EndpointDescriptor(0x02, 2), EndpointDescriptor(0x86, 2)},
                                  1)};
    d.altSetting = 1;
    auto device = OpenDevice();
    EXPECT_EQ(device->AltInterfaceCount, 2);
    EXPECT_EQ(device->Configurations[0]->Interfaces[0]->AltSettingCount, 2);
    EXPECT_EQ(device->InterfaceIndex, 1);
    EXPECT_EQ(device->EndPointCount(), 3);

    d.altSetting = 7;
    EXPECT_TRUE(device->Open(0));
    EXPECT_EQ(device->EndPointCount(), 0);
    EXPECT_EQ(device->BulkInEndPoint, nullptr);

    d.altSetting = std::nullopt;  // the query fails: 0xFF matches nothing either
    EXPECT_TRUE(device->Open(0));
    EXPECT_EQ(device->EndPointCount(), 0);
}

// The device's two answers to the language list request (its first two bytes, then the whole
// list) and the language chosen from them.
struct LanguageAnswers {
    std::vector<std::uint8_t> head;
    std::vector<std::uint8_t> list;
    std::uint16_t chosen;
};

class LanguageListTest : public DeviceTreeTest,
                         public ::testing::WithParamInterface<LanguageAnswers> {};

TEST_P(LanguageListTest, OnlyIdsTheSecondAnswerReallyHoldsCount) {
    int asked = 0;
    AddDevice().script = [&](std::uint32_t code, const TransferRequest& h) {
        if (code != ioctl::ControlTransfer || h.wValue != 0x0300 || h.wIndex != 0) return Answer{};
        return Answer{Answer::Kind::Returns, asked++ == 0 ? GetParam().head : GetParam().list, {}};
    };
    auto device = OpenDevice();
    EXPECT_TRUE(device->IsOpen());
    EXPECT_EQ(device->LanguageId, GetParam().chosen);
}

INSTANTIATE_TEST_SUITE_P(
    DeviceTreeTest, LanguageListTest,
    ::testing::Values(LanguageAnswers{{6, 3}, {6, 3, 0x07, 0x04, 0x09, 0x04}, 0x0409},
                      LanguageAnswers{{6, 3}, {6, 3, 0x07, 0x04, 0x0C, 0x04}, 0x0407},
                      LanguageAnswers{{2, 3}, {2, 3}, 0},
                      // Second answers that claim less than their own header, or hold less
                      // than they claim.
                      LanguageAnswers{{4, 3}, {0, 3, 0x09, 0x04}, 0},
                      LanguageAnswers{{4, 3}, {1, 3, 0x09, 0x04}, 0},
                      LanguageAnswers{{6, 3}, {6, 3, 0x09}, 0}));

TEST_F(DeviceTreeTest, OldDriversSwitchEndpointsToBufferedMode) {
    for (const std::uint32_t version : {0x01050400u, 0x01050500u, 0x01060000u}) {
        driver.devices.clear();
        AddDevice().driverVersion = version;
        auto device = OpenDevice();
        const std::uint8_t expected = version < 0x01050500 ? kTransferBuffered : kTransferDirect;
        EXPECT_EQ(device->BulkInEndPoint->TransferMode, expected) << std::hex << version;
        EXPECT_EQ(device->BulkOutEndPoint->TransferMode, expected);
        EXPECT_EQ(device->ControlEndPoint->TransferMode, kTransferBuffered);
    }
}

TEST_F(DeviceTreeTest, MalformedDescriptorSetsNeitherLoopNorReadPastTheirEnd) {
    FakeDevice& d = AddDevice();
    auto zeroLength = ConfigSet({InterfaceDescriptor(0, 0, 2), {0, 5, 2, 2}}, 1);
    auto tooLong = ConfigSet({InterfaceDescriptor(0, 0, 2), EndpointDescriptor(0x02, 2)}, 1);
    tooLong[tooLong.size() - 7] = 200;  // an endpoint claiming more bytes than the set holds
    for (const auto& set : {zeroLength, tooLong}) {
        d.configurations = {set};
        auto device = OpenDevice();
        EXPECT_TRUE(device->IsOpen());
        EXPECT_EQ(device->BulkInEndPoint, nullptr);
    }
}

TEST_F(DeviceTreeTest, CloseTwiceSendsOneCloseAndRefusalsRaiseTheirMessages) {
    AddDevice();
    {
        auto device = OpenDevice();
        device->Close();
        device->Close();
        EXPECT_EQ(driver.closeCount, 1u);
        device->Release();
        EXPECT_EQ(driver.closeCount, 1u);
    }
    driver.devices[0].closeFails = true;
    {
        auto device = OpenDevice();
        try {
            device->Release();
            FAIL() << "no exception";
        } catch (const UsbCloseError& e) {
            EXPECT_STREQ(e.what(), "Failed to close handle to driver.");
        }
        EXPECT_FALSE(device->IsOpen());
    }
    driver.devices[0].closeFails = false;
    driver.unregisterFails = true;
    {
        UsbDevice device(0x1234, DriverInterfaceGuid, true, driver);
        EXPECT_NE(device.DeviceNotification, 0);
        EXPECT_NE(device.HandleNotification, 0);
        EXPECT_THROW(
            {
                try {
                    device.Close();
                } catch (const UsbCloseError& e) {
                    EXPECT_STREQ(e.what(), "Failed to close the handle notification handle.");
                    throw;
                }
            },
            UsbCloseError);
        try {
            device.Release();
            FAIL() << "no exception";
        } catch (const UsbCloseError& e) {
            EXPECT_STREQ(e.what(), "Failed to close the device notification handle.");
        }
    }
}

}  // namespace
}  // namespace qdm::usb
