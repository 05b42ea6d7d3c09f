// Wayland compositors for the end-to-end tests: the test compositor
// (tests/harness/gamma_compositor.h describes its log) and a
// real sway on the headless backend. Each runs in a private XDG_RUNTIME_DIR
// that goes with the object.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "x_server.h"

using gamma_table = std::vector<std::uint16_t>;  // N red, N green, N blue
using env_list = std::vector<std::pair<std::string, std::string>>;

struct compositor_options {
    std::vector<std::uint32_t> outputs{256};  // each output's gamma size; 0: it has no gamma
    std::vector<int> held{};                  // outputs another client already holds
    std::vector<int> silent{};                // outputs whose controls never answer
    bool manager = true;                      // advertise the gamma-control manager
    bool log_values = true;                   // false: `set` lines without the table
};

class test_compositor {
public:
    ~test_compositor();  // quits it (or kills it), then removes its directory
    test_compositor(const test_compositor&) = delete;
    test_compositor& operator=(const test_compositor&) = delete;

    pid_t pid() const { return pid_; }
    const std::string& runtime_dir() const { return dir_; }
    const std::string& socket_name() const { return socket_; }
    std::string socket_path() const { return dir_ + "/" + socket_; }
    // XDG_RUNTIME_DIR and WAYLAND_DISPLAY, for process_options::env.
    env_list client_env() const;

    // One command line: "remove 1", "add 256", "fail 0", "stall 500", "quit".
    bool command(const std::string& line) const;
    // Sends quit and waits for it to exit.
    exit_result quit(std::chrono::milliseconds limit = std::chrono::seconds(5));

    std::string log() const;
    std::vector<std::string> log_lines() const;
    // The lines that are `start` or begin with `start` and a space:
    // lines("set 0") finds every table set on output 0.
    std::vector<std::string> lines(const std::string& start) const;
    bool wait_for_line(const std::string& start,
                       std::chrono::milliseconds limit = std::chrono::seconds(5)) const;
    // Every table taken so far, by output, oldest first.
    std::map<int, std::vector<gamma_table>> set_tables() const;

private:
    test_compositor() = default;
    friend std::unique_ptr<test_compositor> start_test_compositor(const compositor_options&);
    pid_t pid_ = -1;
    int commands_ = -1;
    std::string dir_;
    std::string socket_;
};

// Null when it does not get ready within ten seconds.
std::unique_ptr<test_compositor> start_test_compositor(const compositor_options& opts = {});

// sway refuses to run as root, so when the tests are root it runs as
// `nobody`; its XWayland then takes only clients of that same user, which is
// why clients are started through spawn_client.
class headless_sway {
public:
    ~headless_sway();  // SIGTERM, wait, then removes its directory
    headless_sway(const headless_sway&) = delete;
    headless_sway& operator=(const headless_sway&) = delete;

    pid_t pid() const { return pid_; }
    const std::optional<user_ids>& user() const { return user_; }  // unset: the test's own
    const std::string& runtime_dir() const { return dir_; }
    const std::string& wayland_display() const { return wayland_display_; }
    std::string wayland_socket() const { return dir_ + "/" + wayland_display_; }
    const std::string& x_display() const { return x_display_; }  // ":N", empty without XWayland
    // From fork to the moment the config's exec ran, the Wayland socket listening.
    std::chrono::milliseconds startup_time() const { return startup_; }
    std::string log() const;  // sway's stderr

    // XDG_RUNTIME_DIR, WAYLAND_DISPLAY and HOME; DISPLAY comes in spawn_client.
    env_list client_env() const;
    // Runs `argv` as sway's user, with client_env() and DISPLAY set to its XWayland;
    // a program given by path runs from a copy that user can reach.
    pid_t spawn_client(const std::vector<std::string>& argv, process_options opts = {}) const;

private:
    headless_sway() = default;
    friend std::unique_ptr<headless_sway> start_sway_headless(std::string&, bool);
    pid_t pid_ = -1;
    std::optional<user_ids> user_;
    std::string dir_;
    std::string wayland_display_;
    std::string x_display_;
    std::chrono::milliseconds startup_{0};
};

// WLR_BACKENDS=headless, the pixman renderer, no input devices, one output
// (HEADLESS-1). XWayland starts with the first X client, or with sway when
// `xwayland_at_start`. Null when sway cannot start here, and `why` says why.
std::unique_ptr<headless_sway> start_sway_headless(std::string& why,
                                                   bool xwayland_at_start = false);

// Whether `program` is an executable file in one of $PATH's directories.
bool on_path(const std::string& program);
