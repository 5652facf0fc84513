#pragma once
// Which of the keys of the hidden agent display's chord (Ctrl with the RIGHT Alt key) are held
// right now. The window asks through KeyChord so tests can say what is held.

#include <QtCore/QObject>

namespace qdm {

class KeyChord {
  public:
    KeyChord() = default;
    KeyChord(const KeyChord&) = delete;
    KeyChord& operator=(const KeyChord&) = delete;
    virtual ~KeyChord() = default;

    [[nodiscard]] virtual bool ControlHeld() const = 0;
    [[nodiscard]] virtual bool RightAltHeld() const = 0;
};

// The system's key state. Windows answers for VK_CONTROL and VK_RMENU; an X11 display answers
// from its keymap. Elsewhere (Wayland, the offscreen platform) an application-wide event filter
// follows the keys going down and up: Qt reports both Alt keys as Key_Alt, so the native key
// (Alt_R, or the right Alt's scan code) tells the right one apart.
class SystemKeyChord final : public QObject, public KeyChord {
    Q_OBJECT

  public:
    // Installs its filter on the application, which must exist.
    explicit SystemKeyChord(QObject* parent = nullptr);
    ~SystemKeyChord() override;

    [[nodiscard]] bool ControlHeld() const override;
    [[nodiscard]] bool RightAltHeld() const override;

    // What the event filter has seen, whatever the system would answer.
    [[nodiscard]] bool TrackedControl() const { return leftControl_ || rightControl_; }
    [[nodiscard]] bool TrackedRightAlt() const { return rightAlt_; }

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    void Forget();

    bool leftControl_ = false;
    bool rightControl_ = false;
    bool leftAlt_ = false;
    bool rightAlt_ = false;
};

}  // namespace qdm
