#pragma once
// The operator panel on a terminal: status lines as they change (red ones marked), the file
// label and message boxes as lines, a progress bar while a long stage runs, and the ROM file
// and chip type from the command line instead of a dialog and a combo box.
//
// The bar is redrawn in place, named after the running step without the dots the window
// alternates. It shows a stage's own progress only: it waits for the stage's first step, names
// the blank check (whose steps leave the erase's text standing) after itself, and stands at
// 100 % once the status line reports its stage OK.

#include <cstdint>
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
    TerminalPanel(const TerminalPanel&) = delete;
    TerminalPanel& operator=(const TerminalPanel&) = delete;
    ~TerminalPanel() override;

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
    // Ends a bar left on its line; `complete` fills it first.
    void EndProgressLine(bool complete = false);
    void DrawBar(const std::string& label, int percent);
    std::string BarLabel() const;

    std::ostream& out_;
    const bool terminal_;
    std::optional<std::string> romFile_;
    int chipType_;
    StatusColour colour_ = StatusColour::Blue;
    std::string status_;
    bool progress_ = false;
    // The stage's step text and value when it began; nothing is drawn before one changes.
    std::string stageText_;
    std::uint8_t stageValue_ = 0;
    bool stageStarted_ = false;
    bool eraseEnded_ = false;
    bool progressDrawn_ = false;  // a bar stands on the current line
    std::string barLabel_;
    int lastPercent_ = -1;
};

// Whether standard output, standard error is a terminal.
bool StdoutIsTerminal();
bool StderrIsTerminal();

}  // namespace qdm::cli
