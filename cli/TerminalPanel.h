#pragma once
// The operator panel on a terminal: status lines as they change (red ones marked), the file
// label and message boxes as lines, a progress bar while a long stage runs, and the ROM file
// and chip type from the command line instead of a dialog and a combo box.

#include <iosfwd>
#include <optional>
#include <string>

#include "workflows/OperatorPanel.h"

namespace qdm::cli {

class TerminalPanel final : public OperatorPanel {
  public:
    // `terminal`: the output is a terminal, so colours and a live progress bar can be drawn.
    TerminalPanel(std::ostream& out, bool terminal, std::optional<std::string> romFile,
                  int chipType);

    void SetStatusColour(StatusColour colour) override { colour_ = colour; }
    void SetStatusText(std::string_view text) override;
    void SetFileLabel(std::string_view text) override;
    void ShowMessage(std::string_view text) override;
    std::optional<std::string> ChooseRomFile() override;
    int ChipTypeCount() const override;
    std::string ChipTypeText(int index) const override;
    int SelectedChipType() const override { return chipType_; }
    void SelectChipType(int index) override;
    void SetOperationControls(bool) override {}
    void SetDownloadEnabled(bool) override {}
    void SetDemoResetVisible(bool) override {}
    void SetDemoResetEnabled(bool) override {}
    void SetProgressDisplay(bool on) override;
    void ProcessMessages() override;
    void Wait(std::chrono::milliseconds duration) override;

    // The text the status line shows last.
    [[nodiscard]] const std::string& LastStatus() const { return status_; }

  private:
    void EndProgressLine();

    std::ostream& out_;
    const bool terminal_;
    std::optional<std::string> romFile_;
    int chipType_;
    StatusColour colour_ = StatusColour::Blue;
    std::string status_;
    bool progress_ = false;
    bool progressDrawn_ = false;
    int lastPercent_ = -1;
};

// Whether standard output, standard error is a terminal.
bool StdoutIsTerminal();
bool StderrIsTerminal();

}  // namespace qdm::cli
