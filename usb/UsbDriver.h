#pragma once
// The seam between the USB class family and whatever carries its requests: the vendor's kernel
// driver on Windows, libusb elsewhere, the virtual dongle in tests and demo mode, or a decorator
// around any of them. The vocabulary is the vendor driver's own: device-interface enumeration by
// class GUID, a handle per opened device, DeviceIoControl with the driver's request codes and
// the 38-byte request header, overlapped completion signalled through an event.

#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace qdm::usb {

struct Guid {
    std::uint32_t Data1 = 0;
    std::uint16_t Data2 = 0;
    std::uint16_t Data3 = 0;
    std::array<std::uint8_t, 8> Data4{};

    friend bool operator==(const Guid&, const Guid&) = default;
    // The usual 16-byte form: Data1..Data3 little-endian, then Data4.
    [[nodiscard]] std::array<std::uint8_t, 16> Bytes() const;
    // "{AE18AA60-7F6A-11D4-97DD-00010229B959}"
    [[nodiscard]] std::string ToString() const;
};

// Device-interface class of the vendor's USB driver.
inline constexpr Guid DriverInterfaceGuid{
    0xAE18AA60, 0x7F6A, 0x11D4, {0x97, 0xDD, 0x00, 0x01, 0x02, 0x29, 0xB9, 0x59}};

using Handle = std::intptr_t;
inline constexpr Handle InvalidHandle = -1;
using EventHandle = std::intptr_t;    // 0 = none
using NotifyHandle = std::intptr_t;   // 0 = none
using WindowHandle = std::uintptr_t;  // 0 = no window

inline constexpr std::uint32_t kInfinite = 0xFFFFFFFF;

// How long an aborted transfer may take to complete. A working driver completes one within
// milliseconds of the abort; one that has not done so after seconds will likely never do so,
// and waiting on would freeze the program for good. Three seconds keep the window's "not
// responding" short next to the two 2-second waits a transaction already spent.
inline constexpr std::uint32_t kAbortedTransferWaitMs = 3000;

// Owners of the memory a request was submitted with: its request buffer and, for a direct
// transfer, the data buffer.
using RequestMemory = std::vector<std::shared_ptr<const void>>;

// System error codes that cross the seam (the Windows values, whatever the backend).
namespace error {
inline constexpr std::uint32_t Success = 0;
inline constexpr std::uint32_t FileNotFound = 2;
inline constexpr std::uint32_t AccessDenied = 5;
inline constexpr std::uint32_t InvalidHandle = 6;
inline constexpr std::uint32_t GenFailure = 31;
inline constexpr std::uint32_t SharingViolation = 32;
inline constexpr std::uint32_t InvalidParameter = 87;
inline constexpr std::uint32_t Busy = 170;
inline constexpr std::uint32_t WaitTimeout = 258;
inline constexpr std::uint32_t NoMoreItems = 259;
inline constexpr std::uint32_t OperationAborted = 995;
inline constexpr std::uint32_t IoIncomplete = 996;
inline constexpr std::uint32_t IoPending = 997;
inline constexpr std::uint32_t DeviceNotConnected = 1167;
}  // namespace error

// Status words the driver writes into a request header (NtStatus and UsbdStatus).
namespace status {
inline constexpr std::uint32_t NtSuccess = 0;
inline constexpr std::uint32_t NtUnsuccessful = 0xC0000001;
inline constexpr std::uint32_t NtCancelled = 0xC0000120;
inline constexpr std::uint32_t NtNoSuchDevice = 0xC000000E;
inline constexpr std::uint32_t NtIoTimeout = 0xC00000B5;
inline constexpr std::uint32_t UsbdSuccess = 0;
inline constexpr std::uint32_t UsbdStall = 0xC0000004;
inline constexpr std::uint32_t UsbdDataOverrun = 0xC0000008;
inline constexpr std::uint32_t UsbdXactError = 0xC0000011;
inline constexpr std::uint32_t UsbdTimeout = 0xC0006000;
inline constexpr std::uint32_t UsbdCancelled = 0xC0010000;
inline constexpr std::uint32_t UsbdDeviceGone = 0xC0007000;
}  // namespace status

// "ERROR_ACCESS_DENIED (5)": a system error code under its Windows name, for the diagnostic log.
std::string ErrorName(std::uint32_t error);
// "STATUS_CANCELLED (0xC0000120)": a status word of a request header under its name.
std::string StatusName(std::uint32_t status);

// The caller's overlapped record. It must stay valid, and at the same address, from submission
// until the transfer is finished; `Internal` belongs to the driver while a request is pending.
struct Overlapped {
    EventHandle hEvent = 0;
    std::uintptr_t Internal = 0;
};

// Result of DeviceIoControl and GetOverlappedResult, as the Win32 calls report it.
struct IoResult {
    bool ok = false;          // the call (or the completed request) succeeded
    std::uint32_t error = 0;  // system error code: 0, IoPending, IoIncomplete, or a failure
    std::uint32_t bytes = 0;  // bytes returned into the output buffer
};

enum class WaitResult { Signalled, TimedOut, Failed };

// A present device of an interface class and the ID of the place it is plugged into: the USB
// port, as "usb:1-2.1" (bus 1, port 2, then port 1 of the hub there). A dongle keeps its ID when
// it leaves the bus and comes back with new firmware, and a label on the hub port names it.
struct DeviceLocation {
    std::string path;  // what OpenDevice takes
    std::string id;    // empty when the backend cannot tell the port
    friend bool operator==(const DeviceLocation&, const DeviceLocation&) = default;
};

class UsbDriver {
  public:
    UsbDriver() = default;
    UsbDriver(const UsbDriver&) = delete;
    UsbDriver& operator=(const UsbDriver&) = delete;
    virtual ~UsbDriver() = default;

    // Paths of the present devices that expose `interfaceClass`, in the system's order.
    virtual std::vector<std::string> PresentInterfaces(const Guid& interfaceClass) = 0;
    // The same devices in the same order, each with its ID. By default none has one.
    virtual std::vector<DeviceLocation> LocateInterfaces(const Guid& interfaceClass);

    // Opens a device path for overlapped I/O. On failure returns InvalidHandle and sets `error`
    // (FileNotFound when the device is gone, AccessDenied, Busy/SharingViolation when another
    // program holds it).
    virtual Handle OpenDevice(const std::string& path, std::uint32_t& error) = 0;
    virtual bool CloseDevice(Handle handle) = 0;

    // DeviceIoControl. `in` and `out` may be the same memory. With `overlapped` null the call
    // is synchronous. With an overlapped record a request either completes at once (ok, error 0;
    // the record's event is signalled as well) or stays pending (not ok, error IoPending) and
    // completes later: the driver then writes the data into `out` and the status words into the
    // request header, and signals the event. Both buffers must stay valid until completion.
    //
    // Request codes (see TransferRequest.h): control requests and buffered transfers pass the
    // header with the data behind it as in and out buffer and return header + data bytes; a
    // direct transfer passes the header as `in` and the caller's data buffer as `out` and
    // returns the bytes moved, with the status words written back into the header; abort-pipe
    // completes every pending transfer of that endpoint with OperationAborted.
    virtual IoResult DeviceIoControl(Handle handle, std::uint32_t code, std::span<std::uint8_t> in,
                                     std::span<std::uint8_t> out, Overlapped* overlapped) = 0;

    // GetOverlappedResult. Without `wait` a pending request gives {false, IoIncomplete}; with
    // `wait` the call returns once the request has completed.
    virtual IoResult GetOverlappedResult(Handle handle, Overlapped& overlapped, bool wait) = 0;

    // Gives up on the pending request of `overlapped`, which was aborted but did not complete in
    // time. From then on the driver writes nothing into `overlapped` and keeps `memory` alive
    // until the request has completed or the driver ends, so that the caller may drop the
    // record, its buffers and its event at once (a completion signals the event through the
    // driver's own hold on it). By default the memory is kept for the driver's lifetime.
    virtual void Abandon(Handle handle, Overlapped& overlapped, RequestMemory memory);

    // Unnamed events, as CreateEventA (named differently: windows.h makes CreateEvent a macro).
    // Never named: a named event is shared by every process of the session, so two programs
    // driving two dongles would take each other's completions.
    virtual EventHandle CreateEventObject(bool manualReset, bool initialState) = 0;
    virtual WaitResult WaitForEvent(EventHandle event, std::uint32_t milliseconds) = 0;
    virtual bool CloseEvent(EventHandle event) = 0;

    // Device notifications for a window (0 when the host has none to give).
    virtual NotifyHandle RegisterInterfaceNotification(WindowHandle window,
                                                       const Guid& interfaceClass) = 0;
    virtual NotifyHandle RegisterHandleNotification(WindowHandle window, Handle handle) = 0;
    virtual bool UnregisterNotification(NotifyHandle notification) = 0;

  private:
    std::vector<RequestMemory> abandoned_;
};

// The driver the process uses. Chosen once at start-up; until then, the platform's own.
UsbDriver& ActiveDriver();
std::shared_ptr<UsbDriver> ActiveDriverShared();
void SetActiveDriver(std::shared_ptr<UsbDriver> driver);

// The platform's real driver backend (a driver that finds no device where none is built).
std::shared_ptr<UsbDriver> CreatePlatformDriver();
// What that backend is, with its version where it has one: "libusb 1.0.26.11724"; empty for
// a build without USB access.
std::string PlatformDriverName();

// RAII for an event of a driver.
class Event {
  public:
    explicit Event(UsbDriver& driver, bool manualReset = false, bool initialState = false)
        : driver_(&driver), handle_(driver.CreateEventObject(manualReset, initialState)) {}
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;
    ~Event() {
        if (handle_ != 0) driver_->CloseEvent(handle_);
    }
    [[nodiscard]] EventHandle handle() const { return handle_; }

  private:
    UsbDriver* driver_;
    EventHandle handle_;
};

}  // namespace qdm::usb
