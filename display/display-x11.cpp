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
// being written, so the handler knows which reply is its own even while a
// GetInputFocus of the loop's own is still unanswered.
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <xcb/xcbext.h>

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
    set_crtc_gamma_head head;
    std::uint16_t size;
    std::vector<std::uint16_t> scratch;
};
std::vector<frame_target> targets;

// Each frame goes out in one gathered write on a socket XCB has handed
// over. XCB's own writes would each wait, with no timeout, for the socket to
// count as writable, and Linux counts a Unix socket writable only while at
// most a quarter of its send buffer is in use: one write of a frame larger
// than XCB's 16 KiB buffer could push the socket past that, and XCB's next
// write would wait for a stopped server. A socket that is writable takes
// three quarters of its buffer in one write, so a frame of at most half of
// it (checked at start) goes out whole after one check, and the loop always
// knows which requests reached the server.
std::vector<iovec> frame_parts;
std::vector<std::uint8_t> sync_request;  // a GetInputFocus
bool socket_taken = false;
std::uint64_t last_sent = 0;  // XCB's sequence of the last request sent
// XCB tells sequence numbers apart only while no more than 65,535 requests
// go by without a reply, so every this many frames starts with a
// GetInputFocus, whose reply XCB drops; so does the first frame after XCB
// hands the socket over, as XCB asks.
unsigned frames_per_sync = 1;
unsigned frames_to_sync = 0;
std::vector<std::uint8_t> restore_requests;  // raw bytes for the fault handler
std::uint16_t restore_request_count = 0;
int connection_fd = -1;
// Low 16 bits of the sequence of the last request known to be on the wire,
// and whether a frame is being written, when more of it may have gone. A
// frame is this many requests at most: one a CRTC, and a GetInputFocus.
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
    frame_target t{{}, saved.size, {}};
    encode_set_crtc_gamma_head(t.head, screen_dc.randr_opcode, saved.crtc, saved.size);
    if (saved.size != 256) {
        t.scratch.resize(3 * std::size_t{saved.size});
    }
    return t;
}

int add_frame_parts(frame_target& t, const gamma_ramp& ramp, iovec* parts) {
    const std::uint16_t* e = ramp.data();
    if (t.size != 256) {
        resample_ramp(ramp, t.scratch);
        e = t.scratch.data();
    }
    return fill_set_crtc_gamma_parts(parts, t.head, t.size, e, e + t.size, e + 2 * t.size);
}

bool socket_can_take_more() {
    pollfd p{connection_fd, POLLOUT, 0};
    return poll(&p, 1, 0) == 1 && (p.revents & POLLOUT) != 0;
}

// A frame of `frame_bytes` must go out in one write, so the send buffer is
// raised where it is too small (the kernel doubles what it is given, up to
// a limit of its own).
bool socket_takes_whole_frames(std::size_t frame_bytes) {
    int buffer = 0;
    socklen_t len = sizeof buffer;
    getsockopt(connection_fd, SOL_SOCKET, SO_SNDBUF, &buffer, &len);
    if (frame_bytes * 2 > static_cast<std::size_t>(buffer)) {
        const int wanted = static_cast<int>(frame_bytes);
        setsockopt(connection_fd, SOL_SOCKET, SO_SNDBUF, &wanted, sizeof wanted);
        getsockopt(connection_fd, SOL_SOCKET, SO_SNDBUF, &buffer, &len);
    }
    return frame_bytes * 2 <= static_cast<std::size_t>(buffer);
}

// XCB calls this when it writes a request of its own again: the restore.
void socket_returned(void*) {
    socket_taken = false;
}

bool take_socket() {
    if (!socket_taken && xcb_take_socket(screen_dc.conn, socket_returned, nullptr, 0, &last_sent)) {
        socket_taken = true;
        frames_to_sync = 0;
    }
    return socket_taken;
}

// The whole frame or none of it: a frame the server is not reading is
// dropped, as a device that refuses a frame would drop it.
void send_whole_frame(const gamma_ramp& ramp) {
    if (!socket_can_take_more() || !take_socket()) {
        return;
    }
    int parts = 0;
    std::uint64_t requests = 0;
    const bool sync = frames_to_sync == 0;
    if (sync) {
        frame_parts[parts++] = {sync_request.data(), sync_request.size()};
        ++requests;
        frames_to_sync = frames_per_sync;
    }
    --frames_to_sync;
    for (frame_target& t : targets) {
        parts += add_frame_parts(t, ramp, &frame_parts[static_cast<std::size_t>(parts)]);
        ++requests;
    }
    queuing_frame = 1;
    xcb_writev(screen_dc.conn, frame_parts.data(), parts, requests);
    if (sync) {
        xcb_discard_reply64(screen_dc.conn, last_sent + 1);
    }
    last_sent += requests;
    wire_sequence = static_cast<sig_atomic_t>(last_sent & 0xFFFF);
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
    if (confirmed) {
        stand_guard_down();
    } else {
        warn_restore_unconfirmed(how_to_reset);
    }
}

const char* const xwayland_reason =
    "this X display is XWayland, whose gamma never reaches the screen; run gammawave in the "
    "Wayland session itself, under a compositor with gamma control";

// Every ramp must go out in one request, or the fault restore, which cannot
// ask the server about BIG-REQUESTS, could not put it back; and every frame
// in one write. What could not be is refused here rather than lost later.
const char* cannot_send_or_restore() {
    std::size_t frame_bytes = sync_request.size();
    for (const crtc_ramp& r : saved_ramp) {
        if (r.size > max_ramp_in_one_request) {
            return "a CRTC's gamma ramp is larger than one request can carry without "
                   "BIG-REQUESTS, so it could not be restored";
        }
        frame_bytes += set_crtc_gamma_bytes(r.size);
    }
    const std::size_t parts = 1 + set_crtc_gamma_parts * saved_ramp.size();
    if (parts > IOV_MAX || !socket_takes_whole_frames(frame_bytes)) {
        return "the CRTCs' gamma ramps add up to more than the display connection takes in "
               "one write";
    }
    return nullptr;
}

// Everything the frame loop needs, sized here so that it never allocates.
void prepare_frames() {
    for (const crtc_ramp& r : saved_ramp) {
        targets.push_back(target_for(r));
    }
    frame_parts.resize(1 + set_crtc_gamma_parts * targets.size());
    frames_per_sync = static_cast<unsigned>(std::max<std::size_t>(1, 32768 / (targets.size() + 1)));
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
    encode_get_input_focus(sync_request);
    why = cannot_send_or_restore();
    if (why != nullptr) {
        disconnect_x_display(screen_dc);
        return open_result::failed;
    }
    arm_x11_guard(screen_dc, saved_ramp);
    prepare_frames();
    prepare_fault_restore();
    return open_result::ok;
}

void x11_load_frame(const gamma_ramp& ramp) {
    send_whole_frame(ramp);
    drain_events();
    // A server that has gone shows here at once: the frame's write fails.
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
