// Real X servers and real processes for the end-to-end tests and benchmarks:
// Xvfb, or Xorg with the dummy driver, on a display number the server picks
// itself (-displayfd), so nothing ever touches a display of the machine.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "x11/x11-gamma.h"

struct x_server {
    pid_t pid = -1;
    std::string display;  // ":N"
    std::string workdir;  // config and log, removed by stop_x_server
};

// Xvfb with -noreset: a server that resets when its last client leaves would
// lose the ramps a restore check looks at. One CRTC of size 256.
std::optional<x_server> start_xvfb();

// Xorg with the dummy driver (needs root): 16 CRTCs of size 256, of which
// three are switched on side by side.
std::optional<x_server> start_xorg_dummy(int monitors = 3);

void stop_x_server(x_server& server);

struct user_ids {
    uid_t uid;
    gid_t gid;
};

struct process_options {
    std::optional<std::string> display;  // unset DISPLAY when empty
    std::vector<std::pair<std::string, std::string>> env;
    std::string stdout_path;  // /dev/null when empty
    std::string stderr_path;
    int stdin_fd = -1;                // the test's own stdin when negative
    std::optional<user_ids> user{};   // run as this user, with no supplementary groups
    bool close_standard_fds = false;  // start with descriptors 0, 1 and 2 closed
    bool new_session = false;         // lead a session (and a process group) of its own
};

// Starts argv[0] from PATH; the child starts with `blocked` in its signal mask.
pid_t spawn(const std::vector<std::string>& argv, const process_options& opts,
            const std::vector<int>& blocked = {});

struct exit_result {
    bool exited = false;  // false: killed by a signal (or timed out)
    int code = -1;        // exit status, or the signal that ended it
    bool timed_out = false;
};
exit_result wait_exit(pid_t pid, std::chrono::milliseconds limit);

std::string read_file(const std::string& path);
std::string temp_dir();
void remove_tree(const std::string& path);

// A connection of the test's own to `display`.
struct test_display {
    x_display x;
    explicit test_display(const std::string& display);
    ~test_display();
    test_display(const test_display&) = delete;
    test_display& operator=(const test_display&) = delete;
    std::vector<crtc_ramp> ramps() const;
    void load(const std::vector<crtc_ramp>& ramps) const;
};

// Random, non-identity ramps for every CRTC of `current`.
std::vector<crtc_ramp> random_ramps(const std::vector<crtc_ramp>& current, unsigned seed);

// Polls until `pred` holds or `limit` passes.
template <typename Pred>
bool eventually(Pred pred, std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
        if (pred()) {
            return true;
        }
        struct timespec ts {
            0, 5'000'000
        };
        nanosleep(&ts, nullptr);
    }
    return pred();
}
