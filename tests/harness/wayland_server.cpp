#include "wayland_server.h"

#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace {

// Alive and not yet a zombie; leaves any exit status for wait_exit to collect.
bool still_running(pid_t pid) {
    siginfo_t info{};
    return waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
           info.si_pid == 0;
}

bool starts_with_word(const std::string& line, const std::string& start) {
    return line.compare(0, start.size(), start) == 0 &&
           (line.size() == start.size() || line[start.size()] == ' ');
}

// Whole lines only: a reader can catch the compositor halfway through
// writing a long one, and half a `set` line would read as a short table.
std::vector<std::string> split_lines(const std::string& text) {
    std::vector<std::string> out;
    std::size_t start = 0;
    for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
        out.push_back(text.substr(start, end - start));
    }
    return out;
}

void write_text(const std::string& path, const std::string& text, mode_t mode) {
    std::ofstream(path) << text;
    chmod(path.c_str(), mode);
}

std::string tail(const std::string& text, std::size_t chars) {
    return text.size() <= chars ? text : "..." + text.substr(text.size() - chars);
}

// Root runs sway as nobody, anyone else as themselves.
std::optional<user_ids> sway_user(std::string& why) {
    if (geteuid() != 0) {
        return std::nullopt;
    }
    const passwd* pw = getpwnam("nobody");
    if (pw == nullptr) {
        why = "running as root, and there is no user nobody to run sway as";
        return std::nullopt;
    }
    return user_ids{pw->pw_uid, pw->pw_gid};
}

// The first X server to start makes /tmp/.X11-unix, and one run as nobody
// makes it nobody's and closed to others. Root makes it the way X servers
// started by root do, open to all.
void make_x11_socket_dir() {
    struct stat st {};
    if (geteuid() == 0 && stat("/tmp/.X11-unix", &st) != 0) {
        mkdir("/tmp/.X11-unix", 01777);
        chmod("/tmp/.X11-unix", 01777);
    }
}

// A program of the build tree may lie where another user cannot reach it: a
// checkout under /root, which is mode 700 on Debian 13. That user runs a copy
// in its own runtime directory instead; a bare name is found on PATH, which
// any user reaches.
std::string reachable_copy(const std::string& program, const std::string& dir,
                           const user_ids& user) {
    if (program.find('/') == std::string::npos) {
        return program;
    }
    const std::filesystem::path from(program);
    const std::string copy = dir + "/" + from.filename().string();
    std::error_code error;
    std::filesystem::copy_file(program, copy, std::filesystem::copy_options::skip_existing, error);
    if (error || chown(copy.c_str(), user.uid, user.gid) != 0) {
        return program;  // it then fails to start, with exec's status 127
    }
    // gammawave's backend modules, which it looks for beside itself.
    const std::string modules = from.filename().string() + "-";
    for (const auto& entry : std::filesystem::directory_iterator(from.parent_path())) {
        const std::string name = entry.path().filename().string();
        if (name.starts_with(modules) && name.ends_with(".so")) {
            std::filesystem::copy_file(entry.path(), dir + "/" + name,
                                       std::filesystem::copy_options::skip_existing, error);
        }
    }
    return copy;
}

}  // namespace

bool on_path(const std::string& program) {
    const char* path = std::getenv("PATH");
    std::istringstream dirs(path != nullptr ? path : "");
    for (std::string dir; std::getline(dirs, dir, ':');) {
        if (!dir.empty() && access((dir + "/" + program).c_str(), X_OK) == 0) {
            return true;
        }
    }
    return false;
}

std::unique_ptr<test_compositor> start_test_compositor(const compositor_options& opts) {
    std::unique_ptr<test_compositor> c(new test_compositor);
    c->dir_ = temp_dir();
    c->socket_ = "wayland-gamma-test";
    std::vector<std::string> argv = {GAMMA_COMPOSITOR_BIN, "--socket", c->socket_, "--log",
                                     c->dir_ + "/log"};
    for (const std::uint32_t size : opts.outputs) {
        argv.insert(argv.end(), {"--output", std::to_string(size)});
    }
    for (const int index : opts.held) {
        argv.insert(argv.end(), {"--held", std::to_string(index)});
    }
    for (const int index : opts.silent) {
        argv.insert(argv.end(), {"--silent", std::to_string(index)});
    }
    if (!opts.manager) {
        argv.push_back("--no-manager");
    }
    if (!opts.log_values) {
        argv.push_back("--no-values");
    }
    // A socket rather than a pipe: a command sent after the compositor died
    // fails with an error instead of killing the test with SIGPIPE.
    int fds[2];
    if (c->dir_.empty() || socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) {
        return nullptr;
    }
    process_options run;
    run.env = {{"XDG_RUNTIME_DIR", c->dir_}};
    run.stderr_path = c->dir_ + "/stderr";
    run.stdin_fd = fds[1];
    c->pid_ = spawn(argv, run);
    close(fds[1]);
    c->commands_ = fds[0];
    const auto is_ready = [&c] { return !c->lines("ready").empty(); };
    eventually([&] { return is_ready() || !still_running(c->pid_); }, std::chrono::seconds(10));
    return is_ready() ? std::move(c) : nullptr;
}

test_compositor::~test_compositor() {
    if (pid_ > 0) {
        quit();
    }
    if (commands_ >= 0) {
        close(commands_);
    }
    remove_tree(dir_);
}

env_list test_compositor::client_env() const {
    return {{"XDG_RUNTIME_DIR", dir_}, {"WAYLAND_DISPLAY", socket_}};
}

bool test_compositor::command(const std::string& line) const {
    const std::string text = line + "\n";
    return send(commands_, text.data(), text.size(), MSG_NOSIGNAL) ==
           static_cast<ssize_t>(text.size());
}

exit_result test_compositor::quit(std::chrono::milliseconds limit) {
    command("quit");
    const exit_result r = wait_exit(pid_, limit);
    pid_ = -1;
    return r;
}

std::string test_compositor::log() const {
    return read_file(dir_ + "/log");
}

std::vector<std::string> test_compositor::log_lines() const {
    return split_lines(log());
}

std::vector<std::string> test_compositor::lines(const std::string& start) const {
    std::vector<std::string> out;
    for (std::string& line : log_lines()) {
        if (starts_with_word(line, start)) {
            out.push_back(std::move(line));
        }
    }
    return out;
}

bool test_compositor::wait_for_line(const std::string& start,
                                    std::chrono::milliseconds limit) const {
    return eventually([&] { return !lines(start).empty(); }, limit);
}

std::map<int, std::vector<gamma_table>> test_compositor::set_tables() const {
    std::map<int, std::vector<gamma_table>> out;
    for (const std::string& line : lines("set")) {
        std::istringstream in(line.substr(4));
        int output = 0;
        std::size_t size = 0;
        in >> output >> size;
        gamma_table table;
        table.reserve(3 * size);
        for (unsigned value = 0; in >> value;) {
            table.push_back(static_cast<std::uint16_t>(value));
        }
        out[output].push_back(std::move(table));
    }
    return out;
}

std::unique_ptr<headless_sway> start_sway_headless(std::string& why, bool xwayland_at_start) {
    std::unique_ptr<headless_sway> s(new headless_sway);
    why.clear();
    s->user_ = sway_user(why);
    if (!why.empty()) {
        return nullptr;
    }
    s->dir_ = temp_dir();
    // The runtime directory must be the user's own, mode 0700, which
    // mkdtemp's already is.
    if (s->dir_.empty() ||
        (s->user_ && chown(s->dir_.c_str(), s->user_->uid, s->user_->gid) != 0)) {
        why = "cannot make a runtime directory for sway";
        return nullptr;
    }
    make_x11_socket_dir();
    // The config's exec runs once the Wayland socket listens, with the
    // environment sway gives its clients, DISPLAY among them.
    const std::string report = s->dir_ + "/report-env";
    write_text(report,
               "#!/bin/sh\nprintf '%s\\n%s\\n' \"$WAYLAND_DISPLAY\" \"$DISPLAY\" >'" + s->dir_ +
                   "/env.tmp' && mv '" + s->dir_ + "/env.tmp' '" + s->dir_ + "/env'\n",
               0755);
    write_text(s->dir_ + "/config",
               std::string("xwayland ") + (xwayland_at_start ? "force" : "enable") + "\nexec " +
                   report + "\n",
               0644);
    process_options run;
    run.display = "";
    run.env = {{"XDG_RUNTIME_DIR", s->dir_},     {"HOME", s->dir_},
               {"WLR_BACKENDS", "headless"},     {"WLR_RENDERER", "pixman"},
               {"WLR_LIBINPUT_NO_DEVICES", "1"}, {"WAYLAND_DISPLAY", ""}};
    run.stderr_path = s->dir_ + "/sway.log";
    run.user = s->user_;
    const auto started = std::chrono::steady_clock::now();
    s->pid_ = spawn({"sway", "-c", s->dir_ + "/config"}, run);
    const std::string env_file = s->dir_ + "/env";
    const headless_sway& sway = *s;
    eventually([&] { return access(env_file.c_str(), F_OK) == 0 || !still_running(sway.pid_); },
               std::chrono::seconds(20));
    s->startup_ = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - started);
    const std::vector<std::string> env = split_lines(read_file(env_file));
    if (env.empty() || env[0].empty()) {
        why = still_running(s->pid_) ? "sway did not run its config within 20 s"
                                     : "sway exited at start";
        why += "; its log: " + tail(s->log(), 2000);
        return nullptr;
    }
    s->wayland_display_ = env[0];
    s->x_display_ = env.size() > 1 ? env[1] : "";
    return s;
}

headless_sway::~headless_sway() {
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        wait_exit(pid_, std::chrono::seconds(10));
    }
    remove_tree(dir_);
}

std::string headless_sway::log() const {
    return read_file(dir_ + "/sway.log");
}

env_list headless_sway::client_env() const {
    return {{"XDG_RUNTIME_DIR", dir_}, {"WAYLAND_DISPLAY", wayland_display_}, {"HOME", dir_}};
}

pid_t headless_sway::spawn_client(const std::vector<std::string>& argv,
                                  process_options opts) const {
    opts.display = x_display_;
    // What the caller set wins, and no name appears twice.
    for (const auto& [key, value] : client_env()) {
        bool set = false;
        for (const auto& entry : opts.env) {
            set = set || entry.first == key;
        }
        if (!set) {
            opts.env.emplace_back(key, value);
        }
    }
    opts.user = user_;
    std::vector<std::string> args = argv;
    if (user_ && !args.empty()) {
        args[0] = reachable_copy(args[0], dir_, *user_);
    }
    return spawn(args, opts);
}
