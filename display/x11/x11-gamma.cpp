#include "x11/x11-gamma.h"

#include <sys/uio.h>
#include <xcb/xcbext.h>

#include <cstdlib>
#include <cstring>
#include <string_view>

void free_deleter::operator()(void* p) const {
    std::free(p);
}

namespace {

// Asks for 1.3, and takes 1.2: the server answers with the lower of the two
// versions, the client's and its own.
bool randr_version(xcb_connection_t* conn, bool& has_1_3) {
    const xcb_query_extension_reply_t* ext = xcb_get_extension_data(conn, &xcb_randr_id);
    if (ext == nullptr || !ext->present) {
        return false;
    }
    xcb_generic_error_t* raw_error = nullptr;
    xcb_owned<xcb_randr_query_version_reply_t> version(
        xcb_randr_query_version_reply(conn, xcb_randr_query_version(conn, 1, 3), &raw_error));
    xcb_owned<xcb_generic_error_t> error(raw_error);
    if (!version) {
        return false;
    }
    const std::uint32_t v = version->major_version * 100 + version->minor_version;
    has_1_3 = v >= 103;
    return v >= 102;
}

xcb_window_t default_root(xcb_connection_t* conn, int screen_number) {
    xcb_screen_iterator_t it = xcb_setup_roots_iterator(xcb_get_setup(conn));
    for (int i = 0; it.rem > 0 && i < screen_number; ++i) {
        xcb_screen_next(&it);
    }
    return it.rem > 0 ? it.data->root : 0;
}

template <typename Reply, typename Fetch, typename Cookie>
xcb_owned<Reply> reply_of(xcb_connection_t* conn, Fetch fetch, Cookie cookie) {
    xcb_generic_error_t* raw_error = nullptr;
    xcb_owned<Reply> reply(fetch(conn, cookie, &raw_error));
    xcb_owned<xcb_generic_error_t> error(raw_error);
    return error ? nullptr : std::move(reply);
}

// What the screen's resources name. RandR 1.3's GetScreenResourcesCurrent
// answers from what the server knows; 1.2 has only GetScreenResources, which
// may probe the outputs first (slower, the same answer).
struct screen_resources {
    std::vector<xcb_randr_crtc_t> crtcs;
    std::vector<xcb_randr_output_t> outputs;
    xcb_timestamp_t config = 0;
};

bool read_resources_1_3(const x_display& d, screen_resources& out) {
    auto r = reply_of<xcb_randr_get_screen_resources_current_reply_t>(
        d.conn, xcb_randr_get_screen_resources_current_reply,
        xcb_randr_get_screen_resources_current(d.conn, d.root));
    if (!r) {
        return false;
    }
    const xcb_randr_crtc_t* c = xcb_randr_get_screen_resources_current_crtcs(r.get());
    const xcb_randr_output_t* o = xcb_randr_get_screen_resources_current_outputs(r.get());
    out.crtcs.assign(c, c + xcb_randr_get_screen_resources_current_crtcs_length(r.get()));
    out.outputs.assign(o, o + xcb_randr_get_screen_resources_current_outputs_length(r.get()));
    out.config = r->config_timestamp;
    return true;
}

bool read_resources_1_2(const x_display& d, screen_resources& out) {
    auto r = reply_of<xcb_randr_get_screen_resources_reply_t>(
        d.conn, xcb_randr_get_screen_resources_reply,
        xcb_randr_get_screen_resources(d.conn, d.root));
    if (!r) {
        return false;
    }
    const xcb_randr_crtc_t* c = xcb_randr_get_screen_resources_crtcs(r.get());
    const xcb_randr_output_t* o = xcb_randr_get_screen_resources_outputs(r.get());
    out.crtcs.assign(c, c + xcb_randr_get_screen_resources_crtcs_length(r.get()));
    out.outputs.assign(o, o + xcb_randr_get_screen_resources_outputs_length(r.get()));
    out.config = r->config_timestamp;
    return true;
}

bool read_resources(const x_display& d, screen_resources& out) {
    return d.randr_1_3 ? read_resources_1_3(d, out) : read_resources_1_2(d, out);
}

// Sizes first, all requests in flight at once, so a display with many CRTCs
// costs two round trips rather than two per CRTC.
bool read_gamma_sizes(const x_display& d, const xcb_randr_crtc_t* crtcs, int count,
                      xcb_timestamp_t config, std::vector<crtc_ramp>& out) {
    std::vector<xcb_randr_get_crtc_gamma_size_cookie_t> sizes;
    std::vector<xcb_randr_get_crtc_info_cookie_t> infos;
    for (int i = 0; i < count; ++i) {
        sizes.push_back(xcb_randr_get_crtc_gamma_size(d.conn, crtcs[i]));
        infos.push_back(xcb_randr_get_crtc_info(d.conn, crtcs[i], config));
    }
    bool ok = true;
    for (std::size_t i = 0; i < sizes.size(); ++i) {
        auto size = reply_of<xcb_randr_get_crtc_gamma_size_reply_t>(
            d.conn, xcb_randr_get_crtc_gamma_size_reply, sizes[i]);
        auto info = reply_of<xcb_randr_get_crtc_info_reply_t>(d.conn, xcb_randr_get_crtc_info_reply,
                                                              infos[i]);
        ok = ok && size != nullptr;
        if (size && size->size > 0) {
            out.push_back(crtc_ramp{crtcs[i], size->size, {}, info && info->mode != XCB_NONE});
        }
    }
    return ok;
}

bool read_gamma_entries(const x_display& d, std::vector<crtc_ramp>& ramps) {
    std::vector<xcb_randr_get_crtc_gamma_cookie_t> cookies;
    for (const crtc_ramp& r : ramps) {
        cookies.push_back(xcb_randr_get_crtc_gamma(d.conn, r.crtc));
    }
    bool ok = true;
    for (std::size_t i = 0; i < ramps.size(); ++i) {
        auto reply = reply_of<xcb_randr_get_crtc_gamma_reply_t>(
            d.conn, xcb_randr_get_crtc_gamma_reply, cookies[i]);
        // A reply shorter than its size claims would be read past its end.
        if (!reply || reply->size != ramps[i].size ||
            4 * std::size_t{reply->length} < 6 * std::size_t{reply->size}) {
            ok = false;
            continue;
        }
        const std::uint16_t* red = xcb_randr_get_crtc_gamma_red(reply.get());
        const std::uint16_t* green = xcb_randr_get_crtc_gamma_green(reply.get());
        const std::uint16_t* blue = xcb_randr_get_crtc_gamma_blue(reply.get());
        std::vector<std::uint16_t>& e = ramps[i].entries;
        e.assign(red, red + reply->size);
        e.insert(e.end(), green, green + reply->size);
        e.insert(e.end(), blue, blue + reply->size);
    }
    return ok;
}

}  // namespace

display_status connect_x_display(x_display& out, const char* name) {
    int screen_number = 0;
    xcb_connection_t* conn = xcb_connect(name, &screen_number);
    // xcb_connect never returns null: a failed connection is an object in
    // the error state, and it still has to be disconnected.
    if (xcb_connection_has_error(conn)) {
        xcb_disconnect(conn);
        return display_status::no_connection;
    }
    out = x_display{conn, default_root(conn, screen_number), 0, screen_number};
    if (out.root == 0) {
        disconnect_x_display(out);
        return display_status::no_connection;
    }
    if (!randr_version(conn, out.randr_1_3)) {
        disconnect_x_display(out);
        return display_status::no_randr;
    }
    out.randr_opcode = xcb_get_extension_data(conn, &xcb_randr_id)->major_opcode;
    return display_status::ok;
}

void disconnect_x_display(x_display& d) {
    if (d.conn != nullptr) {
        xcb_disconnect(d.conn);
    }
    d = x_display{};
}

namespace {

bool announces_xwayland(xcb_connection_t* conn) {
    const char name[] = "XWAYLAND";
    xcb_owned<xcb_query_extension_reply_t> ext(
        xcb_query_extension_reply(conn, xcb_query_extension(conn, sizeof name - 1, name), nullptr));
    return ext && ext->present;
}

bool has_xwayland_output(const x_display& d) {
    screen_resources resources;
    if (!read_resources(d, resources)) {
        return false;
    }
    for (const xcb_randr_output_t output : resources.outputs) {
        auto info = reply_of<xcb_randr_get_output_info_reply_t>(
            d.conn, xcb_randr_get_output_info_reply,
            xcb_randr_get_output_info(d.conn, output, resources.config));
        if (!info) {
            continue;
        }
        const std::string_view name(
            reinterpret_cast<const char*>(xcb_randr_get_output_info_name(info.get())),
            static_cast<std::size_t>(xcb_randr_get_output_info_name_length(info.get())));
        if (name.starts_with("XWAYLAND")) {
            return true;
        }
    }
    return false;
}

}  // namespace

bool is_xwayland(const x_display& d) {
    return announces_xwayland(d.conn) || has_xwayland_output(d);
}

display_status read_crtc_ramps(const x_display& d, std::vector<crtc_ramp>& out) {
    out.clear();
    screen_resources resources;
    if (!read_resources(d, resources)) {
        return display_status::read_failed;
    }
    const int count = static_cast<int>(resources.crtcs.size());
    if (!read_gamma_sizes(d, resources.crtcs.data(), count, resources.config, out) ||
        !read_gamma_entries(d, out)) {
        out.clear();
        return display_status::read_failed;
    }
    return out.empty() ? display_status::no_ramps : display_status::ok;
}

namespace {

constexpr std::uint8_t randr_set_crtc_gamma = 24;  // RandR 1.2 minor opcode
const std::uint8_t zero_pad[3] = {};

// X requests travel in the client's byte order, which XCB announced at setup
// as this machine's own, so values are copied as they lie in memory.
template <typename T>
void put(std::uint8_t* at, T value) {
    std::memcpy(at, &value, sizeof value);
}

std::size_t pad_bytes(std::uint16_t size) {
    return set_crtc_gamma_bytes(size) - 12 - 6 * std::size_t{size};
}

void* data(const void* p) {
    return const_cast<void*>(p);  // iovec is shared with readv; writes only read
}

// A display made by hand rather than by connect_x_display lacks it.
std::uint8_t randr_opcode(const x_display& d) {
    return d.randr_opcode != 0 ? d.randr_opcode
                               : xcb_get_extension_data(d.conn, &xcb_randr_id)->major_opcode;
}

// The request through XCB, as raw bytes of the one encoder, with the two
// slots before its parts that xcb_send_request may use.
unsigned send_set_crtc_gamma(const x_display& d, xcb_randr_crtc_t crtc, std::uint16_t size,
                             const std::uint16_t* red, const std::uint16_t* green,
                             const std::uint16_t* blue, int flags) {
    set_crtc_gamma_head head;
    if (!encode_set_crtc_gamma_head(head, randr_opcode(d), crtc, size)) {
        return 0;
    }
    iovec parts[2 + set_crtc_gamma_parts] = {};
    const int count = fill_set_crtc_gamma_parts(parts + 2, head, size, red, green, blue);
    const xcb_protocol_request_t request{static_cast<std::size_t>(count), nullptr, 0, 1};
    return xcb_send_request(d.conn, flags | XCB_REQUEST_RAW, parts + 2, &request);
}

}  // namespace

std::size_t set_crtc_gamma_bytes(std::uint16_t size) {
    return (12 + 6 * std::size_t{size} + 3) / 4 * 4;
}

bool encode_set_crtc_gamma_head(set_crtc_gamma_head& head, std::uint8_t randr_opcode,
                                std::uint32_t crtc, std::uint16_t size) {
    if (size > max_ramp_in_one_request) {
        return false;
    }
    head.bytes[0] = randr_opcode;
    head.bytes[1] = randr_set_crtc_gamma;
    put<std::uint16_t>(head.bytes + 2, static_cast<std::uint16_t>(set_crtc_gamma_bytes(size) / 4));
    put<std::uint32_t>(head.bytes + 4, crtc);
    put<std::uint16_t>(head.bytes + 8, size);
    put<std::uint16_t>(head.bytes + 10, 0);
    return true;
}

int fill_set_crtc_gamma_parts(iovec* parts, const set_crtc_gamma_head& head, std::uint16_t size,
                              const std::uint16_t* red, const std::uint16_t* green,
                              const std::uint16_t* blue) {
    const std::size_t list = 2 * std::size_t{size};
    parts[0] = {data(head.bytes), sizeof head.bytes};
    parts[1] = {data(red), list};
    parts[2] = {data(green), list};
    parts[3] = {data(blue), list};
    const std::size_t pad = pad_bytes(size);
    if (pad == 0) {
        return 4;
    }
    parts[4] = {data(zero_pad), pad};
    return 5;
}

bool encode_set_crtc_gamma(std::vector<std::uint8_t>& out, std::uint8_t randr_opcode,
                           std::uint32_t crtc, std::uint16_t size, const std::uint16_t* entries) {
    set_crtc_gamma_head head;
    if (!encode_set_crtc_gamma_head(head, randr_opcode, crtc, size)) {
        return false;
    }
    const auto* lists = reinterpret_cast<const std::uint8_t*>(entries);
    out.insert(out.end(), head.bytes, head.bytes + sizeof head.bytes);
    out.insert(out.end(), lists, lists + 6 * std::size_t{size});
    out.insert(out.end(), zero_pad, zero_pad + pad_bytes(size));
    return true;
}

unsigned queue_crtc_ramp(const x_display& d, xcb_randr_crtc_t crtc, std::uint16_t size,
                         const std::uint16_t* red, const std::uint16_t* green,
                         const std::uint16_t* blue) {
    return send_set_crtc_gamma(d, crtc, size, red, green, blue, 0);
}

unsigned queue_crtc_ramp(const x_display& d, const crtc_ramp& ramp) {
    const std::uint16_t* e = ramp.entries.data();
    return queue_crtc_ramp(d, ramp.crtc, ramp.size, e, e + ramp.size, e + 2 * ramp.size);
}

bool restore_crtc_ramps(const x_display& d, const std::vector<crtc_ramp>& ramps) {
    std::vector<xcb_void_cookie_t> cookies;
    bool ok = true;
    for (const crtc_ramp& r : ramps) {
        const std::uint16_t* e = r.entries.data();
        const unsigned sequence = send_set_crtc_gamma(d, r.crtc, r.size, e, e + r.size,
                                                      e + 2 * r.size, XCB_REQUEST_CHECKED);
        if (sequence == 0) {
            ok = false;
        } else {
            cookies.push_back({sequence});
        }
    }
    // Once the round trip is answered every error of the restore has come,
    // so the checks below read what XCB holds and wait no more.
    ok = wait_for_server(d) && ok;
    for (const xcb_void_cookie_t cookie : cookies) {
        xcb_owned<xcb_generic_error_t> error(xcb_request_check(d.conn, cookie));
        ok = ok && error == nullptr;
    }
    return ok;
}

bool wait_for_server(const x_display& d) {
    auto focus = reply_of<xcb_get_input_focus_reply_t>(d.conn, xcb_get_input_focus_reply,
                                                       xcb_get_input_focus(d.conn));
    return focus != nullptr;
}
