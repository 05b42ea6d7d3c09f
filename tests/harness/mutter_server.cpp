#include "mutter_server.h"

#include <poll.h>
#include <signal.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <chrono>

namespace {

// The address dbus-daemon prints once it listens.
std::string read_address(int fd) {
    std::string text;
    pollfd p{fd, POLLIN, 0};
    char buf[256];
    while (text.find('\n') == std::string::npos && poll(&p, 1, 10'000) == 1) {
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0) {
            break;
        }
        text.append(buf, static_cast<std::size_t>(n));
    }
    return text.find('\n') == std::string::npos ? std::string{} : text.substr(0, text.find('\n'));
}

void end(pid_t pid) {
    if (pid > 0) {
        kill(pid, SIGTERM);
        wait_exit(pid, std::chrono::seconds(5));  // kills it if it does not go
    }
}

}  // namespace

mutter_session::~mutter_session() {
    end(mutter_);
    end(bus_);
    stop_x_server(x_);
    remove_tree(dir_);
}

std::vector<std::pair<std::string, std::string>> mutter_session::client_env() const {
    return {{"DBUS_SESSION_BUS_ADDRESS", address_},
            {"HOME", dir_},
            {"XDG_RUNTIME_DIR", dir_},
            {"WAYLAND_DISPLAY", ""}};
}

std::string mutter_session::log() const {
    return read_file(dir_ + "/mutter.err");
}

std::unique_ptr<mutter_session> start_mutter(std::string& why, bool xorg_dummy) {
    std::unique_ptr<mutter_session> s(new mutter_session);
    s->dir_ = temp_dir();
    auto x = xorg_dummy ? start_xorg_dummy() : start_xvfb();
    if (!x) {
        why = xorg_dummy ? "the Xorg dummy server did not start (it needs root)"
                         : "Xvfb did not start";
        return nullptr;
    }
    s->x_ = *x;
    int fds[2];
    if (pipe(fds) != 0) {
        return nullptr;
    }
    s->bus_ = spawn({"dbus-daemon", "--session", "--nofork", "--nopidfile",
                     "--print-address=" + std::to_string(fds[1])},
                    {std::string{}, {}, {}, s->dir_ + "/bus.err"});
    close(fds[1]);
    s->address_ = read_address(fds[0]);
    close(fds[0]);
    if (s->address_.empty()) {
        why = "dbus-daemon did not start: " + read_file(s->dir_ + "/bus.err");
        return nullptr;
    }
    // Settings in memory: nothing read from, or written to, a real user's.
    auto env = s->client_env();
    env.push_back({"GSETTINGS_BACKEND", "memory"});
    s->mutter_ = spawn({"mutter", "--x11", "--sm-disable"},
                       {s->x_.display, env, s->dir_ + "/mutter.out", s->dir_ + "/mutter.err"});
    const pid_t wait =
        spawn({"gdbus", "wait", "--session", "--timeout", "20", "org.gnome.Mutter.DisplayConfig"},
              {std::string{}, env, {}, {}});
    const exit_result r = wait_exit(wait, std::chrono::seconds(25));
    if (!r.exited || r.code != 0) {
        why = "Mutter did not come on the bus: " + s->log();
        return nullptr;
    }
    return s;
}

namespace {

// In the forked child: sd-bus refuses a connection made before a fork.
[[noreturn]] void hold_name(const std::string& address, const std::string& name, int told) {
    sd_bus* b = nullptr;
    const bool held = sd_bus_new(&b) >= 0 && sd_bus_set_address(b, address.c_str()) >= 0 &&
                      sd_bus_set_bus_client(b, 1) >= 0 && sd_bus_start(b) >= 0 &&
                      sd_bus_request_name(b, name.c_str(), SD_BUS_NAME_REPLACE_EXISTING) >= 0;
    const char byte = held ? 1 : 0;
    if (write(told, &byte, 1) != 1 || !held) {
        _exit(1);
    }
    while (sd_bus_process(b, nullptr) >= 0) {
        sd_bus_wait(b, UINT64_MAX);
    }
    _exit(0);
}

}  // namespace

pid_t take_name_from_mutter(const mutter_session& m, const std::string& name) {
    int fds[2];
    if (pipe(fds) != 0) {
        return -1;
    }
    const pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        hold_name(m.client_env()[0].second, name, fds[1]);
    }
    close(fds[1]);
    pollfd p{fds[0], POLLIN, 0};
    char byte = 0;
    const bool held = pid > 0 && poll(&p, 1, 10'000) == 1 && read(fds[0], &byte, 1) == 1 && byte;
    close(fds[0]);
    if (!held && pid > 0) {
        kill(pid, SIGKILL);
        wait_exit(pid, std::chrono::seconds(5));
    }
    return held ? pid : -1;
}
