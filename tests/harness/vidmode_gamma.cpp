#include "vidmode_gamma.h"

#include <X11/Xlib.h>
#include <X11/extensions/xf86vmode.h>

bool vidmode_gamma(const std::string& display, vidmode_ramp& ramp, bool load) {
    Display* dpy = XOpenDisplay(display.c_str());
    if (dpy == nullptr) {
        return false;
    }
    int size = 0;
    bool ok = XF86VidModeGetGammaRampSize(dpy, DefaultScreen(dpy), &size) && size > 0;
    if (ok && !load) {
        ramp.assign(3 * static_cast<std::size_t>(size), 0);
    }
    ok = ok && ramp.size() == 3 * static_cast<std::size_t>(size);
    unsigned short* r = ramp.data();
    if (ok) {
        ok =
            load
                ? XF86VidModeSetGammaRamp(dpy, DefaultScreen(dpy), size, r, r + size, r + 2 * size)
                : XF86VidModeGetGammaRamp(dpy, DefaultScreen(dpy), size, r, r + size, r + 2 * size);
    }
    XSync(dpy, False);
    XCloseDisplay(dpy);
    return ok;
}
