#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "wave.h"

namespace {

using block = std::array<std::uint16_t, 256>;

block render(std::int32_t phase) {
    block b{};
    render_channel_curve(phase, b);
    return b;
}

std::size_t largest_entry(const block& b) {
    return static_cast<std::size_t>(std::max_element(b.begin(), b.end()) - b.begin());
}

bool all_floor(const block& b, std::size_t first, std::size_t last) {
    return std::all_of(b.begin() + first, b.begin() + last + 1, [](auto v) { return v == 32767; });
}

struct known_entry {
    std::int32_t phase;
    std::size_t level;
    std::uint16_t value;
};

}  // namespace

// Values worked out with a correctly rounded cosine; any slip in the order of
// evaluation or a fused multiply-add moves some of them.
TEST(Curve, KnownEntries) {
    const known_entry table[] = {
        {0, 128, 65534},   {0, 49, 33410},    {0, 64, 42892},    {0, 96, 59276},
        {0, 160, 59276},   {0, 192, 42892},   {90, 0, 52026},    {90, 48, 65534},
        {90, 64, 63930},   {180, 0, 59276},   {180, 255, 58892}, {180, 64, 32767},
        {180, 128, 32767}, {180, 192, 32767}, {270, 208, 65534}, {270, 255, 52543},
        {359, 128, 65529}, {359, 129, 65533}, {144, 0, 65534},   {145, 0, 65529},
        {217, 255, 65533}, {225, 248, 65534},
    };
    for (const auto& e : table) {
        EXPECT_EQ(render(e.phase)[e.level], e.value) << "phase " << e.phase << " level " << e.level;
    }
}

TEST(Curve, FlatOutsideTheHump) {
    EXPECT_TRUE(all_floor(render(0), 0, 48));
    EXPECT_TRUE(all_floor(render(0), 208, 255));
    EXPECT_TRUE(all_floor(render(90), 128, 255));
    EXPECT_TRUE(all_floor(render(270), 0, 128));
}

TEST(Curve, WherePeaksFall) {
    EXPECT_EQ(largest_entry(render(90)), 48u);
    EXPECT_EQ(largest_entry(render(180)), 0u);
    EXPECT_EQ(largest_entry(render(359)), 129u);
    EXPECT_EQ(largest_entry(render(145)), 0u);
    EXPECT_EQ(largest_entry(render(217)), 255u);
    const block half_turn = render(180);
    EXPECT_EQ(std::count(half_turn.begin(), half_turn.end(), 65534), 0);
}

TEST(Curve, SymmetricAboutCentreAtPhaseZero) {
    const block b = render(0);
    for (std::size_t k = 1; k <= 127; ++k) {
        EXPECT_EQ(b[128 - k], b[128 + k]) << "k " << k;
    }
}

// Across every phase: entries stay in 32767..65534, the crest sits at
// 128 - phase * 8/9 (phase taken in -180..179), the hump is symmetric about
// a crest that falls on a level, and only the 32 phases that put the crest
// exactly on a level reach 65534.
TEST(Curve, PropertiesOverAllPhases) {
    std::vector<std::int32_t> reaching_top;
    for (std::int32_t phase = 0; phase < 360; ++phase) {
        const block b = render(phase);
        const auto [lo, hi] = std::minmax_element(b.begin(), b.end());
        EXPECT_EQ(*lo, 32767) << "phase " << phase;
        EXPECT_LE(*hi, 65534) << "phase " << phase;
        if (*hi == 65534) {
            reaching_top.push_back(phase);
        }
        const std::int32_t signed_phase = phase < 180 ? phase : phase - 360;
        const std::int32_t crest_times_9 = 128 * 9 - signed_phase * 8;
        if (crest_times_9 >= 0 && crest_times_9 <= 255 * 9 && crest_times_9 % 9 == 0) {
            const std::size_t crest = static_cast<std::size_t>(crest_times_9 / 9);
            EXPECT_EQ(b[crest], 65534) << "phase " << phase;
            for (std::size_t k = 1; k <= std::min(crest, 255 - crest); ++k) {
                EXPECT_EQ(b[crest - k], b[crest + k]) << "phase " << phase << " k " << k;
            }
        }
    }
    std::vector<std::int32_t> expected;
    for (std::int32_t p = 0; p < 360; p += 9) {
        if (p <= 144 || p >= 225) {
            expected.push_back(p);
        }
    }
    EXPECT_EQ(expected.size(), 32u);
    EXPECT_EQ(reaching_top, expected);
}

// The formula takes any integer: a phase a whole number of turns away gives
// the same hump, to within the last bit of the cosine.
TEST(Curve, AnyIntegerPhase) {
    const std::int32_t phases[] = {-1, -90, -359, 360, 719, 100000, INT32_MIN, INT32_MAX};
    for (std::int32_t phase : phases) {
        const block b = render(phase);
        for (auto v : b) {
            ASSERT_GE(v, 32767) << "phase " << phase;
            ASSERT_LE(v, 65534) << "phase " << phase;
        }
    }
    const block a = render(270);
    const block b = render(-90);
    const block c = render(270 + 3600);
    for (std::size_t i = 0; i < 256; ++i) {
        EXPECT_NEAR(a[i], b[i], 1) << i;
        EXPECT_NEAR(a[i], c[i], 1) << i;
    }
}
