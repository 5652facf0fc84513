#pragma once
// The MCU-ROM firmware: drives the parallel flash through address, data and control lines, with
// its own opcode meanings. Bus access needs link mode (0E 01). A write cycle happens on the
// rising edge of the write-enable line (0D 80 then 0D C0) while the chip is enabled and the
// dongle drives the data lines (11 FF). Reads see the chip only with chip and output enabled
// (0D 40) and the data lines released (11 00); otherwise they read 0x00. Programming (15 n)
// needs an open programming run (16 AA .. 17 55). It answers the hardware-version query 01 03
// but no other 01 command: the identity query stops the list like any unknown opcode.

#include <cstdint>

#include "sim/Firmware.h"
#include "sim/ParallelFlash.h"
#include "sim/WorkMeter.h"

namespace qdm::sim {

namespace mcurom_op {
inline constexpr std::uint8_t Info = 0x01;
inline constexpr std::uint8_t EndGroup = 0x02;
inline constexpr std::uint8_t Ack = 0x03;
inline constexpr std::uint8_t Lines = 0x0D;
inline constexpr std::uint8_t Mode = 0x0E;
inline constexpr std::uint8_t Setup = 0x10;
inline constexpr std::uint8_t DataLines = 0x11;
inline constexpr std::uint8_t Program = 0x15;
inline constexpr std::uint8_t ProgramBegin = 0x16;
inline constexpr std::uint8_t ProgramEnd = 0x17;
inline constexpr std::uint8_t Block = 0x1D;
inline constexpr std::uint8_t Address = 0x1E;
inline constexpr std::uint8_t ReadByte = 0x21;
inline constexpr std::uint8_t Data = 0x25;
inline constexpr std::uint8_t Read = 0x26;
}  // namespace mcurom_op

// Control-line byte: bit 5 chip enable, bit 6 write enable, bit 7 output enable; 1 = inactive.
namespace mcurom_lines {
inline constexpr std::uint8_t ChipEnable = 0x20;
inline constexpr std::uint8_t WriteEnable = 0x40;
inline constexpr std::uint8_t OutputEnable = 0x80;
inline constexpr std::uint8_t Released = 0xE0;
}  // namespace mcurom_lines

inline constexpr std::size_t kMcuRomReadSize = 512;

class McuRomFirmware final : public Firmware {
  public:
    McuRomFirmware(ParallelFlash& flash, const DongleFacts& facts) : flash_(flash), facts_(facts) {}

    void Start() override;
    bool Run(std::span<const std::uint8_t> list, std::vector<std::uint8_t>& reply) override;

    [[nodiscard]] bool LinkMode() const { return linkMode_; }
    [[nodiscard]] bool ProgrammingRun() const { return programRun_; }
    [[nodiscard]] std::uint32_t Position() const { return position_; }
    [[nodiscard]] std::uint8_t LinesByte() const { return lines_; }
    [[nodiscard]] std::uint8_t SetupByte() const { return setup_; }

    // The dongle's meter, which the firmware's bus cycles are added to.
    void UseMeter(WorkMeter& meter) { meter_ = &meter; }

  private:
    // Executes the command at list[at]; returns its length, or 0 to stop the list.
    std::size_t Step(std::span<const std::uint8_t> list, std::size_t at,
                     std::vector<std::uint8_t>& reply);
    void SetLines(std::uint8_t lines);
    [[nodiscard]] bool CanRead() const;

    ParallelFlash& flash_;
    const DongleFacts& facts_;
    bool linkMode_ = false;
    bool programRun_ = false;
    std::uint8_t lines_ = mcurom_lines::Released;
    std::uint8_t dataDirection_ = 0x00;  // 0xFF: the dongle drives the data lines
    std::uint8_t dataLatch_ = 0xFF;
    std::uint8_t setup_ = 0x00;
    std::uint32_t position_ = 0;
    WorkMeter ownMeter_;
    WorkMeter* meter_ = &ownMeter_;
};

}  // namespace qdm::sim
