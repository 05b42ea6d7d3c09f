#include "randr_gamma.h"

#include <gtest/gtest.h>

// A 256-entry frame drives CRTCs of any gamma size through nearest_level.
TEST(NearestLevel, MapsEveryGammaSize) {
    for (std::uint32_t j = 0; j < 256; ++j) {
        EXPECT_EQ(nearest_level(j, 256), j);
    }
    EXPECT_EQ(nearest_level(0, 1), 0);
    EXPECT_EQ(nearest_level(0, 2), 0);
    EXPECT_EQ(nearest_level(1, 2), 255);
    EXPECT_EQ(nearest_level(1023, 1024), 255);
    EXPECT_EQ(nearest_level(4095, 4096), 255);
    // 1024 entries: j * 255 / 1023; entry 2 lies at 0.4985 -> 0, entry 3 at 0.748 -> 1.
    EXPECT_EQ(nearest_level(2, 1024), 0);
    EXPECT_EQ(nearest_level(3, 1024), 1);
    // 3 entries: the middle one sits exactly at 127.5 and rounds up.
    EXPECT_EQ(nearest_level(1, 3), 128);
    // 16 entries: exact multiples of 17.
    EXPECT_EQ(nearest_level(5, 16), 85);
}

TEST(NearestLevel, MonotonicAndCoversEnds) {
    for (std::uint32_t size : {2u, 7u, 255u, 257u, 1024u, 4096u}) {
        std::uint8_t last = 0;
        for (std::uint32_t j = 0; j < size; ++j) {
            const std::uint8_t level = nearest_level(j, size);
            EXPECT_GE(level, last) << size << " " << j;
            last = level;
        }
        EXPECT_EQ(last, 255) << size;
    }
}
