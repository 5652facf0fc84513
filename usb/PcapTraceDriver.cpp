#include "usb/PcapTraceDriver.h"

#include <algorithm>
#include <array>
#include <chrono>

#include "usb/TransferRequest.h"

namespace qdm::usb {

namespace {
constexpr std::uint32_t kLinkTypeUsbLinuxMmapped = 220;
constexpr std::uint32_t kSnapLength = 1u << 20;
constexpr std::size_t kUsbmonHeaderSize = 64;
constexpr std::uint8_t kControl = 2;
constexpr std::uint8_t kBulk = 3;
constexpr std::int32_t kInProgress = -115;  // -EINPROGRESS, as usbmon shows submissions

constexpr std::size_t kFlushSize = 64 * 1024;

template <std::size_t N>
void Store(std::array<std::uint8_t, N>& b, std::size_t at, std::uint64_t v, std::size_t bytes) {
    for (std::size_t i = 0; i < bytes; ++i)
        b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

// usbmon reports errors as negative errno values.
std::int32_t LinuxStatus(const IoResult& r) {
    if (r.ok) return 0;
    switch (r.error) {
        case error::OperationAborted:
            return -2;  // -ENOENT: unlinked
        case error::DeviceNotConnected:
            return -19;  // -ENODEV
        case error::WaitTimeout:
            return -110;  // -ETIMEDOUT
        default:
            return -32;  // -EPIPE: stalled
    }
}
}  // namespace

PcapTraceDriver::PcapTraceDriver(std::shared_ptr<UsbDriver> inner,
                                 const std::filesystem::path& file)
    : inner_(std::move(inner)) {
    opened_ = out_.Open(file, OutputMode::Truncate);
    if (!opened_) return;
    unwritten_.reserve(kFlushSize * 2);
    std::array<std::uint8_t, 24> header{};
    Store(header, 0, 0xA1B2C3D4, 4);
    Store(header, 4, 2, 2);
    Store(header, 6, 4, 2);
    Store(header, 16, kSnapLength, 4);
    Store(header, 20, kLinkTypeUsbLinuxMmapped, 4);
    Put(header);
}

PcapTraceDriver::~PcapTraceDriver() {
    Flush();
}

void PcapTraceDriver::Put(std::span<const std::uint8_t> bytes) {
    unwritten_.insert(unwritten_.end(), bytes.begin(), bytes.end());
    if (unwritten_.size() >= kFlushSize) Flush();
}

void PcapTraceDriver::Flush() {
    // A trace that cannot be written any more stops; the transfers go on all the same.
    if (out_.IsOpen() && !unwritten_.empty() && !out_.Write(unwritten_)) out_.Close();
    unwritten_.clear();
}

void PcapTraceDriver::WritePacket(const Transfer& t, char type, std::int32_t status,
                                  std::uint32_t length, std::span<const std::uint8_t> data) {
    if (!out_.IsOpen()) return;
    if (bulkFilter_ && t.kind == kBulk && !data.empty())
        data = data.first(std::min(bulkFilter_(t.endpoint, data), data.size()));
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    const auto micros = std::chrono::duration_cast<std::chrono::microseconds>(now).count();
    const std::uint64_t seconds = static_cast<std::uint64_t>(micros / 1000000);
    const std::uint32_t usec = static_cast<std::uint32_t>(micros % 1000000);

    std::array<std::uint8_t, kUsbmonHeaderSize> h{};
    Store(h, 0, t.id, 8);
    h[8] = static_cast<std::uint8_t>(type);
    h[9] = t.kind;
    h[10] = t.endpoint;
    h[11] = t.device;
    Store(h, 12, 1, 2);  // bus 1
    const bool withSetup = type == 'S' && t.setup.size() == 8;
    h[14] = withSetup ? 0 : '-';
    h[15] = data.empty() ? (type == 'S' ? '<' : '>') : 0;
    Store(h, 16, seconds, 8);
    Store(h, 24, usec, 4);
    Store(h, 28, static_cast<std::uint32_t>(status), 4);
    Store(h, 32, length, 4);
    Store(h, 36, data.size(), 4);
    if (withSetup) std::copy(t.setup.begin(), t.setup.end(), h.begin() + 40);

    std::array<std::uint8_t, 16> record{};
    Store(record, 0, seconds, 4);
    Store(record, 4, usec, 4);
    Store(record, 8, kUsbmonHeaderSize + data.size(), 4);
    Store(record, 12, kUsbmonHeaderSize + data.size(), 4);
    Put(record);
    Put(h);
    Put(data);
    ++packets_;
}

void PcapTraceDriver::Submitted(const Transfer& t, std::span<const std::uint8_t> outData) {
    WritePacket(t, 'S', kInProgress, t.length, outData);
}

void PcapTraceDriver::Completed(const Transfer& t, const IoResult& result) {
    const std::uint32_t moved = result.bytes > t.dataOffset ? result.bytes - t.dataOffset : 0;
    std::span<const std::uint8_t> inData;
    if ((t.endpoint & 0x80) != 0)
        inData = std::span<const std::uint8_t>(t.data).first(
            std::min<std::size_t>(moved, t.data.size()));
    WritePacket(t, 'C', LinuxStatus(result), moved, inData);
}

std::vector<std::string> PcapTraceDriver::PresentInterfaces(const Guid& interfaceClass) {
    return inner_->PresentInterfaces(interfaceClass);
}

std::vector<DeviceLocation> PcapTraceDriver::LocateInterfaces(const Guid& interfaceClass) {
    return inner_->LocateInterfaces(interfaceClass);
}

Handle PcapTraceDriver::OpenDevice(const std::string& path, std::uint32_t& error) {
    const Handle handle = inner_->OpenDevice(path, error);
    if (handle != InvalidHandle) {
        auto [it, added] =
            addresses_.emplace(path, static_cast<std::uint8_t>(addresses_.size() + 1));
        devices_[handle] = it->second;
    }
    return handle;
}

bool PcapTraceDriver::CloseDevice(Handle handle) {
    devices_.erase(handle);
    return inner_->CloseDevice(handle);
}

IoResult PcapTraceDriver::DeviceIoControl(Handle handle, std::uint32_t code,
                                          std::span<std::uint8_t> in, std::span<std::uint8_t> out,
                                          Overlapped* overlapped) {
    const bool traced = (code == ioctl::ControlTransfer || code == ioctl::BufferedTransfer ||
                         code == ioctl::DirectTransfer) &&
                        in.size() >= kTransferRequestSize;
    if (!traced) return inner_->DeviceIoControl(handle, code, in, out, overlapped);

    Transfer t;
    t.id = nextId_++;
    const auto found = devices_.find(handle);
    t.device = found == devices_.end() ? 0 : found->second;
    const std::span<std::uint8_t> payload =
        code == ioctl::DirectTransfer ? out : in.subspan(kTransferRequestSize);
    std::span<const std::uint8_t> outData;
    if (code == ioctl::ControlTransfer) {
        t.kind = kControl;
        t.setup = in.first(8);
        t.endpoint = static_cast<std::uint8_t>(in[0] & 0x80);
        t.dataOffset = static_cast<std::uint32_t>(kTransferRequestSize);
    } else {
        t.kind = kBulk;
        t.endpoint = in[header::EndpointAddress];
        t.dataOffset =
            code == ioctl::DirectTransfer ? 0 : static_cast<std::uint32_t>(kTransferRequestSize);
    }
    t.length = static_cast<std::uint32_t>(payload.size());
    t.data = payload;
    if ((t.endpoint & 0x80) == 0) outData = payload;
    Submitted(t, outData);

    const IoResult r = inner_->DeviceIoControl(handle, code, in, out, overlapped);
    if (!r.ok && r.error == error::IoPending && overlapped != nullptr) {
        pending_[overlapped] = t;
    } else {
        Completed(t, r);
    }
    return r;
}

void PcapTraceDriver::Abandon(Handle handle, Overlapped& overlapped, RequestMemory memory) {
    pending_.erase(&overlapped);  // its completion, if any, is no longer seen here
    inner_->Abandon(handle, overlapped, std::move(memory));
}

IoResult PcapTraceDriver::GetOverlappedResult(Handle handle, Overlapped& overlapped, bool wait) {
    const IoResult r = inner_->GetOverlappedResult(handle, overlapped, wait);
    if (r.error != error::IoIncomplete) {
        const auto it = pending_.find(&overlapped);
        if (it != pending_.end()) {
            Completed(it->second, r);
            pending_.erase(it);
        }
    }
    return r;
}

EventHandle PcapTraceDriver::CreateEventObject(bool manualReset, bool initialState) {
    return inner_->CreateEventObject(manualReset, initialState);
}

WaitResult PcapTraceDriver::WaitForEvent(EventHandle event, std::uint32_t milliseconds) {
    return inner_->WaitForEvent(event, milliseconds);
}

bool PcapTraceDriver::CloseEvent(EventHandle event) {
    return inner_->CloseEvent(event);
}

NotifyHandle PcapTraceDriver::RegisterInterfaceNotification(WindowHandle window,
                                                            const Guid& interfaceClass) {
    return inner_->RegisterInterfaceNotification(window, interfaceClass);
}

NotifyHandle PcapTraceDriver::RegisterHandleNotification(WindowHandle window, Handle handle) {
    return inner_->RegisterHandleNotification(window, handle);
}

bool PcapTraceDriver::UnregisterNotification(NotifyHandle notification) {
    return inner_->UnregisterNotification(notification);
}

}  // namespace qdm::usb
