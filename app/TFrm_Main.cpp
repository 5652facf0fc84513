#include "app/TFrm_Main.h"

#include <QtCore/QCoreApplication>
#include <QtCore/QFile>
#include <QtCore/QTimer>
#include <QtGui/QCloseEvent>
#include <QtGui/QScreen>
#include <QtWidgets/QComboBox>
#include <QtWidgets/QFileDialog>
#include <QtWidgets/QGroupBox>
#include <QtWidgets/QLabel>
#include <QtWidgets/QMessageBox>
#include <QtWidgets/QPushButton>
#include <algorithm>
#include <array>
#include <cstdio>
#include <exception>
#include <stdexcept>

#include "app/FileVersion.h"
#include "app/KeyChord.h"
#include "app/WriterApplication.h"
#include "protocol/HostHooks.h"
#include "protocol/Usbfunctions.h"
#include "state/DiagnosticLog.h"
#include "state/Mainprocess.h"
#include "state/SafeFile.h"
#include "usb/Fileiofunctions.h"
#include "usb/FirmwareLoader.h"
#include "workflows/DemoboardReset.h"
#include "workflows/DownloadWorkflow.h"
#include "workflows/RunLog.h"

namespace qdm {

namespace {

constexpr int kSysPollingMs = 1000;
constexpr int kMsgPollingMs = 300;
constexpr int kEffectMs = 1;

const QColor kBlue(0, 0, 255);
const QColor kRed(255, 0, 0);

// Arial where it exists; Liberation Sans has its metrics, so the layout holds without it.
QFont ArialFont(int pixels, bool bold = false) {
    QFont font;
    font.setFamilies({QStringLiteral("Arial"), QStringLiteral("Liberation Sans")});
    font.setStyleHint(QFont::SansSerif);
    font.setPixelSize(pixels);
    font.setBold(bold);
    return font;
}

QString Text(std::string_view text) {
    return QString::fromLocal8Bit(text.data(), static_cast<qsizetype>(text.size()));
}

// Inside a catch block: what was caught, for the diagnostic log, where the handler's own
// reaction (an error code, silence) does not say.
void LogCaught(const char* handler) {
    Diagnose([handler] {
        std::string line = std::string(handler) + " failed: ";
        try {
            throw;
        } catch (const std::exception& e) {
            line += e.what();
        } catch (...) {
            line += "an exception of unknown type";
        }
        return line;
    });
}

// The About box's last line while the diagnostic log is on: where it goes.
QString DiagnosticLogNote() {
    const std::filesystem::path file = DiagnosticsFile();
    if (file.empty()) return {};
    return QStringLiteral("\nDiagnostic log: ") + QFile::decodeName(file.string().c_str());
}

std::string Bytes(const QString& text) {
    return text.toLocal8Bit().toStdString();
}

// A text too long for its label loses its middle, so that a path keeps its file name in view;
// the tooltip then holds it whole.
void SetElidedText(QLabel& label, const QString& text) {
    const QString shown =
        label.fontMetrics().elidedText(text, Qt::ElideMiddle, label.contentsRect().width());
    label.setText(shown);
    label.setToolTip(shown == text ? QString() : text);
}

void SetTextColour(QWidget& widget, const QColor& colour) {
    QPalette palette = widget.palette();
    palette.setColor(QPalette::WindowText, colour);
    widget.setPalette(palette);
}

std::optional<QString> RunFileDialog(QFileDialog& dialog) {
    if (dialog.exec() != QDialog::Accepted) return std::nullopt;
    const QStringList files = dialog.selectedFiles();
    if (files.isEmpty()) return std::nullopt;
    return files.front();
}

void ShowMessageBox(QWidget* owner, const QString& caption, const QString& text) {
    QMessageBox box(QMessageBox::NoIcon, caption, text, QMessageBox::Ok, owner);
    box.exec();
}

}  // namespace

std::string ErrorCodeText(unsigned module, unsigned place) {
    char text[48];
    std::snprintf(text, sizeof text, "ErrCode:M=0x%02X, S=0x%02X", module, place);
    return text;
}

TFrm_Main::TFrm_Main(const std::vector<std::string>& arguments, WindowHooks hooks, QWidget* parent)
    : QWidget(parent), hooks_(std::move(hooks)) {
    FillDefaultHooks();
    BuildControls();
    // The board operations let the window breathe between their exchanges.
    SetPumpHook([] { QCoreApplication::processEvents(); });
#if defined(_WIN32)
    State().MainWindowHandle = static_cast<std::uintptr_t>(winId());
#endif
    FormCreate(arguments);
}

TFrm_Main::~TFrm_Main() {
    SetPumpHook(nullptr);
}

void TFrm_Main::FillDefaultHooks() {
    if (!hooks_.chooseFile) hooks_.chooseFile = RunFileDialog;
    if (!hooks_.message) {
        hooks_.message = [this](const QString& caption, const QString& text) {
            ShowMessageBox(this, caption, text);
        };
    }
    if (!hooks_.exception) {
        hooks_.exception = [](const QString& text) {
            if (auto* app = qobject_cast<WriterApplication*>(QCoreApplication::instance())) {
                app->ReportException(text);
            } else {
                ShowExceptionBox(text);
            }
        };
    }
    if (!hooks_.readFirmwareText) {
        hooks_.readFirmwareText = [] {
            return ReadFirmwareText(FirmwareFilePath(), State().FirmwareText);
        };
    }
    if (!hooks_.runLog) {
        hooks_.runLog = [] { return std::optional<std::filesystem::path>(DefaultRunLogPath()); };
    }
    if (!hooks_.versionFile) {
        hooks_.versionFile = [] {
            return std::filesystem::path(
                QFile::encodeName(QCoreApplication::applicationFilePath()).toStdString());
        };
    }
    if (!hooks_.diagnosticImage) {
        hooks_.diagnosticImage = [] {
#if defined(_WIN32)
            return std::filesystem::path("d:\\aa.bin");
#else
            // No drive D: here; the image goes where the read-back dumps go, if anywhere.
            const std::filesystem::path folder = DumpDirectory();
            return folder.empty() ? folder : folder / "aa.bin";
#endif
        };
    }
    if (hooks_.keys == nullptr) {
        systemKeys_ = new SystemKeyChord(this);
        hooks_.keys = systemKeys_;
    }
}

void TFrm_Main::BuildControls() {
    setObjectName(QStringLiteral("Frm_Main"));
    setWindowTitle(QStringLiteral("Writer Memory Programmer"));
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowCloseButtonHint);
    setFont(ArialFont(11));
    setFixedSize(kFormWidth, kFormHeight);

    GBox_Controls = new QGroupBox(QStringLiteral("Flash Memory Programmer Control"), this);
    GBox_Controls->setObjectName(QStringLiteral("GBox_Controls"));
    GBox_Controls->setGeometry(8, 8, 529, 97);

    Lab_LoadFile = new QLabel(
        QStringLiteral("Click Download to download the data to the flash memory"), GBox_Controls);
    Lab_LoadFile->setObjectName(QStringLiteral("Lab_LoadFile"));
    Lab_LoadFile->setGeometry(8, 16, 513, 25);
    Lab_LoadFile->setFont(ArialFont(16, true));
    Lab_LoadFile->setTextFormat(Qt::PlainText);
    // Opaque on the form, but an opaque label paints its parent's colour: letting the group box
    // show through looks the same and keeps the style's group box shading unbroken.
    Lab_LoadFile->setAutoFillBackground(false);
    SetTextColour(*Lab_LoadFile, kBlue);
    Lab_LoadFile->installEventFilter(this);

    Lab_MsgShow = new QLabel(QStringLiteral("Writer Flash Memory Programmer"), GBox_Controls);
    Lab_MsgShow->setObjectName(QStringLiteral("Lab_MsgShow"));
    Lab_MsgShow->setGeometry(8, 40, 513, 25);
    Lab_MsgShow->setFont(ArialFont(16, true));
    Lab_MsgShow->setTextFormat(Qt::PlainText);
    Lab_MsgShow->setAutoFillBackground(false);  // transparent
    SetTextColour(*Lab_MsgShow, kBlue);
    Lab_MsgShow->installEventFilter(this);

    // A list to choose from: a typed name would select no chip type at all.
    CBox_DownloadPID = new QComboBox(GBox_Controls);
    CBox_DownloadPID->setObjectName(QStringLiteral("CBox_DownloadPID"));
    CBox_DownloadPID->setGeometry(8, 64, 121, 24);
    CBox_DownloadPID->setFont(ArialFont(13));
    CBox_DownloadPID->setEditable(false);

    const auto button = [](const QString& name, const QString& caption, QWidget* parent,
                           QRect geometry) {
        auto* b = new QPushButton(caption, parent);
        b->setObjectName(name);
        b->setGeometry(geometry);
        b->setAutoDefault(false);
        return b;
    };
    Btn_DBRst = button(QStringLiteral("Btn_DBRst"), QStringLiteral("Demoboard Reset"),
                       GBox_Controls, {128, 64, 113, 25});
    Btn_Download = button(QStringLiteral("Btn_Download"), QStringLiteral("D O W N L O A D"),
                          GBox_Controls, {240, 64, 265, 25});
    Btn_About =
        button(QStringLiteral("Btn_About"), QStringLiteral("?"), GBox_Controls, {504, 64, 17, 25});
    Btn_1 =
        button(QStringLiteral("Btn_1"), QStringLiteral("Btn_1"), GBox_Controls, {400, 8, 49, 25});
    Btn_1->hide();
    Btn_2 =
        button(QStringLiteral("Btn_2"), QStringLiteral("Fast"), GBox_Controls, {464, 16, 49, 41});
    Btn_2->hide();
    Btn_2->setEnabled(false);

    GBox_ExtModeFunctions = new QGroupBox(QStringLiteral("Extension Mode"), this);
    GBox_ExtModeFunctions->setObjectName(QStringLiteral("GBox_ExtModeFunctions"));
    GBox_ExtModeFunctions->setGeometry(8, 120, 529, 145);
    const auto label = [this](const QString& name, const QString& caption, QRect geometry) {
        auto* l = new QLabel(caption, GBox_ExtModeFunctions);
        l->setObjectName(name);
        l->setGeometry(geometry);
    };
    label(QStringLiteral("Lab_ExtModeEnable"), QStringLiteral("Writer Extension Mode Enable"),
          {16, 24, 200, 17});
    label(QStringLiteral("Lab_EngineeringMode"), QStringLiteral("Engineering Mode"),
          {16, 48, 200, 17});
    label(QStringLiteral("Lab_InternalUse"), QStringLiteral("For Internal use only"),
          {16, 72, 200, 17});
    Btn_HardwareVerRd =
        button(QStringLiteral("Btn_HardwareVerRd"), QStringLiteral("Read Hardware Info"),
               GBox_ExtModeFunctions, {288, 24, 113, 25});
    Btn_Encode = button(QStringLiteral("Btn_Encode"), QStringLiteral("Enocde to 64k"),
                        GBox_ExtModeFunctions, {408, 24, 113, 25});
    Btn_ExpandTo256k = button(QStringLiteral("Btn_ExpandTo256k"), QStringLiteral("Expand to 256k"),
                              GBox_ExtModeFunctions, {288, 56, 113, 25});
    Btn_GenMPBFileFormat =
        button(QStringLiteral("Btn_GenMPBFileFormat"), QStringLiteral("Generate MPB File"),
               GBox_ExtModeFunctions, {408, 56, 113, 25});
    GBox_ExtModeFunctions->hide();
    GBox_ExtModeFunctions->setEnabled(false);

    Timer_SysPolling = new QTimer(this);
    Timer_SysPolling->setObjectName(QStringLiteral("Timer_SysPolling"));
    Timer_SysPolling->setInterval(kSysPollingMs);
    Timer_MsgPolling = new QTimer(this);
    Timer_MsgPolling->setObjectName(QStringLiteral("Timer_MsgPolling"));
    Timer_MsgPolling->setInterval(kMsgPollingMs);
    Timer_Effect = new QTimer(this);
    Timer_Effect->setObjectName(QStringLiteral("Timer_Effect"));
    Timer_Effect->setInterval(kEffectMs);

    OpenD_LoadROMFile = new QFileDialog(this);
    OpenD_LoadROMFile->setObjectName(QStringLiteral("OpenD_LoadROMFile"));
    OpenD_LoadROMFile->setFileMode(QFileDialog::ExistingFile);
    OpenD_LoadROMFile->setAcceptMode(QFileDialog::AcceptOpen);
    OpenD_LoadROMFile->setNameFilters({QStringLiteral("Binary Files (*.bin)"),
                                       QStringLiteral("Demo Files (*.eva *eva2)"),
                                       QStringLiteral("All Files (*.*)")});

    const auto on = [this](auto* sender, auto signal, void (TFrm_Main::*handler)()) {
        connect(sender, signal, this,
                [this, handler] { Guarded([this, handler] { (this->*handler)(); }); });
    };
    on(Btn_Download, &QPushButton::clicked, &TFrm_Main::Btn_DownloadClick);
    on(Btn_2, &QPushButton::clicked, &TFrm_Main::Btn_2Click);
    on(Btn_DBRst, &QPushButton::clicked, &TFrm_Main::Btn_DBRstClick);
    on(Btn_About, &QPushButton::clicked, &TFrm_Main::Btn_AboutClick);
    on(Btn_1, &QPushButton::clicked, &TFrm_Main::Btn_1Click);
    on(Btn_HardwareVerRd, &QPushButton::clicked, &TFrm_Main::Btn_HardwareVerRdClick);
    on(Btn_Encode, &QPushButton::clicked, &TFrm_Main::Btn_EncodeClick);
    on(Btn_ExpandTo256k, &QPushButton::clicked, &TFrm_Main::Btn_ExpandTo256kClick);
    on(Btn_GenMPBFileFormat, &QPushButton::clicked, &TFrm_Main::Btn_GenMPBFileFormatClick);
    on(Timer_SysPolling, &QTimer::timeout, &TFrm_Main::Timer_SysPollingTimer);
    on(Timer_MsgPolling, &QTimer::timeout, &TFrm_Main::Timer_MsgPollingTimer);
    on(Timer_Effect, &QTimer::timeout, &TFrm_Main::Timer_EffectTimer);
}

template <class Handler>
void TFrm_Main::Guarded(Handler handler) {
    // Nothing may unwind through Qt's own frames; what a handler lets escape is shown here.
    try {
        handler();
    } catch (const std::exception& e) {
        hooks_.exception(QString::fromLocal8Bit(e.what()));
    } catch (...) {
        hooks_.exception(QString());
    }
}

// --- Start-up --------------------------------------------------------------------------------

void TFrm_Main::FormCreate(const std::vector<std::string>& arguments) {
    const bool expg = FormCreateState(arguments);
    QString title = QStringLiteral("QDM-OTP Programmer for Writer");
    // Which of several dongles this window programs.
    if (!hooks_.deviceId.empty()) title += QStringLiteral(" - ") + Text(hooks_.deviceId);
    setWindowTitle(title);
    if (expg) SetElidedText(*Lab_LoadFile, Text(State().ExpgFileText));
}

void TFrm_Main::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (shown_) return;
    shown_ = true;
    Guarded([this] { FormShow(); });
    CentreOnScreen();
}

void TFrm_Main::SetWindowHeight(int height) {
    const int measured = frameGeometry().height() - geometry().height();
    const int decoration = measured > 0 ? measured : kAssumedDecorationHeight;
    setFixedSize(kFormWidth, height - decoration);
}

void TFrm_Main::CentreOnScreen() {
    const QScreen* screen = this->screen();
    if (screen == nullptr) return;
    const QRect available = screen->availableGeometry();
    const QRect frame = frameGeometry();
    move(available.x() + (available.width() - frame.width()) / 2,
         available.y() + (available.height() - frame.height()) / 2);
}

void TFrm_Main::FormShow() {
    ProgramState& state = State();
    SetWindowHeight(kShownWindowHeight);
    state.DongleConnected = 0;
    Btn_DBRst->hide();
    try {
        if (!hooks_.readFirmwareText()) throw std::runtime_error("firmware file unreadable");
        state.FirmwareLoaded = 0;
        const bool present = CheckDonglePresence();
        if (!present || state.DetectedVID != ExpectedVID || state.DetectedPID != ExpectedPID) {
            ShowNotConnected("USB Dongle NOT Connected!");
        } else if (std::array<std::uint8_t, 4> version{}; QueryHardwareVersion(version)) {
            ShowConnected();
        } else {
            ShowNotConnected("USB Dongle hardware version error!");
        }
    } catch (...) {
        LogCaught("FormShow");
        state.DongleConnected = 0;
        SetStatusText(ErrorCodeText(1, 1));
    }
    CBox_DownloadPID->clear();
    for (const std::string_view item : ChipTypeItems)
        CBox_DownloadPID->addItem(Text(item));
    CBox_DownloadPID->setCurrentIndex(0);
    Timer_SysPolling->start();
}

void TFrm_Main::ShowConnected() {
    ShowStatus(*this, StatusColour::Blue, "USB Dongle Connected!");
    Btn_Download->setEnabled(true);
    Btn_DBRst->setEnabled(true);
    State().DongleConnected = 1;
    ProcessMessages();
}

void TFrm_Main::ShowNotConnected(const char* text) {
    ShowStatus(*this, StatusColour::Red, text);
    Btn_Download->setEnabled(false);
    Btn_DBRst->setEnabled(false);
}

// --- Timers ----------------------------------------------------------------------------------

void TFrm_Main::Timer_SysPollingTimer() {
    ProgramState& state = State();
    state.DetectedVID.clear();
    state.DetectedPID.clear();
    // A run owns the dongle; an exchange of ours would land between its command lists.
    if (state.OperationBusy != 0 || runActive_) return;
    try {
        if (CheckDonglePresence()) {
            if (state.DongleConnected != 0) return;
            if (state.DetectedVID == ExpectedVID && state.DetectedPID == ExpectedPID) {
                ShowConnected();
            } else {
                state.DongleConnected = 0;
                state.FirmwareLoaded = 0;
            }
        } else {
            if (state.DongleConnected == 1) ShowNotConnected("USB Dongle NOT Connected!");
            state.DongleConnected = 0;
            state.FirmwareLoaded = 0;
        }
    } catch (...) {
        LogCaught("Timer_SysPollingTimer");
        SetStatusText(ErrorCodeText(1, 2));
    }
}

void TFrm_Main::Timer_MsgPollingTimer() {
    const ProgramState& state = State();
    const unsigned percent = (unsigned{state.ProgressValue} * 100u) >> 7;
    SetStatusText(state.ProgressText + std::to_string(percent) + "%");
}

// --- Buttons ---------------------------------------------------------------------------------

// For the length of a run started from the window. A run that broke off inside a long stage may
// leave the progress display on, which would soon write over its failure message.
class TFrm_Main::RunScope {
  public:
    explicit RunScope(TFrm_Main& window) : window_(window) { window_.runActive_ = true; }
    RunScope(const RunScope&) = delete;
    RunScope& operator=(const RunScope&) = delete;
    ~RunScope() {
        window_.runActive_ = false;
        window_.SetProgressDisplay(false);
    }

  private:
    TFrm_Main& window_;
};

template <class Workflow>
RunOutcome TFrm_Main::RecordedRun(const char* operation, Workflow workflow) {
    RunRecorder recorder(*this, "qdm-writer", operation);
    if (!hooks_.simulatedBoard.empty()) recorder.SetSimulated(hooks_.simulatedBoard);
    recorder.SetDevice(hooks_.deviceId);
    RunOutcome outcome = workflow(recorder);
    const RunRecord record = recorder.Finish(outcome);
    // A cancelled file dialog programmed nothing: no trace of it is wanted.
    if (outcome.result == RunResult::Cancelled) return outcome;
    if (const std::optional<std::filesystem::path> log = hooks_.runLog()) {
        std::string error;
        // The status line keeps the run's own message; the chip is programmed all the same.
        if (!AppendRunRecord(record, *log, &error)) {
            qWarning("qdm-writer: the run was not logged: %s", error.c_str());
            Diagnose([&] { return "the run was not logged: " + error; });
        }
    }
    return outcome;
}

void TFrm_Main::Btn_DownloadClick() {
    // A click queued before the controls went off must not start a run inside the run.
    if (runActive_) return;
    const RunScope run(*this);
    lastOutcome_ = RecordedRun(
        "download", [](OperatorPanel& panel) { return ::qdm::Btn_DownloadClick(panel); });
}

void TFrm_Main::Btn_2Click() {
    if (runActive_) return;
    const RunScope run(*this);
    lastOutcome_ =
        RecordedRun("fast download", [](OperatorPanel& panel) { return ::qdm::Btn_2Click(panel); });
}

void TFrm_Main::Btn_DBRstClick() {
    if (runActive_) return;
    const RunScope run(*this);
    ::qdm::Btn_DBRstClick(*this);
}

void TFrm_Main::Btn_AboutClick() {
    std::array<std::uint8_t, kVersionBufferSize> buffer{};
    buffer.fill(kVersionFiller);
    try {
        ReadFileVersion(hooks_.versionFile(), buffer);
        const auto end = std::find(buffer.begin(), buffer.end(), std::uint8_t{0});
        QByteArray text("QDM-OTP Programmer for Writer.V-V.");
        text.append(reinterpret_cast<const char*>(buffer.data()), end - buffer.begin());
        text.append(".NAC");
        Message(QString::fromLatin1(text) + DiagnosticLogNote());
    } catch (...) {
        Message(QStringLiteral("QDM-OTP Programmer for Writer Version Collectting Error!") +
                DiagnosticLogNote());
    }
}

void TFrm_Main::Btn_1Click() {
    if (runActive_) return;
    const RunScope run(*this);
    const std::optional<QString> chosen = hooks_.chooseFile(*OpenD_LoadROMFile);
    if (!chosen) return;
    try {
        const std::filesystem::path file(QFile::encodeName(*chosen).toStdString());
        // A FIFO or a device chosen in the dialog must not hold the window up.
        std::vector<std::uint8_t> text;
        if (!ReadRegularFile(file, kMaxFirmwareFileLength, text)) return;
        // Plain Intel HEX: no nibble exchange.
        std::vector<std::uint8_t> image(kDiagnosticImageSize, 0);
        const std::span<std::uint8_t, kDiagnosticImageSize> view(image.data(), image.size());
        std::size_t position = 0;
        bool decoded = true;
        while (position < text.size() && decoded)
            decoded = DecodeRecordToImage(NextTextLine(text, position), view);
        if (const std::filesystem::path target = hooks_.diagnosticImage(); !target.empty())
            WriteFileFrom(image, target);
        SetStatusText(DownloadFirmware(text, State().MainWindowHandle)
                          ? "Firmware Download OK.."
                          : "Firmware Download Fail..");
        ProcessMessages();
    } catch (const std::exception&) {
        // A diagnostic: it says nothing unless the download itself fails.
        LogCaught("Btn_1Click");
    }
}

// --- Labels ----------------------------------------------------------------------------------

bool TFrm_Main::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::MouseButtonDblClick) {
        if (watched == Lab_MsgShow) Guarded([this] { Lab_MsgShowDblClick(); });
        if (watched == Lab_LoadFile) Lab_LoadFileDblClick();
    }
    return QWidget::eventFilter(watched, event);
}

void TFrm_Main::Lab_MsgShowDblClick() {
    const KeyChord& keys = *hooks_.keys;
    if (!keys.ControlHeld() || !keys.RightAltHeld()) return;
    // The index comes from image preparation; a row outside the table names nobody.
    const std::int32_t index = State().AgentIndex;
    if (index < 0 || static_cast<std::size_t>(index) >= AgentNames.size()) return;
    ShowMessage("Code = " + std::string(AgentNames[static_cast<std::size_t>(index)]));
}

void TFrm_Main::closeEvent(QCloseEvent* event) {
    // Closing in the middle of a run would leave the chips half written.
    if (runActive_) {
        event->ignore();
        return;
    }
    QWidget::closeEvent(event);
}

// --- OperatorPanel ---------------------------------------------------------------------------

void TFrm_Main::SetStatusColour(StatusColour colour) {
    SetTextColour(*Lab_MsgShow, colour == StatusColour::Red ? kRed : kBlue);
}

void TFrm_Main::SetStatusText(std::string_view text) {
    Lab_MsgShow->setText(Text(text));
}

void TFrm_Main::SetFileLabel(std::string_view text) {
    SetElidedText(*Lab_LoadFile, Text(text));
}

void TFrm_Main::Message(const QString& text) {
    hooks_.message(QCoreApplication::applicationName(), text);
}

void TFrm_Main::ShowMessage(std::string_view text) {
    Message(Text(text));
}

std::optional<std::string> TFrm_Main::ChooseRomFile() {
    const std::optional<QString> chosen = hooks_.chooseFile(*OpenD_LoadROMFile);
    if (!chosen) return std::nullopt;
    return QFile::encodeName(*chosen).toStdString();
}

int TFrm_Main::ChipTypeCount() const {
    return CBox_DownloadPID->count();
}

std::string TFrm_Main::ChipTypeText(int index) const {
    return Bytes(CBox_DownloadPID->itemText(index));
}

int TFrm_Main::SelectedChipType() const {
    return CBox_DownloadPID->currentIndex();
}

void TFrm_Main::SelectChipType(int index) {
    CBox_DownloadPID->setCurrentIndex(index);
}

void TFrm_Main::SetOperationControls(bool enable) {
    const std::array<QWidget*, 7> controls = {
        Btn_Download,         Btn_HardwareVerRd, Btn_Encode, Btn_ExpandTo256k,
        Btn_GenMPBFileFormat, CBox_DownloadPID,  Btn_DBRst};
    for (QWidget* control : controls)
        control->setEnabled(enable);
    if (enable) {
        Timer_SysPolling->start();
    } else {
        Timer_SysPolling->stop();
    }
}

void TFrm_Main::SetDownloadEnabled(bool enable) {
    Btn_Download->setEnabled(enable);
}

void TFrm_Main::SetDemoResetVisible(bool visible) {
    Btn_DBRst->setVisible(visible);
}

void TFrm_Main::SetDemoResetEnabled(bool enable) {
    Btn_DBRst->setEnabled(enable);
}

void TFrm_Main::SetProgressDisplay(bool on) {
    if (on) {
        Timer_MsgPolling->start();
    } else {
        Timer_MsgPolling->stop();
    }
}

void TFrm_Main::ProcessMessages() {
    QCoreApplication::processEvents();
}

void TFrm_Main::Wait(std::chrono::milliseconds duration) {
    SleepFor(duration);
}

}  // namespace qdm
