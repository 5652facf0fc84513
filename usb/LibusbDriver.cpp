#include "usb/LibusbDriver.h"

#include <libusb.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <limits>
#include <thread>
#include <tuple>

#include "state/DiagnosticLog.h"
#include "usb/DriverRequest.h"

namespace qdm::usb {

namespace {

constexpr std::size_t kHeader = kTransferRequestSize;
constexpr int kInterface = 0;
constexpr std::size_t kMaxPorts = 7;  // the deepest hub chain USB allows

struct DeviceListDeleter {
    void operator()(libusb_device** list) const { libusb_free_device_list(list, 1); }
};
using DeviceList = std::unique_ptr<libusb_device*[], DeviceListDeleter>;

struct TransferDeleter {
    void operator()(libusb_transfer* t) const { libusb_free_transfer(t); }
};

struct HandleCloser {
    void operator()(libusb_device_handle* h) const { libusb_close(h); }
};

struct ConfigDeleter {
    void operator()(libusb_config_descriptor* c) const { libusb_free_config_descriptor(c); }
};

IoResult Fail(std::uint32_t code) {
    return {false, code, 0};
}

// The cause under libusb's own name: the error codes the seam carries cannot tell them all.
void LogLibusb(std::string_view call, std::string_view subject, int code) {
    Diagnose([&] {
        std::string line = "libusb: " + std::string(call);
        if (!subject.empty()) line.append(" ").append(subject);
        return line + ": " + libusb_error_name(code);
    });
}

// Why an open failed, as the callers of OpenDevice tell the cases apart.
std::uint32_t OpenErrorOf(int code) {
    switch (code) {
        case LIBUSB_ERROR_ACCESS:
            return error::AccessDenied;
        case LIBUSB_ERROR_BUSY:
            return error::Busy;
        case LIBUSB_ERROR_NO_DEVICE:
        case LIBUSB_ERROR_NOT_FOUND:
            return error::FileNotFound;
        default:
            return error::GenFailure;
    }
}

std::uint32_t IoErrorOf(int code) {
    switch (code) {
        case LIBUSB_ERROR_NO_DEVICE:
        case LIBUSB_ERROR_NOT_FOUND:
            return error::DeviceNotConnected;
        case LIBUSB_ERROR_INVALID_PARAM:
            return error::InvalidParameter;
        case LIBUSB_ERROR_BUSY:
            return error::Busy;
        case LIBUSB_ERROR_ACCESS:
            return error::AccessDenied;
        default:
            return error::GenFailure;
    }
}

RequestOutcome OutcomeOf(libusb_transfer_status s) {
    switch (s) {
        case LIBUSB_TRANSFER_COMPLETED:
            return RequestOutcome::Completed;
        case LIBUSB_TRANSFER_CANCELLED:
            return RequestOutcome::Cancelled;
        case LIBUSB_TRANSFER_NO_DEVICE:
            return RequestOutcome::NoDevice;
        case LIBUSB_TRANSFER_TIMED_OUT:
            return RequestOutcome::TimedOut;
        case LIBUSB_TRANSFER_STALL:
            return RequestOutcome::Stalled;
        case LIBUSB_TRANSFER_OVERFLOW:
            return RequestOutcome::Overrun;
        case LIBUSB_TRANSFER_ERROR:
            break;
    }
    return RequestOutcome::Failed;
}

struct Location {
    std::uint8_t bus = 0;
    std::vector<std::uint8_t> ports;
    libusb_device* device = nullptr;
    friend bool operator<(const Location& a, const Location& b) {
        return std::tie(a.bus, a.ports) < std::tie(b.bus, b.ports);
    }
};

// The dongle-vendor devices of `list`, in bus and port order.
std::vector<Location> VendorDevices(libusb_device** list, ssize_t count, std::uint16_t vendor) {
    std::vector<Location> found;
    for (ssize_t i = 0; i < count; ++i) {
        libusb_device_descriptor descriptor{};
        if (libusb_get_device_descriptor(list[i], &descriptor) != 0) continue;
        if (descriptor.idVendor != vendor) continue;
        std::array<std::uint8_t, kMaxPorts> ports{};
        const int depth = libusb_get_port_numbers(list[i], ports.data(), kMaxPorts);
        Location l;
        l.bus = libusb_get_bus_number(list[i]);
        l.ports.assign(ports.begin(), ports.begin() + std::max(depth, 0));
        l.device = list[i];
        found.push_back(std::move(l));
    }
    std::sort(found.begin(), found.end());
    return found;
}

}  // namespace

std::string LibusbVersionText() {
    const libusb_version* v = libusb_get_version();
    return "libusb " + std::to_string(v->major) + "." + std::to_string(v->minor) + "." +
           std::to_string(v->micro) + (v->nano != 0 ? "." + std::to_string(v->nano) : "");
}

std::string LibusbDevicePath(std::uint8_t bus, std::span<const std::uint8_t> ports) {
    std::string path = "usb:" + std::to_string(bus) + "-";
    if (ports.empty()) return path + "0";
    for (std::size_t i = 0; i < ports.size(); ++i) {
        if (i > 0) path += '.';
        path += std::to_string(ports[i]);
    }
    return path;
}

// One libusb context for the process and the thread that handles its events. It lives while
// any driver uses it.
class LibusbContext {
  public:
    static std::shared_ptr<LibusbContext> Acquire() {
        static std::mutex mutex;
        static std::weak_ptr<LibusbContext> shared;
        const std::lock_guard lock(mutex);
        auto context = shared.lock();
        if (!context) {
            context = std::shared_ptr<LibusbContext>(new LibusbContext);
            shared = context;
        }
        return context;
    }
    LibusbContext(const LibusbContext&) = delete;
    LibusbContext& operator=(const LibusbContext&) = delete;
    ~LibusbContext() {
        if (context_ == nullptr) return;
        stop_ = true;
        libusb_interrupt_event_handler(context_);
        if (events_.joinable()) events_.join();
        libusb_exit(context_);
    }
    [[nodiscard]] libusb_context* get() const { return context_; }

  private:
    LibusbContext() {
        if (const int r = libusb_init(&context_); r != 0) {
            LogLibusb("libusb_init", {}, r);
            context_ = nullptr;
            return;
        }
        // Blocks in poll() until a transfer completes or the destructor interrupts it.
        events_ = std::thread([this] {
            while (!stop_)
                libusb_handle_events_completed(context_, nullptr);
        });
    }

    libusb_context* context_ = nullptr;
    std::atomic<bool> stop_ = false;
    std::thread events_;
};

struct LibusbDriver::DescriptorCache {
    DescriptorCache(const DescriptorCache&) = delete;
    DescriptorCache& operator=(const DescriptorCache&) = delete;
    // Held while cached, so a device that re-enumerates comes back as another object.
    explicit DescriptorCache(libusb_device* d) : device(libusb_ref_device(d)) {}
    ~DescriptorCache() { libusb_unref_device(device); }

    libusb_device* device;
    std::map<std::pair<std::uint8_t, std::uint16_t>, std::vector<std::uint8_t>> strings;
};

struct LibusbDriver::Device {
    std::unique_ptr<libusb_device_handle, HandleCloser> handle;
    std::shared_ptr<DescriptorCache> cache;
    std::string path;
    std::uint8_t address = 0;
    std::uint8_t productIndex = 0;
    std::uint16_t vendorId = 0;
    std::uint16_t productId = 0;
    std::map<std::uint8_t, std::uint8_t> endpointTypes;  // address -> LIBUSB_TRANSFER_TYPE_*
    bool claimed = false;
    // Set once the device has left the bus (or re-enumerated as another one after a reset):
    // the handle stays for closing but carries no more requests.
    std::atomic<bool> gone = false;
};

struct LibusbDriver::Request {
    std::shared_ptr<Sync> sync;
    // Held while the transfer is in flight: libusb may complete it after the driver has closed
    // the handle (or gone), and it must still find the request, the device handle, the context
    // and the memory it was given.
    std::shared_ptr<Request> self;
    std::shared_ptr<Device> device;
    std::shared_ptr<LibusbContext> context;
    RequestMemory kept;  // the caller's memory of a request given up on
    Handle handle = InvalidHandle;
    Overlapped* overlapped = nullptr;
    std::shared_ptr<EventObject> event;
    std::unique_ptr<libusb_transfer, TransferDeleter> transfer;
    std::uint8_t endpoint = 0;
    std::span<std::uint8_t> header;     // where the status words go
    std::span<std::uint8_t> controlIn;  // where a control IN request's data goes
    std::vector<std::uint8_t> setup;    // setup packet + data of a control request
    std::uint32_t dataOffset = 0;       // added to the bytes moved in the result
    bool pending = true;
    bool abandoned = false;
    IoResult result;
};

LibusbDriver::LibusbDriver() : context_(LibusbContext::Acquire()) {}

LibusbDriver::~LibusbDriver() {
    std::vector<Handle> open;
    {
        const std::lock_guard lock(mutex_);
        for (const auto& [handle, _] : handles_)
            open.push_back(handle);
    }
    for (const Handle handle : open)
        CloseDevice(handle);
}

bool LibusbDriver::Available() const {
    return context_ && context_->get() != nullptr;
}

std::size_t LibusbDriver::OpenHandles() const {
    const std::lock_guard lock(mutex_);
    return handles_.size();
}

std::size_t LibusbDriver::PendingRequests() const {
    const std::lock_guard lock(mutex_);
    return static_cast<std::size_t>(std::count_if(requests_.begin(), requests_.end(),
                                                  [](const auto& e) { return e.second->pending; }));
}

// --- Devices -----------------------------------------------------------------------------------

std::vector<std::string> LibusbDriver::PresentInterfaces(const Guid& interfaceClass) {
    std::vector<std::string> paths;
    if (interfaceClass != DriverInterfaceGuid || !Available()) return paths;
    libusb_device** raw = nullptr;
    const ssize_t count = libusb_get_device_list(context_->get(), &raw);
    if (count < 0) {
        LogLibusb("libusb_get_device_list", {}, static_cast<int>(count));
        return paths;
    }
    const DeviceList list(raw);
    for (const Location& l : VendorDevices(list.get(), count, kVendorId))
        paths.push_back(LibusbDevicePath(l.bus, l.ports));
    return paths;
}

Handle LibusbDriver::OpenDevice(const std::string& path, std::uint32_t& error) {
    error = error::FileNotFound;
    if (!Available()) return InvalidHandle;
    libusb_device** raw = nullptr;
    const ssize_t count = libusb_get_device_list(context_->get(), &raw);
    if (count < 0) {
        LogLibusb("libusb_get_device_list", {}, static_cast<int>(count));
        return InvalidHandle;
    }
    const DeviceList list(raw);
    libusb_device* found = nullptr;
    for (const Location& l : VendorDevices(list.get(), count, kVendorId))
        if (LibusbDevicePath(l.bus, l.ports) == path) found = l.device;
    if (found == nullptr) return InvalidHandle;

    auto device = std::make_shared<Device>();
    device->path = path;
    device->address = libusb_get_device_address(found);
    libusb_device_descriptor descriptor{};
    if (libusb_get_device_descriptor(found, &descriptor) == 0) {
        device->productIndex = descriptor.iProduct;
        device->vendorId = descriptor.idVendor;
        device->productId = descriptor.idProduct;
    }
    libusb_device_handle* opened = nullptr;
    if (const int r = libusb_open(found, &opened); r != 0) {
        LogLibusb("libusb_open", path, r);
        error = OpenErrorOf(r);
        return InvalidHandle;
    }
    device->handle.reset(opened);
    {
        const std::lock_guard lock(mutex_);
        std::shared_ptr<DescriptorCache>& cache = caches_[path];
        if (!cache || cache->device != found) cache = std::make_shared<DescriptorCache>(found);
        device->cache = cache;
    }

    libusb_config_descriptor* rawConfig = nullptr;
    if (libusb_get_active_config_descriptor(found, &rawConfig) == 0 ||
        libusb_get_config_descriptor(found, 0, &rawConfig) == 0) {
        const std::unique_ptr<libusb_config_descriptor, ConfigDeleter> config(rawConfig);
        for (std::uint8_t i = 0; i < config->bNumInterfaces; ++i) {
            const libusb_interface& interface = config->interface[i];
            for (int a = 0; a < interface.num_altsetting; ++a) {
                const libusb_interface_descriptor& alt = interface.altsetting[a];
                for (std::uint8_t e = 0; e < alt.bNumEndpoints; ++e)
                    device->endpointTypes[alt.endpoint[e].bEndpointAddress] =
                        static_cast<std::uint8_t>(alt.endpoint[e].bmAttributes & 0x03);
            }
        }
    }

    // A kernel driver bound to the interface would keep it from being claimed.
    if (libusb_kernel_driver_active(opened, kInterface) == 1) {
        if (const int r = libusb_detach_kernel_driver(opened, kInterface); r != 0) {
            LogLibusb("libusb_detach_kernel_driver", path, r);
            error = OpenErrorOf(r);
            return InvalidHandle;
        }
    }
    if (const int r = libusb_claim_interface(opened, kInterface); r != 0) {
        LogLibusb("libusb_claim_interface", path, r);
        error = OpenErrorOf(r);
        return InvalidHandle;
    }
    device->claimed = true;

    const std::lock_guard lock(mutex_);
    const Handle handle = nextHandle_++;
    handles_[handle] = std::move(device);
    error = error::Success;
    return handle;
}

bool LibusbDriver::CloseDevice(Handle handle) {
    if (!DeviceOf(handle)) return false;
    // A transfer libusb has not completed by then keeps the device handle open until it does.
    const bool settled = CancelAndAwait(handle, nullptr);
    std::shared_ptr<Device> device;
    {
        const std::lock_guard lock(mutex_);
        const auto it = handles_.find(handle);
        if (it == handles_.end()) return false;
        device = std::move(it->second);
        handles_.erase(it);
        std::erase_if(requests_,
                      [handle](const auto& entry) { return entry.second->handle == handle; });
    }
    if (!settled) return true;
    if (device->claimed && !device->gone)
        libusb_release_interface(device->handle.get(), kInterface);
    device->handle.reset();
    return true;
}

std::shared_ptr<LibusbDriver::Device> LibusbDriver::DeviceOf(Handle handle) const {
    const std::lock_guard lock(mutex_);
    const auto it = handles_.find(handle);
    return it == handles_.end() ? nullptr : it->second;
}

// --- Requests ----------------------------------------------------------------------------------

void LibusbDriver::AddRequest(const std::shared_ptr<Request>& request) {
    Overlapped* overlapped = request->overlapped;
    // A record reused for a new request drops the finished request it carried.
    if (overlapped != nullptr) {
        const auto old = requests_.find(overlapped->Internal);
        if (old != requests_.end() && old->second->overlapped == overlapped &&
            !old->second->pending)
            requests_.erase(old);
    }
    const std::uint64_t id = nextRequest_++;
    requests_.emplace(id, request);
    if (overlapped != nullptr) overlapped->Internal = static_cast<std::uintptr_t>(id);
}

IoResult LibusbDriver::FinishNow(Handle handle, Overlapped* overlapped, IoResult result) {
    if (overlapped == nullptr) return result;
    auto request = std::make_shared<Request>();
    request->sync = sync_;
    request->handle = handle;
    request->overlapped = overlapped;
    request->pending = false;
    request->result = result;
    {
        const std::lock_guard lock(mutex_);
        AddRequest(request);
    }
    if (const auto event = events_.Get(overlapped->hEvent)) event->Set();
    return result;
}

IoResult LibusbDriver::Submit(std::shared_ptr<Request> request, Device& device) {
    libusb_transfer* transfer = request->transfer.get();
    transfer->user_data = request.get();
    transfer->callback = &LibusbDriver::TransferCallback;
    {
        const std::lock_guard lock(mutex_);
        AddRequest(request);
        const auto open = handles_.find(request->handle);
        if (open != handles_.end()) request->device = open->second;
        request->context = context_;
        request->self = request;
    }
    // libusb is called without the lock: its event thread needs it to complete transfers.
    const int r = libusb_submit_transfer(transfer);
    std::unique_lock lock(mutex_);
    if (r != 0) {
        // A refused transfer never reaches the callback.
        request->pending = false;
        request->self.reset();
        std::erase_if(requests_, [&](const auto& e) { return e.second == request; });
        if (r == LIBUSB_ERROR_NO_DEVICE) device.gone = true;
        LogLibusb("libusb_submit_transfer", {}, r);
        return Fail(IoErrorOf(r));
    }
    if (request->overlapped != nullptr) return {false, error::IoPending, 0};
    completed_.wait(lock, [&] { return !request->pending; });
    const IoResult result = request->result;
    std::erase_if(requests_, [&](const auto& e) { return e.second == request; });
    return result;
}

void LibusbDriver::TransferCallback(libusb_transfer* transfer) {
    auto* request = static_cast<Request*>(transfer->user_data);
    OnTransferDone(*request, *transfer);
}

void LibusbDriver::OnTransferDone(Request& request, libusb_transfer& transfer) {
    std::shared_ptr<EventObject> event;
    std::shared_ptr<Request> self;  // let go only once nothing here touches the request
    const std::shared_ptr<Sync> sync = request.sync;
    const libusb_transfer_status status = transfer.status;  // for the diagnostic log
    const std::uint8_t endpoint = request.endpoint;
    {
        const std::lock_guard lock(sync->mutex);
        self = std::move(request.self);
        const RequestOutcome o = OutcomeOf(transfer.status);
        const auto actual = static_cast<std::size_t>(std::max(transfer.actual_length, 0));
        std::size_t moved = actual;
        if (!request.controlIn.empty() || !request.setup.empty()) {
            // A control request's data lies behind its setup packet; copy back what the device
            // returned, never more than the caller's buffer holds.
            moved = std::min(actual, request.setup.size() - LIBUSB_CONTROL_SETUP_SIZE);
            if (!request.abandoned && !request.controlIn.empty()) {
                moved = std::min(moved, request.controlIn.size());
                std::copy_n(request.setup.begin() + LIBUSB_CONTROL_SETUP_SIZE, moved,
                            request.controlIn.begin());
            }
        }
        request.result = ResultOf(o, static_cast<std::uint32_t>(request.dataOffset + moved));
        if (!request.abandoned && !request.header.empty()) WriteStatus(request.header, o);
        request.pending = false;
        if (!request.abandoned) event = std::move(request.event);
        request.event.reset();
    }
    sync->completed.notify_all();
    if (event) event->Set();
    if (status != LIBUSB_TRANSFER_COMPLETED && DiagnosticsOn()) {
        char subject[24];
        std::snprintf(subject, sizeof subject, "0x%02X", static_cast<unsigned>(endpoint));
        LogLibusb("transfer ended on endpoint", subject, static_cast<int>(status));
    }
}

bool LibusbDriver::CancelAndAwait(Handle handle, const std::uint8_t* endpoint) {
    std::vector<std::shared_ptr<Request>> cancelled;
    {
        const std::lock_guard lock(mutex_);
        for (const auto& [id, r] : requests_) {
            if (r->handle != handle || !r->pending || !r->transfer) continue;
            if (endpoint != nullptr && r->endpoint != *endpoint) continue;
            if (endpoint == nullptr) r->abandoned = true;  // the handle is being closed
            cancelled.push_back(r);
        }
    }
    // A transfer that finishes before its cancellation takes effect completes normally; either
    // way each one ends in the callback, on the event thread.
    for (const auto& r : cancelled)
        libusb_cancel_transfer(r->transfer.get());
    std::unique_lock lock(mutex_);
    return completed_.wait_for(lock, std::chrono::milliseconds(kAbortedTransferWaitMs), [&] {
        return std::none_of(cancelled.begin(), cancelled.end(),
                            [](const auto& r) { return r->pending; });
    });
}

void LibusbDriver::Abandon(Handle handle, Overlapped& overlapped, RequestMemory memory) {
    const std::lock_guard lock(mutex_);
    const auto it = requests_.find(overlapped.Internal);
    if (it == requests_.end() || it->second->overlapped != &overlapped ||
        it->second->handle != handle || !it->second->pending)
        return;  // nothing in flight: the memory may go
    Request& request = *it->second;
    request.kept = std::move(memory);
    request.overlapped = nullptr;
    request.abandoned = true;
}

IoResult LibusbDriver::GetOverlappedResult(Handle handle, Overlapped& overlapped, bool wait) {
    std::unique_lock lock(mutex_);
    if (handles_.count(handle) == 0) return Fail(error::InvalidHandle);
    const auto it = requests_.find(overlapped.Internal);
    if (it == requests_.end() || it->second->overlapped != &overlapped ||
        it->second->handle != handle)
        return Fail(error::InvalidParameter);
    const std::shared_ptr<Request> request = it->second;
    if (request->pending) {
        if (!wait) return Fail(error::IoIncomplete);
        completed_.wait(lock, [&] { return !request->pending; });
    }
    return request->result;
}

IoResult LibusbDriver::DeviceIoControl(Handle handle, std::uint32_t code,
                                       std::span<std::uint8_t> in, std::span<std::uint8_t> out,
                                       Overlapped* overlapped) {
    const std::shared_ptr<Device> device = DeviceOf(handle);
    if (!device) return Fail(error::InvalidHandle);
    if (device->gone) return Fail(error::DeviceNotConnected);
    switch (code) {
        case ioctl::ControlTransfer:
            return ControlIo(handle, *device, in, out, overlapped);
        case ioctl::BufferedTransfer:
        case ioctl::DirectTransfer:
            return BulkIo(handle, *device, code, in, out, overlapped);
        case ioctl::AbortPipe:
            if (in.empty()) return Fail(error::InvalidParameter);
            CancelAndAwait(handle, &in[0]);
            return FinishNow(handle, overlapped, {true, error::Success, 0});
        case ioctl::ResetPort:
            return ResetIo(handle, *device, overlapped);
        case ioctl::GetDriverVersion:
        case ioctl::GetUsbdiVersion:
        case ioctl::GetAltInterfaceSetting:
        case ioctl::GetAddress:
        case ioctl::GetDeviceName:
        case ioctl::GetFriendlyName:
            return InfoIo(handle, *device, code, out, overlapped);
        default:
            return Fail(error::InvalidParameter);
    }
}

IoResult LibusbDriver::ControlIo(Handle handle, Device& device, std::span<std::uint8_t> in,
                                 std::span<std::uint8_t> out, Overlapped* overlapped) {
    const auto control = DecodeControlRequest(in, out);
    if (!control) return Fail(error::InvalidParameter);
    const TransferRequest& h = control->header;
    MirrorHeader(in, out);
    if (control->toHost) {
        if (auto answered =
                DescriptorFromCache(handle, device, h, control->data, control->status, overlapped))
            return *answered;
    }

    auto request = std::make_shared<Request>();
    request->sync = sync_;
    request->handle = handle;
    request->overlapped = overlapped;
    if (overlapped != nullptr) request->event = events_.Get(overlapped->hEvent);
    request->header = control->status;
    request->dataOffset = static_cast<std::uint32_t>(kHeader);
    request->setup.assign(LIBUSB_CONTROL_SETUP_SIZE + control->data.size(), 0);
    libusb_fill_control_setup(request->setup.data(), h.bmRequestType, h.bRequest, h.wValue,
                              h.wIndex, h.wLength);
    if (control->toHost) {
        request->controlIn = control->data;
    } else {
        std::copy(control->data.begin(), control->data.end(),
                  request->setup.begin() + LIBUSB_CONTROL_SETUP_SIZE);
    }
    request->transfer.reset(libusb_alloc_transfer(0));
    if (!request->transfer) return Fail(error::GenFailure);
    // The header counts whole seconds; 0 means no limit, as it does for libusb.
    const unsigned int timeoutMs = h.TimeOut > 0xFFFFFFFFU / 1000 ? 0 : h.TimeOut * 1000;
    libusb_fill_control_transfer(request->transfer.get(), device.handle.get(),
                                 request->setup.data(), nullptr, nullptr, timeoutMs);
    return Submit(std::move(request), device);
}

IoResult LibusbDriver::BulkIo(Handle handle, Device& device, std::uint32_t code,
                              std::span<std::uint8_t> in, std::span<std::uint8_t> out,
                              Overlapped* overlapped) {
    const auto decoded = DecodeEndpointTransfer(code, in, out);
    if (!decoded) return Fail(error::InvalidParameter);
    const std::uint8_t endpoint = decoded->endpoint;
    const auto type = device.endpointTypes.find(endpoint);
    if (type == device.endpointTypes.end()) return Fail(error::InvalidParameter);
    if (type->second != LIBUSB_TRANSFER_TYPE_BULK && type->second != LIBUSB_TRANSFER_TYPE_INTERRUPT)
        return Fail(error::InvalidParameter);  // the dongle has no isochronous endpoints
    const bool toHost = (endpoint & LIBUSB_ENDPOINT_IN) != 0;
    const std::span<std::uint8_t> data = decoded->data;
    if (data.size() > static_cast<std::size_t>(std::numeric_limits<int>::max()))
        return Fail(error::InvalidParameter);
    if (code == ioctl::BufferedTransfer) MirrorHeader(in, out);

    auto request = std::make_shared<Request>();
    request->sync = sync_;
    request->handle = handle;
    request->overlapped = overlapped;
    request->endpoint = endpoint;
    request->header = decoded->status;
    request->dataOffset = decoded->dataOffset;

    if (toHost && data.empty()) {
        // Nothing to wait for: a zero-length read is complete as soon as it is asked for.
        WriteStatus(request->header, RequestOutcome::Completed);
        return FinishNow(handle, overlapped, {true, error::Success, request->dataOffset});
    }
    if (overlapped != nullptr) request->event = events_.Get(overlapped->hEvent);
    request->transfer.reset(libusb_alloc_transfer(0));
    if (!request->transfer) return Fail(error::GenFailure);
    const int length = static_cast<int>(data.size());
    // The caller's time-out governs bulk transfers (wait, then abort), so libusb gets none.
    if (type->second == LIBUSB_TRANSFER_TYPE_BULK) {
        libusb_fill_bulk_transfer(request->transfer.get(), device.handle.get(), endpoint,
                                  data.data(), length, nullptr, nullptr, 0);
    } else {
        libusb_fill_interrupt_transfer(request->transfer.get(), device.handle.get(), endpoint,
                                       data.data(), length, nullptr, nullptr, 0);
    }
    return Submit(std::move(request), device);
}

IoResult LibusbDriver::ResetIo(Handle handle, Device& device, Overlapped* overlapped) {
    const int r = libusb_reset_device(device.handle.get());
    if (r != 0) LogLibusb("libusb_reset_device", device.path, r);
    if (r == LIBUSB_ERROR_NOT_FOUND || r == LIBUSB_ERROR_NO_DEVICE) {
        // Re-enumerated as another device or gone: this handle cannot reach it any more, and
        // what was read from it may no longer hold.
        device.gone = true;
        const std::lock_guard lock(mutex_);
        caches_.erase(device.path);
        return Fail(error::DeviceNotConnected);
    }
    if (r != 0) return Fail(IoErrorOf(r));
    return FinishNow(handle, overlapped, {true, error::Success, 0});
}

namespace {

constexpr std::uint8_t kStandardDeviceIn = 0x80;
constexpr std::uint8_t kGetDescriptor = 6;
constexpr std::uint8_t kDeviceDescriptor = 1;
constexpr std::uint8_t kConfigurationDescriptor = 2;
constexpr std::uint8_t kStringDescriptor = 3;
constexpr int kStringReadTimeoutMs = 5000;

void PutLe16(std::vector<std::uint8_t>& bytes, std::uint16_t value) {
    bytes.push_back(static_cast<std::uint8_t>(value & 0xFF));
    bytes.push_back(static_cast<std::uint8_t>(value >> 8));
}

std::vector<std::uint8_t> DeviceDescriptorBytes(const libusb_device_descriptor& d) {
    std::vector<std::uint8_t> bytes{d.bLength, d.bDescriptorType};
    PutLe16(bytes, d.bcdUSB);
    bytes.insert(bytes.end(),
                 {d.bDeviceClass, d.bDeviceSubClass, d.bDeviceProtocol, d.bMaxPacketSize0});
    PutLe16(bytes, d.idVendor);
    PutLe16(bytes, d.idProduct);
    PutLe16(bytes, d.bcdDevice);
    bytes.insert(bytes.end(), {d.iManufacturer, d.iProduct, d.iSerialNumber, d.bNumConfigurations});
    return bytes;
}

void PutExtra(std::vector<std::uint8_t>& bytes, const unsigned char* extra, int length) {
    if (extra != nullptr && length > 0) bytes.insert(bytes.end(), extra, extra + length);
}

// The configuration set in the order it came from the device: libusb keeps every descriptor it
// does not parse itself with the one before it. Empty when the result would not have the length
// the configuration states.
std::vector<std::uint8_t> ConfigurationBytes(const libusb_config_descriptor& c) {
    std::vector<std::uint8_t> bytes{c.bLength, c.bDescriptorType};
    PutLe16(bytes, c.wTotalLength);
    bytes.insert(bytes.end(), {c.bNumInterfaces, c.bConfigurationValue, c.iConfiguration,
                               c.bmAttributes, c.MaxPower});
    PutExtra(bytes, c.extra, c.extra_length);
    for (std::uint8_t i = 0; i < c.bNumInterfaces; ++i) {
        const libusb_interface& interface = c.interface[i];
        for (int a = 0; a < interface.num_altsetting; ++a) {
            const libusb_interface_descriptor& alt = interface.altsetting[a];
            bytes.insert(bytes.end(),
                         {alt.bLength, alt.bDescriptorType, alt.bInterfaceNumber,
                          alt.bAlternateSetting, alt.bNumEndpoints, alt.bInterfaceClass,
                          alt.bInterfaceSubClass, alt.bInterfaceProtocol, alt.iInterface});
            PutExtra(bytes, alt.extra, alt.extra_length);
            for (std::uint8_t e = 0; e < alt.bNumEndpoints; ++e) {
                const libusb_endpoint_descriptor& ep = alt.endpoint[e];
                bytes.insert(bytes.end(), {ep.bLength, ep.bDescriptorType, ep.bEndpointAddress,
                                           ep.bmAttributes});
                PutLe16(bytes, ep.wMaxPacketSize);
                bytes.push_back(ep.bInterval);
                // Audio endpoints carry two bytes more.
                if (ep.bLength >= 9) bytes.insert(bytes.end(), {ep.bRefresh, ep.bSynchAddress});
                PutExtra(bytes, ep.extra, ep.extra_length);
            }
        }
    }
    if (bytes.size() != c.wTotalLength) bytes.clear();
    return bytes;
}

}  // namespace

std::vector<std::uint8_t> LibusbDriver::StringDescriptor(Device& device, std::uint8_t index,
                                                         std::uint16_t language) {
    const std::pair key{index, language};
    {
        const std::lock_guard lock(mutex_);
        const auto it = device.cache->strings.find(key);
        if (it != device.cache->strings.end()) return it->second;
    }
    // Read whole, so that a read of its head and one of the rest cost one transfer together.
    std::array<unsigned char, 255> buffer{};
    const int n = libusb_control_transfer(
        device.handle.get(), kStandardDeviceIn, kGetDescriptor,
        static_cast<std::uint16_t>((kStringDescriptor << 8) | index), language, buffer.data(),
        static_cast<std::uint16_t>(buffer.size()), kStringReadTimeoutMs);
    // Only a descriptor that says it is one, and came whole, is kept.
    if (n < 2 || buffer[1] != kStringDescriptor || buffer[0] > n) return {};
    std::vector<std::uint8_t> descriptor(buffer.begin(), buffer.begin() + buffer[0]);
    const std::lock_guard lock(mutex_);
    device.cache->strings[key] = descriptor;
    return descriptor;
}

std::optional<IoResult> LibusbDriver::DescriptorFromCache(Handle handle, Device& device,
                                                          const TransferRequest& h,
                                                          std::span<std::uint8_t> data,
                                                          std::span<std::uint8_t> status,
                                                          Overlapped* overlapped) {
    if (h.bmRequestType != kStandardDeviceIn || h.bRequest != kGetDescriptor) return std::nullopt;
    const auto type = static_cast<std::uint8_t>(h.wValue >> 8);
    const auto index = static_cast<std::uint8_t>(h.wValue & 0xFF);
    libusb_device* usbDevice = libusb_get_device(device.handle.get());
    std::vector<std::uint8_t> descriptor;
    if (type == kDeviceDescriptor && index == 0 && h.wIndex == 0) {
        libusb_device_descriptor d{};
        if (libusb_get_device_descriptor(usbDevice, &d) == 0) descriptor = DeviceDescriptorBytes(d);
    } else if (type == kConfigurationDescriptor && h.wIndex == 0) {
        libusb_config_descriptor* raw = nullptr;
        if (libusb_get_config_descriptor(usbDevice, index, &raw) == 0) {
            const std::unique_ptr<libusb_config_descriptor, ConfigDeleter> config(raw);
            descriptor = ConfigurationBytes(*config);
        }
    } else if (type == kStringDescriptor) {
        descriptor = StringDescriptor(device, index, h.wIndex);
    }
    if (descriptor.empty()) return std::nullopt;
    // A device answers with what was asked for, up to the descriptor's end.
    const std::size_t n = std::min({descriptor.size(), std::size_t{h.wLength}, data.size()});
    std::copy_n(descriptor.begin(), n, data.begin());
    WriteStatus(status, RequestOutcome::Completed);
    return FinishNow(handle, overlapped,
                     {true, error::Success, static_cast<std::uint32_t>(kHeader + n)});
}

IoResult LibusbDriver::InfoIo(Handle handle, Device& device, std::uint32_t code,
                              std::span<std::uint8_t> out, Overlapped* overlapped) {
    switch (code) {
        case ioctl::GetDriverVersion:
        case ioctl::GetUsbdiVersion: {
            if (out.size() < 4) return Fail(error::InvalidParameter);
            const libusb_version* v = libusb_get_version();
            const std::uint32_t libusbVersion = (std::uint32_t{v->major} << 24) |
                                                (std::uint32_t{v->minor} << 16) |
                                                (std::uint32_t{v->micro} << 8);
            StoreLe32(out, 0, code == ioctl::GetDriverVersion ? kDriverVersion : libusbVersion);
            return FinishNow(handle, overlapped, {true, error::Success, 4});
        }
        case ioctl::GetAltInterfaceSetting:
        case ioctl::GetAddress:
            if (out.empty()) return Fail(error::InvalidParameter);
            // Interface 0 is claimed in its default setting and never switched.
            out[0] = code == ioctl::GetAddress ? device.address : 0;
            return FinishNow(handle, overlapped, {true, error::Success, 1});
        default:
            break;
    }
    if (out.empty()) return Fail(error::InvalidParameter);
    std::string name;
    if (code == ioctl::GetDeviceName) {
        name = "libusb " + device.path.substr(device.path.find(':') + 1);
    } else {
        // The product string in the first language the device offers, in ASCII ('?' for what
        // is not), as libusb's own ASCII reader gives it.
        const std::vector<std::uint8_t> languages =
            device.productIndex == 0 ? std::vector<std::uint8_t>{} : StringDescriptor(device, 0, 0);
        std::vector<std::uint8_t> product;
        if (languages.size() >= 4)
            product = StringDescriptor(device, device.productIndex, LoadLe16(languages, 2));
        for (std::size_t i = 2; i + 1 < product.size() && name.size() + 1 < kDriverNameSize;
             i += 2) {
            const unsigned unit = product[i] | (unsigned{product[i + 1]} << 8);
            name.push_back(unit < 0x80 ? static_cast<char>(unit) : '?');
        }
        if (name.empty()) {
            char fallback[32];
            std::snprintf(fallback, sizeof fallback, "USB device %04X:%04X",
                          static_cast<unsigned>(device.vendorId),
                          static_cast<unsigned>(device.productId));
            name = fallback;
        }
    }
    const std::size_t n = PutDriverText(out, name);
    return FinishNow(handle, overlapped, {true, error::Success, static_cast<std::uint32_t>(n)});
}

// --- Events ------------------------------------------------------------------------------------

EventHandle LibusbDriver::CreateEventObject(bool manualReset, bool initialState) {
    return events_.Create(manualReset, initialState);
}

WaitResult LibusbDriver::WaitForEvent(EventHandle event, std::uint32_t milliseconds) {
    return events_.Wait(event, milliseconds);
}

bool LibusbDriver::CloseEvent(EventHandle event) {
    return events_.Close(event);
}

}  // namespace qdm::usb
