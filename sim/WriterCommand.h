#pragma once
// The writer firmware's command encoding: how long each command is and how many reply bytes it
// produces. The firmware uses it to walk a list; the boards receive commands already cut out.

#include <cstdint>
#include <optional>
#include <span>

namespace qdm::sim {

namespace writer_op {
inline constexpr std::uint8_t Info = 0x01;
inline constexpr std::uint8_t EndGroup = 0x02;
inline constexpr std::uint8_t Ack = 0x03;
inline constexpr std::uint8_t IoWrite = 0x11;
inline constexpr std::uint8_t IoReadId = 0x15;
inline constexpr std::uint8_t IoReadBusy = 0x16;
inline constexpr std::uint8_t IoSetupA = 0x1A;
inline constexpr std::uint8_t IoSetupB = 0x1B;
inline constexpr std::uint8_t IoSetupC = 0x1C;
inline constexpr std::uint8_t R8Query = 0x30;  // 01 ID, 03 program status, 04 blank check
inline constexpr std::uint8_t R8Write = 0x31;  // 55 write enable, A5 erase
inline constexpr std::uint8_t R8SetAddress = 0x32;
inline constexpr std::uint8_t R8Read = 0x33;
inline constexpr std::uint8_t R8ProgramPage = 0x34;
inline constexpr std::uint8_t R8Select = 0x35;
inline constexpr std::uint8_t DemoQuery = 0x40;  // 01 ID, 02 status, 03 program status
inline constexpr std::uint8_t DemoWrite = 0x41;  // 55 write enable, A0 chip erase
inline constexpr std::uint8_t DemoProgramPage = 0x44;
inline constexpr std::uint8_t DemoMode = 0x46;
inline constexpr std::uint8_t DemoBitCount = 0x47;
inline constexpr std::uint8_t R1Query = 0x50;  // 01 ID, 03 program status, 04 blank check
inline constexpr std::uint8_t R1Write = 0x51;  // 55 write enable, A5 erase
inline constexpr std::uint8_t R1SetAddress = 0x52;
inline constexpr std::uint8_t R1Read = 0x53;
inline constexpr std::uint8_t R1ProgramPage = 0x54;
inline constexpr std::uint8_t R1Select = 0x55;
inline constexpr std::uint8_t R1BitCount = 0x56;
}  // namespace writer_op

inline constexpr std::size_t kPageDataSize = 256;

// One command cut out of a list.
struct WriterCommand {
    std::span<const std::uint8_t> bytes;  // the whole command, opcode first
    std::size_t replyLength = 0;

    [[nodiscard]] std::uint8_t Opcode() const { return bytes[0]; }
    [[nodiscard]] std::uint8_t Arg(std::size_t i) const { return bytes[i]; }  // i >= 1
    // Bytes 1..3 as a 24-bit address, most significant first.
    [[nodiscard]] std::uint32_t Address() const {
        return (std::uint32_t{bytes[1]} << 16) | (std::uint32_t{bytes[2]} << 8) | bytes[3];
    }
    [[nodiscard]] std::span<const std::uint8_t> PageData() const {
        return bytes.subspan(4, kPageDataSize);
    }
};

// Cuts the command that starts at `list[0]`. Empty when the opcode (or the sub-code that fixes
// its length) is unknown, or when the list ends inside the command. A zero opcode byte is fill
// and must be skipped by the caller before.
std::optional<WriterCommand> DecodeWriterCommand(std::span<const std::uint8_t> list);

}  // namespace qdm::sim
