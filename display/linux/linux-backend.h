// The Linux display backends behind display.h. Each one supplies its own
// open-and-save, frame loading, pause, restore and fault path; the choice
// between them is made once, at start, in linux-display.cpp.
#pragma once

#include "linux/linux-guard.h"
#include "linux/linux-signals.h"
#include "wave.h"

enum class open_result {
    absent,  // no such display here: try the next backend
    ok,      // the ramps are saved and the backend is ready
    failed,  // the display is there, but its gamma cannot be had
};

struct display_backend {
    // On `failed`, sets `why` to one line for stderr (or leaves it null).
    open_result (*open)(const char*& why);
    void (*load_frame)(const gamma_ramp& ramp);
    // The pause between two frames; returns at once on a handled signal.
    void (*pause)();
    // Puts the original gamma back, releases the display and exits.
    void (*restore_and_exit)(int sig);
    fault_restore_fn on_fault;  // null: no restore from the fault handler
    guard_watch_fn guard;       // null: the display restores by itself, or open starts it
};

extern const display_backend x11_backend;
// In the modules gammawave-wayland.so and gammawave-mutter.so, which
// linux-display.cpp loads.
extern const display_backend wayland_backend;
extern const display_backend mutter_backend;
