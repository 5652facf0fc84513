#pragma once
// --progress=jsonl: a run's status line and progress as JSON lines on standard output, one per
// status-line change and one per step of the progress display, so that a line controller (or
// a gang's parent) follows a run without reading its text:
//
//   {"time":"2024-05-01T12:00:00.123Z","device":"usb:1-2","board":"OTP Writer K3.r8",
//    "event":"status","text":"Chip Erase OK!","colour":"blue","value":null}
//   {"time":"...","device":"usb:1-2","board":"OTP Writer K3.r8","event":"progress",
//    "text":"Programming","colour":"blue","value":42}
//
// "value" is the running stage's progress in percent, on progress lines only. "device" is null
// when no dongle was chosen, "board" until the client board is known. A panel decorator: every
// call goes on to the panel it wraps.

#include <cstdint>
#include <iosfwd>
#include <string>
#include <string_view>

#include "workflows/OperatorPanel.h"

namespace qdm::cli {

class ProgressStream final : public OperatorPanel {
  public:
    ProgressStream(OperatorPanel& inner, std::ostream& out, std::string device);

    void SetStatusColour(StatusColour colour) override;
    void SetStatusText(std::string_view text) override;
    void SetFileLabel(std::string_view text) override { inner_.SetFileLabel(text); }
    void ShowMessage(std::string_view text) override { inner_.ShowMessage(text); }
    std::optional<std::string> ChooseRomFile() override { return inner_.ChooseRomFile(); }
    int ChipTypeCount() const override { return inner_.ChipTypeCount(); }
    std::string ChipTypeText(int index) const override { return inner_.ChipTypeText(index); }
    int SelectedChipType() const override { return inner_.SelectedChipType(); }
    void SelectChipType(int index) override { inner_.SelectChipType(index); }
    void SetOperationControls(bool enable) override { inner_.SetOperationControls(enable); }
    void SetDownloadEnabled(bool enable) override { inner_.SetDownloadEnabled(enable); }
    void SetDemoResetVisible(bool visible) override { inner_.SetDemoResetVisible(visible); }
    void SetDemoResetEnabled(bool enable) override { inner_.SetDemoResetEnabled(enable); }
    void SetProgressDisplay(bool on) override;
    void ProcessMessages() override;
    void Wait(std::chrono::milliseconds duration) override { inner_.Wait(duration); }

  private:
    void Emit(std::string_view event, std::string_view text, int value);
    std::string StageText() const;

    OperatorPanel& inner_;
    std::ostream& out_;
    const std::string device_;
    StatusColour colour_ = StatusColour::Blue;
    bool progress_ = false;
    bool eraseEnded_ = false;
    std::string stage_;
    int percent_ = -1;
};

}  // namespace qdm::cli
