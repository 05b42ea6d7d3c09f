// The three channel oscillators. Each walks one degree per frame and reverses
// after a randomly drawn run; channels are drawn and stepped independently so
// their humps drift in and out of step.
#include "wave.h"

namespace {

constexpr std::int32_t degrees_per_turn = 360;
constexpr std::int32_t shortest_run = 100;  // frames, so at least a second at 100 fps
constexpr std::int32_t run_choices = 720;   // runs of 100..819 frames

std::span<std::uint16_t, 256> channel_block(gamma_ramp& ramp, std::size_t channel) {
    return std::span<std::uint16_t, 256>(ramp.data() + channel * 256, 256);
}

// Counting below zero is the moment of reversal: it costs exactly one draw.
void count_down(wave_channel& ch, random_draw draw) {
    ch.countdown -= 1;
    if (ch.countdown < 0) {
        ch.direction = -ch.direction;
        ch.countdown = draw_countdown(draw);
    }
}

void advance(wave_channel& ch) {
    ch.phase += ch.direction;
    if (ch.phase < 0) {
        ch.phase += degrees_per_turn;
    } else if (ch.phase > degrees_per_turn - 1) {
        ch.phase -= degrees_per_turn;
    }
}

}  // namespace

std::int32_t draw_countdown(random_draw draw) {
    return draw() % run_choices + shortest_run;
}

void wave_start(wave_state& state, random_draw draw) {
    // Separate statements fix the order of the draws: phase, direction,
    // countdown, channel by channel.
    for (wave_channel& ch : state.channels) {
        ch.phase = draw() % degrees_per_turn;
        ch.direction = (draw() % 2 != 0) ? -1 : 1;
        ch.countdown = draw_countdown(draw);
    }
}

void wave_frame(wave_state& state, gamma_ramp& ramp, random_draw draw) {
    for (std::size_t c = 0; c < state.channels.size(); ++c) {
        wave_channel& ch = state.channels[c];
        render_channel_curve(ch.phase, channel_block(ramp, c));
        count_down(ch, draw);
        advance(ch);
    }
}
