#pragma once
// A driver that never finds a device: the backend of a host built without USB access.

#include "usb/UsbDriver.h"

namespace qdm::usb {

class NoDeviceDriver final : public UsbDriver {
  public:
    std::vector<std::string> PresentInterfaces(const Guid&) override { return {}; }
    Handle OpenDevice(const std::string&, std::uint32_t& error) override {
        error = error::FileNotFound;
        return InvalidHandle;
    }
    bool CloseDevice(Handle) override { return false; }
    IoResult DeviceIoControl(Handle, std::uint32_t, std::span<std::uint8_t>,
                             std::span<std::uint8_t>, Overlapped*) override {
        return {false, error::InvalidHandle, 0};
    }
    IoResult GetOverlappedResult(Handle, Overlapped&, bool) override {
        return {false, error::InvalidHandle, 0};
    }
    EventHandle CreateEventObject(bool, bool) override { return ++lastEvent_; }
    WaitResult WaitForEvent(EventHandle, std::uint32_t) override { return WaitResult::Failed; }
    bool CloseEvent(EventHandle) override { return true; }
    NotifyHandle RegisterInterfaceNotification(WindowHandle, const Guid&) override { return 0; }
    NotifyHandle RegisterHandleNotification(WindowHandle, Handle) override { return 0; }
    bool UnregisterNotification(NotifyHandle) override { return true; }

  private:
    EventHandle lastEvent_ = 0;
};

}  // namespace qdm::usb
