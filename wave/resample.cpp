// Resampling a 256-entry frame to a device's own ramp size.
//
// Native entry j of an N-entry ramp stands for input level j * 255 / (N - 1);
// it takes the frame's value at the nearest of the 256 levels, halves
// rounding up. The level is stepped along j with a running remainder, so a
// frame costs no division and needs no table sized at start.
#include "wave.h"

namespace {

// One channel: `out` holds `size` entries, `block` is the frame's 256.
void resample_block(const std::uint16_t* block, std::uint16_t* out, std::size_t size) {
    const std::size_t d = size - 1;
    std::size_t level = 0;
    std::size_t rem = d / 2;  // j * 255 + d / 2 == level * d + rem
    for (std::size_t j = 0; j < size; ++j) {
        out[j] = block[level];
        rem += 255;
        while (rem >= d) {
            rem -= d;
            ++level;
        }
    }
}

}  // namespace

void resample_ramp(const gamma_ramp& frame, std::span<std::uint16_t> out) {
    const std::size_t size = out.size() / 3;
    if (size == 0) {
        return;
    }
    for (std::size_t c = 0; c < 3; ++c) {
        const std::uint16_t* block = frame.data() + c * 256;
        if (size == 1) {
            out[c] = block[0];
        } else {
            resample_block(block, out.data() + c * size, size);
        }
    }
}
