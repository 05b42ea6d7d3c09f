// The guard on X11. The server destroys the resources a client owns once it
// has handled that client's last request, and tells any client that asked.
// So gammawave owns a small window, and the guard restores when the server
// destroys it: after every frame gammawave sent, even one still in its socket
// when it died.
#pragma once

#include <vector>

#include "randr_gamma.h"

// At open, on gammawave's own connection: makes the window and keeps `saved`
// for the guard. Without the window the guard ends at once.
void arm_x11_guard(const x_display& d, const std::vector<crtc_ramp>& saved);

// The guard's watch (a guard_watch_fn), on a connection of its own.
void watch_x11(int stand_down_fd);
