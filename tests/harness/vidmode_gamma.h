// The X server's XFree86-VidMode gamma ramp: what wine's GDI device gamma
// reads and loads. Kept apart from the tests because Xlib's macros clash
// with GoogleTest's names.
#pragma once

#include <string>
#include <vector>

using vidmode_ramp = std::vector<unsigned short>;  // red, green, blue blocks

// Reads (or, with `load`, sets) the ramp of the display's default screen.
bool vidmode_gamma(const std::string& display, vidmode_ramp& ramp, bool load);
