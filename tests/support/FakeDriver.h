#pragma once
// A scriptable UsbDriver for unit tests of the USB class family and the transaction: it serves
// crafted descriptors, records every request with its decoded header, and answers bulk lists
// through a callback. Nothing in it sleeps.

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "usb/DriverRequest.h"
#include "usb/UsbDriver.h"

namespace qdm::test {

// Standard descriptor builders.
std::vector<std::uint8_t> DeviceDescriptorBytes(std::uint16_t vid, std::uint16_t pid,
                                                std::uint8_t configurations,
                                                std::uint8_t maxPacket0 = 64);
std::vector<std::uint8_t> ConfigHeader(std::uint8_t interfaces, std::uint8_t value = 1);
std::vector<std::uint8_t> InterfaceDescriptor(std::uint8_t number, std::uint8_t alternate,
                                              std::uint8_t endpoints);
std::vector<std::uint8_t> EndpointDescriptor(std::uint8_t address, std::uint8_t attributes,
                                             std::uint16_t maxPacket = 512);
// Concatenates parts behind a configuration header and fixes its wTotalLength.
std::vector<std::uint8_t> ConfigSet(std::vector<std::vector<std::uint8_t>> parts,
                                    std::uint8_t interfaces, std::uint8_t value = 1);
// A writer dongle: 04B4:1004, bulk OUT 0x02 and bulk IN 0x86.
std::vector<std::uint8_t> DongleConfigSet();

// A scripted answer to a synchronous device-level request (descriptor reads and the driver's
// information requests, all that an open asks).
struct ScriptedAnswer {
    enum class Kind { BuiltIn, Fails, Returns };
    Kind kind = Kind::BuiltIn;        // BuiltIn: answered from the device's fields
    std::vector<std::uint8_t> bytes;  // Returns: written into the buffer, cut to its size
    // A byte count the driver reports instead of the true one.
    std::optional<std::uint32_t> claimed;
};

struct FakeDevice {
    std::string path = "\\\\?\\usb#vid_04b4&pid_1004#0";
    std::vector<std::uint8_t> deviceDescriptor = DeviceDescriptorBytes(0x04B4, 0x1004, 1);
    std::vector<std::vector<std::uint8_t>> configurations = {DongleConfigSet()};
    std::vector<std::uint16_t> languages = {0x0409};
    std::map<std::uint8_t, std::u16string> strings;
    std::uint32_t driverVersion = 0x01050500;
    std::optional<std::uint8_t> altSetting = 0;  // nullopt: the request fails
    std::uint8_t address = 3;
    std::string deviceName = "Writer dongle";
    std::string friendlyName = "QDM writer dongle";
    std::uint32_t openError = 0;  // non-zero: OpenDevice fails with it
    bool closeFails = false;
    bool vendorRequestsFail = false;  // vendor control requests stall
    // Asked first for every synchronous request but the transfers, aborts and resets; `header`
    // is that of a control request (empty for the others).
    std::function<ScriptedAnswer(std::uint32_t code, const usb::TransferRequest& header)> script;
    // Answers a bulk OUT list with the bytes to deliver to the pending IN; nullopt: no answer.
    std::function<std::optional<std::vector<std::uint8_t>>(std::span<const std::uint8_t>)> onList;
};

class FakeDriver final : public usb::UsbDriver {
  public:
    struct Call {
        std::uint32_t code = 0;
        bool overlapped = false;
        usb::TransferRequest header;     // when the input holds one
        std::vector<std::uint8_t> data;  // control / buffered data, OUT direct data
    };

    std::vector<FakeDevice> devices;
    std::vector<Call> calls;
    int eventsCreated = 0;
    std::uint32_t openCount = 0;
    std::uint32_t closeCount = 0;
    bool unregisterFails = false;
    std::uint32_t registrations = 0;

    std::vector<std::string> PresentInterfaces(const usb::Guid& interfaceClass) override;
    usb::Handle OpenDevice(const std::string& path, std::uint32_t& error) override;
    bool CloseDevice(usb::Handle handle) override;
    usb::IoResult DeviceIoControl(usb::Handle handle, std::uint32_t code,
                                  std::span<std::uint8_t> in, std::span<std::uint8_t> out,
                                  usb::Overlapped* overlapped) override;
    usb::IoResult GetOverlappedResult(usb::Handle handle, usb::Overlapped& overlapped,
                                      bool wait) override;
    usb::EventHandle CreateEventObject(bool manualReset, bool initialState) override;
    usb::WaitResult WaitForEvent(usb::EventHandle event, std::uint32_t milliseconds) override;
    bool CloseEvent(usb::EventHandle event) override;
    usb::NotifyHandle RegisterInterfaceNotification(usb::WindowHandle window,
                                                    const usb::Guid& interfaceClass) override;
    usb::NotifyHandle RegisterHandleNotification(usb::WindowHandle window,
                                                 usb::Handle handle) override;
    bool UnregisterNotification(usb::NotifyHandle notification) override;

    // Aborts leave transfers pending, as a broken driver does; CompleteStuckTransfers() then
    // completes them late, filling IN data with 0xA5.
    bool abortsNeverComplete = false;
    void CompleteStuckTransfers();
    // Waits that could never end in a real program: an infinite wait or a waiting
    // GetOverlappedResult on a transfer still pending.
    std::uint32_t hangs = 0;

    // Calls with the given code, in order.
    std::vector<Call> CallsWith(std::uint32_t code) const;
    // Milliseconds the waits that timed out would have taken.
    std::uint64_t waitedMs = 0;

  private:
    struct Pending {
        bool done = false;
        usb::IoResult result;
        usb::EventHandle event = 0;
        std::span<std::uint8_t> header;  // where the status words go
        std::span<std::uint8_t> data;    // where an IN transfer's data goes
        std::uint8_t endpoint = 0;
        std::uint32_t dataOffset = 0;
    };
    FakeDevice* DeviceOf(usb::Handle handle);
    usb::IoResult Control(FakeDevice& device, std::span<std::uint8_t> request);
    static usb::IoResult Scripted(const ScriptedAnswer& answer, std::uint32_t code,
                                  std::span<std::uint8_t> in, std::span<std::uint8_t> out);
    void Complete(std::uintptr_t id, usb::IoResult result);

    std::map<usb::Handle, std::size_t> handles_;
    usb::Handle nextHandle_ = 100;
    std::map<std::uintptr_t, Pending> pending_;
    std::uintptr_t nextRequest_ = 1;
    std::map<usb::EventHandle, bool> events_;
    usb::EventHandle nextEvent_ = 1;
    std::vector<std::uint8_t> inFifo_;
};

}  // namespace qdm::test
