#include "x_server.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

extern char** environ;

namespace {

std::vector<std::string> environment_with(const process_options& opts) {
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string entry(*e);
        const std::string key = entry.substr(0, entry.find('='));
        bool replaced = key == "DISPLAY";
        for (const auto& [k, v] : opts.env) {
            replaced = replaced || k == key;
        }
        if (!replaced) {
            env.push_back(entry);
        }
    }
    if (opts.display && !opts.display->empty()) {
        env.push_back("DISPLAY=" + *opts.display);
    }
    for (const auto& [k, v] : opts.env) {
        env.push_back(k + "=" + v);
    }
    return env;
}

std::vector<char*> c_strings(std::vector<std::string>& strings) {
    std::vector<char*> out;
    for (std::string& s : strings) {
        out.push_back(s.data());
    }
    out.push_back(nullptr);
    return out;
}

void block(const std::vector<int>& signals) {
    sigset_t set;
    sigemptyset(&set);
    for (int sig : signals) {
        sigaddset(&set, sig);
    }
    sigprocmask(SIG_BLOCK, &set, nullptr);
}

void redirect(int target, const std::string& path) {
    const int fd = open(path.empty() ? "/dev/null" : path.c_str(),
                        O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd >= 0) {
        dup2(fd, target);
    }
}

// Reads the display number a server writes to -displayfd once it is ready.
// A server that hangs before writing it is given up after `limit`.
std::optional<std::string> read_display_number(int fd, std::chrono::seconds limit) {
    std::string text;
    const auto end = std::chrono::steady_clock::now() + limit;
    while (text.find('\n') == std::string::npos) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            end - std::chrono::steady_clock::now());
        pollfd p{fd, POLLIN, 0};
        if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0) {
            break;
        }
        char buf[32];
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0) {
            break;  // the server closed it, having failed to start
        }
        text.append(buf, static_cast<std::size_t>(n));
    }
    if (text.find('\n') == std::string::npos) {
        return std::nullopt;
    }
    std::string display(":");
    display.append(text, 0, text.find('\n'));
    return display;
}

std::optional<x_server> start_server(std::vector<std::string> argv, const std::string& workdir) {
    int fds[2];
    if (pipe(fds) != 0) {
        return std::nullopt;
    }
    argv.insert(argv.begin() + 1, {"-displayfd", std::to_string(fds[1])});
    const pid_t pid =
        spawn(argv, {std::string{}, {}, workdir + "/server.out", workdir + "/server.err"});
    close(fds[1]);
    auto display = read_display_number(fds[0], std::chrono::seconds(20));
    close(fds[0]);
    x_server server{pid, display.value_or(""), workdir};
    if (!display) {
        stop_x_server(server);
        return std::nullopt;
    }
    return server;
}

bool run_quietly(const std::vector<std::string>& argv, const std::string& display) {
    const pid_t pid = spawn(argv, {display, {}, {}, {}});
    const exit_result r = wait_exit(pid, std::chrono::seconds(20));
    return r.exited && r.code == 0;
}

// The dummy driver starts with one monitor on; a mode of our own switches on
// more, each to the right of the last.
bool switch_on_monitors(const std::string& display, int monitors) {
    if (!run_quietly({"xrandr", "--newmode", "gw800x600", "40.00", "800", "840", "968", "1056",
                      "600", "601", "605", "628", "-hsync", "+vsync"},
                     display)) {
        return false;
    }
    for (int m = 1; m < monitors; ++m) {
        const std::string out = "DUMMY" + std::to_string(m);
        const std::string left = "DUMMY" + std::to_string(m - 1);
        if (!run_quietly({"xrandr", "--addmode", out, "gw800x600"}, display) ||
            !run_quietly({"xrandr", "--output", out, "--mode", "gw800x600", "--right-of", left},
                         display)) {
            return false;
        }
    }
    return true;
}

}  // namespace

pid_t spawn(const std::vector<std::string>& argv, const process_options& opts,
            const std::vector<int>& blocked) {
    std::vector<std::string> args = argv;
    std::vector<std::string> env = environment_with(opts);
    std::vector<char*> c_args = c_strings(args);
    std::vector<char*> c_env = c_strings(env);
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid == 0) {
        // The files are opened before the user changes, so they may lie where
        // only the test's own user can write.
        redirect(STDOUT_FILENO, opts.stdout_path);
        redirect(STDERR_FILENO, opts.stderr_path);
        if (opts.stdin_fd >= 0) {
            dup2(opts.stdin_fd, STDIN_FILENO);
        }
        if (opts.user && (setgroups(0, nullptr) != 0 || setgid(opts.user->gid) != 0 ||
                          setuid(opts.user->uid) != 0)) {
            _exit(126);
        }
        // Whatever the tests start dies with them, even if they crash. Set
        // after setuid, which clears it.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent) {
            _exit(127);
        }
        if (opts.close_standard_fds) {
            close(STDIN_FILENO);
            close(STDOUT_FILENO);
            close(STDERR_FILENO);
        }
        if (opts.new_session) {
            setsid();
        }
        // A shell starts a background job with SIGINT and SIGQUIT ignored, and
        // exec keeps that: the tests' Ctrl+C would be lost before a handler is set.
        signal(SIGINT, SIG_DFL);
        signal(SIGQUIT, SIG_DFL);
        block(blocked);
        execvpe(c_args[0], c_args.data(), c_env.data());
        _exit(127);
    }
    return pid;
}

exit_result wait_exit(pid_t pid, std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    for (;;) {
        int status = 0;
        const pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid) {
            if (WIFEXITED(status)) {
                return {true, WEXITSTATUS(status), false};
            }
            return {false, WTERMSIG(status), false};
        }
        if (r < 0 || std::chrono::steady_clock::now() >= end) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return {false, -1, true};
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

std::string temp_dir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "gammawave-XXXXXX").string();
    return mkdtemp(pattern.data()) != nullptr ? pattern : std::string{};
}

void remove_tree(const std::string& path) {
    std::error_code ignored;
    if (!path.empty()) {
        std::filesystem::remove_all(path, ignored);
    }
}

std::optional<x_server> start_xvfb() {
    const std::string dir = temp_dir();
    return start_server({"Xvfb", "-noreset", "-nolisten", "tcp", "-screen", "0", "1024x768x24"},
                        dir);
}

std::optional<x_server> start_xorg_dummy(int monitors) {
    if (geteuid() != 0) {
        return std::nullopt;  // Xorg takes a config of our own only from root
    }
    const std::string dir = temp_dir();
    std::filesystem::create_directory(dir + "/conf.d");
    auto server = start_server({"Xorg", "-noreset", "-nolisten", "tcp", "-config", XORG_DUMMY_CONF,
                                "-configdir", dir + "/conf.d", "-logfile", dir + "/xorg.log"},
                               dir);
    if (server && !switch_on_monitors(server->display, monitors)) {
        stop_x_server(*server);
        return std::nullopt;
    }
    return server;
}

void stop_x_server(x_server& server) {
    if (server.pid > 0) {
        kill(server.pid, SIGTERM);
        if (wait_exit(server.pid, std::chrono::seconds(10)).timed_out) {
            kill(server.pid, SIGKILL);
        }
    }
    remove_tree(server.workdir);
    server = x_server{};
}

test_display::test_display(const std::string& display) {
    connect_x_display(x, display.c_str());
}

test_display::~test_display() {
    disconnect_x_display(x);
}

std::vector<crtc_ramp> test_display::ramps() const {
    std::vector<crtc_ramp> out;
    if (x.conn != nullptr) {
        read_crtc_ramps(x, out);
    }
    return out;
}

void test_display::load(const std::vector<crtc_ramp>& ramps) const {
    for (const crtc_ramp& r : ramps) {
        queue_crtc_ramp(x, r);
    }
    wait_for_server(x);
}

std::vector<crtc_ramp> random_ramps(const std::vector<crtc_ramp>& current, unsigned seed) {
    std::mt19937 gen(seed);
    std::uniform_int_distribution<int> value(0, 65535);
    std::vector<crtc_ramp> out = current;
    for (crtc_ramp& r : out) {
        for (std::uint16_t& e : r.entries) {
            e = static_cast<std::uint16_t>(value(gen));
        }
    }
    return out;
}
