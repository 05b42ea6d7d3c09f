#include <benchmark/benchmark.h>

#include <cstdlib>

#include "wave.h"

namespace {

void bm_render_channel_curve(benchmark::State& state) {
    std::array<std::uint16_t, 256> block{};
    std::int32_t phase = 0;
    for (auto _ : state) {
        render_channel_curve(phase, block);
        benchmark::DoNotOptimize(block.data());
        phase = (phase + 1) % 360;
    }
}
BENCHMARK(bm_render_channel_curve);

void bm_wave_frame(benchmark::State& state) {
    std::srand(1);
    wave_state s{};
    gamma_ramp ramp{};
    wave_start(s);
    for (auto _ : state) {
        wave_frame(s, ramp);
        benchmark::DoNotOptimize(ramp.data());
    }
}
BENCHMARK(bm_wave_frame);

}  // namespace

BENCHMARK_MAIN();
