#pragma once
// An OperatorPanel for tests: keeps every call in order as a line of text, holds the combo box's
// 13 items, and answers the file dialog from a script.

#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "workflows/OperatorPanel.h"

namespace qdm::test {

class RecordingPanel final : public OperatorPanel {
  public:
    RecordingPanel();

    // Every call, e.g. "colour blue", "status Chip Erase OK!", "label ...", "message ...",
    // "controls on", "download off", "dbrst hidden", "dbrst disabled", "progress on",
    // "process", "wait 1000", "select 6", "choose".
    std::vector<std::string> calls;
    // Answers of ChooseRomFile, in order; nullopt (or an empty script) cancels.
    std::deque<std::optional<std::string>> files;
    std::vector<std::string> items;
    int selected = 0;
    StatusColour colour = StatusColour::Blue;
    std::string status;
    std::string label;
    bool controlsEnabled = true;
    bool downloadEnabled = true;
    bool demoResetVisible = true;
    bool demoResetEnabled = true;
    bool progressOn = false;
    // Called on ProcessMessages, for tests that act in the middle of a run.
    std::function<void()> onProcess;

    // Back to a fresh panel, as for a new test case.
    void Clear();

    // The status-line messages in order, each with its colour at the time: "blue: text".
    std::vector<std::string> StatusLines() const;
    // The calls that start with `prefix`, with the prefix removed.
    std::vector<std::string> Calls(const std::string& prefix) const;

    void SetStatusColour(StatusColour c) override;
    void SetStatusText(std::string_view text) override;
    void SetFileLabel(std::string_view text) override;
    void ShowMessage(std::string_view text) override;
    std::optional<std::string> ChooseRomFile() override;
    int ChipTypeCount() const override { return static_cast<int>(items.size()); }
    std::string ChipTypeText(int index) const override;
    int SelectedChipType() const override { return selected; }
    void SelectChipType(int index) override;
    void SetOperationControls(bool enable) override;
    void SetDownloadEnabled(bool enable) override;
    void SetDemoResetVisible(bool visible) override;
    void SetDemoResetEnabled(bool enable) override;
    void SetProgressDisplay(bool on) override;
    void ProcessMessages() override;
    void Wait(std::chrono::milliseconds duration) override;

  private:
    std::vector<std::string> statusLines_;
};

}  // namespace qdm::test
