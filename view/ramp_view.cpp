#include "ramp_view.h"

#include <map>
#include <vector>

#include "wave.h"

namespace {

std::size_t native_index(const crtc_ramp& ramp, int level) {
    // The native entry nearest to input level `level`: round(level * (N - 1) / 255).
    const std::size_t n = ramp.size;
    return (static_cast<std::size_t>(level) * (n - 1) + 127) / 255;
}

const std::map<std::vector<std::uint16_t>, int>& phase_of_block() {
    static const std::map<std::vector<std::uint16_t>, int> table = [] {
        std::map<std::vector<std::uint16_t>, int> t;
        for (std::int32_t phase = 0; phase < 360; ++phase) {
            std::array<std::uint16_t, 256> block{};
            render_channel_curve(phase, block);
            t.emplace(std::vector<std::uint16_t>(block.begin(), block.end()), phase);
        }
        return t;
    }();
    return table;
}

int circular_distance(int a, int b) {
    const int d = a > b ? a - b : b - a;
    return d > 180 ? 360 - d : d;
}

}  // namespace

rgb16 output_at_level(const crtc_ramp& ramp, int level) {
    const std::size_t j = native_index(ramp, level);
    const std::size_t n = ramp.size;
    return {ramp.entries[j], ramp.entries[n + j], ramp.entries[2 * n + j]};
}

std::array<int, 3> peak_levels(const crtc_ramp& ramp) {
    std::array<int, 3> peak{0, 0, 0};
    std::array<std::uint16_t, 3> best{0, 0, 0};
    for (int level = 0; level < 256; ++level) {
        const rgb16 v = output_at_level(ramp, level);
        const std::array<std::uint16_t, 3> channels{v.r, v.g, v.b};
        for (std::size_t c = 0; c < 3; ++c) {
            if (level == 0 || channels[c] > best[c]) {
                best[c] = channels[c];
                peak[c] = level;
            }
        }
    }
    return peak;
}

std::optional<int> curve_phase(const crtc_ramp& ramp, int channel) {
    if (ramp.size != 256) {
        return std::nullopt;
    }
    const auto first = ramp.entries.begin() + channel * 256;
    const auto it = phase_of_block().find(std::vector<std::uint16_t>(first, first + 256));
    if (it == phase_of_block().end()) {
        return std::nullopt;
    }
    return it->second;
}

std::uint8_t to_8bit(std::uint16_t v) {
    return static_cast<std::uint8_t>((std::uint32_t{v} * 255 + 32767) / 65535);
}

int frames_between(const crtc_ramp& before, const crtc_ramp& after) {
    int frames = 0;
    for (int c = 0; c < 3; ++c) {
        const auto a = curve_phase(before, c);
        const auto b = curve_phase(after, c);
        if (!a || !b) {
            return -1;
        }
        frames = std::max(frames, circular_distance(*a, *b));
    }
    return frames;
}
