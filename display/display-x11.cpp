// The display layer on X11: RandR CRTC gamma through XCB.
//
// The frame loop never blocks on the server. A server that stops reading (a
// stopped or hung server, a full socket) must not hold the loop, or no
// signal could be answered: a frame the socket cannot take at once is
// dropped, as a device that refuses a frame would drop it, and the animation
// goes on. Only the restore waits for the server, for as long as the user
// lets it (a second interrupt ends the process at once).
//
// A genuine fault restores from the signal handler: it writes the restore,
// encoded at start as raw requests, straight to the socket, and reads until
// the server answers a trailing GetInputFocus. The loop records the sequence
// number of the last request it queued, so the handler knows which reply is
// its own even if XCB has a reply of its own outstanding (XCB sends a
// GetInputFocus after every 65,534 requests without a reply).
#include <poll.h>
#include <signal.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <vector>

#include "backend.h"
#include "guard-x11.h"
#include "randr_gamma.h"
#include "signals-posix.h"
#include "x11-wire.h"

namespace {

// Process-wide because the handlers reach them. Written once by
// open_display, before any handler exists, and never changed afterwards.
x_display screen_dc;
std::vector<crtc_ramp> saved_ramp;

// What load_frame sends to one CRTC. A 256-entry CRTC takes the frame's
// blocks as they are; any other size is resampled into `scratch`, sized at
// start so that the frame loop never allocates.
struct frame_target {
    xcb_randr_crtc_t crtc;
    std::uint16_t size;
    std::size_t request_bytes;
    std::vector<std::uint16_t> scratch;
};
std::vector<frame_target> targets;

// XCB polls for POLLOUT, with no timeout, before each write it makes, and it
// writes whenever its 16 KiB buffer would overflow. So the frame goes out in
// writes of at most that much, each after a check that the socket is
// writable now: a writable socket (at most a quarter of its send buffer in
// use) takes 16 KiB, and XCB's own poll then returns at once.
constexpr std::size_t xcb_buffer_bytes = 16 * 1024;

std::vector<std::uint8_t> restore_requests;  // raw bytes for the fault handler
std::uint16_t restore_request_count = 0;
int connection_fd = -1;
// Low 16 bits of the sequence of the last request the loop queued, and of
// the last one it knows is on the wire; they differ only inside a frame.
volatile sig_atomic_t queued_sequence = 0;
volatile sig_atomic_t flushed_sequence = 0;
// Where the ordinary restore stands, for a fault that strikes during it:
// its requests go through XCB, so their sequence numbers are not tracked.
enum : sig_atomic_t { animating, restoring, restored };
volatile sig_atomic_t restore_stage = animating;

constexpr long fault_restore_budget_ms = 1000;
constexpr long no_deadline_ms = 1000L * 60 * 60 * 24 * 365;
const char* const how_to_reset =
    "'xrandr --output NAME --gamma 1:1:1' gives a monitor a plain ramp";

// --- Frames -----------------------------------------------------------------

frame_target target_for(const crtc_ramp& saved) {
    const std::size_t bytes = (12 + 6 * std::size_t{saved.size} + 3) / 4 * 4;
    frame_target t{saved.crtc, saved.size, bytes, {}};
    if (saved.size != 256) {
        t.scratch.resize(3 * std::size_t{saved.size});
    }
    return t;
}

unsigned send_frame(frame_target& t, const gamma_ramp& ramp) {
    const std::uint16_t* blocks = ramp.data();
    if (t.size == 256) {
        return queue_crtc_ramp(screen_dc, t.crtc, 256, blocks, blocks + 256, blocks + 512);
    }
    resample_ramp(ramp, t.scratch);
    const std::uint16_t* s = t.scratch.data();
    return queue_crtc_ramp(screen_dc, t.crtc, t.size, s, s + t.size, s + 2 * t.size);
}

bool socket_can_take_more() {
    pollfd p{connection_fd, POLLOUT, 0};
    return poll(&p, 1, 0) == 1 && (p.revents & POLLOUT) != 0;
}

// Writes out what XCB holds; the caller has just seen the socket writable.
void flush_queued() {
    xcb_flush(screen_dc.conn);
    flushed_sequence = queued_sequence;
}

// Sends the frame in writes that a writable socket takes at once, checking
// before each. A frame the server is not reading is dropped from there on,
// as a device that refuses a frame would drop it.
void send_what_the_socket_takes(const gamma_ramp& ramp) {
    std::size_t room = 0;
    for (frame_target& t : targets) {
        if (t.request_bytes > room) {
            flush_queued();
            if (!socket_can_take_more()) {
                return;
            }
            room = xcb_buffer_bytes;
        }
        room -= std::min(room, t.request_bytes);
        queued_sequence = static_cast<sig_atomic_t>(send_frame(t, ramp) & 0xFFFF);
    }
    flush_queued();
}

// Refused requests come back as error events; left unread they pile up
// without bound. Events XCB has already read are freed every frame at no
// cost. The socket itself is read every 32nd frame, about three times a
// second: often enough that little can gather, rare enough that a frame
// costs no read() and the pause waits on one descriptor, not two.
constexpr int frames_per_socket_read = 32;
int frames_since_socket_read = 0;

void drain_events() {
    xcb_generic_event_t* (*next)(xcb_connection_t*) = xcb_poll_for_queued_event;
    if (++frames_since_socket_read == frames_per_socket_read) {
        frames_since_socket_read = 0;
        next = xcb_poll_for_event;
    }
    while (xcb_generic_event_t* ev = next(screen_dc.conn)) {
        std::free(ev);
    }
}

[[noreturn]] void display_lost() {
    std::fputs("gammawave: lost the connection to the display\n", stderr);
    std::exit(1);
}

// --- The restore from a fault ------------------------------------------------

void prepare_fault_restore() {
    const std::uint8_t opcode = xcb_get_extension_data(screen_dc.conn, &xcb_randr_id)->major_opcode;
    for (const crtc_ramp& r : saved_ramp) {
        if (encode_set_crtc_gamma(restore_requests, opcode, r.crtc, r.size, r.entries.data())) {
            ++restore_request_count;
        }
    }
    encode_get_input_focus(restore_requests);
    ++restore_request_count;
    connection_fd = xcb_get_file_descriptor(screen_dc.conn);
    // A fault before the first frame counts on from here.
    const xcb_get_input_focus_cookie_t sync = xcb_get_input_focus(screen_dc.conn);
    xcb_owned<xcb_get_input_focus_reply_t> reply(
        xcb_get_input_focus_reply(screen_dc.conn, sync, nullptr));
    queued_sequence = static_cast<sig_atomic_t>(sync.sequence & 0xFFFF);
    flushed_sequence = queued_sequence;
}

// Runs in the fault handler. The server numbers our requests on from the
// last one the loop queued. Between frames that is known exactly, and the
// wait lasts as long as the server takes: a stopped server may resume, and a
// second interrupt ends the wait. A fault inside a frame's writes leaves it
// unknown how much reached the server, so no reply may match, and the wait
// ends with a budget.
void restore_from_fault() {
    if (restore_stage == restored) {
        return;  // confirmed already; the connection may be closed
    }
    const bool between_frames = restore_stage == animating && queued_sequence == flushed_sequence;
    const long deadline =
        between_frames ? monotonic_ms() + no_deadline_ms : monotonic_ms() + fault_restore_budget_ms;
    const auto ours = static_cast<std::uint16_t>(queued_sequence + restore_request_count);
    const bool confirmed =
        write_all(connection_fd, restore_requests.data(), restore_requests.size(), deadline) &&
        await_reply(connection_fd, ours, deadline);
    if (confirmed) {
        stand_guard_down();
    } else {
        warn_restore_unconfirmed(how_to_reset);
    }
}

const char* const xwayland_reason =
    "this X display is XWayland, whose gamma never reaches the screen; run gammawave in the "
    "Wayland session itself, under a compositor with gamma control";

open_result x11_open(const char*& why) {
    if (connect_x_display(screen_dc) != display_status::ok) {
        return open_result::failed;
    }
    // Every XWayland so far reports ramps and accepts them, and drops them.
    if (is_xwayland(screen_dc)) {
        why = xwayland_reason;
        disconnect_x_display(screen_dc);
        return open_result::failed;
    }
    if (read_crtc_ramps(screen_dc, saved_ramp) != display_status::ok) {
        disconnect_x_display(screen_dc);
        return open_result::failed;
    }
    for (const crtc_ramp& r : saved_ramp) {
        targets.push_back(target_for(r));
    }
    arm_x11_guard(screen_dc, saved_ramp);
    prepare_fault_restore();
    return open_result::ok;
}

void x11_load_frame(const gamma_ramp& ramp) {
    send_what_the_socket_takes(ramp);
    drain_events();
    // A server that has gone shows here at once: the flush's write fails.
    if (xcb_connection_has_error(screen_dc.conn)) {
        display_lost();
    }
}

// Waits 10 ms, or less if a signal arrives.
void x11_pause() {
    wait_for_signal_or(-1, 0, frame_pause);
}

void x11_restore_and_exit(int sig) {
    restore_stage = restoring;
    for (const crtc_ramp& r : saved_ramp) {
        queue_crtc_ramp(screen_dc, r);
    }
    // Hanging up straight after the last request lets the server drop what
    // it has not read yet, so wait until it has answered a round trip.
    if (wait_for_server(screen_dc)) {
        restore_stage = restored;
        stand_guard_down();
    } else {
        warn_restore_unconfirmed(how_to_reset);
    }
    disconnect_x_display(screen_dc);
    std::exit(sig);
}

}  // namespace

const display_backend x11_backend = {
    x11_open, x11_load_frame, x11_pause, x11_restore_and_exit, restore_from_fault, watch_x11};
