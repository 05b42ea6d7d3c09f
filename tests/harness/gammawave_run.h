// One run of the real gammawave in a test, shared by the X11 and Wayland
// end-to-end tests. GAMMAWAVE_BIN and COS_FAULT_LIB come from CMake.
#pragma once

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "x_server.h"

// gammawave's guard is its grandchild, whose parent ends at once: as a
// subreaper the test adopts it, and finds it among its own children by the
// name the guard gives itself. A guard that has ended is reaped here, and
// still counted this once: the guard's short-lived parent bears the name
// too, and as it ends the guard itself moves over to the test. A signal
// that kills gammawave just after its fork may find that parent not yet
// renamed: still "gammawave", but in the session of the gammawave that
// forked it, neither one of its own, as each gammawave started here has, nor
// the test's, as one started without a session of its own has.
inline std::vector<pid_t> adopted_guards() {
    std::vector<pid_t> guards;
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        const std::string stat = read_file(entry.path().string() + "/stat");
        const std::size_t end = stat.rfind(") ");
        const bool named = stat.find(" (gammawave-guard) ") != std::string::npos;
        const bool unnamed = stat.find(" (gammawave) ") != std::string::npos;
        if (!(named || unnamed) || end == std::string::npos) {
            continue;
        }
        int ppid = 0;
        int pgrp = 0;
        int session = 0;
        const pid_t pid = std::atoi(stat.c_str());
        if (std::sscanf(stat.c_str() + end + 4, "%d %d %d", &ppid, &pgrp, &session) != 3 ||
            ppid != getpid() || (unnamed && (session == pid || session == getsid(0)))) {
            continue;
        }
        if (stat[end + 2] == 'Z') {
            waitpid(pid, nullptr, 0);
        }
        guards.push_back(pid);
    }
    return guards;
}

// Whether `guard`, once adopted, has ended.
inline bool guard_gone(pid_t guard) {
    const auto guards = adopted_guards();
    return std::find(guards.begin(), guards.end(), guard) == guards.end();
}

// Waits for the adopted guards to end; kills any left after `limit`, so
// that none outlives its test. True if they ended by themselves.
inline bool guards_end(std::chrono::milliseconds limit) {
    const auto none = [] { return adopted_guards().empty(); };
    if (eventually(none, limit)) {
        return true;
    }
    for (pid_t guard : adopted_guards()) {
        kill(guard, SIGKILL);
    }
    eventually(none, limit);
    return false;
}

// After gammawave has ended without restoring: how long after `since` the
// guard had put the saved ramps back (`restored()` held), provided the guard
// then ended and nothing came after its restore. Shared by the X11 and the
// Mutter tests; `restored` reads the display the test's own way.
template <typename Restored>
std::optional<std::chrono::milliseconds> restored_by_guard(
    Restored restored, std::chrono::steady_clock::time_point since,
    std::chrono::milliseconds limit = std::chrono::milliseconds(10000)) {
    const bool in_time = eventually(restored, limit);
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - since);
    const bool ended = guards_end(limit);
    if (!in_time || !ended || !restored()) {
        return std::nullopt;
    }
    return took;
}

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
    // The guard does not outlive its run: a late restore would land on the
    // next run's ramps.
    ~gammawave_run() {
        if (pid > 0) {
            guards_end(std::chrono::seconds(5));
        }
        remove_tree(dir);
    }
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
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    args.insert(args.begin(), GAMMAWAVE_BIN);
    process_options opts{std::move(display), std::move(env), run.dir + "/out", run.dir + "/err"};
    // As a shell starts a job: a process group of its own, which a closed
    // terminal's hangup reaches whole.
    opts.new_session = true;
    run.pid = spawn(args, opts, blocked_signals);
    return run;
}

// The injected faults: a preloaded cos faults after about 30 frames (768
// calls a frame), or after `calls`.
inline std::vector<std::pair<std::string, std::string>> fault_env(const char* fault,
                                                                  const char* calls = "23000") {
    return {{"LD_PRELOAD", COS_FAULT_LIB},
            {"GAMMAWAVE_FAULT", fault},
            {"GAMMAWAVE_FAULT_AFTER", calls}};
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
