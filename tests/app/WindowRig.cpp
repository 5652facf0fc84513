#include "tests/app/WindowRig.h"

#include <QtCore/QFile>
#include <iostream>

#include "protocol/HostHooks.h"
#include "state/Mainprocess.h"

namespace qdm::test {

void RecordingWindow::SetStatusText(std::string_view text) {
    TFrm_Main::SetStatusText(text);
    const auto* line = findChild<QLabel*>(QStringLiteral("Lab_MsgShow"));
    const QColor colour = line->palette().color(QPalette::WindowText);
    const char* name = colour == QColor(0, 0, 255) ? "blue" : colour == Qt::red ? "red" : "other";
    lines.push_back(std::string(name) + ": " + line->text().toStdString());
}

Rig::Rig(const std::string& board, std::vector<std::string> faults,
         std::optional<std::string> firmware, std::optional<std::string> timing) {
    session::SessionOptions options;
    options.simulate = board;
    options.simFaults = std::move(faults);
    options.firmware = std::move(firmware);
    options.simTiming = std::move(timing);
    board_ = board;
    session_ = session::Session::Create(options, std::cerr);
    if (!session_) qFatal("the session could not be set up");
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
    return QFile::encodeName(folder_.path()).toStdString();
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
        QCOMPARE(caption, QCoreApplication::applicationName());
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
    hooks.runLog = [this] { return std::optional<std::filesystem::path>(RunLog()); };
    hooks.simulatedBoard = board_;
    // As the program does: the first dongle, named.
    session_->SelectFirst();
    hooks.deviceId = session_->DeviceId();
    hooks.keys = &keys;
    window_ = std::make_unique<RecordingWindow>(arguments, std::move(hooks));
    window_->show();
    return *window_;
}

}  // namespace qdm::test
