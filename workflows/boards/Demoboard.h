#pragma once
// The speech demoboard: one flash chip it plays the image from. The run holds the board while it
// works on the flash and releases it afterwards. It has no blank check and no option pages of its
// own, and verifies the image by one-bit counts.

#include "workflows/boards/ClientBoard.h"

namespace qdm::boards {

class Demoboard final : public ClientBoard {
  public:
    [[nodiscard]] std::uint8_t Kind() const override { return kBoardDemo; }
    [[nodiscard]] std::string_view Name() const override { return "Speech OTP Demoboard"; }
    [[nodiscard]] std::string_view BusyText() const override { return "Demoboard Busy !!"; }
    [[nodiscard]] bool Supports(Stage stage) const override;
    [[nodiscard]] bool Held() const override { return true; }
    [[nodiscard]] bool TakesPlainImage() const override { return true; }

    void Hold(OperatorPanel& panel) override;
    void Release(OperatorPanel& panel) override;
    void Reset(OperatorPanel& panel) override;

    bool SwitchOn() override;
    void SwitchOff() override;
    bool CheckId() override;
    bool Erase() override;
    bool Program(const BoardImage& image) override;
    StageResult VerifyData(OperatorPanel& panel, const BoardImage& image) override;
};

}  // namespace qdm::boards
