#include "app/KeyChord.h"

#include <QtGui/QGuiApplication>
#include <QtGui/QKeyEvent>

#if defined(_WIN32)
#include <windows.h>
#elif defined(QDM_HAVE_X11)
#include <QtGui/qguiapplication_platform.h>

#include "app/X11HeldKeys.h"
#endif

namespace qdm {

namespace {
// X11 keysyms and evdev scan codes of the keys Qt does not tell apart by itself.
constexpr quint32 kXkAltR = 0xffea;
constexpr quint32 kXkIsoLevel3Shift = 0xfe03;
constexpr quint32 kXkControlR = 0xffe4;
constexpr quint32 kScanAltR = 108;
constexpr quint32 kScanControlR = 105;

#if defined(QDM_HAVE_X11)
// Null on every platform but xcb (the offscreen platform included).
_XDisplay* X11Display() {
    const auto* app = qGuiApp;
    if (app == nullptr) return nullptr;
    const auto* x11 = app->nativeInterface<QNativeInterface::QX11Application>();
    return x11 != nullptr ? x11->display() : nullptr;
}
#endif
}  // namespace

SystemKeyChord::SystemKeyChord(QObject* parent) : QObject(parent) {
    QCoreApplication::instance()->installEventFilter(this);
    // A key let go while another program had the keyboard never reaches us.
    connect(qGuiApp, &QGuiApplication::applicationStateChanged, this,
            [this](Qt::ApplicationState state) {
                if (state != Qt::ApplicationActive) Forget();
            });
}

SystemKeyChord::~SystemKeyChord() {
    if (auto* app = QCoreApplication::instance()) app->removeEventFilter(this);
}

void SystemKeyChord::Forget() {
    leftControl_ = rightControl_ = leftAlt_ = rightAlt_ = false;
}

bool SystemKeyChord::ControlHeld() const {
#if defined(_WIN32)
    return (GetKeyState(VK_CONTROL) & 0x8000) != 0;
#else
#if defined(QDM_HAVE_X11)
    if (_XDisplay* display = X11Display()) return QueryX11HeldKeys(display).control;
#endif
    return TrackedControl() ||
           QGuiApplication::queryKeyboardModifiers().testFlag(Qt::ControlModifier);
#endif
}

bool SystemKeyChord::RightAltHeld() const {
#if defined(_WIN32)
    return (GetKeyState(VK_RMENU) & 0x8000) != 0;
#else
#if defined(QDM_HAVE_X11)
    if (_XDisplay* display = X11Display()) return QueryX11HeldKeys(display).rightAlt;
#endif
    return rightAlt_;
#endif
}

bool SystemKeyChord::eventFilter(QObject* watched, QEvent* event) {
    const QEvent::Type type = event->type();
    if (type != QEvent::KeyPress && type != QEvent::KeyRelease)
        return QObject::eventFilter(watched, event);
    const auto* key = static_cast<const QKeyEvent*>(event);
    const bool down = type == QEvent::KeyPress;
    const quint32 native = key->nativeVirtualKey();
    const quint32 scan = key->nativeScanCode();
    switch (key->key()) {
        case Qt::Key_AltGr:
            rightAlt_ = down;
            break;
        case Qt::Key_Alt:
            // The left key, or a platform that names neither: not proof of the right key.
            if (native == kXkAltR || native == kXkIsoLevel3Shift || scan == kScanAltR) {
                rightAlt_ = down;
            } else {
                leftAlt_ = down;
            }
            break;
        case Qt::Key_Control:
            if (native == kXkControlR || scan == kScanControlR) {
                rightControl_ = down;
            } else {
                leftControl_ = down;
            }
            break;
        default:
            break;
    }
    return QObject::eventFilter(watched, event);
}

}  // namespace qdm
