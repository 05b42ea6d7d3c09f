// The platform-free colour wave: the curve of one channel's gamma ramp and
// the three drifting, reversing channel oscillators that animate it.
#pragma once

#include <array>
#include <cstdint>
#include <cstdlib>
#include <span>

using gamma_ramp = std::array<std::uint16_t, 768>;  // red, green, blue blocks of 256 entries

struct wave_channel {
    std::int32_t phase;      // degrees, 0..359 between frames
    std::int32_t direction;  // -1 or +1 degree per frame
    std::int32_t countdown;  // frames left before the next reversal, 0..819 between frames
};

struct wave_state {
    std::array<wave_channel, 3> channels;  // 0 red, 1 green, 2 blue
};

using random_draw = int (*)();  // one draw: a value in 0..RAND_MAX

// Fills one 256-entry block with the clamped cosine hump for `phase` degrees.
void render_channel_curve(std::int32_t phase, std::span<std::uint16_t, 256> block);

// One draw reduced to a run length of 100..819 frames.
std::int32_t draw_countdown(random_draw draw = std::rand);

// Draws phase, direction and countdown for red, green and blue, in that order.
void wave_start(wave_state& state, random_draw draw = std::rand);

// Renders every channel at its current phase, then steps it by one frame.
void wave_frame(wave_state& state, gamma_ramp& ramp, random_draw draw = std::rand);

// Fills `out`, red, green and blue blocks of out.size() / 3 entries, from a
// 256-entry frame: native entry j takes the frame's value at the nearest of
// the 256 input levels, j * 255 / (size - 1), halves rounding up. Every
// backend drives ramps of any gamma size through this one rule.
void resample_ramp(const gamma_ramp& frame, std::span<std::uint16_t> out);
