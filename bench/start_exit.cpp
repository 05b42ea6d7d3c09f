// Start-up and exit of the real program on a private Xvfb, next to the floor:
// from the spawn to the first frame on the display (seen by a client of the
// benchmark's own, which reads the ramps back until they change), and from
// SIGINT to the process's end as its parent sees it. The floor's exit is
// floor_wait's: a process that only waits, ended by the same SIGINT, which
// is what ending a process costs on this machine. SIGKILL to the end, with
// the guard's restore waited out after each, is the program's teardown alone.
//
//   start_exit [--runs N] [--program PATH]     (default: 20 runs, this build's)
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "x_server.h"

using namespace std::chrono_literals;
using steady = std::chrono::steady_clock;

namespace {

double ms_since(steady::time_point start) {
    return std::chrono::duration<double, std::milli>(steady::now() - start).count();
}

bool same(const std::vector<crtc_ramp>& a, const std::vector<crtc_ramp>& b) {
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](const crtc_ramp& x, const crtc_ramp& y) {
               return x.entries == y.entries;
           });
}

// Blocking: wait_exit polls every millisecond, too coarse here.
double signal_to_exit_ms(pid_t pid, int sig = SIGINT) {
    const auto start = steady::now();
    kill(pid, sig);
    int status = 0;
    waitpid(pid, &status, 0);
    return ms_since(start);
}

struct run_figures {
    double start_ms, exit_ms;
};

run_figures one_run(const std::string& program, const std::string& display, const test_display& d,
                    int sig) {
    const std::vector<crtc_ramp> before = d.ramps();
    const auto start = steady::now();
    const pid_t pid =
        spawn({program}, {display, {{"DBUS_SESSION_BUS_ADDRESS", "unix:path=/x"}}, {}, {}});
    // A pause between reads, or the reads would crowd the program's own
    // requests out of the server.
    while (same(d.ramps(), before) && ms_since(start) < 10'000) {
        std::this_thread::sleep_for(200us);
    }
    const double start_ms = ms_since(start);
    std::this_thread::sleep_for(300ms);
    const double exit_ms = signal_to_exit_ms(pid, sig);
    while (!same(d.ramps(), before) && ms_since(start) < 10'000) {  // the guard's restore
        std::this_thread::sleep_for(1ms);
    }
    return {start_ms, exit_ms};
}

double floor_exit_ms() {
    const pid_t pid = spawn({FLOOR_BIN, "60"}, {std::string{}, {}, {}, {}});
    std::this_thread::sleep_for(300ms);
    return signal_to_exit_ms(pid);
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    int runs = 20;
    std::string program = GAMMAWAVE_BIN;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--runs") == 0) {
            runs = std::max(1, std::atoi(argv[i + 1]));
        } else if (std::strcmp(argv[i], "--program") == 0) {
            program = argv[i + 1];
        }
    }
    auto server = start_xvfb();
    if (!server) {
        std::fprintf(stderr, "could not start Xvfb\n");
        return 1;
    }
    std::vector<double> start_ms, exit_ms, floor_ms, kill_ms;
    {
        const test_display d(server->display);
        for (int run = 0; run < runs; ++run) {
            const run_figures f = one_run(program, server->display, d, SIGINT);
            start_ms.push_back(f.start_ms);
            exit_ms.push_back(f.exit_ms);
            floor_ms.push_back(floor_exit_ms());
        }
        // Last: a new start would wait for the guard's claim after each.
        for (int run = 0; run < runs; ++run) {
            kill_ms.push_back(one_run(program, server->display, d, SIGKILL).exit_ms);
        }
    }
    stop_x_server(*server);
    std::printf(
        "| program | runs | start to first frame median, max (ms) | SIGINT to exit median, max "
        "(ms) | floor's exit median (ms) | exit / floor | SIGKILL to exit median (ms) "
        "|\n|---|---|---|---|---|---|---|\n");
    std::printf("| %s | %d | %.2f, %.2f | %.2f, %.2f | %.2f | %.2f | %.2f |\n", program.c_str(),
                runs, median(start_ms), *std::max_element(start_ms.begin(), start_ms.end()),
                median(exit_ms), *std::max_element(exit_ms.begin(), exit_ms.end()),
                median(floor_ms), median(exit_ms) / median(floor_ms), median(kill_ms));
    return 0;
}
