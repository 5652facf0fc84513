#pragma once
// The operator's window as the workflows see it. The Qt window, the terminal and the tests each
// implement it; the workflows never touch a widget.

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

namespace qdm {

// Status line colours: blue for progress and success, red for failure.
enum class StatusColour { Blue, Red };

inline constexpr std::uint32_t kBlueRgb = 0x0000FF;  // RGB 0, 0, 255
inline constexpr std::uint32_t kRedRgb = 0xFF0000;   // RGB 255, 0, 0

class OperatorPanel {
  public:
    OperatorPanel() = default;
    OperatorPanel(const OperatorPanel&) = delete;
    OperatorPanel& operator=(const OperatorPanel&) = delete;
    virtual ~OperatorPanel() = default;

    // The status line; a message sets the colour first, then the text.
    virtual void SetStatusColour(StatusColour colour) = 0;
    virtual void SetStatusText(std::string_view text) = 0;
    // The file label above it.
    virtual void SetFileLabel(std::string_view text) = 0;
    // A modal message box with one OK button.
    virtual void ShowMessage(std::string_view text) = 0;
    // The ROM file dialog; nullopt when the operator cancels.
    virtual std::optional<std::string> ChooseRomFile() = 0;

    // The chip-type combo box.
    virtual int ChipTypeCount() const = 0;
    virtual std::string ChipTypeText(int index) const = 0;
    virtual int SelectedChipType() const = 0;
    virtual void SelectChipType(int index) = 0;

    // Enables or disables the operation controls and the presence polling together.
    virtual void SetOperationControls(bool enable) = 0;
    virtual void SetDownloadEnabled(bool enable) = 0;
    virtual void SetDemoResetVisible(bool visible) = 0;
    virtual void SetDemoResetEnabled(bool enable) = 0;
    // The progress display that shows ProgressText and ProgressValue while it is on.
    virtual void SetProgressDisplay(bool on) = 0;

    // Lets the window process its pending messages once.
    virtual void ProcessMessages() = 0;
    // Blocks for the given time without processing messages.
    virtual void Wait(std::chrono::milliseconds duration) = 0;
};

// Sets the colour, then the text.
inline void ShowStatus(OperatorPanel& panel, StatusColour colour, std::string_view text) {
    panel.SetStatusColour(colour);
    panel.SetStatusText(text);
}

}  // namespace qdm
