#pragma once
// A window under test: the session a real start builds (virtual dongle, stand-in firmware,
// virtual time), dialogs and message boxes answered from scripts, the key state injected, and
// every status message recorded with the colour the status line draws it in.

#include <QtCore/QTemporaryDir>
#include <QtCore/QTimer>
#include <QtTest/QtTest>
#include <QtWidgets/QComboBox>
#include <QtWidgets/QLabel>
#include <QtWidgets/QPushButton>
#include <deque>
#include <functional>
#include <memory>

#include "app/KeyChord.h"
#include "app/TFrm_Main.h"
#include "session/Session.h"
#include "tests/app/GuiTest.h"

namespace qdm::test {

using Lines = std::vector<std::string>;

struct FakeKeys final : KeyChord {
    bool control = false;
    bool rightAlt = false;
    [[nodiscard]] bool ControlHeld() const override { return control; }
    [[nodiscard]] bool RightAltHeld() const override { return rightAlt; }
};

struct RecordingWindow final : TFrm_Main {
    using TFrm_Main::TFrm_Main;
    Lines lines;  // "blue: USB Dongle Connected!", in order
    void SetStatusText(std::string_view text) override;
};

class Rig {
  public:
    // The virtual dongle with `board` and `faults`; `firmware` replaces its stand-in firmware;
    // `timing` names its timing profile (a timed one runs in real time, as in the program).
    explicit Rig(const std::string& board, std::vector<std::string> faults = {},
                 std::optional<std::string> firmware = std::nullopt,
                 std::optional<std::string> timing = std::nullopt);
    Rig(const Rig&) = delete;
    Rig& operator=(const Rig&) = delete;
    ~Rig();

    // Builds the window with `arguments` (FormCreate) and shows it (FormShow).
    RecordingWindow& Open(const std::vector<std::string>& arguments = {});
    RecordingWindow& Window() { return *window_; }
    Lines& Shown() { return window_->lines; }
    sim::VirtualDongle& Dongle() { return *session_->Simulation()->dongle; }
    sim::VirtualDriver& Driver() { return *session_->Simulation()->driver; }
    std::shared_ptr<sim::VirtualDongle> SharedDongle() { return session_->Simulation()->dongle; }

    template <class Widget = QPushButton>
    Widget* Find(const char* name) {
        return window_->findChild<Widget*>(QString::fromLatin1(name));
    }
    void Tick() { window_->Timer_SysPollingTimer(); }
    void Click(const char* button) { QTest::mouseClick(Find(button), Qt::LeftButton); }
    [[nodiscard]] QString Status() { return Find<QLabel>("Lab_MsgShow")->text(); }
    [[nodiscard]] std::filesystem::path Folder() const;
    // The run log the window appends its runs to.
    [[nodiscard]] std::filesystem::path RunLog() const { return Folder() / "runs.jsonl"; }

    std::deque<std::optional<QString>> files;  // the file dialog's answers; none left cancels
    int dialogs = 0;
    std::function<void()> onDialog;   // called as the dialog opens (to make it fail)
    std::vector<QString> messages;    // message boxes, in order
    std::vector<QString> exceptions;  // exceptions no handler caught
    FakeKeys keys;
    std::filesystem::path versionFile;
    std::function<void()> onVersionFile;  // called as the About box asks for its file

  private:
    std::string board_;
    QTemporaryDir folder_;
    std::unique_ptr<session::Session> session_;
    std::unique_ptr<RecordingWindow> window_;
};

// Runs `action` from inside the event loop the next time a running workflow pumps it.
inline void DuringRun(std::function<void()> action) {
    QTimer::singleShot(0, std::move(action));
}

}  // namespace qdm::test
