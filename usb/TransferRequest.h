#pragma once
// The driver request header that precedes every control request and endpoint transfer, and the
// driver's I/O-control codes.

#include <cstdint>
#include <span>

namespace qdm::usb {

inline constexpr std::size_t kTransferRequestSize = 38;

// I/O-control codes of the vendor driver (device type 0x22).
namespace ioctl {
inline constexpr std::uint32_t GetDriverVersion = 0x220000;
inline constexpr std::uint32_t GetUsbdiVersion = 0x220004;
inline constexpr std::uint32_t GetAltInterfaceSetting = 0x220008;
inline constexpr std::uint32_t GetAddress = 0x220010;
inline constexpr std::uint32_t ControlTransfer = 0x220020;
inline constexpr std::uint32_t BufferedTransfer = 0x220024;
inline constexpr std::uint32_t ResetPort = 0x220030;
inline constexpr std::uint32_t GetDeviceName = 0x22003C;
inline constexpr std::uint32_t GetFriendlyName = 0x220040;
inline constexpr std::uint32_t AbortPipe = 0x220044;
inline constexpr std::uint32_t DirectTransfer = 0x22004B;
}  // namespace ioctl

inline constexpr std::size_t kDriverNameSize = 256;  // device and friendly name buffers

// Field offsets in the 38-byte header (little-endian, packed).
namespace header {
inline constexpr std::size_t bmRequestType = 0;
inline constexpr std::size_t bRequest = 1;
inline constexpr std::size_t wValue = 2;
inline constexpr std::size_t wIndex = 4;
inline constexpr std::size_t wLength = 6;
inline constexpr std::size_t TimeOut = 8;
inline constexpr std::size_t Reserved = 12;
inline constexpr std::size_t EndpointAddress = 13;
inline constexpr std::size_t NtStatus = 14;
inline constexpr std::size_t UsbdStatus = 18;
inline constexpr std::size_t IsoPacketOffset = 22;
inline constexpr std::size_t IsoPacketLength = 26;
inline constexpr std::size_t BufferOffset = 30;
inline constexpr std::size_t BufferLength = 34;
}  // namespace header

struct TransferRequest {
    std::uint8_t bmRequestType = 0;
    std::uint8_t bRequest = 0;
    std::uint16_t wValue = 0;
    std::uint16_t wIndex = 0;
    std::uint16_t wLength = 0;
    std::uint32_t TimeOut = 0;  // whole seconds, control requests only
    std::uint8_t Reserved = 0;
    std::uint8_t EndpointAddress = 0;
    std::uint32_t NtStatus = 0;
    std::uint32_t UsbdStatus = 0;
    std::uint32_t IsoPacketOffset = 0;
    std::uint32_t IsoPacketLength = 0;
    std::uint32_t BufferOffset = 0;
    std::uint32_t BufferLength = 0;

    // Writes the header into the first 38 bytes of `out` (which must hold them).
    void WriteTo(std::span<std::uint8_t> out) const;
    // Reads a header from the first 38 bytes of `in` (which must hold them).
    static TransferRequest ReadFrom(std::span<const std::uint8_t> in);

    friend bool operator==(const TransferRequest&, const TransferRequest&) = default;
};

// Whole seconds a control request may take, from the endpoint's time-out in milliseconds:
// 0 stays 0, anything below a second rounds up to 1, the rest is truncated.
constexpr std::uint32_t ControlTimeoutSeconds(std::uint32_t milliseconds) {
    if (milliseconds == 0) return 0;
    if (milliseconds < 1000) return 1;
    return milliseconds / 1000;
}

// Little-endian helpers for the header and for descriptors.
constexpr std::uint16_t LoadLe16(std::span<const std::uint8_t> b, std::size_t at) {
    return static_cast<std::uint16_t>(b[at] | (b[at + 1] << 8));
}
constexpr std::uint32_t LoadLe32(std::span<const std::uint8_t> b, std::size_t at) {
    return static_cast<std::uint32_t>(b[at]) | (static_cast<std::uint32_t>(b[at + 1]) << 8) |
           (static_cast<std::uint32_t>(b[at + 2]) << 16) |
           (static_cast<std::uint32_t>(b[at + 3]) << 24);
}
constexpr void StoreLe16(std::span<std::uint8_t> b, std::size_t at, std::uint16_t v) {
    b[at] = static_cast<std::uint8_t>(v);
    b[at + 1] = static_cast<std::uint8_t>(v >> 8);
}
constexpr void StoreLe32(std::span<std::uint8_t> b, std::size_t at, std::uint32_t v) {
    for (std::size_t i = 0; i < 4; ++i)
        b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

}  // namespace qdm::usb
