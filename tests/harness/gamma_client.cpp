#include "gamma_client.h"

#include <poll.h>
#include <sys/mman.h>
#include <unistd.h>
#include <wayland-client.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "wlr-gamma-control-unstable-v1-client-protocol.h"

int memfd_with(const void* data, std::size_t bytes) {
    const int fd = memfd_create("gamma-table", MFD_CLOEXEC);
    if (fd < 0) {
        return -1;
    }
    const auto* p = static_cast<const char*>(data);
    std::size_t done = 0;
    while (done < bytes) {
        const ssize_t n = write(fd, p + done, bytes - done);
        if (n <= 0) {
            close(fd);
            return -1;
        }
        done += static_cast<std::size_t>(n);
    }
    if (lseek(fd, 0, SEEK_SET) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

namespace {

void ignore_geometry(void*, wl_output*, int32_t, int32_t, int32_t, int32_t, int32_t, const char*,
                     const char*, int32_t) {}
void ignore_mode(void*, wl_output*, uint32_t, int32_t, int32_t, int32_t) {}
void ignore_done(void*, wl_output*) {}
void ignore_scale(void*, wl_output*, int32_t) {}
void ignore_description(void*, wl_output*, const char*) {}

}  // namespace

void gamma_client::on_output_name(void* data, wl_output*, const char* name) {
    static_cast<output_info*>(data)->name = name;
}

void gamma_client::on_global(void* data, wl_registry* registry, std::uint32_t name,
                             const char* interface, std::uint32_t version) {
    static const wl_output_listener output_listener = {
        ignore_geometry, ignore_mode, ignore_done, ignore_scale, on_output_name, ignore_description,
    };
    auto* self = static_cast<gamma_client*>(data);
    if (std::strcmp(interface, wl_output_interface.name) == 0) {
        output_info& out = self->outputs_.emplace_back();
        out.global = name;
        out.proxy = static_cast<wl_output*>(
            wl_registry_bind(registry, name, &wl_output_interface, std::min(version, 4u)));
        wl_output_add_listener(out.proxy, &output_listener, &out);
    } else if (std::strcmp(interface, zwlr_gamma_control_manager_v1_interface.name) == 0) {
        self->manager_ = static_cast<zwlr_gamma_control_manager_v1*>(
            wl_registry_bind(registry, name, &zwlr_gamma_control_manager_v1_interface, 1));
    }
}

void gamma_client::on_global_remove(void* data, wl_registry*, std::uint32_t name) {
    for (output_info& out : static_cast<gamma_client*>(data)->outputs_) {
        if (out.global == name) {
            out.removed = true;
        }
    }
}

void gamma_client::on_size(void* data, zwlr_gamma_control_v1*, std::uint32_t size) {
    static_cast<control_info*>(data)->size = size;
}

void gamma_client::on_failed(void* data, zwlr_gamma_control_v1*) {
    static_cast<control_info*>(data)->failed = true;
}

gamma_client::gamma_client(const std::string& display) {
    static const wl_registry_listener registry_listener = {on_global, on_global_remove};
    display_ = wl_display_connect(display.c_str());
    if (display_ == nullptr) {
        return;
    }
    registry_ = wl_display_get_registry(display_);
    wl_registry_add_listener(registry_, &registry_listener, this);
    // The first roundtrip brings the globals, the second what each bound output sends.
    roundtrip();
    roundtrip();
}

// wl_proxy_destroy frees a proxy without a request: going away must look
// like a disconnect to the compositor, not like a client that destroyed
// its controls first.
gamma_client::~gamma_client() {
    if (display_ == nullptr) {
        return;
    }
    for (const control_info& c : controls_) {
        if (c.proxy != nullptr) {
            wl_proxy_destroy(reinterpret_cast<wl_proxy*>(c.proxy));
        }
    }
    for (const output_info& out : outputs_) {
        wl_proxy_destroy(reinterpret_cast<wl_proxy*>(out.proxy));
    }
    if (manager_ != nullptr) {
        wl_proxy_destroy(reinterpret_cast<wl_proxy*>(manager_));
    }
    wl_proxy_destroy(reinterpret_cast<wl_proxy*>(registry_));
    wl_display_disconnect(display_);
}

std::size_t gamma_client::get_control(std::size_t output) {
    static const zwlr_gamma_control_v1_listener control_listener = {on_size, on_failed};
    control_info& c = controls_.emplace_back();
    c.proxy = zwlr_gamma_control_manager_v1_get_gamma_control(manager_, outputs_[output].proxy);
    zwlr_gamma_control_v1_add_listener(c.proxy, &control_listener, &c);
    return controls_.size() - 1;
}

void gamma_client::set_gamma(std::size_t handle, const std::vector<std::uint16_t>& table) {
    const int fd = memfd_with(table.data(), table.size() * sizeof(std::uint16_t));
    set_gamma_fd(handle, fd);
    close(fd);
}

// libwayland duplicates the fd when it marshals the request.
void gamma_client::set_gamma_fd(std::size_t handle, int fd) {
    zwlr_gamma_control_v1_set_gamma(controls_[handle].proxy, fd);
}

void gamma_client::destroy_control(std::size_t handle) {
    zwlr_gamma_control_v1_destroy(controls_[handle].proxy);
    controls_[handle].proxy = nullptr;
}

bool gamma_client::roundtrip() {
    return display_ != nullptr && wl_display_roundtrip(display_) >= 0;
}

bool gamma_client::flush() {
    return display_ != nullptr && wl_display_flush(display_) >= 0;
}

bool gamma_client::dispatch_for(int ms) {
    if (display_ == nullptr || wl_display_flush(display_) < 0) {
        return false;
    }
    while (wl_display_prepare_read(display_) != 0) {
        if (wl_display_dispatch_pending(display_) < 0) {
            return false;
        }
    }
    pollfd p{wl_display_get_fd(display_), POLLIN, 0};
    if (poll(&p, 1, ms) > 0) {
        if (wl_display_read_events(display_) < 0) {
            return false;
        }
    } else {
        wl_display_cancel_read(display_);
    }
    return wl_display_dispatch_pending(display_) >= 0;
}

std::string gamma_client::protocol_error(std::uint32_t* code) const {
    if (display_ == nullptr || wl_display_get_error(display_) != EPROTO) {
        return {};
    }
    const wl_interface* interface = nullptr;
    const std::uint32_t c = wl_display_get_protocol_error(display_, &interface, nullptr);
    if (code != nullptr) {
        *code = c;
    }
    return interface != nullptr ? interface->name : "";
}
