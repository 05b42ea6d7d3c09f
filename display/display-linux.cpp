// The display layer on Linux: Wayland where the session is a Wayland
// compositor that answers, X11 otherwise. Under a Wayland session the X
// display is XWayland, whose gamma never reaches the screen, so a Wayland
// compositor that answers is used alone, even when it offers no gamma.
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "backend.h"
#include "display.h"

namespace {

const display_backend* chosen = nullptr;

}  // namespace

bool open_display() {
    // A display that has gone, or a closed stderr, must end the program
    // through its own paths and statuses rather than by SIGPIPE.
    signal(SIGPIPE, SIG_IGN);
    hold_standard_descriptors();
    const char* why = nullptr;
    open_result result = open_result::absent;
    for (const display_backend* b : {&wayland_backend, &x11_backend}) {
        result = b->open(why);
        if (result != open_result::absent) {
            chosen = b;
            break;
        }
    }
    if (result != open_result::ok) {
        std::printf("Can't get gamma ramp!\n");
        if (why != nullptr) {
            std::fflush(stdout);
            std::fprintf(stderr, "gammawave: %s\n", why);
        }
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
    std::exit(sig);
}

std::uint32_t process_id() {
    return static_cast<std::uint32_t>(getpid());
}
