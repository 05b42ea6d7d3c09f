// The display layer on Linux, chosen once at start: a Wayland compositor
// with wlr gamma control first; else GNOME's Mutter on the session bus, where
// the session is Wayland or no X display answers; else X11. Under a Wayland
// session the X display is XWayland, whose gamma never reaches the screen, so
// a Wayland compositor that answers without gamma control is not left for
// X11. A GNOME X11 session keeps X11, which also restores from a fault.
#include <dlfcn.h>
#include <limits.h>
#include <signal.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "display.h"
#include "linux/linux-backend.h"

namespace {

const display_backend* chosen = nullptr;

open_result try_backend(const display_backend& b, const char*& why) {
    const open_result r = b.open(why);
    if (r != open_result::absent) {
        chosen = &b;
    }
    return r;
}

bool set(const char* name) {
    const char* v = std::getenv(name);
    return v != nullptr && *v != '\0';
}

bool wayland_session(open_result wayland) {
    const char* type = std::getenv("XDG_SESSION_TYPE");
    return wayland != open_result::absent || set("WAYLAND_DISPLAY") ||
           (type != nullptr && std::strcmp(type, "wayland") == 0);
}

// The Wayland and Mutter backends are modules (see cmake/platform.cmake),
// so that the libraries only they need are loaded only when they are tried:
// beside the program in the build tree, else where they are installed.
// Without its module a backend counts as absent, and the reason for
// finding no display names the module, not a compositor that may be there.
char module_trouble[320];

const display_backend* load_backend(const char* module, const char* symbol) {
    char exe[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (n <= 0) {
        return nullptr;
    }
    const std::string path(exe, static_cast<std::size_t>(n));
    const std::string dir = path.substr(0, path.rfind('/') + 1);
    for (const std::string& file : {dir + module, dir + BACKEND_MODULE_DIR_FROM_BIN + module}) {
        if (void* handle = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL)) {
            return static_cast<const display_backend*>(dlsym(handle, symbol));
        }
    }
    // Where it is installed is the last place looked, so its error is told.
    if (module_trouble[0] == '\0') {
        std::snprintf(module_trouble, sizeof module_trouble,
                      "; %s could not be loaded, so that backend was not tried (%s)", module,
                      dlerror());
    }
    return nullptr;
}

// A backend whose module is missing is absent.
open_result try_module(const char* module, const char* symbol, const char*& why) {
    const display_backend* b = load_backend(module, symbol);
    return b != nullptr ? try_backend(*b, why) : open_result::absent;
}

bool x_display_answers() {
    xcb_connection_t* c = xcb_connect(nullptr, nullptr);
    const bool answers = xcb_connection_has_error(c) == 0;
    xcb_disconnect(c);
    return answers;
}

// "DISPLAY=:1", or "DISPLAY is not set".
void describe(char* out, std::size_t size, const char* name) {
    const char* v = std::getenv(name);
    if (v != nullptr && *v != '\0') {
        std::snprintf(out, size, "%s=%s", name, v);
    } else {
        std::snprintf(out, size, "%s is not set", name);
    }
}

// The reason for a failure no backend gave one for: what was tried.
const char* reason_for(bool mutter_asked) {
    static char line[1024];
    char wayland[160];
    char x[160];
    describe(wayland, sizeof wayland, "WAYLAND_DISPLAY");
    describe(x, sizeof x, "DISPLAY");
    if (x_display_answers()) {
        std::snprintf(line, sizeof line,
                      "the X display (%s) gives no CRTC's gamma ramp (RandR 1.2 or later)", x);
    } else {
        std::snprintf(line, sizeof line,
                      "no display found: no Wayland compositor (%s), %s, no X display (%s)%s",
                      wayland,
                      mutter_asked ? "no GNOME compositor (Mutter) on the session bus"
                                   : "GNOME's compositor (Mutter) not asked",
                      x, module_trouble);
    }
    return line;
}

open_result choose_and_open(const char*& why) {
    // Without WAYLAND_DISPLAY there is no compositor to try, nor a module to load.
    const open_result wayland = set("WAYLAND_DISPLAY")
                                    ? try_module("gammawave-wayland.so", "wayland_backend", why)
                                    : open_result::absent;
    if (wayland == open_result::ok) {
        return wayland;
    }
    const bool ask_mutter = wayland_session(wayland) || !x_display_answers();
    if (ask_mutter) {
        const char* mutter_why = nullptr;
        const open_result mutter = try_module("gammawave-mutter.so", "mutter_backend", mutter_why);
        if (mutter != open_result::absent) {
            why = mutter_why;
            return mutter;
        }
    }
    if (wayland != open_result::absent) {
        return wayland;  // its reason stands: XWayland would not reach the screen
    }
    const open_result x11 = try_backend(x11_backend, why);
    if (x11 != open_result::ok && why == nullptr) {
        why = reason_for(ask_mutter);
    }
    return x11;
}

}  // namespace

bool open_display() {
    // A display that has gone, or a closed stderr, must end the program
    // through its own paths and statuses rather than by SIGPIPE.
    signal(SIGPIPE, SIG_IGN);
    hold_standard_descriptors();
    const char* why = nullptr;
    if (choose_and_open(why) != open_result::ok) {
        std::printf("Can't get gamma ramp!\n");
        std::fflush(stdout);
        std::fprintf(stderr, "gammawave: %s\n", why != nullptr ? why : "no gamma to change");
        return false;
    }
    // Before the first frame: until then the display holds the saved ramps.
    if (chosen->guard != nullptr) {
        start_guard(chosen->guard);
    }
    return true;
}

void install_restore_handlers() {
    install_signal_handlers(chosen->on_fault);
}

void load_frame(const gamma_ramp& ramp) {
    if (first_signal() == 0) {  // once the restore is due nothing may follow it
        chosen->load_frame(ramp);
    }
}

void pause_between_frames() {
    chosen->pause();
    if (first_signal() != 0) {
        restore_and_exit(first_signal());
    }
}

void restore_and_exit(int sig) {
    chosen->restore_and_exit(sig);
    end_process(sig);
}

std::uint32_t process_id() {
    return static_cast<std::uint32_t>(getpid());
}
