#include "usb/DriverRequest.h"

#include <algorithm>
#include <cstring>

namespace qdm::usb {

OutcomeCodes CodesOf(RequestOutcome outcome) {
    switch (outcome) {
        case RequestOutcome::Completed:
            return {error::Success, status::NtSuccess, status::UsbdSuccess};
        case RequestOutcome::Cancelled:
            return {error::OperationAborted, status::NtCancelled, status::UsbdCancelled};
        case RequestOutcome::NoDevice:
            return {error::DeviceNotConnected, status::NtNoSuchDevice, status::UsbdDeviceGone};
        case RequestOutcome::TimedOut:
            return {error::WaitTimeout, status::NtIoTimeout, status::UsbdTimeout};
        case RequestOutcome::Stalled:
            return {error::GenFailure, status::NtUnsuccessful, status::UsbdStall};
        case RequestOutcome::Overrun:
            return {error::GenFailure, status::NtUnsuccessful, status::UsbdDataOverrun};
        case RequestOutcome::Failed:
            break;
    }
    return {error::GenFailure, status::NtUnsuccessful, status::UsbdXactError};
}

void WriteStatus(std::span<std::uint8_t> header, RequestOutcome outcome) {
    const OutcomeCodes codes = CodesOf(outcome);
    StoreLe32(header, header::NtStatus, codes.nt);
    StoreLe32(header, header::UsbdStatus, codes.usbd);
}

IoResult ResultOf(RequestOutcome outcome, std::uint32_t bytes) {
    const std::uint32_t code = CodesOf(outcome).error;
    return {code == error::Success, code, bytes};
}

std::optional<ControlRequest> DecodeControlRequest(std::span<std::uint8_t> in,
                                                   std::span<std::uint8_t> out) {
    if (in.size() < kTransferRequestSize || out.size() < kTransferRequestSize) return std::nullopt;
    ControlRequest r;
    r.header = TransferRequest::ReadFrom(in);
    r.toHost = (r.header.bmRequestType & 0x80) != 0;
    const std::span<std::uint8_t> carrier = r.toHost ? out : in;
    if (carrier.size() < kTransferRequestSize + r.header.wLength) return std::nullopt;
    r.data = carrier.subspan(kTransferRequestSize, r.header.wLength);
    r.status = out.first(kTransferRequestSize);
    return r;
}

std::optional<EndpointTransfer> DecodeEndpointTransfer(std::uint32_t code,
                                                       std::span<std::uint8_t> in,
                                                       std::span<std::uint8_t> out) {
    if (in.size() < kTransferRequestSize) return std::nullopt;
    EndpointTransfer t;
    t.header = TransferRequest::ReadFrom(in);
    t.endpoint = t.header.EndpointAddress;
    if (code != ioctl::BufferedTransfer) {
        t.data = out;  // the caller's own buffer, either direction
        t.status = in.first(kTransferRequestSize);
        return t;
    }
    if (out.size() < kTransferRequestSize || t.header.BufferOffset < kTransferRequestSize)
        return std::nullopt;
    const std::span<std::uint8_t> buffer = (t.endpoint & 0x80) != 0 ? out : in;
    if (t.header.BufferOffset > buffer.size() ||
        t.header.BufferLength > buffer.size() - t.header.BufferOffset)
        return std::nullopt;
    t.data = buffer.subspan(t.header.BufferOffset, t.header.BufferLength);
    t.status = out.first(kTransferRequestSize);
    t.dataOffset = t.header.BufferOffset;
    return t;
}

void MirrorHeader(std::span<const std::uint8_t> in, std::span<std::uint8_t> out) {
    if (in.data() != out.data()) std::memmove(out.data(), in.data(), kTransferRequestSize);
}

std::size_t PutDriverText(std::span<std::uint8_t> out, std::string_view text) {
    const std::size_t size = std::min(out.size(), kDriverNameSize);
    if (size == 0) return 0;
    std::fill_n(out.begin(), size, std::uint8_t{0});
    const std::size_t n = std::min(text.size(), size - 1);
    std::copy_n(text.begin(), n, out.begin());
    return size;
}

}  // namespace qdm::usb
