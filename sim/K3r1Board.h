#pragma once
// The K3.r1 writer board: one serial flash chip behind one interface (55 AA selects it) and a
// busy line the host reads with 16 00 (bit 0 set = busy). Busy means that line is set.

#include "sim/ClientBoard.h"
#include "sim/SerialFlash.h"

namespace qdm::sim {

class K3r1Board final : public ClientBoard {
  public:
    // Blank-check replies.
    static constexpr std::uint8_t kBlank = 0xA5;
    static constexpr std::uint8_t kNotBlank = 0x00;

    K3r1Board() : chip_({0xC2, 0x20, 0x15}) {}

    [[nodiscard]] BoardKind Kind() const override { return BoardKind::K3r1; }
    [[nodiscard]] std::uint8_t IdByte() const override { return board_id::K3r1; }
    void Execute(const WriterCommand& command, std::span<std::uint8_t> reply) override;
    void ResetInterface() override;

    [[nodiscard]] SerialFlash& Chip() { return chip_; }
    [[nodiscard]] const SerialFlash& Chip() const { return chip_; }
    [[nodiscard]] bool Selected() const { return selected_; }
    [[nodiscard]] std::uint32_t ReadPosition() const { return readPosition_; }

  private:
    void ExecuteFlash(const WriterCommand& command, std::span<std::uint8_t> reply);

    SerialFlash chip_;
    bool selected_ = false;
    std::uint32_t readPosition_ = 0;
};

}  // namespace qdm::sim
