#pragma once
// One dongle of several: a driver decorator that shows only the device with a given ID, so that
// it becomes device 0 of the class family while every other device stays out of sight and out
// of reach. Nothing above the driver changes: the workflows open device 0 as they always do.

#include <memory>
#include <string>
#include <vector>

#include "usb/UsbDriver.h"

namespace qdm::usb {

// The present dongles (devices of the vendor driver's interface class) with their IDs, in the
// driver's order.
std::vector<DeviceLocation> PresentDongles(UsbDriver& driver);

// The IDs of `dongles`, separated by ", " ("none" for none), for messages.
std::string IdList(const std::vector<DeviceLocation>& dongles);

class SelectedDeviceDriver final : public UsbDriver {
  public:
    SelectedDeviceDriver(std::shared_ptr<UsbDriver> inner, std::string id);

    [[nodiscard]] const std::string& Id() const { return id_; }
    // Whether the device is present now.
    [[nodiscard]] bool Present();

    // The device with the ID when it is present, else none. Its path may change when it comes
    // back on the bus; its ID does not.
    std::vector<std::string> PresentInterfaces(const Guid& interfaceClass) override;
    std::vector<DeviceLocation> LocateInterfaces(const Guid& interfaceClass) override;
    // Only the path the enumeration showed last: any other is refused as not found.
    Handle OpenDevice(const std::string& path, std::uint32_t& error) override;

    bool CloseDevice(Handle handle) override { return inner_->CloseDevice(handle); }
    IoResult DeviceIoControl(Handle handle, std::uint32_t code, std::span<std::uint8_t> in,
                             std::span<std::uint8_t> out, Overlapped* overlapped) override {
        return inner_->DeviceIoControl(handle, code, in, out, overlapped);
    }
    IoResult GetOverlappedResult(Handle handle, Overlapped& overlapped, bool wait) override {
        return inner_->GetOverlappedResult(handle, overlapped, wait);
    }
    void Abandon(Handle handle, Overlapped& overlapped, RequestMemory memory) override {
        inner_->Abandon(handle, overlapped, std::move(memory));
    }
    EventHandle CreateEventObject(bool manualReset, bool initialState) override {
        return inner_->CreateEventObject(manualReset, initialState);
    }
    WaitResult WaitForEvent(EventHandle event, std::uint32_t milliseconds) override {
        return inner_->WaitForEvent(event, milliseconds);
    }
    bool CloseEvent(EventHandle event) override { return inner_->CloseEvent(event); }
    NotifyHandle RegisterInterfaceNotification(WindowHandle window,
                                               const Guid& interfaceClass) override {
        return inner_->RegisterInterfaceNotification(window, interfaceClass);
    }
    NotifyHandle RegisterHandleNotification(WindowHandle window, Handle handle) override {
        return inner_->RegisterHandleNotification(window, handle);
    }
    bool UnregisterNotification(NotifyHandle notification) override {
        return inner_->UnregisterNotification(notification);
    }

  private:
    std::shared_ptr<UsbDriver> inner_;
    std::string id_;
    std::string shown_;  // the path PresentInterfaces gave last
};

}  // namespace qdm::usb
