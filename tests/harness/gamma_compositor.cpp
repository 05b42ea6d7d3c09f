// The compositor's protocol side: its outputs, the gamma-control manager and
// its controls, its clients, and the log of all they do.
#include "gamma_compositor.h"

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
