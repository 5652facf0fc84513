// The vendor-driver backend over the real Win32 calls, on a Windows host without the vendor's
// driver: nothing is found, nothing crashes, and the errors are the system's.

#include <gtest/gtest.h>
#include <windows.h>

#include <array>
#include <filesystem>

#include "usb/Fileiofunctions.h"
#include "usb/TransferRequest.h"
#include "usb/UsbDevice.h"
#include "usb/Win32Driver.h"
#include "workflows/DongleCheck.h"

namespace qdm::usb {
namespace {

class Win32DriverTest : public ::testing::Test {
  protected:
    std::shared_ptr<UsbDriver> driver = CreateWin32Driver();
};

TEST_F(Win32DriverTest, ThePlatformDriverIsTheVendorDriverBackend) {
    EXPECT_NE(dynamic_cast<win32::Win32DriverCore*>(CreatePlatformDriver().get()), nullptr);
}

TEST_F(Win32DriverTest, WithoutTheVendorDriverNoInterfaceIsPresent) {
    EXPECT_TRUE(driver->PresentInterfaces(DriverInterfaceGuid).empty());
    UsbDevice device(0, DriverInterfaceGuid, true, *driver);
    EXPECT_EQ(device.DeviceCount(), 0);
    EXPECT_FALSE(device.Open(0));
    EXPECT_FALSE(device.IsOpen());
    EXPECT_EQ(device.EndPointCount(), 0);
}

TEST_F(Win32DriverTest, OpeningAPathThatIsNotThereGivesTheSystemError) {
    std::uint32_t error = 0;
    EXPECT_EQ(driver->OpenDevice("\\\\?\\usb#vid_04b4&pid_1004#none#{ae18aa60}", error),
              InvalidHandle);
    EXPECT_TRUE(error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ||
                error == ERROR_INVALID_NAME)
        << error;
    EXPECT_EQ(driver->OpenDevice("", error), InvalidHandle);
    EXPECT_NE(error, 0u);
}

TEST_F(Win32DriverTest, RequestsOnAClosedHandleFailWithoutHanging) {
    const Handle closed = reinterpret_cast<Handle>(INVALID_HANDLE_VALUE);
    std::array<std::uint8_t, kTransferRequestSize> header{};
    const IoResult sync =
        driver->DeviceIoControl(closed, ioctl::ControlTransfer, header, header, nullptr);
    EXPECT_FALSE(sync.ok);
    EXPECT_EQ(sync.error, static_cast<std::uint32_t>(ERROR_INVALID_HANDLE));

    Event event(*driver);
    Overlapped overlapped{event.handle(), 0};
    const IoResult submitted =
        driver->DeviceIoControl(closed, ioctl::DirectTransfer, header, header, &overlapped);
    EXPECT_FALSE(submitted.ok);
    EXPECT_EQ(submitted.error, static_cast<std::uint32_t>(ERROR_INVALID_HANDLE));
    const IoResult finished = driver->GetOverlappedResult(closed, overlapped, true);
    EXPECT_FALSE(finished.ok);
    EXPECT_EQ(finished.error, static_cast<std::uint32_t>(ERROR_INVALID_HANDLE));
}

TEST_F(Win32DriverTest, EventsAreUnnamedAndKeepTheirResetKind) {
    const EventHandle out = driver->CreateEventObject(false, false);
    const EventHandle other = driver->CreateEventObject(false, false);
    ASSERT_NE(out, 0);
    ASSERT_NE(other, 0);
    EXPECT_EQ(driver->WaitForEvent(out, 0), WaitResult::TimedOut);
    ASSERT_TRUE(SetEvent(reinterpret_cast<HANDLE>(out)));
    EXPECT_EQ(driver->WaitForEvent(other, 0), WaitResult::TimedOut);
    EXPECT_EQ(driver->WaitForEvent(out, 0), WaitResult::Signalled);
    EXPECT_EQ(driver->WaitForEvent(out, 10), WaitResult::TimedOut);  // auto-reset
    EXPECT_TRUE(driver->CloseEvent(other));
    EXPECT_TRUE(driver->CloseEvent(out));

    const EventHandle manual = driver->CreateEventObject(true, true);
    EXPECT_EQ(driver->WaitForEvent(manual, 0), WaitResult::Signalled);
    EXPECT_EQ(driver->WaitForEvent(manual, 0), WaitResult::Signalled);
    EXPECT_TRUE(driver->CloseEvent(manual));
}

TEST_F(Win32DriverTest, NotificationsForAMessageWindow) {
    const HWND window =
        CreateWindowExA(0, "STATIC", "qdm", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
    ASSERT_NE(window, nullptr);
    const auto recipient = reinterpret_cast<WindowHandle>(window);
    const NotifyHandle notification =
        driver->RegisterInterfaceNotification(recipient, DriverInterfaceGuid);
    EXPECT_NE(notification, 0) << GetLastError();
    if (notification != 0) {
        EXPECT_TRUE(driver->UnregisterNotification(notification));
    }
    // A device built with the window registers and releases without an open handle.
    {
        UsbDevice device(recipient, DriverInterfaceGuid, true, *driver);
        EXPECT_FALSE(device.IsOpen());
        EXPECT_NO_THROW(device.Release());
    }
    DestroyWindow(window);
}

TEST(WindowsHost, DumpsAndFirmwareSitNextToTheExecutable) {
    EXPECT_TRUE(std::filesystem::exists(ExecutableDirectory() / "usb_tests.exe"));
}

// GetVersionExW is a second way to the same answer. For programs without a manifest it reports
// 6.2 on Windows 8 and later, which still is not 6.1.
TEST(WindowsHost, TheWindows7ConditionIsTheSystemVersion) {
    OSVERSIONINFOEXW info{};
    info.dwOSVersionInfoSize = sizeof info;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    ASSERT_TRUE(GetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(&info)));
#pragma GCC diagnostic pop
    EXPECT_EQ(IsWindows7Workstation(), info.dwMajorVersion == 6 && info.dwMinorVersion == 1 &&
                                           info.wProductType == VER_NT_WORKSTATION)
        << info.dwMajorVersion << "." << info.dwMinorVersion << " type "
        << static_cast<int>(info.wProductType);
}

}  // namespace
}  // namespace qdm::usb
