#pragma once
// The K3.r1 writer board: one serial flash chip and a busy line. It verifies the image by one-bit
// counts and reads back only the option block: it has no read of the data.

#include "workflows/boards/ClientBoard.h"

namespace qdm::boards {

class K3r1Board final : public ClientBoard {
  public:
    [[nodiscard]] std::uint8_t Kind() const override { return kBoardK3r1; }
    [[nodiscard]] std::string_view Name() const override { return "OTP Writer K3.r1"; }
    [[nodiscard]] std::string_view BusyText() const override { return "Writer Busy !!"; }
    [[nodiscard]] bool Supports(Stage stage) const override { return stage != Stage::ReadBack; }

    bool SwitchOn() override;
    void SwitchOff() override;
    bool CheckId() override;
    std::optional<OptionBlocks> ReadOptionBlocks() override;
    bool Erase() override;
    StageResult BlankCheck(const BoardImage& image) override;
    bool Program(const BoardImage& image) override;
    bool ProgramPage(const OptionPage& page, std::uint16_t pageIndex) override;
    StageResult VerifyData(OperatorPanel& panel, const BoardImage& image) override;
    StageResult VerifyOptionPage(const WrittenOptionPages& pages) override;
};

}  // namespace qdm::boards
