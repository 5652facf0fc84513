#include "tests/support/RecordingPanel.h"

#include "state/Mainprocess.h"

namespace qdm::test {

RecordingPanel::RecordingPanel() : items(ChipTypeItems.begin(), ChipTypeItems.end()) {}

void RecordingPanel::Clear() {
    calls.clear();
    files.clear();
    items.assign(ChipTypeItems.begin(), ChipTypeItems.end());
    selected = 0;
    colour = StatusColour::Blue;
    status.clear();
    label.clear();
    controlsEnabled = downloadEnabled = demoResetVisible = demoResetEnabled = true;
    progressOn = false;
    onProcess = nullptr;
    statusLines_.clear();
}

std::vector<std::string> RecordingPanel::StatusLines() const {
    return statusLines_;
}

std::vector<std::string> RecordingPanel::Calls(const std::string& prefix) const {
    std::vector<std::string> found;
    for (const std::string& call : calls)
        if (call.rfind(prefix, 0) == 0) found.push_back(call.substr(prefix.size()));
    return found;
}

void RecordingPanel::SetStatusColour(StatusColour c) {
    colour = c;
    calls.push_back(c == StatusColour::Blue ? "colour blue" : "colour red");
}

void RecordingPanel::SetStatusText(std::string_view text) {
    status = text;
    calls.push_back("status " + status);
    statusLines_.push_back((colour == StatusColour::Blue ? "blue: " : "red: ") + status);
}

void RecordingPanel::SetFileLabel(std::string_view text) {
    label = text;
    calls.push_back("label " + label);
}

void RecordingPanel::ShowMessage(std::string_view text) {
    calls.push_back("message " + std::string(text));
}

std::optional<std::string> RecordingPanel::ChooseRomFile() {
    calls.push_back("choose");
    if (files.empty()) return std::nullopt;
    auto answer = files.front();
    files.pop_front();
    return answer;
}

std::string RecordingPanel::ChipTypeText(int index) const {
    return index >= 0 && index < ChipTypeCount() ? items[static_cast<std::size_t>(index)] : "";
}

void RecordingPanel::SelectChipType(int index) {
    selected = index;
    calls.push_back("select " + std::to_string(index));
}

void RecordingPanel::SetOperationControls(bool enable) {
    controlsEnabled = enable;
    downloadEnabled = enable;
    demoResetEnabled = enable;
    calls.push_back(enable ? "controls on" : "controls off");
}

void RecordingPanel::SetDownloadEnabled(bool enable) {
    downloadEnabled = enable;
    calls.push_back(enable ? "download on" : "download off");
}

void RecordingPanel::SetDemoResetVisible(bool visible) {
    demoResetVisible = visible;
    calls.push_back(visible ? "dbrst shown" : "dbrst hidden");
}

void RecordingPanel::SetDemoResetEnabled(bool enable) {
    demoResetEnabled = enable;
    calls.push_back(enable ? "dbrst enabled" : "dbrst disabled");
}

void RecordingPanel::SetProgressDisplay(bool on) {
    progressOn = on;
    calls.push_back(on ? "progress on" : "progress off");
}

void RecordingPanel::ProcessMessages() {
    calls.push_back("process");
    if (onProcess) onProcess();
}

void RecordingPanel::Wait(std::chrono::milliseconds duration) {
    calls.push_back("wait " + std::to_string(duration.count()));
}

}  // namespace qdm::test
