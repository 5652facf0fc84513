#pragma once
// A window under test: the session a real start builds (virtual dongle, stand-in firmware,
// virtual time), the dialogs and message boxes answered from scripts, the key state injected,
// and every status message recorded with the colour the status line shows it in.

#include <QtCore/QTemporaryDir>
#include <QtWidgets/QComboBox>
#include <QtWidgets/QLabel>
#include <QtWidgets/QPushButton>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/KeyChord.h"
#include "app/TFrm_Main.h"
#include "session/Session.h"

namespace qdm::test {

class FakeKeys final : public KeyChord {
  public:
    bool control = false;
    bool rightAlt = false;
    [[nodiscard]] bool ControlHeld() const override { return control; }
    [[nodiscard]] bool RightAltHeld() const override { return rightAlt; }
};

class RecordingWindow final : public TFrm_Main {
  public:
    using TFrm_Main::TFrm_Main;

    // "blue: USB Dongle Connected!", in order.
    std::vector<std::string> lines;

    void SetStatusText(std::string_view text) override;
};

// Session options for the virtual dongle with the given board and faults.
session::SessionOptions Simulated(const std::string& board, std::vector<std::string> faults = {});

class Rig {
  public:
    explicit Rig(const session::SessionOptions& options);
    Rig(const Rig&) = delete;
    Rig& operator=(const Rig&) = delete;
    ~Rig();

    // Builds the window with `arguments` (FormCreate) and shows it (FormShow).
    RecordingWindow& Open(const std::vector<std::string>& arguments = {});
    RecordingWindow& Window() { return *window_; }

    [[nodiscard]] bool Ready() const { return session_ != nullptr; }
    sim::VirtualDongle& Dongle() { return *session_->Simulation()->dongle; }
    std::shared_ptr<sim::VirtualDongle> SharedDongle() { return session_->Simulation()->dongle; }
    sim::VirtualDriver& Driver() { return *session_->Simulation()->driver; }

    template <class Widget = QPushButton>
    Widget* Find(const char* name) {
        return window_->findChild<Widget*>(QString::fromLatin1(name));
    }
    QLabel* StatusLine() { return Find<QLabel>("Lab_MsgShow"); }
    [[nodiscard]] std::string Status();
    // "blue" or "red", as the status line draws its text.
    [[nodiscard]] std::string StatusColour();
    [[nodiscard]] std::filesystem::path Folder() const;

    // Answers of the file dialog in order; an empty script cancels.
    std::deque<std::optional<QString>> files;
    int dialogs = 0;
    // Called when the window opens the file dialog (to make it fail).
    std::function<void()> onDialog;
    std::vector<QString> messages;
    std::vector<QString> captions;
    std::vector<QString> exceptions;
    FakeKeys keys;
    std::filesystem::path versionFile;
    // Called when the window asks for the version file (to make it fail).
    std::function<void()> onVersionFile;

  private:
    QTemporaryDir folder_;
    std::unique_ptr<session::Session> session_;
    std::unique_ptr<RecordingWindow> window_;
};

// Runs `action` once, from inside the event loop the next time a running workflow pumps it.
void DuringRun(std::function<void()> action);

}  // namespace qdm::test
