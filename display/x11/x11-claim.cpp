#include "x11/x11-claim.h"

#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "linux/linux-signals.h"

namespace {

xcb_intern_atom_cookie_t ask_atom(const x_display& d, const char* name) {
    return xcb_intern_atom(d.conn, 0, static_cast<std::uint16_t>(std::strlen(name)), name);
}

xcb_atom_t atom_of(const x_display& d, xcb_intern_atom_cookie_t c) {
    xcb_owned<xcb_intern_atom_reply_t> reply(xcb_intern_atom_reply(d.conn, c, nullptr));
    return reply ? reply->atom : XCB_NONE;
}

xcb_window_t owner_of(const x_display& d, xcb_get_selection_owner_cookie_t c) {
    xcb_owned<xcb_get_selection_owner_reply_t> reply(
        xcb_get_selection_owner_reply(d.conn, c, nullptr));
    return reply ? reply->owner : XCB_NONE;
}

// The first owner of the two, or none: both are asked in one round trip.
xcb_window_t either_owner(const x_display& d, const x_claim& c) {
    const auto screen = xcb_get_selection_owner(d.conn, c.screen);
    const auto guard = xcb_get_selection_owner(d.conn, c.guard);
    const xcb_window_t a = owner_of(d, screen);
    const xcb_window_t b = owner_of(d, guard);
    return a != XCB_NONE ? a : b;
}

std::uint32_t pid_of(const x_display& d, const x_claim& c, xcb_window_t window) {
    xcb_owned<xcb_get_property_reply_t> reply(xcb_get_property_reply(
        d.conn, xcb_get_property(d.conn, 0, window, c.pid, XCB_ATOM_CARDINAL, 0, 1), nullptr));
    if (!reply || xcb_get_property_value_length(reply.get()) != 4) {
        return 0;
    }
    std::uint32_t pid = 0;
    std::memcpy(&pid, xcb_get_property_value(reply.get()), sizeof pid);
    return pid;
}

void nap_ms(long ms) {
    const timespec t{0, ms * 1'000'000};
    nanosleep(&t, nullptr);
}

// Under a grab no other client's request runs between the look and the
// take, so of two gammawaves starting at once only one takes the claim.
bool take_if_free(const x_display& d, const x_claim& c, xcb_window_t window) {
    xcb_grab_server(d.conn);
    const bool free = either_owner(d, c) == XCB_NONE;
    if (free) {
        xcb_set_selection_owner(d.conn, window, c.screen, XCB_CURRENT_TIME);
    }
    xcb_ungrab_server(d.conn);
    return free && owner_of(d, xcb_get_selection_owner(d.conn, c.screen)) == window;
}

}  // namespace

bool intern_claim(const x_display& d, x_claim& out) {
    char screen[32];
    char guard[40];
    std::snprintf(screen, sizeof screen, "_GAMMAWAVE_S%d", d.screen);
    std::snprintf(guard, sizeof guard, "_GAMMAWAVE_GUARD_S%d", d.screen);
    const auto a = ask_atom(d, screen);
    const auto b = ask_atom(d, guard);
    const auto p = ask_atom(d, "_NET_WM_PID");
    out = x_claim{atom_of(d, a), atom_of(d, b), atom_of(d, p)};
    return out.screen != XCB_NONE && out.guard != XCB_NONE && out.pid != XCB_NONE;
}

void tag_with_pid(const x_display& d, const x_claim& c, xcb_window_t window) {
    const auto pid = static_cast<std::uint32_t>(getpid());
    xcb_change_property(d.conn, XCB_PROP_MODE_REPLACE, window, c.pid, XCB_ATOM_CARDINAL, 32, 1,
                        &pid);
}

claim_result take_claim(const x_display& d, const x_claim& c, xcb_window_t window, long wait_ms,
                        std::uint32_t& holder) {
    const long end = monotonic_ms() + wait_ms;
    for (;;) {
        const xcb_window_t owner = either_owner(d, c);
        if (xcb_connection_has_error(d.conn)) {
            return claim_result::failed;
        }
        if (owner == XCB_NONE && take_if_free(d, c, window)) {
            return claim_result::taken;
        }
        if (monotonic_ms() >= end) {
            holder = owner != XCB_NONE ? pid_of(d, c, owner) : 0;
            return claim_result::held;
        }
        nap_ms(10);
    }
}

bool take_guard_claim(const x_display& d, const x_claim& c, xcb_window_t window,
                      xcb_window_t holder) {
    if (owner_of(d, xcb_get_selection_owner(d.conn, c.screen)) != holder) {
        return false;
    }
    tag_with_pid(d, c, window);
    xcb_set_selection_owner(d.conn, window, c.guard, XCB_CURRENT_TIME);
    return owner_of(d, xcb_get_selection_owner(d.conn, c.guard)) == window;
}

bool holds_screen_claim(const x_display& d, const x_claim& c, xcb_window_t window) {
    return owner_of(d, xcb_get_selection_owner(d.conn, c.screen)) == window;
}

bool guard_claim_seen(const x_display& d, const x_claim& c, long wait_ms, bool (*guard_gone)()) {
    const long end = monotonic_ms() + wait_ms;
    for (;;) {
        if (owner_of(d, xcb_get_selection_owner(d.conn, c.guard)) != XCB_NONE) {
            return true;
        }
        if (monotonic_ms() >= end || xcb_connection_has_error(d.conn) || guard_gone()) {
            return false;
        }
        nap_ms(1);
    }
}
