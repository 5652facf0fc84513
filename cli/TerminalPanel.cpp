#include "cli/TerminalPanel.h"

#include <algorithm>
#include <ostream>
#include <string_view>
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
constexpr const char* kClearToEnd = "\x1b[K";
constexpr int kBarWidth = 20;
constexpr std::string_view kErasing = "Erasing";
constexpr std::string_view kBlankChecking = "Blank Checking";

bool EndsWith(std::string_view text, std::string_view end) {
    return text.size() >= end.size() && text.substr(text.size() - end.size()) == end;
}

// The status lines that end a stage well all say OK; its failures never do.
bool ReportsSuccess(std::string_view status) {
    return status.find("OK") != std::string_view::npos;
}
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

TerminalPanel::~TerminalPanel() {
    EndProgressLine();
    out_.flush();
}

void TerminalPanel::DrawBar(const std::string& label, int percent) {
    const int filled = percent * kBarWidth / 100;
    out_ << "\r" << label << " [" << std::string(static_cast<std::size_t>(filled), '#')
         << std::string(static_cast<std::size_t>(kBarWidth - filled), ' ') << "] " << percent << "%"
         << kClearToEnd << std::flush;
    progressDrawn_ = true;
    barLabel_ = label;
    lastPercent_ = percent;
}

void TerminalPanel::EndProgressLine(bool complete) {
    if (!progressDrawn_) return;
    if (complete && lastPercent_ < 100) DrawBar(barLabel_, 100);
    out_ << "\n";
    progressDrawn_ = false;
    lastPercent_ = -1;
}

std::string TerminalPanel::BarLabel() const {
    std::string label = State().ProgressText;
    while (!label.empty() && (label.back() == '.' || label.back() == ' '))
        label.pop_back();
    if (eraseEnded_ && EndsWith(label, kErasing))
        label.replace(label.size() - kErasing.size(), kErasing.size(), kBlankChecking);
    return label;
}

void TerminalPanel::SetStatusText(std::string_view text) {
    status_ = text;
    EndProgressLine(!progress_ && ReportsSuccess(text));
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
    EndProgressLine();
    out_ << "Chip type: " << ChipTypeText(index) << "\n";
}

void TerminalPanel::SetProgressDisplay(bool on) {
    const ProgramState& state = State();
    if (on && !progress_) {
        EndProgressLine();
        stageText_ = state.ProgressText;
        stageValue_ = state.ProgressValue;
        stageStarted_ = false;
    } else if (!on && progress_ && stageStarted_) {
        // The bar stays on its line until the status line says how its stage ended.
        eraseEnded_ = eraseEnded_ || EndsWith(BarLabel(), kErasing);
    }
    progress_ = on;
}

void TerminalPanel::ProcessMessages() {
    if (!progress_ || !terminal_) return;
    const ProgramState& state = State();
    stageStarted_ =
        stageStarted_ || state.ProgressText != stageText_ || state.ProgressValue != stageValue_;
    if (!stageStarted_) return;
    const int percent = std::min((state.ProgressValue * 100) >> 7, 100);
    const std::string label = BarLabel();
    if (percent == lastPercent_ && label == barLabel_ && progressDrawn_) return;
    DrawBar(label, percent);
}

void TerminalPanel::Wait(std::chrono::milliseconds duration) {
    SleepFor(duration);
}

}  // namespace qdm::cli
