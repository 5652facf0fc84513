#pragma once
// The vendor's USB kernel driver, reached through SetupAPI, CreateFileA and DeviceIoControl.
// Built on Windows only.

#include <memory>

#include "usb/UsbDriver.h"
#include "usb/Win32DriverCore.h"

namespace qdm::usb {

// The real Win32 calls.
std::shared_ptr<win32::Win32Calls> CreateSystemWin32Calls();

// The backend over the real calls: the platform driver on Windows.
std::shared_ptr<UsbDriver> CreateWin32Driver();

}  // namespace qdm::usb
