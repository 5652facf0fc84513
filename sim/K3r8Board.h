#pragma once
// The K3.r8 writer board: four serial flash chips behind one interface (35 AA selects it). A page
// program writes all four; reads interleave the chips byte by byte. Busy means the board refuses
// to be switched on: the list that raises its lines (1C FF) gets no reply.

#include <array>
#include <cstddef>

#include "sim/ClientBoard.h"
#include "sim/SerialFlash.h"

namespace qdm::sim {

class K3r8Board final : public ClientBoard {
  public:
    static constexpr std::size_t kChipCount = 4;

    K3r8Board();

    [[nodiscard]] BoardKind Kind() const override { return BoardKind::K3r8; }
    [[nodiscard]] std::uint8_t IdByte() const override { return board_id::K3r8; }
    void Execute(const WriterCommand& command, std::span<std::uint8_t> reply) override;
    void ResetInterface() override;

    // Chip 1..4 is index 0..3.
    [[nodiscard]] SerialFlash& Chip(std::size_t index) { return chips_.at(index); }
    [[nodiscard]] const SerialFlash& Chip(std::size_t index) const { return chips_.at(index); }

    [[nodiscard]] bool Selected() const { return selected_; }
    [[nodiscard]] std::uint32_t ReadPosition() const { return readPosition_; }

  private:
    void ExecuteFlash(const WriterCommand& command, std::span<std::uint8_t> reply);

    std::array<SerialFlash, kChipCount> chips_;
    bool selected_ = false;
    std::uint32_t readPosition_ = 0;
};

}  // namespace qdm::sim
