// Process entry of the window program: the application object, the session (the dongle the
// process talks to), the main window, and the message loop.

#include <QtCore/QTimer>
#include <algorithm>
#include <cctype>
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
#include "session/ProcessFiles.h"
#include "session/Session.h"
#include "state/DiagnosticLog.h"
#include "state/SafeFile.h"
#include "workflows/RunLog.h"

namespace {

constexpr int kExitUsage = 2;
constexpr int kExitNoDongle = 3;  // as qdm-writer-cli exits for a --device not attached
constexpr int kExitFile = 5;      // as qdm-writer-cli exits for a file it cannot make
constexpr int kScreenshotDelayMs = 300;

std::vector<std::string> Arguments(int argc, char** argv) {
    return {argv + std::min(argc, 1), argv + argc};
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

// What the window reads and writes before its first click: the session's files, the EXPG file and
// the run log.
qdm::session::ProcessFiles ProcessFilesOf(const qdm::WindowCommandLine& line) {
    qdm::session::ProcessFiles files;
    files.AddSession(line.session);
    const auto& rest = line.rest;
    const auto expg = [](const std::string& word) {
        return word.size() == 4 && std::equal(word.begin(), word.end(), "EXPG", [](char a, char b) {
                   return std::toupper(static_cast<unsigned char>(a)) == b;
               });
    };
    if (rest.size() >= 2 && expg(rest[0])) {
        std::string joined;
        for (std::size_t i = 1; i < rest.size(); ++i)
            joined += (i > 1 ? " " : "") + rest[i];
        files.inputs.push_back({"the EXPG file", joined});
    }
    if (!line.noLog)
        files.outputs.push_back({"the run log", line.log ? std::filesystem::path(*line.log)
                                                         : qdm::DefaultRunLogPath()});
    return files;
}

int Run(qdm::WriterApplication& app, const qdm::WindowCommandLine& line,
        qdm::session::Session& session) {
    // Which of several dongles this window programs: the first one attached unless named.
    if (!line.session.device) session.SelectFirst();
    qdm::WindowHooks hooks;
    hooks.readFirmwareText = [&session] {
        // The window says only "ErrCode:M=0x01, S=0x01"; whoever started it learns more here.
        std::string where;
        std::string problem;
        const bool read = session.LoadFirmwareText(where, &problem);
        if (!read) std::cerr << "qdm-writer: " << problem << "\n";
        return read;
    };
    if (line.noLog) {
        hooks.runLog = [] { return std::optional<std::filesystem::path>(); };
    } else if (line.log) {
        hooks.runLog = [file = std::filesystem::path(*line.log)] {
            return std::optional<std::filesystem::path>(file);
        };
    }
    hooks.simulatedBoard = session.SimulatedBoard();
    hooks.deviceId = session.DeviceId();
    qdm::TFrm_Main window(line.rest, std::move(hooks));
    window.show();

    if (qdm::sim::Simulation* simulation = session.Simulation()) {
        auto* plug = new qdm::VirtualDonglePanel(simulation->dongle, &window);
        plug->PlaceBeside(window);
        if (!line.screenshot) plug->show();
    }
    if (line.screenshot) {
        const QString file = QString::fromLocal8Bit(line.screenshot->c_str());
        QTimer::singleShot(kScreenshotDelayMs, &window, [&window, &app, file] {
            const bool saved = window.grab().save(file, "PNG");
            app.exit(saved ? 0 : 1);
        });
    }
    int status = QApplication::exec();
    std::string dumpError;
    if (!session.AfterRun(std::cout, dumpError)) {
        std::cerr << "qdm-writer: " << dumpError << "\n";
        if (status == 0) status = kExitFile;
    }
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    // Everything the command line can get wrong is answered before a display is needed.
    std::string error;
    const auto line = qdm::ParseWindowCommandLine(Arguments(argc, argv), error);
    if (!line) {
        std::cerr << "qdm-writer: " << error << "\nTry 'qdm-writer --help'.\n";
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
    const DiagnosticScope diagnostics(line->session.verbose);
    const qdm::session::ProcessFiles files = ProcessFilesOf(*line);
    if (const auto clash = qdm::session::OutputOverAnInput(files)) {
        std::cerr << "qdm-writer: " << *clash << "\n";
        return kExitFile;
    }
    // A ROM file chosen later in the dialog must not be one of them either.
    std::vector<std::filesystem::path> outputs;
    for (const auto& output : files.outputs)
        outputs.push_back(output.path);
    qdm::ClaimOutputs(std::move(outputs));
    std::ostringstream why;
    qdm::session::SetupProblem problem{};
    const auto session = qdm::session::Session::Create(line->session, why, &problem);
    if (!session) {
        std::cerr << "qdm-writer: " << why.str();
        return problem == qdm::session::SetupProblem::File       ? kExitFile
               : problem == qdm::session::SetupProblem::NoDevice ? kExitNoDongle
                                                                 : kExitUsage;
    }
    qdm::WriterApplication app(argc, argv);
    try {
        return Run(app, *line, *session);
    } catch (const std::exception& e) {
        // Past the message loop nothing can go on: shown, then the process ends.
        qdm::ShowExceptionBox(QString::fromLocal8Bit(e.what()));
    } catch (...) {
        qdm::ShowExceptionBox(QString());
    }
    return 1;
}
