// One run of the real gammawave in a test, shared by the X11 and Wayland
// end-to-end tests. GAMMAWAVE_BIN and COS_FAULT_LIB come from CMake.
#pragma once

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "x_server.h"

// One run of the program; its output directory goes with it, even when an
// assertion ends the test early.
struct gammawave_run {
    pid_t pid = -1;
    std::string dir = temp_dir();
    gammawave_run() = default;
    gammawave_run(gammawave_run&& other) noexcept { *this = std::move(other); }
    gammawave_run& operator=(gammawave_run&& other) noexcept {
        std::swap(pid, other.pid);
        std::swap(dir, other.dir);
        return *this;
    }
    ~gammawave_run() { remove_tree(dir); }
    std::string out() const { return read_file(dir + "/out"); }
    std::string err() const { return read_file(dir + "/err"); }
    bool running() const { return waitpid(pid, nullptr, WNOHANG) == 0; }
};

inline gammawave_run start_gammawave(std::optional<std::string> display,
                                     std::vector<std::pair<std::string, std::string>> env = {},
                                     std::vector<std::string> args = {},
                                     std::vector<int> blocked_signals = {}) {
    gammawave_run run;
    // No session bus of the tester's own: on a GNOME desktop the program
    // would otherwise find the real Mutter there and animate the real screen.
    if (std::none_of(env.begin(), env.end(),
                     [](const auto& e) { return e.first == "DBUS_SESSION_BUS_ADDRESS"; })) {
        env.push_back({"DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent"});
    }
    args.insert(args.begin(), GAMMAWAVE_BIN);
    run.pid = spawn(args, {std::move(display), std::move(env), run.dir + "/out", run.dir + "/err"},
                    blocked_signals);
    return run;
}

// The injected faults: a preloaded cos faults after about 30 frames (768
// calls a frame).
inline std::vector<std::pair<std::string, std::string>> fault_env(const char* fault) {
    return {{"LD_PRELOAD", COS_FAULT_LIB},
            {"GAMMAWAVE_FAULT", fault},
            {"GAMMAWAVE_FAULT_AFTER", "23000"}};
}

// Status 1 and exactly one line on stderr, which says `why`.
inline void expect_one_line_failure(const exit_result& r, const gammawave_run& run,
                                    const std::string& why) {
    EXPECT_TRUE(r.exited) << why;
    EXPECT_EQ(r.code, 1) << why;
    const std::string err = run.err();
    EXPECT_NE(err.find(why), std::string::npos) << err;
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
}
