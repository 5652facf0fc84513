#pragma once
// The program's one window: the status line every part of the program reports on, the buttons
// that start the workflows, the presence polling and the progress display. The workflows see it
// as their OperatorPanel.

#include <QtWidgets/QWidget>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "workflows/OperatorPanel.h"
#include "workflows/RunOutcome.h"

class QComboBox;
class QFileDialog;
class QGroupBox;
class QLabel;
class QPushButton;
class QTimer;

namespace qdm {

class KeyChord;
class SystemKeyChord;

// What the window needs from outside itself. Tests replace these so that no dialog blocks and
// nothing of the real system is read; a member left empty gets the real thing.
struct WindowHooks {
    // Runs the ROM file dialog; the chosen file, nullopt when the operator cancels.
    std::function<std::optional<QString>(QFileDialog& dialog)> chooseFile;
    // A modal message box with the given caption and one OK button.
    std::function<void(const QString& caption, const QString& text)> message;
    // Shows an exception that no handler caught.
    std::function<void(const QString& text)> exception;
    // Reads the dongle firmware into State().FirmwareText; false when it cannot be read.
    std::function<bool()> readFirmwareText;
    // The file whose version the About box shows: the running executable.
    std::function<std::filesystem::path()> versionFile;
    // Where Btn_1 writes its diagnostic image.
    std::function<std::filesystem::path()> diagnosticImage;
    // The run log finished runs are appended to; none when it gives nullopt.
    std::function<std::optional<std::filesystem::path>()> runLog;
    // The virtual dongle's board, noted in the run log; empty on hardware.
    std::string simulatedBoard;
    // The ID of the dongle the window works with, in its title and the run log; empty when none
    // was chosen.
    std::string deviceId;
    // The key state at the status line's double-click; the system's when null. Not owned.
    KeyChord* keys = nullptr;
};

// The form description's client area, and the window height FormShow cuts it to.
inline constexpr int kFormWidth = 544;
inline constexpr int kFormHeight = 273;
inline constexpr int kShownWindowHeight = 140;
// Title bar and borders of a single-border window, for a host that has not told us yet.
inline constexpr int kAssumedDecorationHeight = 31;

// "ErrCode:M=0x01, S=0x02": the window's own failures, by module and place.
std::string ErrorCodeText(unsigned module, unsigned place);

class TFrm_Main : public QWidget, public OperatorPanel {
    Q_OBJECT

  public:
    // `arguments`: the command line after the program name, without the program's own options.
    explicit TFrm_Main(const std::vector<std::string>& arguments, WindowHooks hooks = {},
                       QWidget* parent = nullptr);
    ~TFrm_Main() override;

    // --- OperatorPanel -------------------------------------------------------------------------
    void SetStatusColour(StatusColour colour) override;
    void SetStatusText(std::string_view text) override;
    void SetFileLabel(std::string_view text) override;
    void ShowMessage(std::string_view text) override;
    std::optional<std::string> ChooseRomFile() override;
    int ChipTypeCount() const override;
    std::string ChipTypeText(int index) const override;
    int SelectedChipType() const override;
    void SelectChipType(int index) override;
    void SetOperationControls(bool enable) override;
    void SetDownloadEnabled(bool enable) override;
    void SetDemoResetVisible(bool visible) override;
    void SetDemoResetEnabled(bool enable) override;
    void SetProgressDisplay(bool on) override;
    void ProcessMessages() override;
    void Wait(std::chrono::milliseconds duration) override;

    // --- Events --------------------------------------------------------------------------------
    void FormCreate(const std::vector<std::string>& arguments);
    void FormShow();
    void Timer_SysPollingTimer();
    void Timer_MsgPollingTimer();
    void Timer_EffectTimer() {}
    void Btn_DownloadClick();
    void Btn_2Click();
    void Btn_DBRstClick();
    void Btn_AboutClick();
    void Btn_1Click();
    void Lab_MsgShowDblClick();
    void Lab_LoadFileDblClick() {}
    void Btn_HardwareVerRdClick() {}
    void Btn_EncodeClick() {}
    void Btn_ExpandTo256kClick() {}
    void Btn_GenMPBFileFormatClick() {}

    // How the last download run ended.
    [[nodiscard]] const RunOutcome& LastOutcome() const { return lastOutcome_; }
    // A workflow started from this window is running.
    [[nodiscard]] bool RunActive() const { return runActive_; }

  protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    class RunScope;

    void BuildControls();
    void FillDefaultHooks();
    void SetWindowHeight(int height);
    void CentreOnScreen();
    void Message(const QString& text);
    void ShowConnected();
    void ShowNotConnected(const char* text);
    template <class Handler>
    void Guarded(Handler handler);
    // Runs `workflow` on this window with the run recorded, and appends it to the run log.
    template <class Workflow>
    RunOutcome RecordedRun(const char* operation, Workflow workflow);

    WindowHooks hooks_;
    SystemKeyChord* systemKeys_ = nullptr;
    bool shown_ = false;
    bool runActive_ = false;
    RunOutcome lastOutcome_;

    QGroupBox* GBox_Controls = nullptr;
    QLabel* Lab_LoadFile = nullptr;
    QLabel* Lab_MsgShow = nullptr;
    QComboBox* CBox_DownloadPID = nullptr;
    QPushButton* Btn_DBRst = nullptr;
    QPushButton* Btn_Download = nullptr;
    QPushButton* Btn_About = nullptr;
    QPushButton* Btn_1 = nullptr;
    QPushButton* Btn_2 = nullptr;
    QGroupBox* GBox_ExtModeFunctions = nullptr;
    QPushButton* Btn_HardwareVerRd = nullptr;
    QPushButton* Btn_Encode = nullptr;
    QPushButton* Btn_ExpandTo256k = nullptr;
    QPushButton* Btn_GenMPBFileFormat = nullptr;
    QTimer* Timer_SysPolling = nullptr;
    QTimer* Timer_MsgPolling = nullptr;
    QTimer* Timer_Effect = nullptr;
    QFileDialog* OpenD_LoadROMFile = nullptr;
};

}  // namespace qdm
