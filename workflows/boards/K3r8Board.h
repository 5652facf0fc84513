#pragma once
// The K3.r8 writer board: four serial flash chips erased, programmed and read together. It reads
// every programmed unit and the option block of each chip back, and names the chips that fail.

#include "workflows/boards/ClientBoard.h"

namespace qdm::boards {

class K3r8Board final : public ClientBoard {
  public:
    [[nodiscard]] std::uint8_t Kind() const override { return kBoardK3r8; }
    [[nodiscard]] std::string_view Name() const override { return "OTP Writer K3.r8"; }
    [[nodiscard]] std::string_view BusyText() const override { return "Writer Busy !!"; }
    [[nodiscard]] bool Supports(Stage /*stage*/) const override { return true; }

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
    std::optional<FlashData> ReadData(std::uint32_t units) override;
};

// The status line's list of failed chips: "S-Flash Chip" then " 1" for the first chip and ",2"
// for every further one, from the chips whose bit in `failed` (bit 0 = chip 1) is set.
std::string FailedChipList(std::uint8_t failed);

}  // namespace qdm::boards
