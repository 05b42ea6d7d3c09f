#include <gtest/gtest.h>

#include <cstddef>
#include <vector>

#include "wave.h"

namespace {

// A scripted source of draws. random_draw is a plain function pointer, so the
// script lives at file scope; each test sets it up through script().
struct draw_script {
    std::vector<int> values;
    std::size_t used = 0;
};
draw_script current;

int scripted_draw() {
    // Running past the script is a test fault; make it loud rather than UB.
    if (current.used >= current.values.size()) {
        ADD_FAILURE() << "draw " << current.used << " was not scripted";
        return 0;
    }
    return current.values[current.used++];
}

void script(std::vector<int> values) {
    current = draw_script{std::move(values), 0};
}

wave_state single_state(wave_channel red) {
    // Green and blue sit far from any reversal so only red can draw.
    return wave_state{{red, wave_channel{0, 1, 500}, wave_channel{0, 1, 500}}};
}

}  // namespace

TEST(Animator, StartUsesDrawsInChannelOrder) {
    script({725, 3, 1000, 359, 8, 719, 360, 32767, 0});
    wave_state s{};
    wave_start(s, scripted_draw);
    EXPECT_EQ(current.used, 9u);
    EXPECT_EQ(s.channels[0].phase, 5);
    EXPECT_EQ(s.channels[0].direction, -1);
    EXPECT_EQ(s.channels[0].countdown, 380);
    EXPECT_EQ(s.channels[1].phase, 359);
    EXPECT_EQ(s.channels[1].direction, 1);
    EXPECT_EQ(s.channels[1].countdown, 819);
    EXPECT_EQ(s.channels[2].phase, 0);
    EXPECT_EQ(s.channels[2].direction, -1);
    EXPECT_EQ(s.channels[2].countdown, 100);
}

TEST(Animator, CountdownRange) {
    script({0, 719, 720, 32767});
    EXPECT_EQ(draw_countdown(scripted_draw), 100);
    EXPECT_EQ(draw_countdown(scripted_draw), 819);
    EXPECT_EQ(draw_countdown(scripted_draw), 100);
    EXPECT_EQ(draw_countdown(scripted_draw), 32767 % 720 + 100);
}

TEST(Animator, PhaseWrapsBothWays) {
    script({});
    gamma_ramp ramp{};
    wave_state up = single_state({359, 1, 50});
    wave_frame(up, ramp, scripted_draw);
    EXPECT_EQ(up.channels[0].phase, 0);

    wave_state down = single_state({0, -1, 50});
    wave_frame(down, ramp, scripted_draw);
    EXPECT_EQ(down.channels[0].phase, 359);
    EXPECT_EQ(current.used, 0u);
}

// A frame renders from the phase it starts with, then reverses, then moves.
TEST(Animator, ReversalAtZeroCountdown) {
    script({250});
    gamma_ramp ramp{};
    wave_state s = single_state({10, 1, 0});
    wave_frame(s, ramp, scripted_draw);
    EXPECT_EQ(current.used, 1u);
    EXPECT_EQ(s.channels[0].phase, 9);
    EXPECT_EQ(s.channels[0].direction, -1);
    EXPECT_EQ(s.channels[0].countdown, 350);

    std::array<std::uint16_t, 256> at_ten{};
    render_channel_curve(10, at_ten);
    EXPECT_TRUE(std::equal(at_ten.begin(), at_ten.end(), ramp.begin()));
}

TEST(Animator, NoReversalAtCountdownOne) {
    script({});
    gamma_ramp ramp{};
    wave_state s = single_state({10, 1, 1});
    wave_frame(s, ramp, scripted_draw);
    EXPECT_EQ(current.used, 0u);
    EXPECT_EQ(s.channels[0].countdown, 0);
    EXPECT_EQ(s.channels[0].direction, 1);
    EXPECT_EQ(s.channels[0].phase, 11);
}

// Every channel that reverses in a frame takes one draw, in channel order.
TEST(Animator, DrawsPerFrameFollowReversals) {
    script({0, 719});
    gamma_ramp ramp{};
    wave_state s{{wave_channel{5, 1, 0}, wave_channel{5, 1, 3}, wave_channel{5, -1, 0}}};
    wave_frame(s, ramp, scripted_draw);
    EXPECT_EQ(current.used, 2u);
    EXPECT_EQ(s.channels[0].countdown, 100);
    EXPECT_EQ(s.channels[1].countdown, 2);
    EXPECT_EQ(s.channels[2].countdown, 819);
    EXPECT_EQ(s.channels[2].phase, 6);
}

// A channel given countdown N moves one way for frames 1..N and reverses in
// frame N + 1; each frame differs from the last by one degree.
TEST(Animator, RunLengthsAndBlocks) {
    script({0});
    gamma_ramp ramp{};
    wave_state s = single_state({100, 1, 3});
    std::vector<std::int32_t> rendered;
    for (int frame = 0; frame < 6; ++frame) {
        rendered.push_back(s.channels[0].phase);
        wave_frame(s, ramp, scripted_draw);
        std::array<std::uint16_t, 256> expected{};
        render_channel_curve(rendered.back(), expected);
        ASSERT_TRUE(std::equal(expected.begin(), expected.end(), ramp.begin())) << frame;
        render_channel_curve(static_cast<std::int32_t>(frame), expected);  // green
        ASSERT_TRUE(std::equal(expected.begin(), expected.end(), ramp.begin() + 256)) << frame;
    }
    EXPECT_EQ(rendered, (std::vector<std::int32_t>{100, 101, 102, 103, 102, 101}));
    EXPECT_EQ(current.used, 1u);
}

TEST(Animator, SameDrawsSameRamps) {
    std::vector<int> draws;
    for (int i = 0; i < 4000; ++i) {
        draws.push_back((i * 7919 + 13) % 32768);
    }
    auto run = [&draws] {
        script(draws);
        wave_state s{};
        gamma_ramp ramp{};
        wave_start(s, scripted_draw);
        std::vector<gamma_ramp> out;
        for (int frame = 0; frame < 2000; ++frame) {
            wave_frame(s, ramp, scripted_draw);
            out.push_back(ramp);
        }
        return out;
    };
    const auto first = run();
    const auto second = run();
    EXPECT_EQ(first, second);
    EXPECT_NE(first.front(), first.back());
}
