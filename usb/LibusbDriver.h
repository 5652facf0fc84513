#pragma once
// The driver seam served by libusb: the host's own USB access where the vendor's kernel driver
// does not exist. The driver's interface class is the set of present USB devices with the
// dongle's vendor ID; the request header of every DeviceIoControl is decoded and carried out
// as libusb control, bulk or interrupt transfers. Transfers run asynchronously; one thread per
// process handles libusb's events and completes them, writing the header's status words and
// signalling the caller's event. Every call is thread-safe.
//
// Every open of the dongle reads its descriptors, and the program opens it for every exchange.
// Those reads need not cross the bus each time: the standard device and configuration
// descriptors come from the copy the system holds (as libusb's own calls take them), and string
// descriptors from a cache kept for each attached device, dropped when it re-enumerates.

#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "usb/EventTable.h"
#include "usb/TransferRequest.h"
#include "usb/UsbDriver.h"

struct libusb_transfer;

namespace qdm::usb {

class LibusbContext;

// "usb:BUS-PORT.PORT…", the path a present device is opened by (bus 1, ports 2 then 1 give
// "usb:1-2.1"; a device with no port numbers, a root hub, gets "usb:BUS-0").
std::string LibusbDevicePath(std::uint8_t bus, std::span<const std::uint8_t> ports);

// "libusb 1.0.26.11724": the version of the libusb the program runs with.
std::string LibusbVersionText();

class LibusbDriver final : public UsbDriver {
  public:
    // At or above the version from which the endpoints keep their direct mode.
    static constexpr std::uint32_t kDriverVersion = 0x01050500;
    static constexpr std::uint16_t kVendorId = 0x04B4;

    LibusbDriver();
    ~LibusbDriver() override;

    // False when libusb could not be set up; the driver then finds no device.
    [[nodiscard]] bool Available() const;

    std::vector<std::string> PresentInterfaces(const Guid& interfaceClass) override;
    // A device's path is its port, so it is its ID as well.
    std::vector<DeviceLocation> LocateInterfaces(const Guid& interfaceClass) override {
        std::vector<DeviceLocation> found;
        for (std::string& path : PresentInterfaces(interfaceClass))
            found.push_back({path, path});
        return found;
    }
    Handle OpenDevice(const std::string& path, std::uint32_t& error) override;
    bool CloseDevice(Handle handle) override;
    IoResult DeviceIoControl(Handle handle, std::uint32_t code, std::span<std::uint8_t> in,
                             std::span<std::uint8_t> out, Overlapped* overlapped) override;
    IoResult GetOverlappedResult(Handle handle, Overlapped& overlapped, bool wait) override;
    void Abandon(Handle handle, Overlapped& overlapped, RequestMemory memory) override;
    EventHandle CreateEventObject(bool manualReset, bool initialState) override;
    WaitResult WaitForEvent(EventHandle event, std::uint32_t milliseconds) override;
    bool CloseEvent(EventHandle event) override;
    // Nothing in the program reacts to notifications: none are registered.
    NotifyHandle RegisterInterfaceNotification(WindowHandle, const Guid&) override { return 0; }
    NotifyHandle RegisterHandleNotification(WindowHandle, Handle) override { return 0; }
    bool UnregisterNotification(NotifyHandle) override { return true; }

    // For tests and diagnostics.
    [[nodiscard]] std::size_t OpenHandles() const;
    [[nodiscard]] std::size_t PendingRequests() const;
    [[nodiscard]] std::size_t OpenEvents() const { return events_.Count(); }

  private:
    struct Device;
    struct Request;
    struct DescriptorCache;
    // What a completion touches. A transfer in flight holds it, and itself, so that one
    // completing after the driver has gone finds both.
    struct Sync {
        std::mutex mutex;
        std::condition_variable completed;
    };

    std::shared_ptr<Device> DeviceOf(Handle handle) const;
    IoResult ControlIo(Handle handle, Device& device, std::span<std::uint8_t> in,
                       std::span<std::uint8_t> out, Overlapped* overlapped);
    IoResult BulkIo(Handle handle, Device& device, std::uint32_t code, std::span<std::uint8_t> in,
                    std::span<std::uint8_t> out, Overlapped* overlapped);
    IoResult InfoIo(Handle handle, Device& device, std::uint32_t code, std::span<std::uint8_t> out,
                    Overlapped* overlapped);
    IoResult ResetIo(Handle handle, Device& device, Overlapped* overlapped);
    // A GET_DESCRIPTOR request answered without the bus; nullopt when it must go to the device.
    std::optional<IoResult> DescriptorFromCache(Handle handle, Device& device,
                                                const TransferRequest& header,
                                                std::span<std::uint8_t> data,
                                                std::span<std::uint8_t> status,
                                                Overlapped* overlapped);
    // The whole string descriptor, from the cache or read once; empty when the device refuses.
    std::vector<std::uint8_t> StringDescriptor(Device& device, std::uint8_t index,
                                               std::uint16_t language);
    // Records a request that is already complete and signals its event.
    IoResult FinishNow(Handle handle, Overlapped* overlapped, IoResult result);
    // Submits a filled-in request; pending, or its result when the caller waits (no overlapped).
    IoResult Submit(std::shared_ptr<Request> request, Device& device);
    void AddRequest(const std::shared_ptr<Request>& request);
    // Cancels the pending transfers of `handle` (of one endpoint, or all) and waits until each
    // has completed, for at most kAbortedTransferWaitMs; false when one has not.
    bool CancelAndAwait(Handle handle, const std::uint8_t* endpoint);
    static void OnTransferDone(Request& request, libusb_transfer& transfer);
    static void TransferCallback(libusb_transfer* transfer);

    std::shared_ptr<LibusbContext> context_;
    std::shared_ptr<Sync> sync_ = std::make_shared<Sync>();
    std::mutex& mutex_ = sync_->mutex;
    std::condition_variable& completed_ = sync_->completed;
    std::map<Handle, std::shared_ptr<Device>> handles_;
    Handle nextHandle_ = 0x1000;
    std::map<std::uint64_t, std::shared_ptr<Request>> requests_;
    std::uint64_t nextRequest_ = 1;
    std::map<std::string, std::shared_ptr<DescriptorCache>> caches_;  // by device path
    EventTable events_;
};

}  // namespace qdm::usb
