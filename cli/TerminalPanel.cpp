#include "cli/TerminalPanel.h"

#include <ostream>
#include <utility>

#include "protocol/HostHooks.h"
#include "state/Mainprocess.h"

#if defined(_WIN32)
#include <io.h>
#define QDM_ISATTY _isatty
#define QDM_FILENO _fileno
#else
#include <unistd.h>
#define QDM_ISATTY isatty
#define QDM_FILENO fileno
#endif
#include <cstdio>

namespace qdm::cli {

namespace {
constexpr const char* kBlue = "\x1b[34m";
constexpr const char* kRed = "\x1b[31m";
constexpr const char* kReset = "\x1b[0m";
constexpr int kBarWidth = 30;
}  // namespace

bool StdoutIsTerminal() {
    return QDM_ISATTY(QDM_FILENO(stdout)) != 0;
}

bool StderrIsTerminal() {
    return QDM_ISATTY(QDM_FILENO(stderr)) != 0;
}

TerminalPanel::TerminalPanel(std::ostream& out, bool terminal, std::optional<std::string> romFile,
                             int chipType)
    : out_(out), terminal_(terminal), romFile_(std::move(romFile)), chipType_(chipType) {}

void TerminalPanel::EndProgressLine() {
    if (progressDrawn_) out_ << "\n";
    progressDrawn_ = false;
    lastPercent_ = -1;
}

void TerminalPanel::SetStatusText(std::string_view text) {
    status_ = text;
    EndProgressLine();
    const bool red = colour_ == StatusColour::Red;
    if (terminal_) {
        out_ << (red ? kRed : kBlue) << status_ << kReset << "\n";
    } else {
        out_ << (red ? "[red] " : "") << status_ << "\n";
    }
    out_.flush();
}

void TerminalPanel::SetFileLabel(std::string_view text) {
    EndProgressLine();
    out_ << "File: " << text << "\n";
}

void TerminalPanel::ShowMessage(std::string_view text) {
    EndProgressLine();
    out_ << "Message: " << text << "\n";
}

std::optional<std::string> TerminalPanel::ChooseRomFile() {
    // The command line names one file; a second dialog in the same run has no answer.
    return std::exchange(romFile_, std::nullopt);
}

int TerminalPanel::ChipTypeCount() const {
    return static_cast<int>(ChipTypeItems.size());
}

std::string TerminalPanel::ChipTypeText(int index) const {
    if (index < 0 || index >= ChipTypeCount()) return {};
    return std::string(ChipTypeItems[static_cast<std::size_t>(index)]);
}

void TerminalPanel::SelectChipType(int index) {
    chipType_ = index;
    out_ << "Chip type: " << ChipTypeText(index) << "\n";
}

void TerminalPanel::SetProgressDisplay(bool on) {
    if (!on) EndProgressLine();
    progress_ = on;
}

void TerminalPanel::ProcessMessages() {
    if (!progress_ || !terminal_) return;
    const ProgramState& state = State();
    const int percent = (state.ProgressValue * 100) >> 7;
    if (percent == lastPercent_) return;
    lastPercent_ = percent;
    const int filled = percent * kBarWidth / 100;
    out_ << "\r" << state.ProgressText << " [" << std::string(static_cast<std::size_t>(filled), '#')
         << std::string(static_cast<std::size_t>(kBarWidth - filled), ' ') << "] " << percent << "%"
         << std::flush;
    progressDrawn_ = true;
}

void TerminalPanel::Wait(std::chrono::milliseconds duration) {
    SleepFor(duration);
}

}  // namespace qdm::cli
