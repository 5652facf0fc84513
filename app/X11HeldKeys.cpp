#include "app/X11HeldKeys.h"

#include <X11/Xlib.h>
#include <X11/keysym.h>

namespace qdm {

namespace {
// The physical right Alt key under the evdev keycodes every current X server uses; a layout
// that turns it into AltGr (ISO_Level3_Shift) leaves no Alt_R keysym to look up.
constexpr unsigned kEvdevRightAlt = 108;

bool Down(const char (&keys)[32], unsigned keycode) {
    if (keycode == 0 || keycode > 255) return false;
    return (static_cast<unsigned char>(keys[keycode / 8]) >> (keycode % 8) & 1u) != 0;
}
}  // namespace

HeldKeys QueryX11HeldKeys(_XDisplay* display) {
    HeldKeys held;
    if (display == nullptr) return held;
    char keys[32] = {};
    XQueryKeymap(display, keys);
    held.control = Down(keys, XKeysymToKeycode(display, XK_Control_L)) ||
                   Down(keys, XKeysymToKeycode(display, XK_Control_R));
    held.rightAlt = Down(keys, XKeysymToKeycode(display, XK_Alt_R)) || Down(keys, kEvdevRightAlt);
    return held;
}

}  // namespace qdm
