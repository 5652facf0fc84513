#pragma once
// Serves the vendor driver's vocabulary (usb/UsbDriver.h) from virtual dongles: device-interface
// enumeration, handles, DeviceIoControl with the 38-byte request header, overlapped completion
// through events. The driver and its dongles share one clock. On a virtual clock nothing ever
// sleeps: a wait moves the clock to the dongle's next piece of work or to its own end, whichever
// comes first. On a real clock the same waits sleep. Requests that take bus time (control
// transfers, port resets) return once it has passed. A wait on an event that nothing scheduled
// could ever signal returns TimedOut after its time, or Failed when it is infinite.
//
// A request that reaches the dongle signals its overlapped event when it completes, whatever the
// outcome (a stalled control request too); requests refused before that (bad handle, bad
// buffers, device gone) return their error and signal nothing.
//
// Requests pending on a handle that is closed are cancelled at the dongle and abandoned: nothing
// is written into their buffers or overlapped records afterwards. While a request is pending its
// buffers (and the header of a direct transfer) must stay valid, as with the real driver.

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "sim/Clock.h"
#include "sim/VirtualDongle.h"
#include "usb/UsbDriver.h"

namespace qdm::sim {

struct NotificationRecord {
    enum class Kind { Interface, Handle };
    usb::NotifyHandle id = 0;
    Kind kind = Kind::Interface;
    usb::WindowHandle window = 0;
    usb::Guid interfaceClass;                 // Interface registrations
    usb::Handle device = usb::InvalidHandle;  // Handle registrations
    bool active = true;
};

class VirtualDriver final : public usb::UsbDriver {
  public:
    static constexpr std::uint32_t kDefaultDriverVersion = 0x01050500;
    static constexpr std::uint32_t kDefaultUsbdiVersion = 0x00000600;

    // A virtual clock unless given one.
    explicit VirtualDriver(std::shared_ptr<Clock> clock = nullptr);
    ~VirtualDriver() override;

    // Makes the dongle reachable, on the driver's clock; returns its device path. A dongle shows
    // up in the enumeration while it is plugged, in the order of attachment, with the ID "sim:N":
    // N is `number`, or one more than the highest so far.
    std::string Attach(std::shared_ptr<VirtualDongle> dongle, unsigned number = 0);
    [[nodiscard]] std::size_t DongleCount() const { return dongles_.size(); }
    [[nodiscard]] VirtualDongle& Dongle(std::size_t index) { return *dongles_.at(index).dongle; }

    // --- UsbDriver -----------------------------------------------------------------------------
    std::vector<std::string> PresentInterfaces(const usb::Guid& interfaceClass) override;
    std::vector<usb::DeviceLocation> LocateInterfaces(const usb::Guid& interfaceClass) override;
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

    // --- Time ----------------------------------------------------------------------------------
    [[nodiscard]] std::uint64_t ElapsedMilliseconds() const;
    // Lets `milliseconds` pass (sleeping on a real clock) with the dongles working meanwhile.
    void AdvanceClock(std::uint64_t milliseconds);
    [[nodiscard]] Clock& TimeSource() const { return *clock_; }
    [[nodiscard]] std::shared_ptr<Clock> SharedClock() const { return clock_; }

    // --- Settings and test hooks ---------------------------------------------------------------
    void SetDriverVersion(std::uint32_t version) { driverVersion_ = version; }
    void SetUsbdiVersion(std::uint32_t version) { usbdiVersion_ = version; }
    void SetAltInterfaceSetting(std::uint8_t setting) { altSetting_ = setting; }
    // The next `count` opens fail with `error` (AccessDenied, Busy, SharingViolation, ...).
    void InjectOpenFailure(std::uint32_t error, unsigned count = 1);
    void SetCloseDeviceFails(bool fails) { closeFails_ = fails; }
    void SetUnregisterNotificationFails(bool fails) { unregisterFails_ = fails; }

    [[nodiscard]] const std::vector<NotificationRecord>& Notifications() const {
        return notifications_;
    }
    [[nodiscard]] std::size_t OpenHandles() const { return handles_.size(); }
    [[nodiscard]] std::size_t OpenEvents() const { return events_.size(); }
    [[nodiscard]] std::size_t PendingRequests() const;
    [[nodiscard]] std::uint64_t OpensAttempted() const { return opensAttempted_; }
    // State of an event (for tests); nullopt for an unknown handle.
    [[nodiscard]] std::optional<bool> EventSignalled(usb::EventHandle event) const;

  private:
    struct EventObject {
        bool manualReset = false;
        bool signalled = false;
    };
    struct AttachedDongle {
        std::shared_ptr<VirtualDongle> dongle;
        std::string path;
        std::uint8_t busAddress = 0;
        std::string deviceName;  // what the driver reports as the device name
        unsigned number = 0;     // of its ID, sim:N
    };
    struct OpenHandle {
        std::size_t dongle = 0;
        std::uint32_t plugCount = 0;
    };
    struct Request {
        usb::Handle handle = usb::InvalidHandle;
        usb::Overlapped* overlapped = nullptr;
        std::shared_ptr<EventObject> event;
        std::span<std::uint8_t> status;  // the header, where the status words go
        std::uint32_t dataOffset = 0;    // added to the bytes moved in the result
        BulkId bulk = 0;
        bool pending = true;
        bool abandoned = false;
        usb::IoResult result;
    };

    AttachedDongle* DongleOf(usb::Handle handle, std::uint32_t& error);
    usb::IoResult Finish(usb::Handle handle, usb::Overlapped* overlapped, usb::IoResult result);
    usb::IoResult ControlIo(VirtualDongle& dongle, std::span<std::uint8_t> in,
                            std::span<std::uint8_t> out, usb::Handle handle,
                            usb::Overlapped* overlapped);
    usb::IoResult BulkIo(VirtualDongle& dongle, std::uint32_t code, std::span<std::uint8_t> in,
                         std::span<std::uint8_t> out, usb::Handle handle,
                         usb::Overlapped* overlapped);
    usb::IoResult InfoIo(const AttachedDongle& dongle, std::uint32_t code,
                         std::span<std::uint8_t> out, usb::Handle handle,
                         usb::Overlapped* overlapped);
    std::uint64_t AddRequest(usb::Handle handle, usb::Overlapped* overlapped, Request request);
    // Lets the dongles' work due by now happen.
    void Settle();
    // A request that keeps the caller `busy`. On a real clock the time is owed and slept at the
    // next request that meets the dongles' schedule, so that a run of short requests (the dozen
    // descriptor reads of an open) costs one sleep and its overshoot, not a dozen.
    void Spend(SimDuration busy);
    void PayOwed();
    [[nodiscard]] std::optional<SimTime> NextEvent() const;
    // Lets time pass until `done` says so or nothing scheduled is left; false then.
    template <class Done>
    bool WaitFor(Done done);
    void OnBulkComplete(std::uint64_t request, const BulkCompletion& completion);
    void DropRequestsOf(usb::Handle handle);
    std::shared_ptr<EventObject> EventOf(usb::EventHandle event) const;

    std::vector<AttachedDongle> dongles_;
    std::map<usb::Handle, OpenHandle> handles_;
    usb::Handle nextHandle_ = 0x100;
    std::map<std::uint64_t, Request> requests_;
    std::uint64_t nextRequest_ = 1;

    std::map<usb::EventHandle, std::shared_ptr<EventObject>> events_;
    usb::EventHandle nextEvent_ = 1;

    std::vector<NotificationRecord> notifications_;
    usb::NotifyHandle nextNotification_ = 1;

    std::shared_ptr<Clock> clock_;
    SimDuration owed_{};
    std::uint32_t driverVersion_ = kDefaultDriverVersion;
    std::uint32_t usbdiVersion_ = kDefaultUsbdiVersion;
    std::uint8_t altSetting_ = 0;
    std::uint32_t openError_ = 0;
    unsigned openFailures_ = 0;
    bool closeFails_ = false;
    bool unregisterFails_ = false;
    std::uint64_t opensAttempted_ = 0;
};

}  // namespace qdm::sim
