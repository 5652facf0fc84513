#pragma once
// Small reply encoders the board models share.

#include <cstdint>
#include <span>

namespace qdm::sim {

// 24-bit value, most significant byte first, into the first three bytes of `out`.
inline void StoreBe24(std::span<std::uint8_t> out, std::uint32_t value) {
    out[0] = static_cast<std::uint8_t>(value >> 16);
    out[1] = static_cast<std::uint8_t>(value >> 8);
    out[2] = static_cast<std::uint8_t>(value);
}

// Status byte of a serial flash that is idle and not write enabled.
inline constexpr std::uint8_t kFlashStatusIdle = 0x00;

}  // namespace qdm::sim
