#pragma once
// Asks an X11 display which keys are down. Kept apart from every Qt header: Xlib's macros
// (KeyPress, Bool, None, ...) clash with Qt's names.

struct _XDisplay;

namespace qdm {

struct HeldKeys {
    bool control = false;   // either Ctrl key
    bool rightAlt = false;  // the right Alt key, whatever the layout makes of it
};

// The keys `display` reports down at this moment.
HeldKeys QueryX11HeldKeys(_XDisplay* display);

}  // namespace qdm
