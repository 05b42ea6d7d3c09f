// The compositor's commands, options and main loop.
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>
#include <wayland-server.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <list>
#include <memory>
#include <string>
#include <vector>

#include "gamma_compositor.h"
#include "wlr-gamma-control-unstable-v1-server-protocol.h"

namespace {

// A number from a command or option, or -1 when it is none.
long parse_number(const std::string& text) {
    if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != text.npos) {
        return -1;
    }
    return std::strtol(text.c_str(), nullptr, 10);
}

output* live_output(long index) {
    if (index < 0 || index >= static_cast<long>(g.outputs.size()) ||
        g.outputs[static_cast<std::size_t>(index)]->removed) {
        return nullptr;
    }
    return g.outputs[static_cast<std::size_t>(index)].get();
}

// wl_global_remove, not destroy: clients that bind before they hear of the
// removal still get an object; the display frees the global when it goes.
bool remove_output(long index) {
    output* out = live_output(index);
    if (out == nullptr) {
        return false;
    }
    out->removed = true;
    wl_global_remove(out->global);
    log_line("output removed " + str(index));
    if (out->holder != nullptr) {
        release(*out, "removed");
    }
    return true;
}

bool fail_output(long index) {
    output* out = live_output(index);
    if (out == nullptr || out->holder == nullptr) {
        return false;
    }
    zwlr_gamma_control_v1_send_failed(out->holder->resource);
    log_line("failed " + str(index) + " command client " + str(out->holder->client_id));
    release(*out, "failed");
    return true;
}

// Sleeps through signals too: the point is that nothing is dispatched.
void stall(long ms) {
    log_line("stall " + str(ms));
    timespec left{ms / 1000, (ms % 1000) * 1'000'000};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
    log_line("stall end");
    int queued = 0;
    for (const client_record& r : g.clients) {
        int n = 0;
        ioctl(wl_client_get_fd(r.client), FIONREAD, &n);
        queued += n;
    }
    log_line("queued " + str(queued));
}

void run_command(const std::string& line) {
    const std::size_t space = line.find(' ');
    const std::string verb = line.substr(0, space);
    const long arg = space == line.npos ? -1 : parse_number(line.substr(space + 1));
    bool ok = true;
    if (verb == "quit" && space == line.npos) {
        log_line("quit");
        wl_display_terminate(g.display);
    } else if (verb == "remove") {
        ok = remove_output(arg);
    } else if (verb == "add" && arg >= 0) {
        const output& out = add_output(static_cast<std::uint32_t>(arg));
        log_line("output added " + str(out.index) + " size " + str(arg));
    } else if (verb == "fail") {
        ok = fail_output(arg);
    } else if (verb == "stall" && arg >= 0) {
        stall(arg);
    } else {
        ok = false;
    }
    if (!ok) {
        log_line("bad command " + line);
    }
}

int read_commands(int fd, uint32_t, void*) {
    char buf[1024];
    const ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) {
        return 0;
    }
    if (n <= 0) {
        wl_event_source_remove(g.commands);
        g.commands = nullptr;
        return 0;
    }
    g.pending_input.append(buf, static_cast<std::size_t>(n));
    std::size_t newline;
    while ((newline = g.pending_input.find('\n')) != std::string::npos) {
        const std::string line = g.pending_input.substr(0, newline);
        g.pending_input.erase(0, newline + 1);
        if (!line.empty()) {
            run_command(line);
        }
    }
    return 0;
}

int handle_signal(int, void*) {
    log_line("quit");
    wl_display_terminate(g.display);
    return 0;
}

struct options {
    std::string socket = "wayland-gamma-test";
    std::vector<std::uint32_t> sizes;
    std::vector<long> held;
    std::vector<long> silent;
    bool manager = true;
    std::string log;
};

bool parse_options(int argc, char** argv, options& opts) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--no-manager") {
            opts.manager = false;
            continue;
        }
        if (arg == "--no-values") {
            log_values = false;
            continue;
        }
        if (i + 1 >= argc) {
            return false;
        }
        const std::string value = argv[++i];
        const long number = parse_number(value);
        if (arg == "--socket" && !value.empty()) {
            opts.socket = value;
        } else if (arg == "--log") {
            opts.log = value;
        } else if (arg == "--output" && number >= 0) {
            opts.sizes.push_back(static_cast<std::uint32_t>(number));
        } else if (arg == "--held" && number >= 0) {
            opts.held.push_back(number);
        } else if (arg == "--silent" && number >= 0) {
            opts.silent.push_back(number);
        } else {
            return false;
        }
    }
    if (opts.sizes.empty()) {
        opts.sizes.push_back(256);
    }
    for (const long index : opts.held) {
        if (index >= static_cast<long>(opts.sizes.size())) {
            return false;
        }
    }
    for (const long index : opts.silent) {
        if (index >= static_cast<long>(opts.sizes.size())) {
            return false;
        }
    }
    return true;
}

void set_up(const options& opts) {
    for (const std::uint32_t size : opts.sizes) {
        const output& out = add_output(size);
        log_line("output added " + str(out.index) + " size " + str(size));
    }
    for (const long index : opts.held) {
        g.outputs[static_cast<std::size_t>(index)]->held_elsewhere = true;
    }
    for (const long index : opts.silent) {
        g.outputs[static_cast<std::size_t>(index)]->silent = true;
    }
    if (opts.manager) {
        wl_global_create(g.display, &zwlr_gamma_control_manager_v1_interface, 1, nullptr,
                         bind_manager);
    }
    g.client_created.notify = client_created;
    wl_display_add_client_created_listener(g.display, &g.client_created);
    wl_event_loop* loop = wl_display_get_event_loop(g.display);
    g.commands =
        wl_event_loop_add_fd(loop, STDIN_FILENO, WL_EVENT_READABLE, read_commands, nullptr);
    g.signals[0] = wl_event_loop_add_signal(loop, SIGTERM, handle_signal, nullptr);
    g.signals[1] = wl_event_loop_add_signal(loop, SIGINT, handle_signal, nullptr);
}

// The display frees its globals and clients, but not the event sources.
void tear_down() {
    wl_display_destroy_clients(g.display);
    for (wl_event_source* source : {g.commands, g.signals[0], g.signals[1]}) {
        if (source != nullptr) {
            wl_event_source_remove(source);
        }
    }
    wl_display_destroy(g.display);
}

}  // namespace

int main(int argc, char** argv) {
    options opts;
    if (!parse_options(argc, argv, opts)) {
        std::fprintf(stderr,
                     "usage: %s [--socket NAME] [--output SIZE]... [--held INDEX]... "
                     "[--silent INDEX]... [--no-manager] [--log FILE] [--no-values]\n",
                     argv[0]);
        return 2;
    }
    if (!opts.log.empty()) {
        g.log_fd =
            open(opts.log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0644);
        if (g.log_fd < 0) {
            std::perror(opts.log.c_str());
            return 1;
        }
    }
    g.display = wl_display_create();
    if (g.display == nullptr || wl_display_add_socket(g.display, opts.socket.c_str()) != 0) {
        std::fprintf(stderr, "cannot listen on %s in XDG_RUNTIME_DIR\n", opts.socket.c_str());
        return 1;
    }
    set_up(opts);
    log_line("ready");
    wl_display_run(g.display);
    tear_down();
    return 0;
}
