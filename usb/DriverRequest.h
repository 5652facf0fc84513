#pragma once
// The driver's side of the request header: what a backend that carries requests out (libusb,
// the virtual dongle) reads from a control request or an endpoint transfer, and how it writes
// back the way the request ended.

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "usb/TransferRequest.h"
#include "usb/UsbDriver.h"

namespace qdm::usb {

// How a request ended, whatever carried it.
enum class RequestOutcome { Completed, Cancelled, NoDevice, TimedOut, Stalled, Overrun, Failed };

struct OutcomeCodes {
    std::uint32_t error;  // system error code of the result
    std::uint32_t nt;     // NtStatus word
    std::uint32_t usbd;   // UsbdStatus word
};
OutcomeCodes CodesOf(RequestOutcome outcome);

// Writes the outcome's two status words into `header` (which holds the 38 bytes).
void WriteStatus(std::span<std::uint8_t> header, RequestOutcome outcome);
// The result of a request that ended so, with `bytes` returned.
IoResult ResultOf(RequestOutcome outcome, std::uint32_t bytes);

// A control request on endpoint 0: the header, followed by wLength bytes of data.
struct ControlRequest {
    TransferRequest header;
    bool toHost = false;
    std::span<std::uint8_t> data;  // read for a request to the device, written for one to the host
    std::span<std::uint8_t> status;  // the header in the output buffer, where the status words go
};
// Nullopt when the buffers cannot hold the header and the data the header announces.
std::optional<ControlRequest> DecodeControlRequest(std::span<std::uint8_t> in,
                                                   std::span<std::uint8_t> out);

// A buffered or direct transfer on another endpoint.
struct EndpointTransfer {
    TransferRequest header;
    std::uint8_t endpoint = 0;  // bit 7 set: to the host
    std::span<std::uint8_t> data;
    std::span<std::uint8_t> status;  // where the status words go
    std::uint32_t dataOffset = 0;    // added to the bytes moved in the result
};
// `code` is BufferedTransfer or DirectTransfer. Nullopt when a buffered transfer's data lies
// outside its buffer or a buffer cannot hold the header.
std::optional<EndpointTransfer> DecodeEndpointTransfer(std::uint32_t code,
                                                       std::span<std::uint8_t> in,
                                                       std::span<std::uint8_t> out);

// Makes `out` carry the request header when the caller passed separate buffers (a request that
// returns its header with the data). Both hold the 38 bytes.
void MirrorHeader(std::span<const std::uint8_t> in, std::span<std::uint8_t> out);

// A zero-terminated text in a driver name buffer (at most its 256 bytes, all of them written);
// the bytes returned.
std::size_t PutDriverText(std::span<std::uint8_t> out, std::string_view text);

}  // namespace qdm::usb
