// The display layer on Wayland: the wlr gamma-control protocol, which the
// wlroots family of compositors (sway, river, labwc, Wayfire; cage takes
// the tables but never applies them),
// Hyprland and niri offer to clients.
//
// There is no way to read an output's gamma back. A control, while it lives,
// puts the client's tables in force; destroying it, or disconnecting, gives
// the output the compositor's own tables back. So the restore is handing
// every output back, and a genuine fault needs no work at all: exiting
// closes the connection and the compositor restores.
//
// Each table goes in a fresh memfd of exactly 6 * N bytes at position 0:
// some compositors read() from the current position and call a short or
// long file a protocol error; older wlroots raced with clients that rewound
// a reused file. Our copy is closed once queued (libwayland sends a dup).
//
// Some compositors commit, or even make a synchronous ioctl, per set, so at
// most one frame is in flight: each frame ends with a wl_display_sync, and a
// frame that finds the last one unconfirmed is dropped, not queued.
//
// The loop never blocks and never stops reading: a client that lets its
// events pile up is disconnected, and libwayland's own roundtrip and
// dispatch wait without a timeout and retry on EINTR, so the pause waits on
// the self-pipe and the Wayland socket together.
#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>
#include <wayland-client.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>
#include <vector>

#include "linux/linux-backend.h"
#include "wlr-gamma-control-unstable-v1-client-protocol.h"

namespace {

// One wl_output and our control of its gamma.
struct output_slot {
    wl_output* output = nullptr;
    std::uint32_t global = 0;  // its registry name
    zwlr_gamma_control_v1* control = nullptr;
    std::uint32_t size = 0;            // from gamma_size; 0 until then
    std::vector<std::uint16_t> table;  // 3 * size, sized when the size arrives
    bool usable() const { return control != nullptr && size > 0; }
    // Usable, or asked for and still waiting for its size.
    bool alive() const { return control != nullptr; }
};

wl_display* display = nullptr;
wl_registry* registry = nullptr;
zwlr_gamma_control_manager_v1* manager = nullptr;
// Slots are reserved up front, so the pointers given to listeners stay
// valid; a removed output's slot is emptied and taken by the next output.
std::vector<output_slot> slots;
constexpr std::size_t max_outputs = 64;
bool started = false;    // past the first round trip: new outputs get a control at once
bool in_flight = false;  // the last frame's sync has not come back yet

constexpr std::uint32_t largest_size = 65535;  // beyond any real output
constexpr long restore_budget_ms = 1000;

// --- Outputs and their controls ---------------------------------------------

void drop_control(output_slot& s) {
    if (s.control != nullptr) {
        zwlr_gamma_control_v1_destroy(s.control);
    }
    s.control = nullptr;
    s.size = 0;
}

void on_gamma_size(void* data, zwlr_gamma_control_v1*, std::uint32_t size) {
    auto& s = *static_cast<output_slot*>(data);
    if (size == 0 || size > largest_size) {
        drop_control(s);  // nothing to drive, as a CRTC of gamma size 0
        return;
    }
    s.size = size;
    s.table.assign(3 * std::size_t{size}, 0);
}

// No gamma on that output, another client holds it, or it has gone.
void on_failed(void* data, zwlr_gamma_control_v1*) {
    drop_control(*static_cast<output_slot*>(data));
}

const zwlr_gamma_control_v1_listener control_listener = {on_gamma_size, on_failed};

void take_control(output_slot& s) {
    if (manager == nullptr || s.output == nullptr || s.control != nullptr) {
        return;
    }
    s.control = zwlr_gamma_control_manager_v1_get_gamma_control(manager, s.output);
    zwlr_gamma_control_v1_add_listener(s.control, &control_listener, &s);
}

output_slot* free_slot() {
    for (output_slot& s : slots) {
        if (s.output == nullptr) {
            return &s;
        }
    }
    return slots.size() < max_outputs ? &slots.emplace_back() : nullptr;
}

// Version 3 brings `release`, which lets the compositor free its side of a
// removed output at once; older ones can only be forgotten.
constexpr std::uint32_t output_version = 3;

void add_output(std::uint32_t name, std::uint32_t version) {
    output_slot* free = free_slot();
    if (free == nullptr) {
        return;  // more monitors than any machine drives
    }
    output_slot& s = *free;
    s = output_slot{};
    s.global = name;
    s.output = static_cast<wl_output*>(
        wl_registry_bind(registry, name, &wl_output_interface, std::min(version, output_version)));
    if (started) {
        take_control(s);  // a monitor plugged in while we run
    }
}

void release_output(output_slot& s) {
    drop_control(s);
    if (s.output != nullptr) {
        if (wl_output_get_version(s.output) >= WL_OUTPUT_RELEASE_SINCE_VERSION) {
            wl_output_release(s.output);
        } else {
            wl_output_destroy(s.output);
        }
    }
    s.output = nullptr;
    s.global = 0;
}

void on_global(void*, wl_registry*, std::uint32_t name, const char* interface,
               std::uint32_t version) {
    if (std::strcmp(interface, wl_output_interface.name) == 0) {
        add_output(name, version);
    } else if (std::strcmp(interface, zwlr_gamma_control_manager_v1_interface.name) == 0 &&
               manager == nullptr) {
        manager = static_cast<zwlr_gamma_control_manager_v1*>(
            wl_registry_bind(registry, name, &zwlr_gamma_control_manager_v1_interface, 1));
    }
}

// wlroots sends no `failed` when an output goes; its control just dies.
void on_global_remove(void*, wl_registry*, std::uint32_t name) {
    for (output_slot& s : slots) {
        if (s.global == name) {
            release_output(s);
        }
    }
}

const wl_registry_listener registry_listener = {on_global, on_global_remove};

bool any_usable() {
    for (const output_slot& s : slots) {
        if (s.usable()) {
            return true;
        }
    }
    return false;
}

bool any_alive() {
    for (const output_slot& s : slots) {
        if (s.alive()) {
            return true;
        }
    }
    return false;
}

bool any_output() {
    for (const output_slot& s : slots) {
        if (s.output != nullptr) {
            return true;
        }
    }
    return false;
}

// --- Frames -------------------------------------------------------------------

void on_frame_done(void*, wl_callback* callback, std::uint32_t) {
    wl_callback_destroy(callback);
    in_flight = false;
}

const wl_callback_listener frame_done_listener = {on_frame_done};

// A fresh file holding exactly `bytes`, its position still at 0 (pwrite
// leaves it there).
int table_file(const void* data, std::size_t bytes) {
    const int fd = memfd_create("gammawave-table", MFD_CLOEXEC);
    if (fd < 0) {
        return -1;
    }
    if (pwrite(fd, data, bytes, 0) != static_cast<ssize_t>(bytes)) {
        close(fd);
        return -1;
    }
    return fd;
}

void send_table(output_slot& s, const gamma_ramp& ramp) {
    const std::uint16_t* entries = ramp.data();
    if (s.size != 256) {
        resample_ramp(ramp, s.table);
        entries = s.table.data();
    }
    const int fd = table_file(entries, 6 * std::size_t{s.size});
    if (fd < 0) {
        return;  // no file now: this output skips a frame
    }
    zwlr_gamma_control_v1_set_gamma(s.control, fd);
    close(fd);
}

[[noreturn]] void lost(const char* what) {
    std::fprintf(stderr, "gammawave: %s\n", what);
    std::exit(1);
}

void check_still_useful() {
    if (wl_display_get_error(display) != 0) {
        lost("lost the connection to the display");
    }
    // A control still waiting for its size counts: a monitor swapped for
    // another in one step must not end the program.
    if (started && !any_alive()) {
        lost("no output with gamma control is left");
    }
}

// --- Waiting ---------------------------------------------------------------------

timespec as_timespec(long ms) {
    return timespec{ms / 1000, (ms % 1000) * 1'000'000};
}

// Sends what libwayland holds; when the socket is full, what is left waits
// for POLLOUT. Returns the poll events to wait for.
short flush_and_events() {
    if (wl_display_flush(display) < 0 && errno == EAGAIN) {
        return POLLIN | POLLOUT;
    }
    return POLLIN;
}

// Reads and dispatches whatever arrives within `ms`, or until `*done`; a
// handled signal ends the wait at once unless `through_signals` (the
// restore's own round trip, which only a second interrupt, by its default
// action, cuts short).
void dispatch_for(long ms, bool through_signals, const bool* done = nullptr) {
    const long deadline = monotonic_ms() + ms;
    for (;;) {
        while (wl_display_prepare_read(display) != 0) {
            wl_display_dispatch_pending(display);
        }
        const short events = flush_and_events();
        const long left = deadline - monotonic_ms();
        short revents = 0;
        if (left > 0) {
            if (through_signals) {
                pollfd p{wl_display_get_fd(display), events, 0};
                const timespec t = as_timespec(left);
                revents = ppoll(&p, 1, &t, nullptr) > 0 ? p.revents : 0;
            } else {
                revents = wait_for_signal_or(wl_display_get_fd(display), events, as_timespec(left));
            }
        }
        if ((revents & (POLLIN | POLLERR | POLLHUP)) != 0) {
            wl_display_read_events(display);
        } else {
            wl_display_cancel_read(display);
        }
        wl_display_dispatch_pending(display);
        if (wl_display_get_error(display) != 0 || left <= 0 || (done != nullptr && *done) ||
            (!through_signals && first_signal() != 0)) {
            return;
        }
    }
}

// --- The backend ---------------------------------------------------------------

// libwayland's own round trip: only at start, before any handler exists, so a
// signal still ends the process the default way.
bool start_round_trip() {
    return wl_display_roundtrip(display) >= 0;
}

open_result fail_with(const char* reason, const char*& why) {
    why = reason;
    return open_result::failed;
}

// libwayland prints its own lines for protocol errors and failed calls; the
// program's one line says what happened.
void quiet_log(const char*, va_list) {}

open_result connect_and_take(const char*& why) {
    const char* name = std::getenv("WAYLAND_DISPLAY");
    if (name == nullptr || *name == '\0') {
        return open_result::absent;
    }
    wl_log_set_handler_client(quiet_log);
    display = wl_display_connect(nullptr);
    if (display == nullptr) {
        return open_result::absent;  // nothing answers there: try the others
    }
    slots.reserve(max_outputs);
    registry = wl_display_get_registry(display);
    wl_registry_add_listener(registry, &registry_listener, nullptr);
    if (!start_round_trip()) {
        return fail_with("lost the connection to the Wayland compositor", why);
    }
    if (manager == nullptr) {
        return fail_with(
            "this Wayland compositor offers programs no gamma control and GNOME's Mutter is not "
            "on the session bus; under KDE Plasma and weston no program can reach the screen's "
            "gamma",
            why);
    }
    if (!any_output()) {
        return fail_with("the Wayland compositor has no outputs", why);
    }
    // From here an output that appears is taken at once, also one that
    // arrives during the round trip below.
    started = true;
    for (output_slot& s : slots) {
        take_control(s);
    }
    if (!start_round_trip()) {
        return fail_with("lost the connection to the Wayland compositor", why);
    }
    if (!any_usable()) {
        return fail_with(
            "the compositor refused gamma control of every output: it gives an output's gamma to "
            "one program at a time, so another gammawave or another program holds it (or the "
            "outputs have no gamma)",
            why);
    }
    return open_result::ok;
}

// A compositor that answers but gives no gamma is let go, so that the next
// backend's choice does not hold a connection nobody reads.
open_result wayland_open(const char*& why) {
    const open_result r = connect_and_take(why);
    if (r == open_result::failed && display != nullptr) {
        wl_display_disconnect(display);
        display = nullptr;
    }
    return r;
}

void wayland_load_frame(const gamma_ramp& ramp) {
    if (in_flight) {
        return;  // the last frame is not confirmed yet: drop this one
    }
    for (output_slot& s : slots) {
        if (s.usable()) {
            send_table(s, ramp);
        }
    }
    wl_callback_add_listener(wl_display_sync(display), &frame_done_listener, nullptr);
    in_flight = true;
    flush_and_events();
}

void wayland_pause() {
    dispatch_for(frame_pause.tv_nsec / 1'000'000, false);
    check_still_useful();
}

// No set follows this: every control goes, then a round trip (within the
// budget) shows the compositor has handled the destroys before we hang up.
void wayland_restore_and_exit(int sig) {
    for (output_slot& s : slots) {
        drop_control(s);
    }
    bool confirmed = false;
    wl_callback* done = wl_display_sync(display);
    static const wl_callback_listener confirm = {
        [](void* data, wl_callback*, std::uint32_t) { *static_cast<bool*>(data) = true; }};
    wl_callback_add_listener(done, &confirm, &confirmed);
    dispatch_for(restore_budget_ms, true, &confirmed);
    if (!confirmed) {
        warn_restore_unconfirmed(
            "the compositor gives every output its own gamma back once gammawave's connection "
            "closes");
    }
    // The compositor sees the connection close as the process ends.
    end_process(sig);
}

}  // namespace

const display_backend wayland_backend = {wayland_open, wayland_load_frame, wayland_pause,
                                         wayland_restore_and_exit, nullptr,
                                         // The compositor restores when the client goes.
                                         nullptr};
