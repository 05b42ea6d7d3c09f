// A compositor for tests: wl_output globals and the wlr gamma-control
// manager, nothing else. It is as strict as any real compositor might be, and
// it logs every event as one line, written at once, so a test can read what a
// client did while both still run.
//
// gamma_compositor [--socket NAME] [--output SIZE]... [--held INDEX]...
//                  [--silent INDEX]... [--no-manager] [--log FILE] [--no-values]
//
//   --socket NAME   the socket, in $XDG_RUNTIME_DIR (default wayland-gamma-test)
//   --output SIZE   one output with that gamma size; 0: the output has no gamma.
//                   Outputs are numbered from 0. Without any, one of size 256.
//   --held INDEX    another client already holds that output's gamma
//   --silent INDEX  that output's controls never answer, neither size nor failed
//   --no-manager    no gamma-control manager global
//   --log FILE      the log (default stdout)
//   --no-values     log each set without its values (for benchmarks, where
//                   writing them out would be most of the compositor's work)
//
// Log, one event a line; <output> is the output's index, <id> counts clients from 1:
//   ready                            the socket listens
//   output added <output> size <N>
//   output removed <output>
//   client <id> connected
//   client <id> disconnected         after the `restored` lines its leaving caused
//   control <output> size <N> client <id>       gamma_size sent
//   control <output> silent client <id>         nothing sent, nor ever will be
//   failed <output> <why> client <id>           failed sent; why: no-gamma, held,
//                                               removed, command
//   set <output> <N> <3N values>     a table taken: N red, N green, N blue, decimal
//   ignored <output> set_gamma       set_gamma on a control that drives nothing
//                                    (failed, silent, or its output removed)
//   error <output> <why> <detail>    a protocol error, which disconnects the client;
//                                    why: short, long, unreadable
//   destroy <output>                 a control's destroy request
//   restored <output> <why>          the compositor's own table is back; why:
//                                    destroy, disconnect, removed, failed
//   stall <ms> / stall end / queued <bytes>   bytes: what the clients sent meanwhile
//   bad command <line>
//   quit
//
// Commands, one a line on stdin:
//   remove INDEX  withdraw the output's global; its control gets no event, as
//                 with wlroots, and simply stops driving anything
//   add SIZE      a new output
//   fail INDEX    send failed to the control holding the output, and drop it
//   stall MS      stop dispatching for MS milliseconds, so requests pile up
//   quit          disconnect every client and exit (also on SIGTERM, SIGINT)
// End of stdin only ends the commands.
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

#include "wlr-gamma-control-unstable-v1-server-protocol.h"

namespace {

struct control;

struct output {
    int index = 0;
    std::uint32_t gamma_size = 0;
    wl_global* global = nullptr;
    bool removed = false;
    bool held_elsewhere = false;
    bool silent = false;
    control* holder = nullptr;  // the one control driving this output
};

struct control {
    wl_resource* resource = nullptr;
    output* drives = nullptr;  // null once failed, dropped, or never granted
    int output_index = 0;
    int client_id = 0;
};

struct client_record {
    wl_listener destroyed{};
    wl_client* client = nullptr;
    int id = 0;
};

struct compositor {
    wl_display* display = nullptr;
    int log_fd = STDOUT_FILENO;
    std::vector<std::unique_ptr<output>> outputs;
    std::list<client_record> clients;
    int next_client_id = 1;
    wl_listener client_created{};
    wl_event_source* commands = nullptr;
    wl_event_source* signals[2] = {nullptr, nullptr};
    std::string pending_input;
};

compositor g;

// One write per line, so a reader never sees half a line and nothing waits
// in a buffer while the test looks.
void log_line(const std::string& text) {
    const std::string line = text + "\n";
    std::size_t done = 0;
    while (done < line.size()) {
        const ssize_t n = write(g.log_fd, line.data() + done, line.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return;
        }
        done += static_cast<std::size_t>(n);
    }
}

std::string str(long value) {
    return std::to_string(value);
}

int client_id(wl_client* client) {
    for (const client_record& r : g.clients) {
        if (r.client == client) {
            return r.id;
        }
    }
    return 0;
}

// The output takes back its own table; the control keeps its resource but
// drives nothing from now on.
void release(output& out, const char* why) {
    out.holder->drives = nullptr;
    out.holder = nullptr;
    log_line("restored " + str(out.index) + " " + why);
}

// Reads the whole table from the fd's current offset, and insists the file
// ends right there: a client whose file is longer, shorter or read from the
// wrong place is sending something other than what it thinks. Non-blocking,
// so a pipe nobody writes cannot hang the compositor.
std::string read_table(int fd, std::vector<std::uint16_t>& table) {
    const int flags = fcntl(fd, F_GETFL);
    if (flags == -1 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) == -1) {
        return std::string("unreadable ") + strerrorname_np(errno);
    }
    const std::size_t want = table.size() * sizeof(std::uint16_t);
    const ssize_t n = read(fd, table.data(), want);
    if (n < 0) {
        return std::string("unreadable ") + strerrorname_np(errno);
    }
    if (static_cast<std::size_t>(n) != want) {
        return "short " + str(n) + "/" + str(static_cast<long>(want));
    }
    char extra = 0;
    const ssize_t more = read(fd, &extra, 1);
    if (more > 0) {
        return "long >" + str(static_cast<long>(want));
    }
    if (more < 0) {
        return std::string("unreadable ") + strerrorname_np(errno) + "-after-table";
    }
    return {};
}

bool log_values = true;

void log_table(int index, const std::vector<std::uint16_t>& table) {
    std::string line = "set " + str(index) + " " + str(static_cast<long>(table.size() / 3));
    for (const std::uint16_t v : log_values ? table : std::vector<std::uint16_t>{}) {
        line += " " + str(v);
    }
    log_line(line);
}

control* control_of(wl_resource* resource) {
    return static_cast<control*>(wl_resource_get_user_data(resource));
}

void handle_set_gamma(wl_client*, wl_resource* resource, int32_t fd) {
    control* c = control_of(resource);
    if (c->drives == nullptr) {
        close(fd);
        log_line("ignored " + str(c->output_index) + " set_gamma");
        return;
    }
    std::vector<std::uint16_t> table(3 * static_cast<std::size_t>(c->drives->gamma_size));
    const std::string problem = read_table(fd, table);
    close(fd);
    if (!problem.empty()) {
        log_line("error " + str(c->output_index) + " " + problem);
        wl_resource_post_error(resource, ZWLR_GAMMA_CONTROL_V1_ERROR_INVALID_GAMMA,
                               "gamma table: %s", problem.c_str());
        return;
    }
    log_table(c->output_index, table);
}

void handle_control_destroy(wl_client*, wl_resource* resource) {
    control* c = control_of(resource);
    log_line("destroy " + str(c->output_index));
    if (c->drives != nullptr) {
        release(*c->drives, "destroy");
    }
    wl_resource_destroy(resource);
}

// A disconnect releases the output in the client's destroy listener, before
// libwayland frees the resources; this is the last word for anything else.
void control_resource_gone(wl_resource* resource) {
    control* c = control_of(resource);
    if (c->drives != nullptr) {
        release(*c->drives, "disconnect");
    }
    delete c;
}

const struct zwlr_gamma_control_v1_interface control_impl = {
    .set_gamma = handle_set_gamma,
    .destroy = handle_control_destroy,
};

// Why a new control on `out` is refused, or null when it may have the output.
const char* refusal(const output& out) {
    if (out.removed) {
        return "removed";
    }
    if (out.gamma_size == 0) {
        return "no-gamma";
    }
    if (out.held_elsewhere || out.holder != nullptr) {
        return "held";
    }
    return nullptr;
}

void handle_get_gamma_control(wl_client* client, wl_resource* manager, uint32_t id,
                              wl_resource* output_resource) {
    output* out = static_cast<output*>(wl_resource_get_user_data(output_resource));
    wl_resource* resource = wl_resource_create(client, &zwlr_gamma_control_v1_interface,
                                               wl_resource_get_version(manager), id);
    if (resource == nullptr) {
        wl_client_post_no_memory(client);
        return;
    }
    auto* c = new control{resource, nullptr, out->index, client_id(client)};
    wl_resource_set_implementation(resource, &control_impl, c, control_resource_gone);
    const std::string who = " client " + str(c->client_id);
    if (out->silent && !out->removed) {
        log_line("control " + str(out->index) + " silent" + who);
        return;
    }
    if (const char* why = refusal(*out)) {
        zwlr_gamma_control_v1_send_failed(resource);
        log_line("failed " + str(out->index) + " " + why + who);
        return;
    }
    c->drives = out;
    out->holder = c;
    zwlr_gamma_control_v1_send_gamma_size(resource, out->gamma_size);
    log_line("control " + str(out->index) + " size " + str(out->gamma_size) + who);
}

void handle_manager_destroy(wl_client*, wl_resource* resource) {
    wl_resource_destroy(resource);
}

const struct zwlr_gamma_control_manager_v1_interface manager_impl = {
    .get_gamma_control = handle_get_gamma_control,
    .destroy = handle_manager_destroy,
};

void bind_manager(wl_client* client, void*, uint32_t version, uint32_t id) {
    wl_resource* resource =
        wl_resource_create(client, &zwlr_gamma_control_manager_v1_interface, version, id);
    if (resource == nullptr) {
        wl_client_post_no_memory(client);
        return;
    }
    wl_resource_set_implementation(resource, &manager_impl, nullptr, nullptr);
}

void handle_output_release(wl_client*, wl_resource* resource) {
    wl_resource_destroy(resource);
}

const struct wl_output_interface output_impl = {
    .release = handle_output_release,
};

// Everything a real client waits for before it trusts an output.
void bind_output(wl_client* client, void* data, uint32_t version, uint32_t id) {
    const output* out = static_cast<output*>(data);
    wl_resource* r =
        wl_resource_create(client, &wl_output_interface, static_cast<int>(version), id);
    if (r == nullptr) {
        wl_client_post_no_memory(client);
        return;
    }
    wl_resource_set_implementation(r, &output_impl, data, nullptr);
    const std::string name = "TEST-" + str(out->index);
    wl_output_send_geometry(r, 1024 * out->index, 0, 340, 190, WL_OUTPUT_SUBPIXEL_UNKNOWN,
                            "gammawave", name.c_str(), WL_OUTPUT_TRANSFORM_NORMAL);
    wl_output_send_mode(r, WL_OUTPUT_MODE_CURRENT | WL_OUTPUT_MODE_PREFERRED, 1024, 768, 60000);
    if (version >= WL_OUTPUT_SCALE_SINCE_VERSION) {
        wl_output_send_scale(r, 1);
    }
    if (version >= WL_OUTPUT_NAME_SINCE_VERSION) {
        wl_output_send_name(r, name.c_str());
        wl_output_send_description(r, ("test output " + str(out->index)).c_str());
    }
    if (version >= WL_OUTPUT_DONE_SINCE_VERSION) {
        wl_output_send_done(r);
    }
}

output& add_output(std::uint32_t gamma_size) {
    auto out = std::make_unique<output>();
    out->index = static_cast<int>(g.outputs.size());
    out->gamma_size = gamma_size;
    out->global = wl_global_create(g.display, &wl_output_interface, 4, out.get(), bind_output);
    g.outputs.push_back(std::move(out));
    return *g.outputs.back();
}

void client_destroyed(wl_listener* listener, void* data) {
    auto* client = static_cast<wl_client*>(data);
    for (const auto& out : g.outputs) {
        if (out->holder != nullptr && wl_resource_get_client(out->holder->resource) == client) {
            release(*out, "disconnect");
        }
    }
    for (auto it = g.clients.begin(); it != g.clients.end(); ++it) {
        if (&it->destroyed == listener) {
            log_line("client " + str(it->id) + " disconnected");
            wl_list_remove(&it->destroyed.link);
            g.clients.erase(it);
            return;
        }
    }
}

void client_created(wl_listener*, void* data) {
    client_record& r = g.clients.emplace_back();
    r.client = static_cast<wl_client*>(data);
    r.id = g.next_client_id++;
    r.destroyed.notify = client_destroyed;
    wl_client_add_destroy_listener(r.client, &r.destroyed);
    log_line("client " + str(r.id) + " connected");
}

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
