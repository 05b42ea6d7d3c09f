// The ramp curve: a cosine stretched over the 256 input levels, its negative
// half cut away, mapped into the upper half of the 16-bit output range.
//
// The exact values the program promises (entry 49 of phase 0 is 33410, and so
// on) depend on evaluating in the stated grouping and order, with no fused
// multiply-add; CMake builds this file with -ffp-contract=off for that reason.
#include <cmath>

#include "wave.h"

namespace {

constexpr double pi = 3.141592653589793;
constexpr double half_width = 128.0;  // input levels on either side of the centre
constexpr double span = 0.8;          // the input axis covers +-0.8 pi around the phase
constexpr double degrees_per_pi = 180.0;
constexpr double scale = 32767.0;  // both the gain and the floor of the output

double phase_radians(std::int32_t phase) {
    return (static_cast<double>(phase) * pi) / degrees_per_pi;
}

// Input level i as a position on -1.0 .. 0.9921875.
double axis_position(int level) {
    return static_cast<double>(level - 128) / half_width;
}

double clamped_cosine(double angle) {
    double y = std::cos(angle);
    if (y < 0) {
        y = 0.0;
    } else if (y > 1) {
        y = 1.0;
    }
    return y;
}

}  // namespace

void render_channel_curve(std::int32_t phase, std::span<std::uint16_t, 256> block) {
    const double shift = phase_radians(phase);
    for (int i = 0; i < 256; ++i) {
        const double angle = ((axis_position(i) * pi) * span) + shift;
        const double v = clamped_cosine(angle) * scale + scale;
        // v lies in 32767..65534, so truncation toward zero fits 16 bits.
        block[static_cast<std::size_t>(i)] = static_cast<std::uint16_t>(v);
    }
}
