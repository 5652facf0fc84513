#pragma once
// The MCU-ROM link: a dongle that runs the older MCU-ROM firmware drives a parallel flash
// through address, data and control lines. Its command lists use their own opcodes.

#include <chrono>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <vector>

namespace qdm {

inline constexpr std::uint32_t kMcuRomBlockSize = 16384;
inline constexpr std::size_t kMcuRomPageSize = 256;
inline constexpr std::size_t kMcuRomGroupSize = 512;
// A parallel NOR flash's byte program time at its datasheet maximum.
inline constexpr std::chrono::microseconds kSlowestByteProgram{300};

// Control-line byte of OP_MR_LINES: bit 5 chip enable, bit 6 write enable, bit 7 output enable,
// each active low.
namespace mcurom_lines {
inline constexpr std::uint8_t Idle = 0xC0;      // chip enabled
inline constexpr std::uint8_t Strobe = 0x80;    // chip enabled, write strobe low
inline constexpr std::uint8_t Read = 0x40;      // chip and output enabled
inline constexpr std::uint8_t Released = 0xE0;  // all lines inactive
}  // namespace mcurom_lines

// A command list of the MCU-ROM firmware. It tracks only its byte offset; the operations count
// the reply bytes they expect themselves. Every append writes at the offset and returns the new
// offset. `capacity` is reserved up front so that building a list does not allocate.
class McuRomList {
  public:
    explicit McuRomList(std::size_t capacity);

    [[nodiscard]] std::int32_t Offset() const { return static_cast<std::int32_t>(bytes_.size()); }
    [[nodiscard]] std::span<const std::uint8_t> Bytes() const { return bytes_; }
    // Back to an empty list after an exchange; the buffer's memory is kept.
    void Reset() {
        bytes_.clear();
        slowest_ = {};
    }
    // The longest its programming may take: how long after its sending its reply may still come.
    [[nodiscard]] std::chrono::microseconds SlowestWork() const { return slowest_; }

    std::int32_t OP_MR_END_GROUP();                     // 02 00
    std::int32_t OP_MR_ACK();                           // 03 01, one reply byte
    std::int32_t OP_MR_LINES(std::uint8_t lines);       // 0D v
    std::int32_t OP_MR_MODE(std::uint8_t on);           // 0E 01 for on = 1, else 0E 00
    std::int32_t OP_MR_SETUP(std::uint8_t value);       // 10 v
    std::int32_t OP_MR_DATA_LINES(std::uint8_t value);  // 11 v: FF drive, 00 release
    // 15 7F and the 256 bytes of one page.
    std::int32_t OP_MR_PROGRAM(std::span<const std::uint8_t, kMcuRomPageSize> page);
    std::int32_t OP_MR_PROGRAM_BEGIN();                 // 16 AA
    std::int32_t OP_MR_PROGRAM_END();                   // 17 55
    std::int32_t OP_MR_BLOCK(std::uint8_t block);       // 1D b: 16 KiB block b
    std::int32_t OP_MR_ADDRESS(std::uint32_t address);  // 1E A2 A1 A0 (low 24 bits)
    std::int32_t OP_MR_READ_BYTE();                     // 21 01, one reply byte
    std::int32_t OP_MR_DATA(std::uint8_t value);        // 25 v
    std::int32_t OP_MR_READ();                          // 26 FF, 512 reply bytes
    // Zero bytes up to the next 512-byte boundary (none when already on one), so that the next
    // command starts a USB packet of its own.
    std::int32_t ZeroFillToGroup();

  private:
    std::int32_t Append(std::initializer_list<std::uint8_t> bytes);

    std::vector<std::uint8_t> bytes_;
    std::chrono::microseconds slowest_{0};
};

// All of them give false as soon as an exchange fails: the dongle is gone or mute, and nothing it
// was asked to do can be taken as done. A buffer shorter than the blocks asked for gives false
// with nothing sent.

// Chip erase and wait for it; true when the chip reported the erase complete. After a failed
// exchange it sends nothing more but still resets the port.
bool McuRomErase();
// Reads `blocks` x 16 KiB back and compares them with 0xFF (mode 1, blank check) or with
// `expected` (any other mode).
bool McuRomCompare(std::uint32_t blocks, std::uint8_t mode, std::span<const std::uint8_t> expected);
// Reads `blocks` x 16 KiB into `data`.
bool McuRomRead(std::uint32_t blocks, std::span<std::uint8_t> data);
// Programs `blocks` x 16 KiB of `image`; also false when an exception interrupts it.
bool McuRomProgram(std::uint32_t blocks, std::span<const std::uint8_t> image);

// Whether the dongle answers the MCU-ROM firmware's acknowledge: only that firmware does. Touches
// neither the link nor the flash.
bool McuRomAcknowledges();

}  // namespace qdm
