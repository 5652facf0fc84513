#include "tests/app/WindowRig.h"

#include <QtCore/QFile>
#include <QtCore/QTimer>
#include <iostream>

#include "app/Mainprocess.h"
#include "protocol/HostHooks.h"

namespace qdm::test {

namespace {
std::string ColourName(const QLabel& label) {
    const QColor colour = label.palette().color(QPalette::WindowText);
    if (colour == QColor(0, 0, 255)) return "blue";
    if (colour == QColor(255, 0, 0)) return "red";
    return colour.name().toStdString();
}
}  // namespace

void RecordingWindow::SetStatusText(std::string_view text) {
    TFrm_Main::SetStatusText(text);
    const auto* line = findChild<QLabel*>(QStringLiteral("Lab_MsgShow"));
    lines.push_back(ColourName(*line) + ": " + line->text().toStdString());
}

session::SessionOptions Simulated(const std::string& board, std::vector<std::string> faults) {
    session::SessionOptions options;
    options.simulate = board;
    options.simFaults = std::move(faults);
    return options;
}

Rig::Rig(const session::SessionOptions& options)
    : session_(session::Session::Create(options, std::cerr)) {
    ResetProgramState();
    SetDumpDirectory(Folder());
}

Rig::~Rig() {
    window_.reset();
    session_.reset();
    SetDumpDirectory({});
    ResetProgramState();
}

std::filesystem::path Rig::Folder() const {
    return std::filesystem::path(QFile::encodeName(folder_.path()).toStdString());
}

RecordingWindow& Rig::Open(const std::vector<std::string>& arguments) {
    WindowHooks hooks;
    hooks.chooseFile = [this](QFileDialog&) -> std::optional<QString> {
        ++dialogs;
        if (onDialog) onDialog();
        if (files.empty()) return std::nullopt;
        auto answer = files.front();
        files.pop_front();
        return answer;
    };
    hooks.message = [this](const QString& caption, const QString& text) {
        captions.push_back(caption);
        messages.push_back(text);
    };
    hooks.exception = [this](const QString& text) { exceptions.push_back(text); };
    hooks.readFirmwareText = [this] {
        std::string where;
        return session_->LoadFirmwareText(where);
    };
    hooks.versionFile = [this] {
        if (onVersionFile) onVersionFile();
        return versionFile;
    };
    hooks.diagnosticImage = [this] { return Folder() / "aa.bin"; };
    hooks.keys = &keys;
    window_ = std::make_unique<RecordingWindow>(arguments, std::move(hooks));
    window_->show();
    return *window_;
}

std::string Rig::Status() {
    return StatusLine()->text().toStdString();
}

std::string Rig::StatusColour() {
    return ColourName(*StatusLine());
}

void DuringRun(std::function<void()> action) {
    QTimer::singleShot(0, std::move(action));
}

}  // namespace qdm::test
