// The floor: a loop that only waits 10 ms at a time exactly as gammawave's
// frame loop does (ppoll on a pipe, 1 us timer slack), for the number of seconds given. It
// prints its wakes and the CPU time they took, read from its own schedstat,
// so every per-frame CPU figure can be shown next to what waiting alone costs.
#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>

namespace {

long long cpu_ns() {
    std::ifstream in("/proc/self/schedstat");
    long long ns = 0;
    in >> ns;
    return ns;
}

double now_s() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

}  // namespace

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? std::atof(argv[1]) : 10.0;
    prctl(PR_SET_TIMERSLACK, 1000UL);  // as gammawave sets it
    int fds[2];
    if (pipe2(fds, O_NONBLOCK | O_CLOEXEC) != 0) {
        return 1;
    }
    const double end = now_s() + seconds;
    const long long cpu_start = cpu_ns();
    long wakes = 0;
    while (now_s() < end) {
        pollfd p{fds[0], POLLIN, 0};
        const timespec pause{0, 10'000'000};
        ppoll(&p, 1, &pause, nullptr);
        ++wakes;
    }
    std::printf("%ld %lld\n", wakes, cpu_ns() - cpu_start);
    return 0;
}
