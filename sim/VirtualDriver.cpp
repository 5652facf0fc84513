#include "sim/VirtualDriver.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

#include "usb/DriverRequest.h"

namespace qdm::sim {

using usb::IoResult;
namespace error = usb::error;

namespace {

constexpr std::size_t kHeader = usb::kTransferRequestSize;

IoResult Fail(std::uint32_t code) {
    return {false, code, 0};
}

usb::RequestOutcome OutcomeOf(BulkStatus s) {
    switch (s) {
        case BulkStatus::Completed:
            return usb::RequestOutcome::Completed;
        case BulkStatus::Cancelled:
            return usb::RequestOutcome::Cancelled;
        case BulkStatus::NoDevice:
            return usb::RequestOutcome::NoDevice;
        case BulkStatus::Stall:
            break;
    }
    return usb::RequestOutcome::Stalled;
}

usb::RequestOutcome OutcomeOf(ControlStatus s) {
    switch (s) {
        case ControlStatus::Ok:
            return usb::RequestOutcome::Completed;
        case ControlStatus::NoDevice:
            return usb::RequestOutcome::NoDevice;
        case ControlStatus::Stall:
            break;
    }
    return usb::RequestOutcome::Stalled;
}

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

}  // namespace

VirtualDriver::VirtualDriver(std::shared_ptr<Clock> clock)
    : clock_(clock ? std::move(clock) : std::make_shared<VirtualClock>()) {}

VirtualDriver::~VirtualDriver() {
    std::vector<usb::Handle> open;
    for (const auto& [handle, _] : handles_)
        open.push_back(handle);
    for (const usb::Handle handle : open)
        DropRequestsOf(handle);
}

std::string VirtualDriver::Attach(std::shared_ptr<VirtualDongle> dongle, unsigned number) {
    if (number == 0) {
        for (const AttachedDongle& d : dongles_)
            number = std::max(number, d.number);
        ++number;
    }
    const auto& c = dongle->Config();
    char path[160];
    std::snprintf(path, sizeof path, "\\\\?\\usb#vid_%04x&pid_%04x#%s&%zu#",
                  static_cast<unsigned>(c.vendorId), static_cast<unsigned>(c.productId),
                  c.serialNumber.c_str(), dongles_.size());
    std::string full = Lower(path) + Lower(usb::DriverInterfaceGuid.ToString());
    dongle->SetClock(clock_);
    const auto address = static_cast<std::uint8_t>(2 + dongles_.size());
    std::string deviceName = "\\Device\\QdmSimDongle" + std::to_string(address);
    dongles_.push_back({std::move(dongle), full, address, std::move(deviceName), number});
    return full;
}

// --- Time --------------------------------------------------------------------------------------

std::uint64_t VirtualDriver::ElapsedMilliseconds() const {
    return static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(clock_->Now()).count());
}

void VirtualDriver::AdvanceClock(std::uint64_t milliseconds) {
    PayOwed();
    const SimTime end = clock_->Now() + std::chrono::milliseconds(milliseconds);
    for (;;) {
        const auto next = NextEvent();
        if (!next || *next >= end) break;
        clock_->WaitUntil(*next);
        Settle();
    }
    clock_->WaitUntil(end);
    Settle();
}

void VirtualDriver::Spend(SimDuration busy) {
    if (clock_->IsVirtual()) {
        clock_->WaitUntil(clock_->Now() + busy);
        Settle();
    } else {
        owed_ += busy;
    }
}

void VirtualDriver::PayOwed() {
    if (owed_.count() == 0) return;
    clock_->WaitUntil(clock_->Now() + owed_);
    owed_ = {};
    Settle();
}

void VirtualDriver::Settle() {
    for (const AttachedDongle& d : dongles_)
        d.dongle->RunDue();
}

std::optional<SimTime> VirtualDriver::NextEvent() const {
    std::optional<SimTime> next;
    for (const AttachedDongle& d : dongles_) {
        const auto due = d.dongle->NextEvent();
        if (due && (!next || *due < *next)) next = due;
    }
    return next;
}

template <class Done>
bool VirtualDriver::WaitFor(Done done) {
    Settle();
    while (!done()) {
        const auto next = NextEvent();
        if (!next) return false;
        clock_->WaitUntil(*next);
        Settle();
    }
    return true;
}

// --- Devices -----------------------------------------------------------------------------------

std::vector<std::string> VirtualDriver::PresentInterfaces(const usb::Guid& interfaceClass) {
    std::vector<std::string> paths;
    if (interfaceClass != usb::DriverInterfaceGuid) return paths;
    for (const AttachedDongle& d : dongles_)
        if (d.dongle->Plugged()) paths.push_back(d.path);
    return paths;
}

std::vector<usb::DeviceLocation> VirtualDriver::LocateInterfaces(const usb::Guid& interfaceClass) {
    std::vector<usb::DeviceLocation> found;
    if (interfaceClass != usb::DriverInterfaceGuid) return found;
    for (const AttachedDongle& d : dongles_)
        if (d.dongle->Plugged()) found.push_back({d.path, "sim:" + std::to_string(d.number)});
    return found;
}

void VirtualDriver::InjectOpenFailure(std::uint32_t error, unsigned count) {
    openError_ = error;
    openFailures_ = count;
}

usb::Handle VirtualDriver::OpenDevice(const std::string& path, std::uint32_t& error) {
    ++opensAttempted_;
    if (openFailures_ > 0) {
        --openFailures_;
        error = openError_;
        return usb::InvalidHandle;
    }
    for (std::size_t i = 0; i < dongles_.size(); ++i) {
        const AttachedDongle& d = dongles_[i];
        if (d.path != path || !d.dongle->Plugged()) continue;
        const usb::Handle handle = nextHandle_++;
        handles_[handle] = {i, d.dongle->PlugCount()};
        error = error::Success;
        return handle;
    }
    error = error::FileNotFound;
    return usb::InvalidHandle;
}

bool VirtualDriver::CloseDevice(usb::Handle handle) {
    PayOwed();
    if (closeFails_ || handles_.count(handle) == 0) return false;
    DropRequestsOf(handle);
    handles_.erase(handle);
    return true;
}

VirtualDriver::AttachedDongle* VirtualDriver::DongleOf(usb::Handle handle, std::uint32_t& error) {
    const auto it = handles_.find(handle);
    if (it == handles_.end()) {
        error = error::InvalidHandle;
        return nullptr;
    }
    AttachedDongle& d = dongles_[it->second.dongle];
    if (!d.dongle->Plugged() || d.dongle->PlugCount() != it->second.plugCount) {
        error = error::DeviceNotConnected;
        return nullptr;
    }
    return &d;
}

// --- Requests ----------------------------------------------------------------------------------

std::uint64_t VirtualDriver::AddRequest(usb::Handle handle, usb::Overlapped* overlapped,
                                        Request request) {
    // A record reused for a new request drops the finished request it carried.
    if (overlapped != nullptr) {
        const auto old = requests_.find(overlapped->Internal);
        if (old != requests_.end() && old->second.overlapped == overlapped && !old->second.pending)
            requests_.erase(old);
    }
    request.handle = handle;
    request.overlapped = overlapped;
    if (overlapped != nullptr) request.event = EventOf(overlapped->hEvent);
    const std::uint64_t id = nextRequest_++;
    requests_.emplace(id, std::move(request));
    if (overlapped != nullptr) overlapped->Internal = static_cast<std::uintptr_t>(id);
    return id;
}

IoResult VirtualDriver::Finish(usb::Handle handle, usb::Overlapped* overlapped, IoResult result) {
    if (overlapped == nullptr) return result;
    Request r;
    r.pending = false;
    r.result = result;
    const std::uint64_t id = AddRequest(handle, overlapped, std::move(r));
    Request& added = requests_.at(id);
    if (added.event) added.event->signalled = true;
    added.event.reset();  // only a pending request keeps its event alive
    return result;
}

void VirtualDriver::OnBulkComplete(std::uint64_t id, const BulkCompletion& completion) {
    const auto it = requests_.find(id);
    if (it == requests_.end() || !it->second.pending) return;
    Request& r = it->second;
    r.pending = false;
    const usb::RequestOutcome o = OutcomeOf(completion.status);
    r.result = usb::ResultOf(o, static_cast<std::uint32_t>(r.dataOffset + completion.length));
    auto event = std::move(r.event);  // only a pending request keeps its event alive
    if (r.abandoned) return;
    if (!r.status.empty()) usb::WriteStatus(r.status, o);
    if (event) event->signalled = true;
}

void VirtualDriver::DropRequestsOf(usb::Handle handle) {
    const auto h = handles_.find(handle);
    std::vector<BulkId> pending;
    for (auto& [id, r] : requests_) {
        if (r.handle != handle) continue;
        r.abandoned = true;
        if (r.pending) pending.push_back(r.bulk);
    }
    if (h != handles_.end()) {
        VirtualDongle& dongle = *dongles_[h->second.dongle].dongle;
        for (const BulkId bulk : pending)
            dongle.CancelBulk(bulk);
    }
    std::erase_if(requests_, [handle](const auto& entry) { return entry.second.handle == handle; });
}

std::size_t VirtualDriver::PendingRequests() const {
    return static_cast<std::size_t>(std::count_if(requests_.begin(), requests_.end(),
                                                  [](const auto& e) { return e.second.pending; }));
}

IoResult VirtualDriver::DeviceIoControl(usb::Handle handle, std::uint32_t code,
                                        std::span<std::uint8_t> in, std::span<std::uint8_t> out,
                                        usb::Overlapped* overlapped) {
    Settle();
    std::uint32_t failure = 0;
    AttachedDongle* d = DongleOf(handle, failure);
    if (d == nullptr) return Fail(failure);
    VirtualDongle& dongle = *d->dongle;
    // What meets the dongle's schedule happens once the caller's time is paid.
    if (code != usb::ioctl::ControlTransfer) PayOwed();
    switch (code) {
        case usb::ioctl::ControlTransfer:
            return ControlIo(dongle, in, out, handle, overlapped);
        case usb::ioctl::BufferedTransfer:
        case usb::ioctl::DirectTransfer:
            return BulkIo(dongle, code, in, out, handle, overlapped);
        case usb::ioctl::AbortPipe:
            if (in.empty()) return Fail(error::InvalidParameter);
            dongle.CancelEndpoint(in[0]);
            return Finish(handle, overlapped, {true, error::Success, 0});
        case usb::ioctl::ResetPort:
            dongle.ResetPort();
            clock_->WaitUntil(clock_->Now() + PortResetTime(dongle.Timing()));
            Settle();
            return Finish(handle, overlapped, {true, error::Success, 0});
        case usb::ioctl::GetDriverVersion:
        case usb::ioctl::GetUsbdiVersion:
        case usb::ioctl::GetAltInterfaceSetting:
        case usb::ioctl::GetAddress:
        case usb::ioctl::GetDeviceName:
        case usb::ioctl::GetFriendlyName:
            return InfoIo(*d, code, out, handle, overlapped);
        default:
            return Fail(error::InvalidParameter);
    }
}

IoResult VirtualDriver::ControlIo(VirtualDongle& dongle, std::span<std::uint8_t> in,
                                  std::span<std::uint8_t> out, usb::Handle handle,
                                  usb::Overlapped* overlapped) {
    const auto request = usb::DecodeControlRequest(in, out);
    if (!request) return Fail(error::InvalidParameter);
    const usb::TransferRequest& h = request->header;
    const SetupPacket setup{h.bmRequestType, h.bRequest, h.wValue, h.wIndex, h.wLength};
    usb::MirrorHeader(in, out);
    const ControlResult r = dongle.ControlTransfer(setup, request->data);
    Spend(r.busy);
    const usb::RequestOutcome o = OutcomeOf(r.status);
    usb::WriteStatus(request->status, o);
    return Finish(handle, overlapped,
                  usb::ResultOf(o, static_cast<std::uint32_t>(kHeader + r.length)));
}

IoResult VirtualDriver::BulkIo(VirtualDongle& dongle, std::uint32_t code,
                               std::span<std::uint8_t> in, std::span<std::uint8_t> out,
                               usb::Handle handle, usb::Overlapped* overlapped) {
    const auto transfer = usb::DecodeEndpointTransfer(code, in, out);
    if (!transfer) return Fail(error::InvalidParameter);
    if (code == usb::ioctl::BufferedTransfer) usb::MirrorHeader(in, out);

    Request request;
    request.status = transfer->status;
    request.dataOffset = transfer->dataOffset;
    const std::uint64_t id = AddRequest(handle, overlapped, std::move(request));
    const BulkId bulk =
        dongle.SubmitBulk(transfer->endpoint, transfer->data,
                          [this, id](const BulkCompletion& c) { OnBulkComplete(id, c); });
    auto it = requests_.find(id);
    if (it == requests_.end()) return Fail(error::OperationAborted);
    it->second.bulk = bulk;
    if (overlapped == nullptr) {
        WaitFor([this, id] {
            const auto r = requests_.find(id);
            return r == requests_.end() || !r->second.pending;
        });
        it = requests_.find(id);
        if (it == requests_.end()) return Fail(error::OperationAborted);
    }
    if (it->second.pending && overlapped == nullptr) {
        // A synchronous caller would wait forever: nothing but the caller could feed the dongle.
        dongle.CancelBulk(bulk);
        requests_.erase(id);
        return Fail(error::WaitTimeout);
    }
    if (it->second.pending) return {false, error::IoPending, 0};
    const IoResult result = it->second.result;
    if (overlapped == nullptr) requests_.erase(it);
    return result;
}

IoResult VirtualDriver::InfoIo(const AttachedDongle& d, std::uint32_t code,
                               std::span<std::uint8_t> out, usb::Handle handle,
                               usb::Overlapped* overlapped) {
    switch (code) {
        case usb::ioctl::GetDriverVersion:
        case usb::ioctl::GetUsbdiVersion:
            if (out.size() < 4) return Fail(error::InvalidParameter);
            usb::StoreLe32(out, 0,
                           code == usb::ioctl::GetDriverVersion ? driverVersion_ : usbdiVersion_);
            return Finish(handle, overlapped, {true, error::Success, 4});
        case usb::ioctl::GetAltInterfaceSetting:
        case usb::ioctl::GetAddress:
            if (out.empty()) return Fail(error::InvalidParameter);
            out[0] = code == usb::ioctl::GetAddress ? d.busAddress : altSetting_;
            return Finish(handle, overlapped, {true, error::Success, 1});
        default: {
            if (out.empty()) return Fail(error::InvalidParameter);
            const std::string_view name = code == usb::ioctl::GetDeviceName
                                              ? std::string_view(d.deviceName)
                                              : std::string_view(d.dongle->Config().product);
            const std::size_t n = usb::PutDriverText(out, name);
            return Finish(handle, overlapped,
                          {true, error::Success, static_cast<std::uint32_t>(n)});
        }
    }
}

IoResult VirtualDriver::GetOverlappedResult(usb::Handle handle, usb::Overlapped& overlapped,
                                            bool wait) {
    PayOwed();
    Settle();
    if (handles_.count(handle) == 0) return Fail(error::InvalidHandle);
    const std::uint64_t id = overlapped.Internal;
    auto it = requests_.find(id);
    if (it == requests_.end() || it->second.overlapped != &overlapped ||
        it->second.handle != handle)
        return Fail(error::InvalidParameter);
    if (it->second.pending && wait) {
        WaitFor([this, id] {
            const auto r = requests_.find(id);
            return r == requests_.end() || !r->second.pending;
        });
        it = requests_.find(id);
        if (it == requests_.end()) return Fail(error::OperationAborted);
    }
    // Waiting on for a request nothing scheduled will complete could never end.
    if (it->second.pending) return Fail(error::IoIncomplete);
    return it->second.result;
}

// --- Events ------------------------------------------------------------------------------------

std::shared_ptr<VirtualDriver::EventObject> VirtualDriver::EventOf(usb::EventHandle event) const {
    const auto it = events_.find(event);
    return it == events_.end() ? nullptr : it->second;
}

usb::EventHandle VirtualDriver::CreateEventObject(bool manualReset, bool initialState) {
    const usb::EventHandle handle = nextEvent_++;
    events_[handle] = std::make_shared<EventObject>(EventObject{manualReset, initialState});
    return handle;
}

bool VirtualDriver::CloseEvent(usb::EventHandle event) {
    const auto it = events_.find(event);
    if (it == events_.end()) return false;
    events_.erase(it);
    return true;
}

usb::WaitResult VirtualDriver::WaitForEvent(usb::EventHandle event, std::uint32_t milliseconds) {
    const auto object = EventOf(event);
    if (!object) return usb::WaitResult::Failed;
    const auto take = [&object] {
        if (!object->manualReset) object->signalled = false;
        return usb::WaitResult::Signalled;
    };
    PayOwed();
    Settle();
    if (object->signalled) return take();
    if (milliseconds == usb::kInfinite) {
        // Only the work already scheduled can signal it.
        return WaitFor([&object] { return object->signalled; }) ? take() : usb::WaitResult::Failed;
    }
    const SimTime end = clock_->Now() + std::chrono::milliseconds(milliseconds);
    for (;;) {
        const auto next = NextEvent();
        if (!next || *next > end) break;
        clock_->WaitUntil(*next);
        Settle();
        if (object->signalled) return take();
    }
    clock_->WaitUntil(end);
    Settle();
    return object->signalled ? take() : usb::WaitResult::TimedOut;
}

std::optional<bool> VirtualDriver::EventSignalled(usb::EventHandle event) const {
    const auto object = EventOf(event);
    if (!object) return std::nullopt;
    return object->signalled;
}

// --- Notifications -----------------------------------------------------------------------------

usb::NotifyHandle VirtualDriver::RegisterInterfaceNotification(usb::WindowHandle window,
                                                               const usb::Guid& interfaceClass) {
    NotificationRecord record;
    record.id = nextNotification_++;
    record.kind = NotificationRecord::Kind::Interface;
    record.window = window;
    record.interfaceClass = interfaceClass;
    notifications_.push_back(record);
    return record.id;
}

usb::NotifyHandle VirtualDriver::RegisterHandleNotification(usb::WindowHandle window,
                                                            usb::Handle handle) {
    if (handles_.count(handle) == 0) return 0;
    NotificationRecord record;
    record.id = nextNotification_++;
    record.kind = NotificationRecord::Kind::Handle;
    record.window = window;
    record.device = handle;
    notifications_.push_back(record);
    return record.id;
}

bool VirtualDriver::UnregisterNotification(usb::NotifyHandle notification) {
    if (unregisterFails_) return false;
    for (NotificationRecord& record : notifications_) {
        if (record.id == notification && record.active) {
            record.active = false;
            return true;
        }
    }
    return false;
}

}  // namespace qdm::sim
