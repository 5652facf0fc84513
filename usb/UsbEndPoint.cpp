#include "usb/UsbEndPoint.h"

#include <algorithm>
#include <cstdio>
#include <utility>

#include "state/DiagnosticLog.h"
#include "usb/TransferRequest.h"

namespace qdm::usb {

namespace {
// "usb: endpoint 0x86: " and `what`, for the diagnostic log.
std::string EndpointLine(std::uint8_t address, std::string_view what) {
    char text[24];
    std::snprintf(text, sizeof text, "usb: endpoint 0x%02X: ", static_cast<unsigned>(address));
    return text + std::string(what);
}
}  // namespace

Request& Request::operator=(Request&& other) noexcept {
    if (this != &other) {
        Abandon();
        endpoint_ = std::exchange(other.endpoint_, nullptr);
        overlapped_ = std::exchange(other.overlapped_, nullptr);
        buffer_ = std::move(other.buffer_);
        other.buffer_.clear();
        held_ = std::move(other.held_);
    }
    return *this;
}

void Request::Release() {
    buffer_.clear();
    buffer_.shrink_to_fit();
    held_.reset();
    endpoint_ = nullptr;
    overlapped_ = nullptr;
}

void Request::Abandon() noexcept {
    if (!buffer_.empty() && endpoint_ != nullptr && overlapped_ != nullptr)
        endpoint_->AbortAndAwait(*this);
    Release();
}

void Request::GiveUp() noexcept {
    if (endpoint_ == nullptr || overlapped_ == nullptr) return;
    Diagnose([this] {
        return EndpointLine(endpoint_->Address, "the aborted transfer did not complete within " +
                                                    std::to_string(kAbortedTransferWaitMs) +
                                                    " ms; left to the driver");
    });
    // Moving the vector keeps its heap block where the driver was told it is.
    RequestMemory memory{std::make_shared<const std::vector<std::uint8_t>>(std::move(buffer_))};
    if (held_) memory.push_back(std::move(held_));
    endpoint_->Driver().Abandon(endpoint_->DeviceHandle, *overlapped_, std::move(memory));
    Release();
}

UsbEndPoint::UsbEndPoint(UsbDriver& driver, Handle deviceHandle,
                         std::span<const std::uint8_t> descriptor)
    : DeviceHandle(deviceHandle), driver_(&driver) {
    if (descriptor.size() >= 7) {
        DescriptorLength = descriptor[0];
        DescriptorType = descriptor[1];
        Address = descriptor[2];
        Attributes = descriptor[3];
        const std::uint16_t wMaxPacketSize = LoadLe16(descriptor, 4);
        Interval = descriptor[6];
        PacketsPerFrame = static_cast<std::uint16_t>(((wMaxPacketSize & 0x1800) >> 11) + 1);
        MaxPacketSize = static_cast<std::uint16_t>((wMaxPacketSize & 0x7FF) * PacketsPerFrame);
        IsIn = (Address & 0x80) != 0;
    }
    TimeOut = 10000;
    TransferMode = kTransferDirect;
}

Request UsbEndPoint::Submit(std::uint32_t code, std::vector<std::uint8_t> request,
                            std::span<std::uint8_t> callerData, Overlapped& overlapped,
                            bool direct) {
    // The vector's heap block stays where it is when the Request takes it over.
    const std::span<std::uint8_t> in(request);
    Request pending(*this, overlapped, std::move(request));
    const IoResult r =
        driver_->DeviceIoControl(DeviceHandle, code, in, direct ? callerData : in, &overlapped);
    LastError = r.ok ? error::Success : r.error;
    if (LastError != error::Success && LastError != error::IoPending)
        Diagnose([&] { return EndpointLine(Address, "request refused: " + ErrorName(LastError)); });
    return pending;
}

namespace {
std::vector<std::uint8_t> NewHeader(std::size_t extra, std::uint8_t endpointAddress,
                                    std::uint32_t dataOffset, std::uint32_t dataLength) {
    std::vector<std::uint8_t> request(kTransferRequestSize + extra, 0);
    TransferRequest h;
    h.EndpointAddress = endpointAddress;
    h.BufferOffset = dataOffset;
    h.BufferLength = dataLength;
    h.WriteTo(request);
    return request;
}
}  // namespace

Request UsbEndPoint::BeginDirectTransfer(std::span<std::uint8_t> buffer, Overlapped& overlapped) {
    if (DeviceHandle == InvalidHandle) return {};
    return Submit(ioctl::DirectTransfer, NewHeader(0, Address, 0, 0), buffer, overlapped, true);
}

Request UsbEndPoint::BeginBufferedTransfer(std::span<std::uint8_t> buffer, Overlapped& overlapped) {
    if (DeviceHandle == InvalidHandle) return {};
    auto request = NewHeader(buffer.size(), Address, kTransferRequestSize,
                             static_cast<std::uint32_t>(buffer.size()));
    std::copy(buffer.begin(), buffer.end(), request.begin() + kTransferRequestSize);
    return Submit(ioctl::BufferedTransfer, std::move(request), {}, overlapped, false);
}

bool UsbEndPoint::FinishTransfer(std::span<std::uint8_t> buffer, std::uint32_t& length,
                                 Overlapped& overlapped, Request& request,
                                 std::span<std::uint8_t> packetInfo) {
    length = 0;
    if (!request) return false;
    IoResult r = driver_->GetOverlappedResult(DeviceHandle, overlapped, false);
    if (!r.ok && r.error == error::IoIncomplete) {
        Abort();
        r = AwaitAborted(overlapped);
        if (!r.ok && r.error == error::IoIncomplete) {
            BytesTransferred = 0;
            request.GiveUp();
            return false;
        }
    }
    const std::span<const std::uint8_t> req = request.Buffer();
    const TransferRequest h = TransferRequest::ReadFrom(req);
    const std::uint32_t dataOffset = h.BufferOffset;
    length = r.bytes > dataOffset ? r.bytes - dataOffset : 0;
    BytesTransferred = length;
    UsbdStatus = h.UsbdStatus;
    NtStatus = h.NtStatus;
    if (IsIn && TransferMode == kTransferBuffered && length > 0) {
        // Only what both the request and the caller's buffer hold can be copied.
        const std::size_t available = req.size() > dataOffset ? req.size() - dataOffset : 0;
        const std::size_t n = std::min({std::size_t{length}, available, buffer.size()});
        std::copy_n(req.begin() + dataOffset, n, buffer.begin());
        length = static_cast<std::uint32_t>(n);
        BytesTransferred = length;
    }
    if (!packetInfo.empty() && length > 0 && h.IsoPacketLength > 0) {
        const std::size_t n = std::min<std::size_t>(h.IsoPacketLength, packetInfo.size());
        std::fill_n(packetInfo.begin(), n, std::uint8_t{0});
        if (h.IsoPacketOffset + n <= req.size())
            std::copy_n(req.begin() + h.IsoPacketOffset, n, packetInfo.begin());
    }
    request.Release();
    const bool ok = r.ok && UsbdStatus == 0 && NtStatus == 0;
    if (!ok) {
        Diagnose([&] {
            return EndpointLine(Address, "transfer failed: " + ErrorName(r.error) + ", NtStatus " +
                                             StatusName(NtStatus) + ", UsbdStatus " +
                                             StatusName(UsbdStatus) + ", " +
                                             std::to_string(length) + " bytes moved");
        });
    }
    return ok;
}

bool UsbEndPoint::WaitForTransfer(Overlapped& overlapped, std::uint32_t milliseconds) {
    if (LastError == error::Success) return true;
    if (LastError != error::IoPending) return false;
    const WaitResult waited = driver_->WaitForEvent(overlapped.hEvent, milliseconds);
    if (waited != WaitResult::Signalled) {
        Diagnose([&] {
            return EndpointLine(Address,
                                waited == WaitResult::TimedOut
                                    ? "no completion within " + std::to_string(milliseconds) + " ms"
                                    : std::string("the wait for completion failed"));
        });
    }
    return waited == WaitResult::Signalled;
}

bool UsbEndPoint::TransferData(std::span<std::uint8_t> buffer, std::uint32_t& length,
                               std::span<std::uint8_t> packetInfo) {
    Event event(*driver_);
    Overlapped overlapped{event.handle(), 0};
    // A direct transfer moves the data straight from or into the buffer it is given, which must
    // outlive a transfer the driver never completes: the caller's cannot, a copy held by the
    // request can.
    const bool direct = TransferMode == kTransferDirect;
    const auto data =
        direct ? std::make_shared<std::vector<std::uint8_t>>(buffer.begin(), buffer.end())
               : nullptr;
    const std::span<std::uint8_t> moved = direct ? std::span<std::uint8_t>(*data) : buffer;
    Request request = BeginTransfer(moved, overlapped);
    request.Hold(data);
    bool waited = false;
    if (request) {
        if (LastError == error::Success) {
            waited = true;
        } else if (LastError == error::IoPending) {
            // A transfer still running when the time is up is aborted by FinishTransfer.
            waited = driver_->WaitForEvent(overlapped.hEvent, TimeOut) == WaitResult::Signalled;
        }
    }
    const bool finished = FinishTransfer(moved, length, overlapped, request, packetInfo);
    if (direct && IsIn)
        std::copy_n(data->begin(), std::min<std::size_t>(length, buffer.size()), buffer.begin());
    return waited && finished;
}

bool UsbEndPoint::Abort() {
    std::uint8_t address = Address;
    return driver_->DeviceIoControl(DeviceHandle, ioctl::AbortPipe, {&address, 1}, {}, nullptr).ok;
}

void UsbEndPoint::AbortAndAwait(Request& request) noexcept {
    Overlapped& overlapped = *request.overlapped_;
    if (driver_->GetOverlappedResult(DeviceHandle, overlapped, false).error != error::IoIncomplete)
        return;
    Abort();
    const IoResult r = AwaitAborted(overlapped);
    if (!r.ok && r.error == error::IoIncomplete) request.GiveUp();
}

IoResult UsbEndPoint::AwaitAborted(Overlapped& overlapped) {
    const IoResult r = driver_->GetOverlappedResult(DeviceHandle, overlapped, false);
    if (r.ok || r.error != error::IoIncomplete) return r;
    driver_->WaitForEvent(overlapped.hEvent, kAbortedTransferWaitMs);
    return driver_->GetOverlappedResult(DeviceHandle, overlapped, false);
}

UsbControlEndPoint::UsbControlEndPoint(UsbDriver& driver, Handle deviceHandle,
                                       std::span<const std::uint8_t> descriptor)
    : UsbEndPoint(driver, deviceHandle, descriptor) {
    TransferMode = kTransferBuffered;
}

Request UsbControlEndPoint::BeginTransfer(std::span<std::uint8_t> buffer, Overlapped& overlapped) {
    if (DeviceHandle == InvalidHandle) return {};
    IsIn = Direction == 1;
    std::vector<std::uint8_t> request(kTransferRequestSize + buffer.size(), 0);
    TransferRequest h;
    h.bmRequestType = static_cast<std::uint8_t>((Target & 0x1F) | ((RequestType & 3) << 5) |
                                                ((Direction & 1) << 7));
    h.bRequest = RequestCode;
    h.wValue = Value;
    h.wIndex = Index;
    h.wLength = static_cast<std::uint16_t>(buffer.size());
    h.TimeOut = ControlTimeoutSeconds(TimeOut);
    h.BufferOffset = kTransferRequestSize;
    h.BufferLength = static_cast<std::uint32_t>(buffer.size());
    h.WriteTo(request);
    std::copy(buffer.begin(), buffer.end(), request.begin() + kTransferRequestSize);
    return Submit(ioctl::ControlTransfer, std::move(request), {}, overlapped, false);
}

Request UsbBulkEndPoint::BeginTransfer(std::span<std::uint8_t> buffer, Overlapped& overlapped) {
    return TransferMode == kTransferDirect ? BeginDirectTransfer(buffer, overlapped)
                                           : BeginBufferedTransfer(buffer, overlapped);
}

Request UsbInterruptEndPoint::BeginTransfer(std::span<std::uint8_t> buffer,
                                            Overlapped& overlapped) {
    return TransferMode == kTransferDirect ? BeginDirectTransfer(buffer, overlapped)
                                           : BeginBufferedTransfer(buffer, overlapped);
}

std::uint32_t UsbIsocEndPoint::PacketCount(std::size_t length) const {
    if (MaxPacketSize == 0) return 0;
    return static_cast<std::uint32_t>((length + MaxPacketSize - 1) / MaxPacketSize);
}

Request UsbIsocEndPoint::BeginDirectTransfer(std::span<std::uint8_t> buffer,
                                             Overlapped& overlapped) {
    const std::uint32_t packets = PacketCount(buffer.size());
    if (DeviceHandle == InvalidHandle || packets == 0) return {};
    const std::uint32_t infoLength = static_cast<std::uint32_t>(kIsoPacketInfoSize) * packets;
    auto request = NewHeader(infoLength, Address, 0, 0);
    StoreLe32(request, header::IsoPacketOffset, static_cast<std::uint32_t>(kTransferRequestSize));
    StoreLe32(request, header::IsoPacketLength, infoLength);
    return Submit(ioctl::DirectTransfer, std::move(request), buffer, overlapped, true);
}

Request UsbIsocEndPoint::BeginBufferedTransfer(std::span<std::uint8_t> buffer,
                                               Overlapped& overlapped) {
    const std::uint32_t packets = PacketCount(buffer.size());
    if (DeviceHandle == InvalidHandle || packets == 0) return {};
    const std::uint32_t infoLength = static_cast<std::uint32_t>(kIsoPacketInfoSize) * packets;
    const std::uint32_t dataOffset = static_cast<std::uint32_t>(kTransferRequestSize) + infoLength;
    auto request = NewHeader(infoLength + buffer.size(), Address, dataOffset,
                             static_cast<std::uint32_t>(buffer.size()));
    StoreLe32(request, header::IsoPacketOffset, static_cast<std::uint32_t>(kTransferRequestSize));
    StoreLe32(request, header::IsoPacketLength, infoLength);
    std::copy(buffer.begin(), buffer.end(), request.begin() + dataOffset);
    return Submit(ioctl::BufferedTransfer, std::move(request), {}, overlapped, false);
}

Request UsbIsocEndPoint::BeginTransfer(std::span<std::uint8_t> buffer, Overlapped& overlapped) {
    return TransferMode == kTransferDirect ? BeginDirectTransfer(buffer, overlapped)
                                           : BeginBufferedTransfer(buffer, overlapped);
}

}  // namespace qdm::usb
