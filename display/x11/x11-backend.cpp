// The display layer on X11: RandR CRTC gamma through XCB.
//
// The frame loop never blocks on the server. A server that stops reading (a
// stopped or hung server, a full socket) must not hold the loop, or no
// signal could be answered: a frame is sent only when the socket takes more,
// what it does not take goes out later, as it does, and the frames due
// meanwhile are dropped, as a device that refuses a frame would drop them.
// Only the restore waits for the server, for as long as the user lets it (a
// second interrupt ends the process at once).
//
// A genuine fault restores from the signal handler: it writes the restore,
// encoded at start as raw requests, straight to the socket, and reads until
// the server answers a trailing GetInputFocus. The loop records the sequence
// number of the last request it knows is on the wire, and how much of the
// frame being written has gone, so the handler knows which reply is its own
// even while a GetInputFocus of the loop's own is still unanswered. What a
// write in flight has taken no one can know until it returns: a fault then
// writes nothing and leaves the restore to the guard, which the server
// orders after every byte gammawave sent, and drops a request cut short.
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>
#include <xcb/xcbext.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>
#include <vector>

#include "linux/linux-backend.h"
#include "linux/linux-signals.h"
#include "x11/x11-claim.h"
#include "x11/x11-gamma.h"
#include "x11/x11-guard.h"
#include "x11/x11-wire.h"

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

// Each frame goes out in one gathered write, straight to a socket XCB has
// handed over. XCB's own writes would each wait, with no timeout, for the
// socket to take everything, which a stopped server never lets it. What the
// socket does not take at once (a frame larger than its buffer, or a server
// that reads slowly) is copied aside and goes out over the next frames'
// turns, as the socket takes it, while their own frames are dropped; the
// server never sees anything but whole requests in order, so the restore,
// which XCB sends only after socket_returned has written the rest, stays the
// last thing to reach every CRTC.
std::vector<iovec> frame_parts;
int frame_part_count = 0;
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
// How much of the frame being written has gone (while queuing_frame), and
// the rest of a frame cut short: frame_rest[rest_begin, rest_end) is still
// to go. The fault handler writes either before its restore, unless a write
// is in flight, when neither is known.
volatile sig_atomic_t frame_written = 0;
volatile sig_atomic_t write_in_flight = 0;
std::vector<std::uint8_t> frame_rest;  // sized at start to a whole frame
volatile sig_atomic_t rest_begin = 0;
volatile sig_atomic_t rest_end = 0;
// Where the ordinary restore stands, for a fault that strikes during it:
// its requests go through XCB, whose writes the handler cannot follow.
enum : sig_atomic_t { animating, restoring, restored };
volatile sig_atomic_t restore_stage = animating;

constexpr long no_deadline_ms = 1000L * 60 * 60 * 24 * 365;
const char* const how_to_reset =
    "if a tint is still there after a second (the guard may yet restore), "
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

// Fewer frames are cut short where the send buffer holds a whole one (the
// kernel doubles what it is given, up to a limit of its own).
void widen_send_buffer(std::size_t frame_bytes) {
    int buffer = 0;
    socklen_t len = sizeof buffer;
    getsockopt(connection_fd, SOL_SOCKET, SO_SNDBUF, &buffer, &len);
    if (frame_bytes * 2 > static_cast<std::size_t>(buffer)) {
        const int wanted = static_cast<int>(std::min<std::size_t>(frame_bytes, INT_MAX / 2));
        setsockopt(connection_fd, SOL_SOCKET, SO_SNDBUF, &wanted, sizeof wanted);
    }
}

[[noreturn]] void display_lost() {
    std::fputs("gammawave: lost the connection to the display\n", stderr);
    std::exit(1);
}

// As much of `parts` as the socket takes now, IOV_MAX parts a call, noted
// in frame_written as each write returns.
void write_what_fits(const iovec* parts, int count) {
    int done = 0;
    while (done < count) {
        write_in_flight = 1;
        const ssize_t n = writev(connection_fd, parts + done, std::min(count - done, IOV_MAX));
        if (n > 0) {
            frame_written = static_cast<sig_atomic_t>(frame_written + n);
        }
        write_in_flight = 0;
        if (n < 0 && errno != EAGAIN && errno != EINTR) {
            display_lost();
        }
        if (n <= 0) {
            return;
        }
        auto left = static_cast<std::size_t>(n);
        while (done < count && left >= parts[done].iov_len) {
            left -= parts[done++].iov_len;
        }
        if (left > 0) {
            return;
        }
    }
}

// The parts' bytes after the first `skip`, copied to frame_rest: the ramps
// they point at are the next frame's to overwrite.
void keep_rest(const iovec* parts, int count, std::size_t skip) {
    std::size_t at = 0;
    for (int i = 0; i < count; ++i) {
        const auto* p = static_cast<const std::uint8_t*>(parts[i].iov_base);
        const std::size_t len = parts[i].iov_len;
        const std::size_t from = std::min(skip, len);
        std::memcpy(frame_rest.data() + at, p + from, len - from);
        at += len - from;
        skip -= from;
    }
    rest_begin = 0;
    rest_end = static_cast<sig_atomic_t>(at);
}

bool rest_pending() {
    return rest_begin < rest_end;
}

// One write a turn, of what the socket takes (a full one takes nothing).
void send_more_of_rest() {
    const auto left = static_cast<std::size_t>(rest_end - rest_begin);
    write_in_flight = 1;
    const ssize_t n = write(connection_fd, frame_rest.data() + rest_begin, left);
    if (n > 0) {
        rest_begin = static_cast<sig_atomic_t>(rest_begin + n);
    }
    write_in_flight = 0;
    if (n < 0 && errno != EAGAIN && errno != EINTR) {
        display_lost();
    }
}

// XCB calls this when it writes a request of its own again (the restore):
// the rest of a frame cut short goes first, whole, however long the server
// takes; a second interrupt ends the wait.
void socket_returned(void*) {
    if (rest_pending()) {
        const auto left = static_cast<std::size_t>(rest_end - rest_begin);
        write_all(connection_fd, frame_rest.data() + rest_begin, left,
                  monotonic_ms() + no_deadline_ms);
        rest_begin = rest_end;
    }
    socket_taken = false;
}

bool take_socket() {
    if (!socket_taken && xcb_take_socket(screen_dc.conn, socket_returned, nullptr, 0, &last_sent)) {
        socket_taken = true;
        frames_to_sync = 0;
    }
    return socket_taken;
}

int fill_frame_parts(const gamma_ramp& ramp, std::uint64_t& requests) {
    int parts = 0;
    requests = 0;
    if (frames_to_sync == 0) {
        frame_parts[parts++] = {sync_request.data(), sync_request.size()};
        ++requests;
        frames_to_sync = frames_per_sync;
    }
    --frames_to_sync;
    for (frame_target& t : targets) {
        parts += add_frame_parts(t, ramp, &frame_parts[static_cast<std::size_t>(parts)]);
        ++requests;
    }
    return parts;
}

// A frame the server is not reading is dropped (the socket takes none of
// it), as a device that refuses a frame would; one read slowly goes in parts.
void send_frame(const gamma_ramp& ramp) {
    if (!take_socket()) {
        return;
    }
    std::uint64_t requests = 0;
    const unsigned sync_due = frames_to_sync;
    const bool sync = sync_due == 0;
    frame_part_count = fill_frame_parts(ramp, requests);
    frame_written = 0;
    queuing_frame = 1;
    write_what_fits(frame_parts.data(), frame_part_count);
    if (frame_written == 0) {
        frames_to_sync = sync_due;
        queuing_frame = 0;
        return;
    }
    keep_rest(frame_parts.data(), frame_part_count, static_cast<std::size_t>(frame_written));
    // XCB writes nothing here (its socket is ours); it only counts the
    // requests, so that its sequence numbers stay the server's.
    xcb_writev(screen_dc.conn, nullptr, 0, requests);
    if (sync) {
        xcb_discard_reply64(screen_dc.conn, last_sent + 1);
    }
    last_sent += requests;
    wire_sequence = static_cast<sig_atomic_t>(last_sent & 0xFFFF);
    queuing_frame = 0;
}

// Refused requests come back as error events; left unread they pile up
// without bound. The socket is read only when the pause finds it readable,
// so a frame costs its write and the pause's wait, no more.
void drain_events(bool read_socket) {
    xcb_generic_event_t* (*next)(xcb_connection_t*) =
        read_socket ? xcb_poll_for_event : xcb_poll_for_queued_event;
    while (xcb_generic_event_t* ev = next(screen_dc.conn)) {
        std::free(ev);
    }
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

// In the fault handler: the server must read the frame being written, or
// the one cut short, to its end before it reads the restore.
bool write_rest_of_frame(long deadline) {
    if (queuing_frame) {
        std::size_t skip = static_cast<std::size_t>(frame_written);
        for (int i = 0; i < frame_part_count; ++i) {
            const auto* p = static_cast<const std::uint8_t*>(frame_parts[i].iov_base);
            const std::size_t len = frame_parts[i].iov_len;
            const std::size_t from = std::min(skip, len);
            skip -= from;
            if (!write_all(connection_fd, p + from, len - from, deadline)) {
                return false;
            }
        }
        return true;
    }
    const auto left = static_cast<std::size_t>(rest_end - rest_begin);
    return write_all(connection_fd, frame_rest.data() + rest_begin, left, deadline);
}

// Runs in the fault handler. The server numbers our requests on from the
// last one of ours it read, known within the frame being queued, so the
// handler finds its reply whenever the fault strikes in the loop, and waits
// as long as the server takes: a stopped server may resume, and a second
// interrupt ends the wait. During a write, or the ordinary restore (XCB's
// writes), what is on the wire is unknown and more could land inside a
// request: nothing is written, and the guard, not stood down, restores.
void restore_from_fault() {
    if (restore_stage == restored) {
        return;  // confirmed already; the connection may be closed
    }
    if (restore_stage == restoring || write_in_flight) {
        warn_restore_unconfirmed(how_to_reset);
        return;
    }
    const long deadline = monotonic_ms() + no_deadline_ms;
    const auto low = static_cast<std::uint16_t>(wire_sequence);
    const auto high = static_cast<std::uint16_t>(low + (queuing_frame ? max_frame_requests : 0));
    const bool confirmed =
        write_rest_of_frame(deadline) &&
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
// ask the server about BIG-REQUESTS, could not put it back: what could not
// be is refused here rather than lost later.
const char* cannot_restore() {
    for (const crtc_ramp& r : saved_ramp) {
        if (r.size > max_ramp_in_one_request) {
            return "a CRTC's gamma ramp is larger than one request can carry without "
                   "BIG-REQUESTS, so it could not be restored";
        }
    }
    return nullptr;
}

// Everything the frame loop needs, sized here so that it never allocates.
void prepare_frames() {
    for (const crtc_ramp& r : saved_ramp) {
        targets.push_back(target_for(r));
    }
    frame_parts.resize(1 + set_crtc_gamma_parts * targets.size());
    std::size_t frame_bytes = sync_request.size();
    for (const crtc_ramp& r : saved_ramp) {
        frame_bytes += set_crtc_gamma_bytes(r.size);
    }
    frame_rest.resize(frame_bytes);
    widen_send_buffer(frame_bytes);
    frames_per_sync = static_cast<unsigned>(std::max<std::size_t>(1, 32768 / (targets.size() + 1)));
}

// Long enough for a guard still restoring after a kill -9 of the last
// gammawave, whose claim it holds until the ramps are back.
constexpr long claim_wait_ms = 2000;
x_claim claim;
char claim_refusal[128];

// Null when the screen is ours, or when the server made no window to claim
// it with (then nothing guards the run either).
const char* claim_screen() {
    const xcb_window_t window = create_x11_lifeline(screen_dc);
    if (window == 0 || !intern_claim(screen_dc, claim)) {
        claim = x_claim{};
        return nullptr;
    }
    tag_with_pid(screen_dc, claim, window);
    std::uint32_t holder = 0;
    if (take_claim(screen_dc, claim, window, claim_wait_ms, holder) != claim_result::held) {
        return nullptr;
    }
    if (holder == 0) {
        return "another gammawave is already changing the gamma of this display";
    }
    std::snprintf(claim_refusal, sizeof claim_refusal,
                  "another gammawave (process %u) is already changing the gamma of this display",
                  static_cast<unsigned>(holder));
    return claim_refusal;
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
    // Before the ramps are read: what a second gammawave would read is the
    // first one's frame.
    why = claim_screen();
    if (why != nullptr) {
        disconnect_x_display(screen_dc);
        return open_result::failed;
    }
    if (read_crtc_ramps(screen_dc, saved_ramp) != display_status::ok) {
        disconnect_x_display(screen_dc);
        return open_result::failed;
    }
    connection_fd = xcb_get_file_descriptor(screen_dc.conn);
    encode_get_input_focus(sync_request);
    why = cannot_restore();
    if (why != nullptr) {
        disconnect_x_display(screen_dc);
        return open_result::failed;
    }
    if (!arm_x11_guard(screen_dc, saved_ramp, claim)) {
        why = guard_late_reason;
        disconnect_x_display(screen_dc);
        return open_result::failed;
    }
    prepare_frames();
    prepare_fault_restore();
    return open_result::ok;
}

void x11_load_frame(const gamma_ramp& ramp) {
    if (rest_pending()) {
        send_more_of_rest();
    } else {
        send_frame(ramp);
    }
    drain_events(false);
    // A server that has gone shows here at once: the frame's write fails.
    if (xcb_connection_has_error(screen_dc.conn)) {
        display_lost();
    }
}

// Waits 10 ms, or less if a signal arrives. What the server sends meanwhile
// (a refusal, the reply to a frame's GetInputFocus) is read as it comes, and
// the pause waits out its rest without the socket: a server refusing every
// frame must not turn the pauses into a busy loop.
void x11_pause() {
    timespec start{};
    clock_gettime(CLOCK_MONOTONIC, &start);
    if (wait_for_signal_or(connection_fd, POLLIN, frame_pause) != 0) {
        drain_events(true);
        wait_for_signal_or(-1, 0, pause_left(start));
    }
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
    // Nothing is left to tear down: the kernel closes the connection, after
    // the round trip above.
    end_process(sig);
}

}  // namespace

// The guard is started by x11_open itself, which then waits for its claim.
const display_backend x11_backend = {
    x11_open, x11_load_frame, x11_pause, x11_restore_and_exit, restore_from_fault, nullptr};
