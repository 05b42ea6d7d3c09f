// The timeline picture: one row per sample, 256 columns, each pixel a ramp's
// (red, green, blue) output for that input level in 8 bits.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "x11/x11-gamma.h"

using timeline_row = std::array<std::uint8_t, 256 * 3>;

timeline_row timeline_row_of(const crtc_ramp& ramp);

// Returns an empty string on success, else what went wrong.
std::string write_timeline_png(const std::string& path, const std::vector<timeline_row>& rows);
