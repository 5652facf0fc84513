#pragma once
// The writer firmware: walks a command list in order, answers the dongle-level commands itself
// and hands every board command to the attached client board. A zero byte where an opcode is
// expected is one byte of fill; an unknown opcode, or a command cut short by the end of the
// list, ends the execution of the list (the commands before it keep their replies).

#include "sim/ClientBoard.h"
#include "sim/Firmware.h"

namespace qdm::sim {

class WriterFirmware final : public Firmware {
  public:
    WriterFirmware(ClientBoard& board, const DongleFacts& facts) : board_(board), facts_(facts) {}

    void Start() override { board_.ResetInterface(); }
    bool Run(std::span<const std::uint8_t> list, std::vector<std::uint8_t>& reply) override;

  private:
    ClientBoard& board_;
    const DongleFacts& facts_;
};

}  // namespace qdm::sim
