#include "x11/x11-guard.h"

#include <poll.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "linux/linux-guard.h"
#include "x11/x11-claim.h"

namespace {

// How long gammawave waits for its guard's claim before it gives up its
// start. No frame goes out before the claim: a guard that claims only after
// gammawave has gone finds nothing of its gammawave's to restore, and must
// not find anything. A guard that could not connect ends without a claim,
// and gammawave runs on without it.
constexpr long guard_claim_wait_ms = 10000;

// Set by gammawave at open; the guard, a fork, has its own copy.
xcb_window_t lifeline = 0;
const std::vector<crtc_ramp>* saved_ramps = nullptr;

// The window's name is this run's own. Once gammawave has gone the server
// may hand its window ids to a new client, so a guard that looks late could
// find another client's window under the same id; the name tells them apart.
char lifeline_name[64];

void name_this_run() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    std::snprintf(lifeline_name, sizeof lifeline_name, "gammawave %d %lld.%09ld",
                  static_cast<int>(getpid()), static_cast<long long>(now.tv_sec), now.tv_nsec);
}

bool answered_without_error(const x_display& d, xcb_void_cookie_t c) {
    xcb_owned<xcb_generic_error_t> error(xcb_request_check(d.conn, c));
    return !error && !xcb_connection_has_error(d.conn);
}

// Checked, so that the window exists before the guard is made: a window the
// guard cannot find means gammawave has gone. Small, unmapped and InputOnly,
// it is nothing on screen.
xcb_window_t create_window(const x_display& d) {
    const xcb_window_t w = xcb_generate_id(d.conn);
    xcb_create_window(d.conn, 0, w, d.root, 0, 0, 1, 1, 0, XCB_WINDOW_CLASS_INPUT_ONLY,
                      XCB_COPY_FROM_PARENT, 0, nullptr);
    return w;
}

xcb_window_t create_lifeline(const x_display& d) {
    name_this_run();
    const xcb_window_t w = create_window(d);
    // The checked request after it answers for both: a window refused
    // cannot be named.
    const xcb_void_cookie_t named = xcb_change_property_checked(
        d.conn, XCB_PROP_MODE_REPLACE, w, XCB_ATOM_WM_NAME, XCB_ATOM_STRING, 8,
        static_cast<std::uint32_t>(std::strlen(lifeline_name)), lifeline_name);
    return answered_without_error(d, named) ? w : 0;
}

bool lifeline_is_ours(const x_display& d) {
    const std::uint32_t longs = sizeof lifeline_name / 4;
    xcb_owned<xcb_get_property_reply_t> reply(xcb_get_property_reply(
        d.conn, xcb_get_property(d.conn, 0, lifeline, XCB_ATOM_WM_NAME, XCB_ATOM_STRING, 0, longs),
        nullptr));
    const std::size_t length = std::strlen(lifeline_name);
    return reply &&
           static_cast<std::size_t>(xcb_get_property_value_length(reply.get())) == length &&
           std::memcmp(xcb_get_property_value(reply.get()), lifeline_name, length) == 0;
}

enum class lifeline_state { followed, gone, unknown };

// Asks for the window's DestroyNotify. The server answers in order, so if
// the window still exists now its destruction will be told.
lifeline_state follow_lifeline(const x_display& d) {
    const std::uint32_t mask = XCB_EVENT_MASK_STRUCTURE_NOTIFY;
    const xcb_void_cookie_t c =
        xcb_change_window_attributes_checked(d.conn, lifeline, XCB_CW_EVENT_MASK, &mask);
    xcb_owned<xcb_generic_error_t> error(xcb_request_check(d.conn, c));
    if (xcb_connection_has_error(d.conn)) {
        return lifeline_state::unknown;
    }
    if (error) {
        return error->error_code == XCB_WINDOW ? lifeline_state::gone : lifeline_state::unknown;
    }
    // Ours now means ours when the selection was made: the id changes hands
    // only through a destruction, which the selection would have been told.
    return lifeline_is_ours(d) ? lifeline_state::followed : lifeline_state::gone;
}

// A byte on the pipe is gammawave's word that it has restored. Its end of
// file only says that gammawave has exited, and the pipe is watched no more.
bool stood_down(int& fd) {
    pollfd p{fd, POLLIN, 0};
    if (fd < 0 || poll(&p, 1, 0) != 1) {
        return false;
    }
    char byte = 0;
    if (read(fd, &byte, 1) == 1) {
        return true;
    }
    fd = -1;
    return false;
}

// Any client may send any window's DestroyNotify (SendEvent sets the top
// bit of its code), so only the server's own counts, and even that only once
// a checked request finds the window gone.
bool lifeline_destroyed(const x_display& d) {
    bool told = false;
    while (xcb_generic_event_t* ev = xcb_poll_for_event(d.conn)) {
        const auto* notify = reinterpret_cast<const xcb_destroy_notify_event_t*>(ev);
        told = told || (ev->response_type == XCB_DESTROY_NOTIFY && notify->window == lifeline);
        std::free(ev);
    }
    return told && follow_lifeline(d) == lifeline_state::gone;
}

// True once the window is destroyed; false on a stand-down or when the
// display has gone. A stalled server holds the wait as long as it lasts: it
// may resume, and then it handles gammawave's last frames first.
bool wait_for_the_end(const x_display& d, int& stand_down_fd) {
    const int x_fd = xcb_get_file_descriptor(d.conn);
    // Events first, then the wait: the DestroyNotify may already sit in
    // XCB's queue, read together with the reply that checked the window,
    // and then the socket would never become readable for it.
    for (;;) {
        if (stood_down(stand_down_fd)) {
            return false;
        }
        if (lifeline_destroyed(d)) {
            return true;
        }
        if (xcb_connection_has_error(d.conn)) {
            return false;
        }
        pollfd p[2] = {{x_fd, POLLIN, 0}, {stand_down_fd, POLLIN, 0}};
        if (poll(p, 2, -1) < 0 && errno != EINTR) {
            return false;
        }
    }
}

// Any client may destroy any window, so the window gone while gammawave
// still holds its end of the pipe is no end of gammawave's. Then the pipe
// alone tells the end: a word is a stand-down; a hang-up is the end, and
// the restore follows one round trip. That keeps the guard (and its claim)
// in place, though no longer strictly behind gammawave's last frames: the
// window was what ordered the two.
bool ended_without_a_word(const x_display& d, int& stand_down_fd) {
    while (stand_down_fd >= 0) {
        if (stood_down(stand_down_fd)) {
            return false;
        }
        pollfd p{stand_down_fd, POLLIN, 0};
        if (stand_down_fd >= 0 && poll(&p, 1, -1) < 0 && errno != EINTR) {
            break;
        }
    }
    xcb_owned<xcb_get_input_focus_reply_t> caught_up(
        xcb_get_input_focus_reply(d.conn, xcb_get_input_focus(d.conn), nullptr));
    return true;
}

// The guard's claim, held until the guard's connection ends: after the
// restore, or at a stand-down, when gammawave's own claim has gone or is
// going. Under a grab, so that between the look at gammawave's window and
// the claim no client can end or start: a guard that comes late, once its
// gammawave has gone, finds the window gone or another's, takes nothing, and
// ends; its gammawave sent no frame before the claim.
lifeline_state claim_and_follow(const x_display& d) {
    x_claim claim;
    if (!intern_claim(d, claim)) {
        // No claims on this server, and no wait for the guard: gammawave
        // may have sent frames before the guard looks.
        return follow_lifeline(d);
    }
    const xcb_window_t window = create_window(d);
    xcb_grab_server(d.conn);
    lifeline_state state = follow_lifeline(d);
    if (state != lifeline_state::followed || !take_guard_claim(d, claim, window, lifeline)) {
        state = lifeline_state::unknown;
    }
    xcb_ungrab_server(d.conn);
    xcb_flush(d.conn);
    return state;
}

// No one is left to hear whether the server took it: the guard runs with
// /dev/null for its output.
void restore(const x_display& d) {
    restore_crtc_ramps(d, *saved_ramps);
}

}  // namespace

xcb_window_t create_x11_lifeline(const x_display& d) {
    lifeline = create_lifeline(d);
    return lifeline;
}

bool arm_x11_guard(const x_display& d, const std::vector<crtc_ramp>& saved, const x_claim& claim) {
    if (lifeline == 0) {
        return true;
    }
    saved_ramps = &saved;
    start_guard(watch_x11);
    // A kill -9 of gammawave once the guard has claimed leaves the screen
    // claimed until the guard has restored, so no new gammawave can save a
    // frame of ours; one before it sent no frame.
    if (claim.guard == XCB_NONE ||
        guard_claim_seen(d, claim, guard_claim_wait_ms, guard_has_ended)) {
        return true;
    }
    // A guard that ended without its claim could not connect, and gammawave
    // runs on without one; or it declined, having found our screen claim
    // held by another window, and no run may go on unguarded for that.
    return guard_has_ended() && holds_screen_claim(d, claim, lifeline);
}

void watch_x11(int stand_down_fd) {
    x_display d;
    if (lifeline == 0 || connect_x_display(d) != display_status::ok) {
        return;
    }
    const lifeline_state state = claim_and_follow(d);
    const bool gone = state == lifeline_state::gone ||
                      (state == lifeline_state::followed && wait_for_the_end(d, stand_down_fd));
    // gammawave writes its word before it hangs up, so the word, if any, is
    // here by the time the window has gone.
    if (gone && !stood_down(stand_down_fd) && ended_without_a_word(d, stand_down_fd)) {
        restore(d);
    }
    disconnect_x_display(d);
}
