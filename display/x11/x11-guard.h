// The guard on X11. The server destroys the resources a client owns once it
// has handled that client's last request, and tells any client that asked.
// So gammawave owns a small window, and the guard restores when the server
// destroys it: after every frame gammawave sent, even one still in its socket
// when it died.
#pragma once

#include <vector>

#include "x11/x11-claim.h"
#include "x11/x11-gamma.h"

// At open, on gammawave's own connection, before the ramps are read: makes
// the window, which also holds gammawave's claim on the screen. 0 if the
// server made none: then there is neither claim nor guard.
xcb_window_t create_x11_lifeline(const x_display& d);

// Once the ramps are saved: keeps `saved` for the guard, starts it, and
// waits until it holds its claim (see x11-claim.h), or has ended without
// one. False if it did neither within the wait: then no frame may go out.
bool arm_x11_guard(const x_display& d, const std::vector<crtc_ramp>& saved, const x_claim& claim);

// The guard's watch (a guard_watch_fn), on a connection of its own.
void watch_x11(int stand_down_fd);
