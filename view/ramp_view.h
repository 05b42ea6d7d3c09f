// What gammawave-view reads off a CRTC's ramp: its output at each of the 256
// input levels, where each channel peaks, and which phase of gammawave's
// curve a channel shows. Pure functions, tested without a display.
#pragma once

#include <array>
#include <cstdint>
#include <optional>

#include "x11/x11-gamma.h"

struct rgb16 {
    std::uint16_t r, g, b;
};

// The ramp's output for input level 0..255, whatever its native size.
rgb16 output_at_level(const crtc_ramp& ramp, int level);

// The first input level at which each of red, green and blue is largest.
std::array<int, 3> peak_levels(const crtc_ramp& ramp);

// The phase (0..359) whose curve `channel` holds exactly, if any.
std::optional<int> curve_phase(const crtc_ramp& ramp, int channel);

// 16-bit output scaled to 8 bits, rounded to nearest.
std::uint8_t to_8bit(std::uint16_t v);

// Frames between two samples, judged by how far the phases moved: every
// channel moves one degree a frame, so the largest move counts them.
// -1 when either sample is not a gammawave frame.
int frames_between(const crtc_ramp& before, const crtc_ramp& after);
