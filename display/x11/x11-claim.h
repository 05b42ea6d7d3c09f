// One gammawave per X screen. Two of them would each save the other's frame
// as "the original" and leave a tint for good, so gammawave claims the
// screen before it reads the ramps, through two selections the server keeps:
//
//   _GAMMAWAVE_S<screen>        owned by gammawave's own window, from before
//                               the ramps are read until its connection ends;
//   _GAMMAWAVE_GUARD_S<screen>  owned by the guard's window, from before the
//                               first frame until the guard has ended.
//
// The server drops a selection when its owner's window or connection goes,
// so a claim never outlives its holder, and a guard still restoring after a
// kill -9 keeps the screen claimed until the ramps are back. Each owner
// window carries its process id (_NET_WM_PID), for the refusal's reason.
#pragma once

#include <cstdint>

#include "x11/x11-gamma.h"

struct x_claim {
    xcb_atom_t screen = XCB_NONE;  // _GAMMAWAVE_S<screen>
    xcb_atom_t guard = XCB_NONE;   // _GAMMAWAVE_GUARD_S<screen>
    xcb_atom_t pid = XCB_NONE;     // _NET_WM_PID
};

// The atoms of `d`'s screen; false where the server gave none.
bool intern_claim(const x_display& d, x_claim& out);

// Tags `window` with this process's id.
void tag_with_pid(const x_display& d, const x_claim& c, xcb_window_t window);

enum class claim_result { taken, held, failed };

// Takes the screen's claim for `window` once neither gammawave nor a guard
// holds one, waiting up to `wait_ms` for them to let go (a guard restores
// within milliseconds of gammawave's end). On `held`, `holder` is the
// holder's process id, or 0 where it has none.
claim_result take_claim(const x_display& d, const x_claim& c, xcb_window_t window, long wait_ms,
                        std::uint32_t& holder);

// The guard's claim, taken on the guard's own connection under a grab the
// caller holds, and only while `holder`, its gammawave's window, still holds
// the screen's: a guard that starts late must never take the claim of a
// later run's guard, whose screen that is now.
bool take_guard_claim(const x_display& d, const x_claim& c, xcb_window_t window,
                      xcb_window_t holder);

// Whether `window` holds the screen's claim now.
bool holds_screen_claim(const x_display& d, const x_claim& c, xcb_window_t window);

// gammawave's wait for its guard's claim before the first frame. False if
// none came within `wait_ms`, or once `guard_gone()` says none can come.
bool guard_claim_seen(const x_display& d, const x_claim& c, long wait_ms, bool (*guard_gone)());
