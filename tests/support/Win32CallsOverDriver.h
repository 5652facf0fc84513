#pragma once
// Stands in for the Win32 calls of the vendor-driver backend on any host: SetupAPI is emulated
// over another driver's device list (checking the size fields as the system does), the device
// calls go to that driver, and every call is recorded with what it carried.

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "usb/UsbDriver.h"
#include "usb/Win32DriverCore.h"

namespace qdm::test {

class Win32CallsOverDriver final : public usb::win32::Win32Calls {
  public:
    struct Call {
        std::string function;
        std::uint32_t code = 0;        // DeviceIoControl
        std::vector<std::uint8_t> in;  // DeviceIoControl input, filter bytes, record bytes
        std::size_t outSize = 0;       // DeviceIoControl output, detail buffer size
        bool sameBuffer = false;       // DeviceIoControl: in and out are one buffer
        std::uintptr_t record = 0;     // identity of the OVERLAPPED passed
        usb::EventHandle event = 0;    // event of that OVERLAPPED
        std::uint32_t index = 0;       // enumeration index
        std::uint32_t flags = 0;       // flags, access
        std::uint32_t share = 0;       // CreateFileA
        std::uint32_t creation = 0;    // CreateFileA
        std::string text;              // path, event name
        std::size_t devInfoSize = 0;   // detail: device-info record size
        bool wait = false;             // GetOverlappedResult
        usb::Handle handle = usb::InvalidHandle;
        usb::WindowHandle window = 0;
        bool manualReset = false;
        bool initialState = false;
        std::uint32_t milliseconds = 0;
    };

    Win32CallsOverDriver(std::shared_ptr<usb::UsbDriver> driver, unsigned pointerBits);

    std::vector<Call> calls;
    // Names of the calls, in order.
    [[nodiscard]] std::vector<std::string> Functions() const;
    [[nodiscard]] std::vector<Call> CallsTo(const std::string& function) const;

    // Faults: the list cannot be made; enumeration indexes that fail with an error; a detail
    // record that cannot be read; the next DeviceIoControl calls refused with an error.
    bool failClassDevs = false;
    std::map<std::uint32_t, std::uint32_t> failingIndexes;
    std::set<std::uint32_t> unreadableDetails;
    std::vector<std::uint32_t> refuseIoControl;
    // Every DeviceIoControl goes pending, completing only when GetOverlappedResult waits.
    bool holdRequests = false;
    // The devices' locations, as the system reports them: a path of a PCI controller's root hub
    // and the ports of the wrapped driver's ID ("sim:3" is port 3, "usb:1-2.1" ports 2 and 1),
    // or, with `locationPaths` off, the last hub's port only.
    bool locationPaths = true;

    [[nodiscard]] std::size_t OpenLists() const { return lists_.size(); }
    [[nodiscard]] std::size_t LiveRecords() const { return *liveRecords_; }

    std::uint32_t GetLastError() override { return lastError_; }
    usb::Handle SetupDiGetClassDevsA(const usb::Guid& classGuid, std::uint32_t flags) override;
    bool SetupDiEnumDeviceInterfaces(usb::Handle list, const usb::Guid& classGuid,
                                     std::uint32_t index,
                                     std::span<std::uint8_t> interfaceData) override;
    bool SetupDiGetDeviceInterfaceDetailA(usb::Handle list, std::span<std::uint8_t> interfaceData,
                                          std::span<std::uint8_t> detail,
                                          std::uint32_t& requiredSize,
                                          std::span<std::uint8_t> devInfo) override;
    bool SetupDiGetDeviceRegistryPropertyA(usb::Handle list, std::span<const std::uint8_t> devInfo,
                                           std::uint32_t property, std::uint32_t& type,
                                           std::span<std::uint8_t> buffer,
                                           std::uint32_t& requiredSize) override;
    bool SetupDiDestroyDeviceInfoList(usb::Handle list) override;
    usb::Handle CreateFileA(const std::string& path, std::uint32_t access, std::uint32_t share,
                            std::uint32_t creation, std::uint32_t flags) override;
    bool CloseHandle(usb::Handle object) override;
    std::unique_ptr<OverlappedRecord> NewOverlapped(usb::EventHandle event) override;
    bool DeviceIoControl(usb::Handle device, std::uint32_t code, std::span<std::uint8_t> in,
                         std::span<std::uint8_t> out, std::uint32_t& bytes,
                         OverlappedRecord& overlapped) override;
    bool GetOverlappedResult(usb::Handle device, OverlappedRecord& overlapped, std::uint32_t& bytes,
                             bool wait) override;
    bool CancelIoEx(usb::Handle device, OverlappedRecord& overlapped) override;
    usb::EventHandle CreateEventA(bool manualReset, bool initialState) override;
    std::uint32_t WaitForSingleObject(usb::Handle object, std::uint32_t milliseconds) override;
    usb::NotifyHandle RegisterDeviceNotificationA(usb::WindowHandle recipient,
                                                  std::span<const std::uint8_t> filter,
                                                  std::uint32_t flags) override;
    bool UnregisterDeviceNotification(usb::NotifyHandle notification) override;

  private:
    struct HeldRequest {
        usb::Handle device = usb::InvalidHandle;
        std::uint32_t code = 0;
        std::span<std::uint8_t> in;
        std::span<std::uint8_t> out;
    };
    class Record;
    Call& Log(const char* function);
    bool Fail(std::uint32_t error) {
        lastError_ = error;
        return false;
    }
    usb::IoResult Forward(usb::Handle device, std::uint32_t code, std::span<std::uint8_t> in,
                          std::span<std::uint8_t> out, Record& record);

    std::shared_ptr<usb::UsbDriver> driver_;
    usb::win32::RecordSizes sizes_;
    std::uint32_t lastError_ = 0;
    std::map<usb::Handle, std::vector<usb::DeviceLocation>> lists_;
    usb::Handle nextList_ = 0x5000;
    std::set<usb::Handle> handles_;  // devices and events
    std::shared_ptr<std::size_t> liveRecords_ = std::make_shared<std::size_t>(0);
};

}  // namespace qdm::test
