#include "cli/ProgressStream.h"

#include <algorithm>
#include <nlohmann/json.hpp>
#include <ostream>

#include "state/Mainprocess.h"
#include "workflows/RunLog.h"
#include "workflows/boards/ClientBoard.h"

namespace qdm::cli {

namespace {
constexpr std::string_view kErasing = "Erasing";
constexpr std::string_view kBlankChecking = "Blank Checking";
constexpr int kNoValue = -1;

bool EndsWith(std::string_view text, std::string_view end) {
    return text.size() >= end.size() && text.substr(text.size() - end.size()) == end;
}
}  // namespace

ProgressStream::ProgressStream(OperatorPanel& inner, std::ostream& out, std::string device)
    : inner_(inner), out_(out), device_(std::move(device)) {}

void ProgressStream::SetStatusColour(StatusColour colour) {
    colour_ = colour;
    inner_.SetStatusColour(colour);
}

void ProgressStream::SetStatusText(std::string_view text) {
    inner_.SetStatusText(text);
    Emit("status", text, kNoValue);
}

void ProgressStream::SetProgressDisplay(bool on) {
    inner_.SetProgressDisplay(on);
    // The blank check's steps leave the erase's text standing: named after itself, as on the
    // terminal.
    if (!on && progress_ && percent_ >= 0) eraseEnded_ = eraseEnded_ || EndsWith(stage_, kErasing);
    if (on && !progress_) percent_ = kNoValue;
    progress_ = on;
}

std::string ProgressStream::StageText() const {
    std::string text = State().ProgressText;
    while (!text.empty() && (text.back() == '.' || text.back() == ' '))
        text.pop_back();
    if (eraseEnded_ && EndsWith(text, kErasing))
        text.replace(text.size() - kErasing.size(), kErasing.size(), kBlankChecking);
    return text;
}

void ProgressStream::ProcessMessages() {
    inner_.ProcessMessages();
    if (!progress_) return;
    const int percent = std::min((State().ProgressValue * 100) >> 7, 100);
    std::string stage = StageText();
    if (percent == percent_ && stage == stage_) return;
    percent_ = percent;
    stage_ = std::move(stage);
    Emit("progress", stage_, percent_);
}

void ProgressStream::Emit(std::string_view event, std::string_view text, int value) {
    using Json = nlohmann::ordered_json;
    Json line;
    line["time"] = UtcNow();
    line["device"] = device_.empty() ? Json(nullptr) : Json(device_);
    const auto board = boards::MakeClientBoard(State().ClientBoardKind);
    line["board"] = board ? Json(std::string(board->Name())) : Json(nullptr);
    line["event"] = event;
    line["text"] = text;
    line["colour"] = colour_ == StatusColour::Red ? "red" : "blue";
    line["value"] = value == kNoValue ? Json(nullptr) : Json(value);
    // Each line whole and at once: a reader may act on it while the run goes on.
    out_ << line.dump(-1, ' ', false, Json::error_handler_t::replace) << "\n";
    out_.flush();
}

}  // namespace qdm::cli
