#include "usb/Win32DriverCore.h"

#include <algorithm>
#include <utility>

#include "state/DiagnosticLog.h"
#include "usb/TransferRequest.h"

namespace qdm::usb::win32 {

std::vector<std::uint8_t> SizedRecord(std::size_t size, std::uint32_t sizeField) {
    std::vector<std::uint8_t> record(std::max<std::size_t>(size, 4), 0);
    StoreLe32(record, 0, sizeField);
    record.resize(size);
    return record;
}

std::vector<std::uint8_t> InterfaceFilter(const Guid& interfaceClass) {
    // dbcc_size, dbcc_devicetype, dbcc_reserved, dbcc_classguid, dbcc_name[1] + padding.
    const std::uint32_t size = RecordSizesFor(kNativePointerBits).interfaceFilter;
    std::vector<std::uint8_t> filter = SizedRecord(size, size);
    StoreLe32(filter, 4, kDbtDevtypDeviceInterface);
    const auto guid = interfaceClass.Bytes();
    std::copy(guid.begin(), guid.end(), filter.begin() + 12);
    return filter;
}

std::vector<std::uint8_t> HandleFilter(Handle device, unsigned pointerBits) {
    // dbch_size, dbch_devicetype, dbch_reserved, then dbch_handle at its natural alignment;
    // dbch_hdevnotify, dbch_eventguid, dbch_nameoffset and dbch_data stay zero.
    const std::uint32_t size = RecordSizesFor(pointerBits).handleFilter;
    std::vector<std::uint8_t> filter = SizedRecord(size, size);
    StoreLe32(filter, 4, kDbtDevtypHandle);
    const auto value = static_cast<std::uint64_t>(device);
    if (pointerBits == 32) {
        StoreLe32(filter, 12, static_cast<std::uint32_t>(value));
    } else {
        StoreLe32(filter, 16, static_cast<std::uint32_t>(value));
        StoreLe32(filter, 20, static_cast<std::uint32_t>(value >> 32));
    }
    return filter;
}

std::string PathFromDetail(std::span<const std::uint8_t> detail, std::uint32_t requiredSize) {
    if (requiredSize < kDetailOverhead || detail.size() <= kDetailPathOffset) return {};
    const std::size_t wanted = requiredSize - kDetailOverhead;
    const std::size_t length = std::min(wanted, detail.size() - kDetailPathOffset);
    const auto begin = detail.begin() + kDetailPathOffset;
    const auto end = std::find(begin, begin + static_cast<std::ptrdiff_t>(length), 0);
    return {begin, end};
}

WaitResult WaitResultOf(std::uint32_t waitCode) {
    if (waitCode == kWaitObject0) return WaitResult::Signalled;
    if (waitCode == kWaitTimeout) return WaitResult::TimedOut;
    return WaitResult::Failed;
}

namespace {

// "NAME(VALUE)": the name and the value; nothing for any other form.
std::optional<std::pair<std::string_view, std::string_view>> Step(std::string_view step) {
    const std::size_t open = step.find('(');
    if (open == std::string_view::npos || open == 0 || step.size() < open + 2 || step.back() != ')')
        return std::nullopt;
    return std::pair{step.substr(0, open), step.substr(open + 1, step.size() - open - 2)};
}

// A decimal number of at most `digits` digits without a sign; nothing otherwise.
std::optional<unsigned> Decimal(std::string_view text, std::size_t digits = 3) {
    if (text.empty() || text.size() > digits) return std::nullopt;
    unsigned value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    return value;
}

std::string Lower(std::string_view text) {
    std::string lower(text);
    for (char& c : lower)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return lower;
}

// One step of the way to the root hub, short: PCI(1400) is "14.0", ACPI(XHC_) "xhc_".
std::string ControllerStep(std::string_view name, std::string_view value) {
    if (name == "PCI" && value.size() == 4) {
        const std::string lower = Lower(value);
        const std::string function = lower.substr(2);
        const std::size_t digit = function.find_first_not_of('0');
        return lower.substr(0, 2) + "." +
               (digit == std::string::npos ? "0" : function.substr(digit));
    }
    return Lower(value);
}

}  // namespace

std::string IdFromLocationPath(std::string_view path) {
    std::string controller;
    std::string ports;
    bool rooted = false;
    std::size_t start = 0;
    while (start <= path.size()) {
        const std::size_t end = std::min(path.find('#', start), path.size());
        const auto step = Step(path.substr(start, end - start));
        if (!step) return {};
        const auto [name, value] = *step;
        if (name == "USBROOT") {
            if (rooted) return {};
            rooted = true;
        } else if (rooted) {
            const auto port = Decimal(value);
            if (name != "USB" || !port) return {};
            ports += (ports.empty() ? "" : ".") + std::to_string(*port);
        } else if (!(name == "PCIROOT" && value == "0")) {
            controller += (controller.empty() ? "" : "/") + ControllerStep(name, value);
        }
        start = end + 1;
    }
    if (!rooted || ports.empty()) return {};
    return "usb:" + (controller.empty() ? std::string("0") : controller) + "-" + ports;
}

std::string IdFromLocationInformation(std::string_view information) {
    // "Port_#0002.Hub_#0001"
    constexpr std::string_view kPort = "Port_#";
    constexpr std::string_view kHub = ".Hub_#";
    if (information.substr(0, kPort.size()) != kPort) return {};
    const std::size_t hub = information.find(kHub);
    if (hub == std::string_view::npos) return {};
    const auto port = Decimal(information.substr(kPort.size(), hub - kPort.size()), 4);
    const auto number = Decimal(information.substr(hub + kHub.size()), 4);
    if (!port || !number || *port == 0) return {};
    return "usb:hub" + std::to_string(*number) + "-" + std::to_string(*port);
}

namespace {

// Owns a device information list.
class DeviceInfoList {
  public:
    DeviceInfoList(Win32Calls& calls, Handle list) : calls_(calls), list_(list) {}
    DeviceInfoList(const DeviceInfoList&) = delete;
    DeviceInfoList& operator=(const DeviceInfoList&) = delete;
    ~DeviceInfoList() {
        if (valid()) calls_.SetupDiDestroyDeviceInfoList(list_);
    }
    [[nodiscard]] bool valid() const { return list_ != InvalidHandle; }
    [[nodiscard]] Handle get() const { return list_; }

  private:
    Win32Calls& calls_;
    Handle list_;
};

// Owns an event handle.
class OwnedEvent {
  public:
    OwnedEvent(Win32Calls& calls, EventHandle event) : calls_(calls), event_(event) {}
    OwnedEvent(const OwnedEvent&) = delete;
    OwnedEvent& operator=(const OwnedEvent&) = delete;
    ~OwnedEvent() {
        if (event_ != 0) calls_.CloseHandle(event_);
    }
    [[nodiscard]] EventHandle get() const { return event_; }

  private:
    Win32Calls& calls_;
    EventHandle event_;
};

IoResult Failure(std::uint32_t error, std::uint32_t bytes = 0) {
    return {false, error, bytes};
}

// A call whose failure does not cross the seam, with the system's reason; `error` is the
// system's last error, taken right after the call.
void LogFailedCall(std::string_view call, std::uint32_t error) {
    Diagnose([&] { return "Win32: " + std::string(call) + " failed: " + ErrorName(error); });
}

}  // namespace

Win32DriverCore::Win32DriverCore(std::shared_ptr<Win32Calls> calls, unsigned pointerBits)
    : calls_(std::move(calls)), sizes_(RecordSizesFor(pointerBits)), pointerBits_(pointerBits) {}

Win32DriverCore::~Win32DriverCore() {
    // A system record still in use must not be freed under the kernel.
    for (auto& [overlapped, submission] : submissions_)
        if (!Settle(submission)) abandoned_.push_back(std::move(submission));
    ReapAbandoned();
    for (Submission& submission : abandoned_)
        LeftToTheSystem().push_back(std::move(submission));
}

std::vector<Win32DriverCore::Submission>& Win32DriverCore::LeftToTheSystem() {
    static std::vector<Submission> unfinished;
    return unfinished;
}

std::vector<std::string> Win32DriverCore::PresentInterfaces(const Guid& interfaceClass) {
    std::vector<std::string> paths;
    for (DeviceLocation& device : Enumerate(interfaceClass, false))
        paths.push_back(std::move(device.path));
    return paths;
}

std::vector<DeviceLocation> Win32DriverCore::LocateInterfaces(const Guid& interfaceClass) {
    return Enumerate(interfaceClass, true);
}

std::vector<DeviceLocation> Win32DriverCore::Enumerate(const Guid& interfaceClass, bool locate) {
    std::vector<DeviceLocation> found;
    const DeviceInfoList list(*calls_,
                              calls_->SetupDiGetClassDevsA(interfaceClass, kClassDevFlags));
    if (!list.valid()) {
        LogFailedCall("SetupDiGetClassDevsA", calls_->GetLastError());
        return found;
    }
    for (std::uint32_t index = 0; index < kMaxInterfaceIndex; ++index) {
        std::vector<std::uint8_t> interfaceData =
            SizedRecord(sizes_.interfaceData, sizes_.interfaceData);
        if (!calls_->SetupDiEnumDeviceInterfaces(list.get(), interfaceClass, index,
                                                 interfaceData)) {
            const std::uint32_t error = calls_->GetLastError();
            if (error == error::NoMoreItems) break;
            LogFailedCall("SetupDiEnumDeviceInterfaces", error);
            continue;  // one interface the system cannot report; the next may do
        }
        // An interface without a readable path still counts; opening "" then fails.
        std::vector<std::uint8_t> devInfo;
        DeviceLocation device{DetailPath(list.get(), interfaceData, devInfo), {}};
        if (locate && !devInfo.empty()) device.id = PortId(list.get(), devInfo);
        found.push_back(std::move(device));
    }
    return found;
}

std::string Win32DriverCore::DetailPath(Handle list, std::span<std::uint8_t> interfaceData,
                                        std::vector<std::uint8_t>& devInfo) {
    std::uint32_t required = 0;
    // The first call only learns the size; it fails by design.
    calls_->SetupDiGetDeviceInterfaceDetailA(list, interfaceData, {}, required, {});
    if (required < kDetailOverhead) return {};
    std::vector<std::uint8_t> detail = SizedRecord(
        std::max<std::size_t>(required, sizes_.detailSizeField), sizes_.detailSizeField);
    devInfo = SizedRecord(sizes_.devInfoData, sizes_.devInfoData);
    std::uint32_t again = 0;
    if (!calls_->SetupDiGetDeviceInterfaceDetailA(list, interfaceData, detail, again, devInfo)) {
        LogFailedCall("SetupDiGetDeviceInterfaceDetailA", calls_->GetLastError());
        devInfo.clear();
        return {};
    }
    return PathFromDetail(detail, required);
}

std::string Win32DriverCore::PortId(Handle list, std::span<const std::uint8_t> devInfo) {
    // The paths name every port down from the controller; older systems know the last hub only.
    if (const auto paths = TextProperty(list, devInfo, kSpdrpLocationPaths, kRegMultiSz)) {
        if (std::string id = IdFromLocationPath(*paths); !id.empty()) return id;
    }
    if (const auto information = TextProperty(list, devInfo, kSpdrpLocationInformation, kRegSz)) {
        return IdFromLocationInformation(*information);
    }
    return {};
}

std::optional<std::string> Win32DriverCore::TextProperty(Handle list,
                                                         std::span<const std::uint8_t> devInfo,
                                                         std::uint32_t property,
                                                         std::uint32_t type) {
    // Location texts are short; one bigger buffer serves a longer one the system asks for.
    constexpr std::uint32_t kFirstSize = 512;
    constexpr std::uint32_t kLargest = 64 * 1024;
    std::vector<std::uint8_t> buffer(kFirstSize, 0);
    std::uint32_t got = 0;
    std::uint32_t required = 0;
    bool read =
        calls_->SetupDiGetDeviceRegistryPropertyA(list, devInfo, property, got, buffer, required);
    if (!read && calls_->GetLastError() == kErrorInsufficientBuffer && required > buffer.size() &&
        required <= kLargest) {
        buffer.assign(required, 0);
        read = calls_->SetupDiGetDeviceRegistryPropertyA(list, devInfo, property, got, buffer,
                                                         required);
    }
    if (!read || got != type) return std::nullopt;
    // The first string, whatever the value claims: a multi-string holds one per path.
    const std::size_t length = std::min<std::size_t>(required, buffer.size());
    const auto end = std::find(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(length),
                               std::uint8_t{0});
    return std::string(buffer.begin(), end);
}

Handle Win32DriverCore::OpenDevice(const std::string& path, std::uint32_t& error) {
    const Handle handle =
        calls_->CreateFileA(path, kGenericRead | kGenericWrite, kFileShareRead | kFileShareWrite,
                            kOpenExisting, kFileFlagOverlapped);
    error = handle == InvalidHandle ? calls_->GetLastError() : error::Success;
    return handle;
}

bool Win32DriverCore::CloseDevice(Handle handle) {
    for (auto it = submissions_.begin(); it != submissions_.end();) {
        if (it->second.device == handle) {
            if (!Settle(it->second)) abandoned_.push_back(std::move(it->second));
            it = submissions_.erase(it);
        } else {
            ++it;
        }
    }
    return calls_->CloseHandle(handle);
}

IoResult Win32DriverCore::SynchronousIoControl(Handle handle, std::uint32_t code,
                                               std::span<std::uint8_t> in,
                                               std::span<std::uint8_t> out) {
    // The handle is open for overlapped I/O, so even a synchronous call needs a record and an
    // event of its own: waiting on the handle would also wake for other pending transfers.
    const OwnedEvent event(*calls_, calls_->CreateEventA(true, false));
    if (event.get() == 0) return Failure(calls_->GetLastError());
    const auto record = calls_->NewOverlapped(event.get());
    std::uint32_t bytes = 0;
    if (calls_->DeviceIoControl(handle, code, in, out, bytes, *record)) return {true, 0, bytes};
    const std::uint32_t error = calls_->GetLastError();
    if (error != error::IoPending) return Failure(error);
    bytes = 0;
    if (calls_->GetOverlappedResult(handle, *record, bytes, true)) return {true, 0, bytes};
    const std::uint32_t failed = calls_->GetLastError();
    if (failed == error::IoIncomplete) {
        // The wait gave up on a request still in flight; its record must outlive it.
        calls_->CancelIoEx(handle, *record);
        std::uint32_t ignored = 0;
        calls_->GetOverlappedResult(handle, *record, ignored, true);
    }
    return Failure(failed, bytes);
}

bool Win32DriverCore::InFlight(Submission& submission) {
    if (submission.state != State::Pending || submission.collected) return false;
    std::uint32_t bytes = 0;
    if (calls_->GetOverlappedResult(submission.device, *submission.record, bytes, false))
        return false;
    return calls_->GetLastError() == error::IoIncomplete;
}

bool Win32DriverCore::Settle(Submission& submission) {
    if (!InFlight(submission)) return true;
    calls_->CancelIoEx(submission.device, *submission.record);
    if (InFlight(submission)) {
        if (submission.event == 0) return false;
        calls_->WaitForSingleObject(submission.event, kAbortedTransferWaitMs);
        if (InFlight(submission)) return false;
    }
    submission.collected = true;
    return true;
}

void Win32DriverCore::ReapAbandoned() {
    std::erase_if(abandoned_, [this](Submission& submission) { return !InFlight(submission); });
}

void Win32DriverCore::Abandon(Handle, Overlapped& overlapped, RequestMemory memory) {
    ReapAbandoned();
    const auto found = submissions_.find(&overlapped);
    if (found == submissions_.end()) return;
    Submission submission = std::move(found->second);
    submissions_.erase(found);
    if (!InFlight(submission)) return;
    calls_->CancelIoEx(submission.device, *submission.record);
    submission.kept = std::move(memory);
    abandoned_.push_back(std::move(submission));
}

IoResult Win32DriverCore::DeviceIoControl(Handle handle, std::uint32_t code,
                                          std::span<std::uint8_t> in, std::span<std::uint8_t> out,
                                          Overlapped* overlapped) {
    if (overlapped == nullptr) return SynchronousIoControl(handle, code, in, out);

    const auto found = submissions_.find(overlapped);
    // A record the system still writes into cannot carry a second request.
    if (found != submissions_.end() && InFlight(found->second))
        return Failure(error::InvalidParameter);

    ReapAbandoned();
    Submission submission;
    submission.device = handle;
    submission.event = overlapped->hEvent;
    submission.record = calls_->NewOverlapped(overlapped->hEvent);
    std::uint32_t bytes = 0;
    IoResult result{true, 0, 0};
    if (calls_->DeviceIoControl(handle, code, in, out, bytes, *submission.record)) {
        submission.state = State::Completed;
        result.bytes = bytes;
    } else {
        const std::uint32_t error = calls_->GetLastError();
        submission.state = error == error::IoPending ? State::Pending : State::Refused;
        submission.refusal = error;
        result = Failure(error);
    }
    submissions_.insert_or_assign(overlapped, std::move(submission));
    return result;
}

IoResult Win32DriverCore::GetOverlappedResult(Handle handle, Overlapped& overlapped, bool wait) {
    const auto found = submissions_.find(&overlapped);
    if (found == submissions_.end()) return Failure(error::InvalidParameter);
    Submission& submission = found->second;
    // A request refused at submission never reached the system's record: asking the system
    // would report it in progress for ever.
    if (submission.state == State::Refused) return Failure(submission.refusal);
    std::uint32_t bytes = 0;
    if (calls_->GetOverlappedResult(handle, *submission.record, bytes, wait)) {
        submission.collected = true;
        return {true, 0, bytes};
    }
    const std::uint32_t error = calls_->GetLastError();
    if (error != error::IoIncomplete) submission.collected = true;
    return Failure(error, bytes);
}

EventHandle Win32DriverCore::CreateEventObject(bool manualReset, bool initialState) {
    const EventHandle event = calls_->CreateEventA(manualReset, initialState);
    if (event == 0) LogFailedCall("CreateEventA", calls_->GetLastError());
    return event;
}

WaitResult Win32DriverCore::WaitForEvent(EventHandle event, std::uint32_t milliseconds) {
    const WaitResult result = WaitResultOf(calls_->WaitForSingleObject(event, milliseconds));
    if (result == WaitResult::Failed) LogFailedCall("WaitForSingleObject", calls_->GetLastError());
    return result;
}

bool Win32DriverCore::CloseEvent(EventHandle event) {
    return calls_->CloseHandle(event);
}

NotifyHandle Win32DriverCore::RegisterInterfaceNotification(WindowHandle window,
                                                            const Guid& interfaceClass) {
    return calls_->RegisterDeviceNotificationA(window, InterfaceFilter(interfaceClass),
                                               kDeviceNotifyWindowHandle);
}

NotifyHandle Win32DriverCore::RegisterHandleNotification(WindowHandle window, Handle handle) {
    return calls_->RegisterDeviceNotificationA(window, HandleFilter(handle, pointerBits_),
                                               kDeviceNotifyWindowHandle);
}

bool Win32DriverCore::UnregisterNotification(NotifyHandle notification) {
    return calls_->UnregisterDeviceNotification(notification);
}

}  // namespace qdm::usb::win32
