#include "usb/TransferRequest.h"

#include <cassert>

namespace qdm::usb {

void TransferRequest::WriteTo(std::span<std::uint8_t> out) const {
    assert(out.size() >= kTransferRequestSize);
    out[header::bmRequestType] = bmRequestType;
    out[header::bRequest] = bRequest;
    StoreLe16(out, header::wValue, wValue);
    StoreLe16(out, header::wIndex, wIndex);
    StoreLe16(out, header::wLength, wLength);
    StoreLe32(out, header::TimeOut, TimeOut);
    out[header::Reserved] = Reserved;
    out[header::EndpointAddress] = EndpointAddress;
    StoreLe32(out, header::NtStatus, NtStatus);
    StoreLe32(out, header::UsbdStatus, UsbdStatus);
    StoreLe32(out, header::IsoPacketOffset, IsoPacketOffset);
    StoreLe32(out, header::IsoPacketLength, IsoPacketLength);
    StoreLe32(out, header::BufferOffset, BufferOffset);
    StoreLe32(out, header::BufferLength, BufferLength);
}

TransferRequest TransferRequest::ReadFrom(std::span<const std::uint8_t> in) {
    assert(in.size() >= kTransferRequestSize);
    TransferRequest r;
    r.bmRequestType = in[header::bmRequestType];
    r.bRequest = in[header::bRequest];
    r.wValue = LoadLe16(in, header::wValue);
    r.wIndex = LoadLe16(in, header::wIndex);
    r.wLength = LoadLe16(in, header::wLength);
    r.TimeOut = LoadLe32(in, header::TimeOut);
    r.Reserved = in[header::Reserved];
    r.EndpointAddress = in[header::EndpointAddress];
    r.NtStatus = LoadLe32(in, header::NtStatus);
    r.UsbdStatus = LoadLe32(in, header::UsbdStatus);
    r.IsoPacketOffset = LoadLe32(in, header::IsoPacketOffset);
    r.IsoPacketLength = LoadLe32(in, header::IsoPacketLength);
    r.BufferOffset = LoadLe32(in, header::BufferOffset);
    r.BufferLength = LoadLe32(in, header::BufferLength);
    return r;
}

}  // namespace qdm::usb
