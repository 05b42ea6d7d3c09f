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
// number of the last request it knows is on the wire, and whether a frame is
// being queued, so the handler knows which reply is its own even if XCB has
// a reply of its own outstanding (XCB sends a GetInputFocus after every
// 65,534 requests without a reply).
#include <poll.h>
#include <signal.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <vector>

#include "backend.h"
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
// use) takes 16 KiB, and XCB's own poll then returns at once. One check a
// frame would not do: once the frame's first write has filled the socket
// past a quarter, XCB's poll before the next one waits for the server.
constexpr std::size_t xcb_buffer_bytes = 16 * 1024;

std::vector<std::uint8_t> restore_requests;  // raw bytes for the fault handler
std::uint16_t restore_request_count = 0;
int connection_fd = -1;
// Low 16 bits of the sequence of the last request known to be on the wire,
// and whether a frame is being queued, when XCB may have written more of it
// than that. A frame is this many requests at most: one a CRTC, and the
// GetInputFocus XCB may add.
volatile sig_atomic_t wire_sequence = 0;
volatile sig_atomic_t queuing_frame = 0;
std::uint16_t max_frame_requests = 0;
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
    frame_target t{saved.crtc, saved.size, set_crtc_gamma_bytes(saved.size), {}};
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
void flush_queued(unsigned last_queued) {
    xcb_flush(screen_dc.conn);
    wire_sequence = static_cast<sig_atomic_t>(last_queued & 0xFFFF);
}

// Sends the frame in writes that a writable socket takes at once, checking
// before each. A frame the server is not reading is dropped from there on,
// as a device that refuses a frame would drop it.
void send_what_the_socket_takes(const gamma_ramp& ramp) {
    std::size_t room = 0;
    unsigned last = static_cast<std::uint16_t>(wire_sequence);
    queuing_frame = 1;
    for (frame_target& t : targets) {
        if (t.request_bytes > room) {
            flush_queued(last);
            if (!socket_can_take_more()) {
                queuing_frame = 0;
                return;
            }
            room = xcb_buffer_bytes;
        }
        room -= std::min(room, t.request_bytes);
        last = send_frame(t, ramp);
    }
    flush_queued(last);
    queuing_frame = 0;
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
    for (const crtc_ramp& r : saved_ramp) {
        encode_set_crtc_gamma(restore_requests, screen_dc.randr_opcode, r.crtc, r.size,
                              r.entries.data());
    }
    encode_get_input_focus(restore_requests);
    restore_request_count = static_cast<std::uint16_t>(saved_ramp.size() + 1);
    max_frame_requests = static_cast<std::uint16_t>(targets.size() + 1);
    // A fault before the first frame counts on from here.
    const xcb_get_input_focus_cookie_t sync = xcb_get_input_focus(screen_dc.conn);
    xcb_owned<xcb_get_input_focus_reply_t> reply(
        xcb_get_input_focus_reply(screen_dc.conn, sync, nullptr));
    wire_sequence = static_cast<sig_atomic_t>(sync.sequence & 0xFFFF);
}

// Runs in the fault handler. The server numbers our requests on from the
// last one of ours it read, known within the frame being queued, so the
// handler finds its reply whenever the fault strikes in the loop, and waits
// as long as the server takes: a stopped server may resume, and a second
// interrupt ends the wait. The ordinary restore's requests are not tracked,
// so a fault during it waits only a budget.
void restore_from_fault() {
    if (restore_stage == restored) {
        return;  // confirmed already; the connection may be closed
    }
    const long deadline = restore_stage == animating ? monotonic_ms() + no_deadline_ms
                                                     : monotonic_ms() + fault_restore_budget_ms;
    const auto low = static_cast<std::uint16_t>(wire_sequence);
    const auto high = static_cast<std::uint16_t>(low + (queuing_frame ? max_frame_requests : 0));
    const bool confirmed =
        write_all(connection_fd, restore_requests.data(), restore_requests.size(), deadline) &&
        await_restore(connection_fd, low, high, restore_request_count, deadline) ==
            restore_answer::confirmed;
    if (!confirmed) {
        warn_restore_unconfirmed(how_to_reset);
    }
}

const char* const xwayland_reason =
    "this X display is XWayland, whose gamma never reaches the screen; run gammawave in the "
    "Wayland session itself, under a compositor with gamma control";

// Every ramp must go out in one request, or the fault restore, which cannot
// ask the server about BIG-REQUESTS, could not put it back: refused here
// rather than lost later.
const char* cannot_restore() {
    for (const crtc_ramp& r : saved_ramp) {
        if (r.size > max_ramp_in_one_request) {
            return "a CRTC's gamma ramp is larger than one request can carry without "
                   "BIG-REQUESTS, so it could not be restored";
        }
    }
    return nullptr;
}

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
    connection_fd = xcb_get_file_descriptor(screen_dc.conn);
    why = cannot_restore();
    if (why != nullptr) {
        disconnect_x_display(screen_dc);
        return open_result::failed;
    }
    for (const crtc_ramp& r : saved_ramp) {
        targets.push_back(target_for(r));
    }
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
    // Hanging up straight after the last request lets the server drop what
    // it has not read yet, so this waits until it has answered a round trip.
    if (restore_crtc_ramps(screen_dc, saved_ramp)) {
        restore_stage = restored;
    } else {
        warn_restore_unconfirmed(how_to_reset);
    }
    disconnect_x_display(screen_dc);
    std::exit(sig);
}

}  // namespace

const display_backend x11_backend = {x11_open, x11_load_frame, x11_pause, x11_restore_and_exit,
                                     restore_from_fault};
