#include "linux/linux-signals.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

int wake_pipe[2] = {-1, -1};
volatile sig_atomic_t first = 0;
long first_at_ms = 0;  // when `first` arrived

// A second interrupt this soon after the first is not the user's way out of
// a stalled restore: a healthy display answers in about a millisecond, and
// two signals sent together (a supervisor's SIGTERM after a Ctrl+C, a double
// press) must still restore.
constexpr long escape_after_ms = 250;
fault_restore_fn fault_restore = nullptr;

// The fault handler's own stack; 64 KiB leaves room for the largest signal
// frames x86-64 pushes (AVX-512 state) several times over.
alignas(16) char fault_stack[64 * 1024];

void wake_loop() {
    const char byte = 1;
    // The pipe is non-blocking: when it is full the loop is already awake.
    [[maybe_unused]] const ssize_t ignored = write(wake_pipe[1], &byte, 1);
}

// The handlers block one another (see handle()), so the test and the store
// of `first` cannot interleave.
void note_first(int sig) {
    if (first == 0) {
        first_at_ms = monotonic_ms();
        first = sig;
        wake_loop();
    }
}

void take_default_action(int sig) {
    struct sigaction sa {};
    sa.sa_handler = SIG_DFL;
    sigemptyset(&sa.sa_mask);
    sigaction(sig, &sa, nullptr);
}

// Once a handled signal has arrived the restore is under way; should the
// display stall it, a second interrupt is the user's way out, and it ends
// the process the default way at once.
void on_interrupt(int sig) {
    const int saved_errno = errno;
    if (first != 0 && monotonic_ms() - first_at_ms >= escape_after_ms) {
        take_default_action(sig);
        raise(sig);  // delivered as the handler returns
    }
    note_first(sig);
    errno = saved_errno;
}

// The fault restore may wait for a stalled display as long as the user
// lets it: an interrupt now ends the process at once.
void let_interrupts_end_the_wait() {
    take_default_action(SIGINT);
    take_default_action(SIGTERM);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigprocmask(SIG_UNBLOCK, &set, nullptr);
}

void on_segv(int sig, siginfo_t* info, void*) {
    if (info->si_code <= 0) {  // sent by another process: the loop can restore
        const int saved_errno = errno;
        note_first(sig);
        errno = saved_errno;
        return;
    }
    if (fault_restore != nullptr) {
        let_interrupts_end_the_wait();
        fault_restore();
    }
    _exit(sig);
}

void add_handled(sigset_t& set) {
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGSEGV);
}

void handle(int sig, void (*action)(int, siginfo_t*, void*), void (*plain)(int), int flags) {
    struct sigaction sa {};
    if (action != nullptr) {
        sa.sa_sigaction = action;
        flags |= SA_SIGINFO;
    } else {
        sa.sa_handler = plain;
    }
    sa.sa_flags = flags | SA_RESTART;
    sigemptyset(&sa.sa_mask);
    add_handled(sa.sa_mask);
    sigaction(sig, &sa, nullptr);
}

void open_wake_pipe() {
    if (pipe2(wake_pipe, O_NONBLOCK | O_CLOEXEC) != 0) {
        // Without a pipe a signal still ends the wait through EINTR, and
        // every wait checks `first` before it starts.
        wake_pipe[0] = wake_pipe[1] = -1;
    }
}

void use_fault_stack() {
    stack_t ss{};
    ss.ss_sp = fault_stack;
    ss.ss_size = sizeof fault_stack;
    sigaltstack(&ss, nullptr);
}

void unblock_handled() {
    sigset_t set;
    sigemptyset(&set);
    add_handled(set);
    sigprocmask(SIG_UNBLOCK, &set, nullptr);
}

}  // namespace

void hold_standard_descriptors() {
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
            // open takes the lowest free descriptor: `fd`, as those below it
            // are open by now.
            [[maybe_unused]] const int null = open("/dev/null", O_RDWR);
        }
    }
}

void install_signal_handlers(fault_restore_fn on_fault) {
    // The default timer slack of 50 us would stretch every 10 ms pause by up
    // to half a percent; 1 us keeps the frame rate at what the pause promises.
    prctl(PR_SET_TIMERSLACK, 1000UL);
    fault_restore = on_fault;
    open_wake_pipe();
    use_fault_stack();
    handle(SIGSEGV, on_segv, nullptr, SA_ONSTACK);
    handle(SIGTERM, nullptr, on_interrupt, 0);
    handle(SIGINT, nullptr, on_interrupt, 0);
    unblock_handled();
}

long monotonic_ms() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000 + ts.tv_nsec / 1'000'000;
}

timespec pause_left(const timespec& start) {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const long long ns = (start.tv_sec - now.tv_sec) * 1'000'000'000LL + start.tv_nsec -
                         now.tv_nsec + frame_pause.tv_nsec;
    return ns > 0 ? timespec{0, static_cast<long>(ns)} : timespec{};
}

int first_signal() {
    return first;
}

short wait_for_signal_or(int fd, short events, const timespec& timeout, int also,
                         bool* also_ready) {
    if (first != 0) {
        return 0;
    }
    // A negative descriptor is skipped by ppoll, and its revents stay 0.
    pollfd p[3] = {{wake_pipe[0], POLLIN, 0}, {fd, events, 0}, {also, POLLIN, 0}};
    const nfds_t count = also >= 0 ? 3 : 2;
    const bool woke = ppoll(p, count, &timeout, nullptr) > 0 && first == 0;
    if (also_ready != nullptr) {
        *also_ready = woke && p[2].revents != 0;
    }
    return woke ? p[1].revents : 0;
}

void warn_restore_unconfirmed(const char* how_to_reset) {
    const char head[] =
        "gammawave: the display did not confirm the restore, so the original gamma ramps may "
        "not be back; ";
    // One write, so the line arrives whole.
    char line[512];
    const std::size_t h = sizeof head - 1;
    const std::size_t n = std::min(std::strlen(how_to_reset), sizeof line - h - 1);
    std::memcpy(line, head, h);
    std::memcpy(line + h, how_to_reset, n);
    line[h + n] = '\n';
    [[maybe_unused]] const ssize_t ignored = write(STDERR_FILENO, line, h + n + 1);
}

void end_process(int status) {
    std::fflush(nullptr);
    _exit(status);
}
