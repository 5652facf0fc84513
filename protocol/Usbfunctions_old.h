#pragma once
// The MCU-ROM link: a dongle that runs the older MCU-ROM firmware drives a parallel flash
// through address, data and control lines. Its command lists use their own opcodes.

#include <cstdint>
#include <span>

namespace qdm {

inline constexpr std::uint32_t kMcuRomBlockSize = 16384;

// Chip erase and wait for it; true when the chip reported the erase complete.
bool McuRomErase();
// Reads `blocks` x 16 KiB back and compares them with 0xFF (mode 1, blank check) or with
// `expected` (any other mode).
bool McuRomCompare(std::uint32_t blocks, std::uint8_t mode, std::span<const std::uint8_t> expected);
// Programs `blocks` x 16 KiB of `image`.
bool McuRomProgram(std::uint32_t blocks, std::span<const std::uint8_t> image);

}  // namespace qdm
