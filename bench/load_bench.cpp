// One frame's cost on a real server: wave_frame plus load_frame, with no
// pause, through the program's own display layer. The first argument picks
// the server: xvfb (one CRTC) or xorg (the dummy driver, 16 CRTCs, three
// monitors on). Each run is a process of its own because the display layer
// opens its display once per process, as the program does.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "display.h"
#include "wave.h"
#include "x_server.h"

namespace {

void bm_frame_load(benchmark::State& state) {
    wave_state s{};
    gamma_ramp ramp{};
    std::srand(1);
    wave_start(s);
    for (auto _ : state) {
        wave_frame(s, ramp);
        load_frame(ramp);
    }
    state.SetItemsProcessed(state.iterations());
}

}  // namespace

int main(int argc, char** argv) {
    const bool xorg = argc > 1 && std::strcmp(argv[1], "xorg") == 0;
    if (argc < 2 || (!xorg && std::strcmp(argv[1], "xvfb") != 0)) {
        std::fprintf(stderr, "usage: load_bench xvfb|xorg [benchmark options]\n");
        return 2;
    }
    auto server = xorg ? start_xorg_dummy() : start_xvfb();
    if (!server) {
        std::fprintf(stderr, "load_bench: cannot start %s%s\n", argv[1],
                     xorg && geteuid() != 0 ? " (Xorg needs root)" : "");
        return 77;  // skipped
    }
    setenv("DISPLAY", server->display.c_str(), 1);
    if (!open_display()) {
        stop_x_server(*server);
        return 1;
    }
    benchmark::RegisterBenchmark(xorg ? "frame_load/xorg_dummy_16_crtcs" : "frame_load/xvfb_1_crtc",
                                 bm_frame_load);
    argv[1] = argv[0];
    int rest = argc - 1;
    benchmark::Initialize(&rest, argv + 1);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    stop_x_server(*server);
    return 0;
}
