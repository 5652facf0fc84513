#pragma once
// The vendor-driver backend over the Win32 calls it makes. The calls themselves
// (usb/Win32Driver.cpp) exist on Windows only; everything that decides what they carry — the
// records and their size fields, the notification filters, the device paths, the mapping of
// the seam's overlapped records onto the system's — is here, so every host builds and tests it.

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "usb/UsbDriver.h"

namespace qdm::usb::win32 {

// Values of the Win32 constants the backend passes, as the Windows SDK defines them.
inline constexpr std::uint32_t kDigcfPresent = 0x02;
inline constexpr std::uint32_t kDigcfDeviceInterface = 0x10;
inline constexpr std::uint32_t kClassDevFlags = kDigcfPresent | kDigcfDeviceInterface;
inline constexpr std::uint32_t kGenericRead = 0x80000000;
inline constexpr std::uint32_t kGenericWrite = 0x40000000;
inline constexpr std::uint32_t kFileShareRead = 0x1;
inline constexpr std::uint32_t kFileShareWrite = 0x2;
inline constexpr std::uint32_t kOpenExisting = 3;
inline constexpr std::uint32_t kFileFlagOverlapped = 0x40000000;
inline constexpr std::uint32_t kWaitObject0 = 0;
inline constexpr std::uint32_t kWaitTimeout = 258;
inline constexpr std::uint32_t kWaitFailed = 0xFFFFFFFF;
inline constexpr std::uint32_t kDbtDevtypDeviceInterface = 5;
inline constexpr std::uint32_t kDbtDevtypHandle = 6;
inline constexpr std::uint32_t kDeviceNotifyWindowHandle = 0;
inline constexpr std::uint32_t kErrorInsufficientBuffer = 122;
inline constexpr std::uint32_t kErrorInvalidUserBuffer = 1784;
inline constexpr std::uint32_t kSpdrpLocationInformation = 0x0D;
inline constexpr std::uint32_t kSpdrpLocationPaths = 0x23;
inline constexpr std::uint32_t kRegSz = 1;
inline constexpr std::uint32_t kRegMultiSz = 7;

// Sizes of the records whose size field the system checks. They follow the pointer width:
// 32-bit Windows packs the SetupAPI records to 1 byte, 64-bit Windows aligns them to 8.
struct RecordSizes {
    std::uint32_t interfaceData;    // SP_DEVICE_INTERFACE_DATA
    std::uint32_t devInfoData;      // SP_DEVINFO_DATA
    std::uint32_t detailSizeField;  // cbSize of SP_DEVICE_INTERFACE_DETAIL_DATA_A
    std::uint32_t interfaceFilter;  // DEV_BROADCAST_DEVICEINTERFACE_A
    std::uint32_t handleFilter;     // DEV_BROADCAST_HANDLE
};

constexpr RecordSizes RecordSizesFor(unsigned pointerBits) {
    if (pointerBits == 32) return {28, 28, 5, 32, 44};
    return {32, 32, 8, 32, 56};
}

inline constexpr unsigned kNativePointerBits = sizeof(void*) * 8;

// The device path starts behind the detail record's 4-byte size field and ends in a zero.
inline constexpr std::uint32_t kDetailPathOffset = 4;
inline constexpr std::uint32_t kDetailOverhead = kDetailPathOffset + 1;

// A zeroed record of `size` bytes whose first four bytes hold `sizeField`.
std::vector<std::uint8_t> SizedRecord(std::size_t size, std::uint32_t sizeField);

// Device-interface notification filter for `interfaceClass` (32 bytes, device type 5).
std::vector<std::uint8_t> InterfaceFilter(const Guid& interfaceClass);
// Handle notification filter for `device` (44 or 56 bytes, device type 6).
std::vector<std::uint8_t> HandleFilter(Handle device, unsigned pointerBits);

// The path in a detail record that the system reported `requiredSize` bytes for:
// requiredSize - 5 characters, cut at a zero and at the end of the record.
std::string PathFromDetail(std::span<const std::uint8_t> detail, std::uint32_t requiredSize);

WaitResult WaitResultOf(std::uint32_t waitCode);

// The ID of the port a device is plugged into, from what the system reports for it; "" when the
// text names no USB port. The location path names the controller and every port down to the
// device: "PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(2)#USB(1)" is "usb:14.0-2.1" (PCI device 14
// function 0, port 2, then port 1 of the hub there; further PCI or ACPI steps before the root
// hub join the controller's part with "/"). The location information of systems without paths
// names the last hub only: "Port_#0002.Hub_#0001" is "usb:hub1-2".
std::string IdFromLocationPath(std::string_view path);
std::string IdFromLocationInformation(std::string_view information);

// The Win32 functions the backend calls, with portable types. Handles are the system's values.
class Win32Calls {
  public:
    // An OVERLAPPED of the system's. It does not move while the system holds it.
    class OverlappedRecord {
      public:
        virtual ~OverlappedRecord() = default;
    };

    Win32Calls() = default;
    Win32Calls(const Win32Calls&) = delete;
    Win32Calls& operator=(const Win32Calls&) = delete;
    virtual ~Win32Calls() = default;

    virtual std::uint32_t GetLastError() = 0;

    // InvalidHandle on failure.
    virtual Handle SetupDiGetClassDevsA(const Guid& classGuid, std::uint32_t flags) = 0;
    virtual bool SetupDiEnumDeviceInterfaces(Handle list, const Guid& classGuid,
                                             std::uint32_t index,
                                             std::span<std::uint8_t> interfaceData) = 0;
    // `detail` and `devInfo` may be empty (null for the system).
    virtual bool SetupDiGetDeviceInterfaceDetailA(Handle list,
                                                  std::span<std::uint8_t> interfaceData,
                                                  std::span<std::uint8_t> detail,
                                                  std::uint32_t& requiredSize,
                                                  std::span<std::uint8_t> devInfo) = 0;
    virtual bool SetupDiDestroyDeviceInfoList(Handle list) = 0;
    // A property of the device of `devInfo` (as the detail call filled it in): its registry type
    // and value into `buffer`; `requiredSize` is the size the value needs.
    virtual bool SetupDiGetDeviceRegistryPropertyA(Handle list,
                                                   std::span<const std::uint8_t> devInfo,
                                                   std::uint32_t property, std::uint32_t& type,
                                                   std::span<std::uint8_t> buffer,
                                                   std::uint32_t& requiredSize) = 0;

    // InvalidHandle on failure.
    virtual Handle CreateFileA(const std::string& path, std::uint32_t access, std::uint32_t share,
                               std::uint32_t creation, std::uint32_t flags) = 0;
    virtual bool CloseHandle(Handle object) = 0;

    virtual std::unique_ptr<OverlappedRecord> NewOverlapped(EventHandle event) = 0;
    virtual bool DeviceIoControl(Handle device, std::uint32_t code, std::span<std::uint8_t> in,
                                 std::span<std::uint8_t> out, std::uint32_t& bytes,
                                 OverlappedRecord& overlapped) = 0;
    virtual bool GetOverlappedResult(Handle device, OverlappedRecord& overlapped,
                                     std::uint32_t& bytes, bool wait) = 0;
    virtual bool CancelIoEx(Handle device, OverlappedRecord& overlapped) = 0;

    // 0 on failure.
    // Always unnamed.
    virtual EventHandle CreateEventA(bool manualReset, bool initialState) = 0;
    virtual std::uint32_t WaitForSingleObject(Handle object, std::uint32_t milliseconds) = 0;

    // 0 on failure.
    virtual NotifyHandle RegisterDeviceNotificationA(WindowHandle recipient,
                                                     std::span<const std::uint8_t> filter,
                                                     std::uint32_t flags) = 0;
    virtual bool UnregisterDeviceNotification(NotifyHandle notification) = 0;
};

// UsbDriver over Win32Calls: the semantics the seam describes, with the errors the system gives.
// Used from one thread at a time, as the class family is.
class Win32DriverCore final : public UsbDriver {
  public:
    explicit Win32DriverCore(std::shared_ptr<Win32Calls> calls,
                             unsigned pointerBits = kNativePointerBits);
    ~Win32DriverCore() override;

    std::vector<std::string> PresentInterfaces(const Guid& interfaceClass) override;
    std::vector<DeviceLocation> LocateInterfaces(const Guid& interfaceClass) override;
    Handle OpenDevice(const std::string& path, std::uint32_t& error) override;
    bool CloseDevice(Handle handle) override;
    IoResult DeviceIoControl(Handle handle, std::uint32_t code, std::span<std::uint8_t> in,
                             std::span<std::uint8_t> out, Overlapped* overlapped) override;
    IoResult GetOverlappedResult(Handle handle, Overlapped& overlapped, bool wait) override;
    void Abandon(Handle handle, Overlapped& overlapped, RequestMemory memory) override;
    EventHandle CreateEventObject(bool manualReset, bool initialState) override;
    WaitResult WaitForEvent(EventHandle event, std::uint32_t milliseconds) override;
    bool CloseEvent(EventHandle event) override;
    NotifyHandle RegisterInterfaceNotification(WindowHandle window,
                                               const Guid& interfaceClass) override;
    NotifyHandle RegisterHandleNotification(WindowHandle window, Handle handle) override;
    bool UnregisterNotification(NotifyHandle notification) override;

    // Overlapped records the backend still keeps a system record for (for tests).
    [[nodiscard]] std::size_t TrackedRequests() const { return submissions_.size(); }

    // Enumeration stops after this many indexes even if the system never says "no more items".
    static constexpr std::uint32_t kMaxInterfaceIndex = 1024;

  private:
    enum class State { Completed, Pending, Refused };
    struct Submission {
        Handle device = InvalidHandle;
        std::unique_ptr<Win32Calls::OverlappedRecord> record;
        State state = State::Completed;
        std::uint32_t refusal = 0;
        bool collected = false;  // a final result has been handed out
        EventHandle event = 0;   // what the system signals on completion
        RequestMemory kept;      // the caller's memory of a request given up on
    };

    std::vector<DeviceLocation> Enumerate(const Guid& interfaceClass, bool locate);
    // The interface's path; `devInfo` receives its device's record.
    std::string DetailPath(Handle list, std::span<std::uint8_t> interfaceData,
                           std::vector<std::uint8_t>& devInfo);
    // The ID of the port of the device of `devInfo`; "" when the system does not tell.
    std::string PortId(Handle list, std::span<const std::uint8_t> devInfo);
    // A text property; nothing when the system has none of the type.
    std::optional<std::string> TextProperty(Handle list, std::span<const std::uint8_t> devInfo,
                                            std::uint32_t property, std::uint32_t type);
    IoResult SynchronousIoControl(Handle handle, std::uint32_t code, std::span<std::uint8_t> in,
                                  std::span<std::uint8_t> out);
    bool InFlight(Submission& submission);
    // Cancels a request still in flight and waits for it, at most kAbortedTransferWaitMs; false
    // when the system still holds it.
    bool Settle(Submission& submission);
    // Frees the records (and memory) of given-up requests that the system has completed since.
    void ReapAbandoned();
    // Given-up requests the system still held when the backend ended: they end with the process.
    static std::vector<Submission>& LeftToTheSystem();

    std::shared_ptr<Win32Calls> calls_;
    RecordSizes sizes_;
    unsigned pointerBits_;
    std::map<const Overlapped*, Submission> submissions_;
    std::vector<Submission> abandoned_;
};

}  // namespace qdm::usb::win32
