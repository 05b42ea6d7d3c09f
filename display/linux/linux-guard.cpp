#include "linux/linux-guard.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

namespace {

int stand_down_pipe = -1;  // gammawave's write end

// The guard's name in ps, top and pidof (comm holds 15 characters), also
// for the short-lived first child.
constexpr char guard_name[] = "gammawave-guard";

// Where the kernel keeps the command line and the environment strings,
// fields 48 to 51 of /proc/self/stat (Linux 3.5 and later).
struct command_line_area {
    unsigned long arg_start = 0, arg_end = 0, env_start = 0, env_end = 0;
};

bool read_command_line_area(command_line_area& a) {
    char stat[1024];
    FILE* f = std::fopen("/proc/self/stat", "r");
    const std::size_t n = f != nullptr ? std::fread(stat, 1, sizeof stat - 1, f) : 0;
    if (f != nullptr) {
        std::fclose(f);
    }
    stat[n] = '\0';
    // The name in parentheses may hold spaces; the fields after it do not.
    const char* p = std::strrchr(stat, ')');
    for (int field = 2; p != nullptr && field < 48; ++field) {
        p = std::strchr(p + 1, ' ');
    }
    return p != nullptr && std::sscanf(p, " %lu %lu %lu %lu", &a.arg_start, &a.arg_end,
                                       &a.env_start, &a.env_end) == 4;
}

// ps and pidof read a process's name from its command line, and a fork
// shares gammawave's, so `pidof gammawave` and `kill $(pidof gammawave)`
// would reach the guard too. The guard writes its own name over the area,
// into the environment strings' room after it where the arguments are too
// short, once the environment has been copied aside; the kernel reads a
// command line whose last byte is no longer a NUL on into that room.
void rename_command_line() {
    command_line_area a;
    if (!read_command_line_area(a) || a.arg_end <= a.arg_start) {
        return;
    }
    unsigned long end = a.arg_end;
    if (a.env_start == a.arg_end && a.env_end > a.env_start) {
        for (char** e = environ; *e != nullptr; ++e) {
            *e = strdup(*e);
        }
        end = a.env_end;
    }
    char* area = reinterpret_cast<char*>(a.arg_start);
    const std::size_t room = end - a.arg_start;
    std::memset(area, 0, room);
    if (room >= sizeof guard_name) {
        std::memcpy(area, guard_name, sizeof guard_name);
    }
}

void close_from(int first) {
    if (close_range(static_cast<unsigned>(first), ~0U, 0) == 0) {
        return;
    }
    // Kernels before 5.9 have no close_range.
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    for (rlim_t fd = static_cast<rlim_t>(first); fd < limit.rlim_cur; ++fd) {
        close(static_cast<int>(fd));
    }
}

// Keeps `keep` (as descriptor 3) and /dev/null on 0 to 2, and closes the
// rest. Above all the display connection: while the guard held gammawave's
// socket the server would never see gammawave go.
int keep_only(int keep) {
    const int moved = fcntl(keep, F_DUPFD, 3);
    const int null = open("/dev/null", O_RDWR);
    if (moved < 0 || null < 0) {
        _exit(1);
    }
    for (int fd = 0; fd <= 2; ++fd) {
        dup2(null, fd);
    }
    if (moved != 3) {
        dup2(moved, 3);
    }
    close_from(4);
    return 3;
}

// A mask inherited from a shell or a supervisor would keep SIGTERM from
// ending the guard at shutdown.
void default_signals() {
    for (int sig : {SIGINT, SIGTERM, SIGSEGV, SIGHUP, SIGQUIT}) {
        signal(sig, SIG_DFL);
    }
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
}

// In the first child: a session of its own, so that neither the terminal's
// Ctrl+C nor its hangup reaches the guard, then the guard itself as a
// grandchild, which init (or a subreaper) adopts once this child has ended,
// so gammawave is left with no zombie and the guard can never take a
// controlling terminal.
[[noreturn]] void become_guard(int read_end, guard_watch_fn watch) {
    prctl(PR_SET_NAME, guard_name);
    rename_command_line();
    setsid();
    const pid_t guard = fork();
    if (guard != 0) {
        _exit(guard > 0 ? 0 : 1);
    }
    default_signals();
    watch(keep_only(read_end));
    _exit(0);
}

void wait_for(pid_t child) {
    while (waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
    }
}

}  // namespace

void start_guard(guard_watch_fn watch) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        return;
    }
    const pid_t child = fork();
    if (child == 0) {
        become_guard(fds[0], watch);
    }
    close(fds[0]);
    if (child < 0) {
        close(fds[1]);
        return;
    }
    wait_for(child);
    // One byte is ever written, so the pipe cannot fill; non-blocking all
    // the same, for the handlers' sake.
    fcntl(fds[1], F_SETFL, O_NONBLOCK);
    stand_down_pipe = fds[1];
}

bool guard_has_ended() {
    pollfd p{stand_down_pipe, POLLOUT, 0};
    return stand_down_pipe < 0 || (poll(&p, 1, 0) == 1 && (p.revents & POLLERR) != 0);
}

void stand_guard_down() {
    if (stand_down_pipe >= 0) {
        const char byte = 1;
        [[maybe_unused]] const ssize_t ignored = write(stand_down_pipe, &byte, 1);
    }
}

void tell_guard(const void* data, unsigned long size) {
    const char* p = static_cast<const char*>(data);
    pollfd room{stand_down_pipe, POLLOUT, 0};
    while (stand_down_pipe >= 0 && size > 0) {
        const ssize_t n = write(stand_down_pipe, p, size);
        if (n > 0) {
            p += n;
            size -= static_cast<unsigned long>(n);
        } else if (errno != EAGAIN || poll(&room, 1, 1000) != 1) {
            return;
        }
    }
}
