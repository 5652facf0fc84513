// Process entry of the window program: the application object, the session (the dongle the
// process talks to), the main window, and the message loop.

#include <QtCore/QTimer>
#include <QtWidgets/QMessageBox>
#include <algorithm>
#include <exception>
#include <filesystem>
#include <iostream>
#include <memory>
#include <optional>
#include <sstream>

#include "app/TFrm_Main.h"
#include "app/VirtualDonglePanel.h"
#include "app/WindowOptions.h"
#include "app/WriterApplication.h"
#include "session/Session.h"
#include "state/DiagnosticLog.h"
#include "workflows/RunLog.h"

namespace {

constexpr int kExitUsage = 2;
constexpr int kScreenshotDelayMs = 300;

// A window program has no terminal to speak of: the reason goes to both.
int Refuse(const std::string& reason) {
    std::cerr << "qdm-writer: " << reason << "\n";
    QMessageBox::critical(nullptr, QCoreApplication::applicationName(),
                          QString::fromLocal8Bit(reason.c_str()));
    return kExitUsage;
}

std::vector<std::string> Arguments(const QStringList& arguments) {
    std::vector<std::string> args;
    for (qsizetype i = 1; i < arguments.size(); ++i)
        args.push_back(arguments[i].toLocal8Bit().toStdString());
    return args;
}

// Usage errors, --help and --version are answered before any window system is needed.
std::optional<int> AnswerWithoutWindow(int argc, char** argv) {
    std::string error;
    const auto line = qdm::ParseWindowCommandLine({argv + std::min(argc, 1), argv + argc}, error);
    if (!line) {
        std::cerr << "qdm-writer: " << error << "\n\n" << qdm::WindowUsageText();
        return kExitUsage;
    }
    if (line->help) {
        std::cout << qdm::WindowUsageText();
        return 0;
    }
    if (line->version) {
        std::cout << "qdm-writer " << QDM_VERSION << "\n";
        return 0;
    }
    return std::nullopt;
}

// The window's diagnostic log, beside its run log, for as long as the window runs. A log that
// cannot be written is said on stderr and the window goes on without it.
class DiagnosticScope {
  public:
    explicit DiagnosticScope(bool on) {
        if (!on) return;
        const std::filesystem::path runs = qdm::DefaultRunLogPath();
        std::string error = "no data folder for it";
        if (runs.empty() ||
            !qdm::StartDiagnosticsFile(runs.parent_path() / "diagnostics.log", error)) {
            std::cerr << "qdm-writer: no diagnostic log: " << error << "\n";
            return;
        }
        qdm::WriteDiagnostic("qdm-writer " QDM_VERSION ": diagnostic log");
    }
    DiagnosticScope(const DiagnosticScope&) = delete;
    DiagnosticScope& operator=(const DiagnosticScope&) = delete;
    ~DiagnosticScope() { qdm::StopDiagnostics(); }
};

int Run(qdm::WriterApplication& app) {
    // Qt has taken its own options (-platform, -style, ...) out of these.
    std::string error;
    const auto line = qdm::ParseWindowCommandLine(Arguments(QCoreApplication::arguments()), error);
    if (!line) return Refuse(error);

    const DiagnosticScope diagnostics(line->session.verbose);
    std::ostringstream why;
    const auto session = qdm::session::Session::Create(line->session, why);
    if (!session) return Refuse(why.str());

    qdm::WindowHooks hooks;
    hooks.readFirmwareText = [&session] {
        std::string where;
        return session->LoadFirmwareText(where);
    };
    if (line->noLog) {
        hooks.runLog = [] { return std::optional<std::filesystem::path>(); };
    } else if (line->log) {
        hooks.runLog = [file = std::filesystem::path(*line->log)] {
            return std::optional<std::filesystem::path>(file);
        };
    }
    if (line->session.simulate) hooks.simulatedBoard = *line->session.simulate;
    qdm::TFrm_Main window(line->rest, std::move(hooks));
    window.show();

    if (qdm::sim::Simulation* simulation = session->Simulation()) {
        auto* plug = new qdm::VirtualDonglePanel(simulation->dongle, &window);
        plug->PlaceBeside(window);
        if (!line->screenshot) plug->show();
    }
    if (line->screenshot) {
        const QString file = QString::fromLocal8Bit(line->screenshot->c_str());
        QTimer::singleShot(kScreenshotDelayMs, &window, [&window, &app, file] {
            const bool saved = window.grab().save(file, "PNG");
            app.exit(saved ? 0 : 1);
        });
    }
    const int status = QApplication::exec();
    session->AfterRun(std::cout);
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    if (const auto status = AnswerWithoutWindow(argc, argv)) return *status;
    qdm::WriterApplication app(argc, argv);
    try {
        return Run(app);
    } catch (const std::exception& e) {
        // Past the message loop nothing can go on: shown, then the process ends.
        qdm::ShowExceptionBox(QString::fromLocal8Bit(e.what()));
    } catch (...) {
        qdm::ShowExceptionBox(QString());
    }
    return 1;
}
