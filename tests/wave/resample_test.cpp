#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "wave.h"

namespace {

// Every entry names its channel and level, so a wrong block or level shows.
gamma_ramp labelled_frame() {
    gamma_ramp frame{};
    for (std::size_t c = 0; c < 3; ++c) {
        for (std::size_t i = 0; i < 256; ++i) {
            frame[c * 256 + i] = static_cast<std::uint16_t>((c + 1) << 12 | i);
        }
    }
    return frame;
}

std::uint16_t channel_of(std::uint16_t v) {
    return v >> 12;
}
std::uint16_t level_of(std::uint16_t v) {
    return v & 0xFFF;
}

std::vector<std::uint16_t> resampled(std::size_t size) {
    std::vector<std::uint16_t> out(3 * size);
    resample_ramp(labelled_frame(), out);
    return out;
}

}  // namespace

// Entry j takes level round(j * 255 / (size - 1)), worked out here in
// floating point as a check on the integer stepping.
TEST(Resample, NearestLevelAtEverySize) {
    for (std::size_t size : {2u, 3u, 16u, 255u, 256u, 257u, 1024u, 4096u}) {
        const auto out = resampled(size);
        const double d = static_cast<double>(size - 1);
        for (std::size_t c = 0; c < 3; ++c) {
            for (std::size_t j = 0; j < size; ++j) {
                const std::uint16_t v = out[c * size + j];
                ASSERT_EQ(channel_of(v), c + 1) << "size " << size << " entry " << j;
                ASSERT_EQ(level_of(v), std::lround(static_cast<double>(j) * 255.0 / d))
                    << "size " << size << " channel " << c << " entry " << j;
            }
        }
    }
}

TEST(Resample, EndpointsAndKnownLevels) {
    const auto two = resampled(2);
    EXPECT_EQ(level_of(two[0]), 0);
    EXPECT_EQ(level_of(two[1]), 255);
    EXPECT_EQ(level_of(two[5]), 255);  // blue's last entry
    // 3 entries: the middle one sits exactly at 127.5 and rounds up.
    EXPECT_EQ(level_of(resampled(3)[1]), 128);
    // 16 entries: exact multiples of 17.
    EXPECT_EQ(level_of(resampled(16)[5]), 85);
    // 1024 entries: entry 2 lies at 0.4985 -> 0, entry 3 at 0.748 -> 1.
    const auto k = resampled(1024);
    EXPECT_EQ(level_of(k[2]), 0);
    EXPECT_EQ(level_of(k[3]), 1);
    EXPECT_EQ(level_of(k[1023]), 255);
    EXPECT_EQ(level_of(resampled(4096)[3 * 4096 - 1]), 255);
}

// 256 entries are the frame itself; one entry is level 0 of each channel.
TEST(Resample, SameSizeIsACopyAndOneEntryTakesLevelZero) {
    const gamma_ramp frame = labelled_frame();
    const auto same = resampled(256);
    EXPECT_TRUE(std::equal(same.begin(), same.end(), frame.begin()));
    const auto one = resampled(1);
    EXPECT_EQ(one, (std::vector<std::uint16_t>{frame[0], frame[256], frame[512]}));
}
