#include "ramp_view.h"

#include <gtest/gtest.h>

#include "wave.h"

namespace {

crtc_ramp curve_ramp(int red, int green, int blue) {
    crtc_ramp r{1, 256, std::vector<std::uint16_t>(768), true};
    const int phases[] = {red, green, blue};
    for (std::size_t c = 0; c < 3; ++c) {
        render_channel_curve(phases[c],
                             std::span<std::uint16_t, 256>(r.entries.data() + c * 256, 256));
    }
    return r;
}

}  // namespace

TEST(RampView, PeaksAndPhasesOfCurveFrames) {
    const crtc_ramp r = curve_ramp(0, 90, 270);
    EXPECT_EQ(peak_levels(r), (std::array<int, 3>{128, 48, 208}));
    EXPECT_EQ(curve_phase(r, 0), 0);
    EXPECT_EQ(curve_phase(r, 1), 90);
    EXPECT_EQ(curve_phase(r, 2), 270);

    crtc_ramp identity{1, 256, std::vector<std::uint16_t>(768), true};
    for (std::size_t i = 0; i < 768; ++i) {
        identity.entries[i] = static_cast<std::uint16_t>((i % 256) * 257);
    }
    EXPECT_EQ(peak_levels(identity), (std::array<int, 3>{255, 255, 255}));
    EXPECT_FALSE(curve_phase(identity, 0).has_value());
}

// Frames are counted from the largest phase move, the short way round.
TEST(RampView, FramesBetweenSamples) {
    EXPECT_EQ(frames_between(curve_ramp(10, 20, 30), curve_ramp(15, 15, 35)), 5);
    EXPECT_EQ(frames_between(curve_ramp(358, 0, 0), curve_ramp(2, 1, 359)), 4);
    crtc_ramp flat{1, 256, std::vector<std::uint16_t>(768, 32767), true};
    EXPECT_EQ(frames_between(curve_ramp(1, 2, 3), flat), -1);
}

TEST(RampView, OtherGammaSizes) {
    crtc_ramp big{1, 1024, std::vector<std::uint16_t>(3 * 1024), true};
    for (std::size_t i = 0; i < big.entries.size(); ++i) {
        big.entries[i] = static_cast<std::uint16_t>(i);
    }
    EXPECT_EQ(output_at_level(big, 0).r, 0);
    EXPECT_EQ(output_at_level(big, 1).r, 4);  // 1 * 1023 / 255 = 4.01
    EXPECT_EQ(output_at_level(big, 255).r, 1023);
    EXPECT_EQ(output_at_level(big, 255).g, 2047);
    EXPECT_EQ(output_at_level(big, 255).b, 3071);
    EXPECT_EQ(peak_levels(big), (std::array<int, 3>{255, 255, 255}));

    const crtc_ramp one{1, 1, {7, 8, 9}, true};
    EXPECT_EQ(output_at_level(one, 200).b, 9);
}

TEST(RampView, EightBitScale) {
    EXPECT_EQ(to_8bit(0), 0);
    EXPECT_EQ(to_8bit(128), 0);
    EXPECT_EQ(to_8bit(129), 1);
    EXPECT_EQ(to_8bit(32767), 127);
    EXPECT_EQ(to_8bit(32768), 128);
    EXPECT_EQ(to_8bit(65535), 255);
}
