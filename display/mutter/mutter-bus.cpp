// The calls to Mutter and the bus, and the waiting on a connection, shared
// by the backend and its guard (mutter-bus.h).
#include "mutter/mutter-bus.h"

#include <poll.h>
#include <time.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "linux/linux-signals.h"

namespace {

const char* const object = "/org/gnome/Mutter/DisplayConfig";
const char* const interface = "org.gnome.Mutter.DisplayConfig";
const char* const bus_service = "org.freedesktop.DBus";

// Skips the rest of one CRTC record after its first eight fields.
bool read_crtc(sd_bus_message* m, crtc_info& out) {
    std::uint32_t id = 0, transform = 0;
    std::int64_t winsys = 0;
    std::int32_t x = 0, y = 0, w = 0, h = 0, mode = -1;
    if (sd_bus_message_enter_container(m, 'r', "uxiiiiiuaua{sv}") <= 0 ||
        sd_bus_message_read(m, "uxiiiiiu", &id, &winsys, &x, &y, &w, &h, &mode, &transform) < 0 ||
        sd_bus_message_skip(m, "aua{sv}") < 0 || sd_bus_message_exit_container(m) < 0) {
        return false;
    }
    out = {id, mode != -1, {}};
    return true;
}

// An output record: the connector's name goes to the CRTC driving it.
bool read_output(sd_bus_message* m, std::vector<crtc_info>& crtcs_found) {
    std::uint32_t id = 0;
    std::int64_t winsys = 0;
    std::int32_t crtc = -1;
    const char* name = nullptr;
    if (sd_bus_message_enter_container(m, 'r', "uxiausauaua{sv}") <= 0 ||
        sd_bus_message_read(m, "uxi", &id, &winsys, &crtc) < 0 ||
        sd_bus_message_skip(m, "au") < 0 || sd_bus_message_read(m, "s", &name) < 0 ||
        sd_bus_message_skip(m, "auaua{sv}") < 0 || sd_bus_message_exit_container(m) < 0) {
        return false;
    }
    for (crtc_info& c : crtcs_found) {
        if (crtc >= 0 && c.id == static_cast<std::uint32_t>(crtc) && c.connector.empty()) {
            c.connector = name;
        }
    }
    return true;
}

bool read_records(sd_bus_message* reply, std::vector<crtc_info>& out) {
    if (sd_bus_message_enter_container(reply, 'a', "(uxiiiiiuaua{sv})") < 0) {
        return false;
    }
    crtc_info c{};
    while (sd_bus_message_at_end(reply, false) == 0) {
        if (!read_crtc(reply, c)) {
            return false;
        }
        out.push_back(c);
    }
    if (sd_bus_message_exit_container(reply) < 0 ||
        sd_bus_message_enter_container(reply, 'a', "(uxiausauaua{sv})") < 0) {
        return false;
    }
    while (sd_bus_message_at_end(reply, false) == 0) {
        if (!read_output(reply, out)) {
            return false;
        }
    }
    return true;
}

timespec as_timespec(long ms) {
    return timespec{ms / 1000, (ms % 1000) * 1'000'000};
}

// How long to wait at most: `left`, or less when sd-bus has a call timing out sooner.
long wait_ms(sd_bus* b, long left) {
    std::uint64_t until_us = 0;
    if (sd_bus_get_timeout(b, &until_us) >= 0 && until_us != UINT64_MAX) {
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        const std::uint64_t now_us = std::uint64_t(now.tv_sec) * 1'000'000 + now.tv_nsec / 1000;
        const long ms = until_us > now_us ? long((until_us - now_us + 999) / 1000) : 0;
        return std::min(left, ms);
    }
    return left;
}

// Keeps `*owned` saying whether a name has an owner on the bus.
int on_owner_seen(sd_bus_message* m, void* owned, sd_bus_error*) {
    const char *name = nullptr, *old_owner = nullptr, *new_owner = nullptr;
    if (from_the_bus(m) && sd_bus_message_read(m, "sss", &name, &old_owner, &new_owner) >= 0 &&
        new_owner != nullptr) {
        *static_cast<bool*>(owned) = *new_owner != '\0';
    }
    return 0;
}

}  // namespace

answer answer_of(const sd_bus_error* e) {
    if (e == nullptr || !sd_bus_error_is_set(e)) {
        return answer::ok;
    }
    if (sd_bus_error_has_names(e, SD_BUS_ERROR_ACCESS_DENIED, SD_BUS_ERROR_NO_REPLY,
                               SD_BUS_ERROR_TIMEOUT)) {
        return answer::again;
    }
    if (sd_bus_error_has_names(e, SD_BUS_ERROR_SERVICE_UNKNOWN, SD_BUS_ERROR_NAME_HAS_NO_OWNER,
                               SD_BUS_ERROR_DISCONNECTED)) {
        return answer::gone;
    }
    return answer::refused;
}

answer call_answer(int r, const sd_bus_error& e) {
    if (r >= 0) {
        return answer::ok;
    }
    if (sd_bus_error_is_set(&e)) {
        return answer_of(&e);
    }
    return r == -ETIMEDOUT ? answer::again : r == -ENOTCONN ? answer::gone : answer::refused;
}

answer read_resources(sd_bus* b, std::uint32_t& fresh, std::vector<crtc_info>& out) {
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    out.clear();
    const int r = sd_bus_call_method(b, display_config_service, object, interface, "GetResources",
                                     &error, &reply, "");
    answer a = call_answer(r, error);
    if (a == answer::ok &&
        (sd_bus_message_read(reply, "u", &fresh) < 0 || !read_records(reply, out))) {
        a = answer::refused;
    }
    sd_bus_message_unref(reply);
    sd_bus_error_free(&error);
    return a;
}

answer read_gamma(sd_bus* b, std::uint32_t serial, std::uint32_t id,
                  std::vector<std::uint16_t>& table) {
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    table.clear();
    const int r = sd_bus_call_method(b, display_config_service, object, interface, "GetCrtcGamma",
                                     &error, &reply, "uu", serial, id);
    const answer a = call_answer(r, error);
    const void* block[3] = {};
    std::size_t bytes[3] = {};
    bool ok = a == answer::ok;
    for (int c = 0; c < 3 && ok; ++c) {
        ok = sd_bus_message_read_array(reply, 'q', &block[c], &bytes[c]) >= 0 &&
             bytes[c] == bytes[0];
    }
    const std::size_t n = bytes[0] / 2;
    if (ok && n > 0 && n <= largest_size) {
        table.resize(3 * n);
        for (int c = 0; c < 3; ++c) {
            std::memcpy(table.data() + c * n, block[c], bytes[c]);
        }
    }
    sd_bus_message_unref(reply);
    sd_bus_error_free(&error);
    return a;
}

answer night_light_supported(sd_bus* b, bool& supported) {
    sd_bus_error error = SD_BUS_ERROR_NULL;
    int on = 0;
    const int r = sd_bus_get_property_trivial(b, display_config_service, object, interface,
                                              "NightLightSupported", &error, 'b', &on);
    const answer a = call_answer(r, error);
    sd_bus_error_free(&error);
    supported = a == answer::ok && on != 0;
    return a;
}

namespace {

sd_bus_message* new_crtc_gamma(sd_bus* b, std::uint32_t at_serial, std::uint32_t crtc,
                               const std::uint16_t* table, std::size_t n) {
    sd_bus_message* m = nullptr;
    bool ok = sd_bus_message_new_method_call(b, &m, display_config_service, object, interface,
                                             "SetCrtcGamma") >= 0 &&
              sd_bus_message_append(m, "uu", at_serial, crtc) >= 0;
    for (std::size_t c = 0; c < 3 && ok; ++c) {
        ok = sd_bus_message_append_array(m, 'q', table + c * n, n * 2) >= 0;
    }
    if (!ok) {
        m = sd_bus_message_unref(m);
    }
    return m;
}

// The blocks' places in a message sent once, and so sealed: sd-bus's body,
// where sd_bus_message_read_array points, and from where every send writes.
bool find_blocks(kept_frame& k) {
    std::uint32_t serial = 0, crtc = 0;
    if (sd_bus_message_rewind(k.m, 1) < 0 || sd_bus_message_read(k.m, "uu", &serial, &crtc) < 0) {
        return false;
    }
    for (std::uint16_t*& block : k.blocks) {
        const void* p = nullptr;
        std::size_t bytes = 0;
        if (sd_bus_message_read_array(k.m, 'q', &p, &bytes) < 0 || bytes != k.n * 2) {
            return false;
        }
        block = static_cast<std::uint16_t*>(const_cast<void*>(p));
    }
    return true;
}

void forget(kept_frame& k) {
    k.m = sd_bus_message_unref(k.m);
    k.n = 0;
}

}  // namespace

bool send_kept_frame(sd_bus* b, kept_frame& k, std::uint32_t at_serial, std::uint32_t crtc,
                     const std::uint16_t* table, std::size_t n) {
    if (k.m != nullptr && k.serial == at_serial && k.crtc == crtc && k.n == n) {
        for (std::size_t c = 0; c < 3; ++c) {
            std::memcpy(k.blocks[c], table + c * n, n * 2);
        }
        return sd_bus_send(b, k.m, nullptr) >= 0;
    }
    forget(k);
    k.m = new_crtc_gamma(b, at_serial, crtc, table, n);
    if (k.m == nullptr || sd_bus_message_set_expect_reply(k.m, 0) < 0 ||
        sd_bus_send(b, k.m, nullptr) < 0) {
        forget(k);
        return false;
    }
    k.serial = at_serial;
    k.crtc = crtc;
    k.n = n;
    if (!find_blocks(k)) {
        forget(k);  // sent, but the next frame builds its own
    }
    return true;
}

bool send_crtc_gamma(sd_bus* b, std::uint32_t at_serial, std::uint32_t crtc,
                     const std::uint16_t* table, std::size_t n, sd_bus_message_handler_t reply,
                     void* userdata) {
    sd_bus_message* m = new_crtc_gamma(b, at_serial, crtc, table, n);
    const bool ok =
        m != nullptr && sd_bus_call_async(b, nullptr, m, reply, userdata, call_timeout_us) >= 0;
    sd_bus_message_unref(m);
    return ok;
}

bool dispatch_pending(sd_bus* b) {
    int r = 0;
    while ((r = sd_bus_process(b, nullptr)) > 0) {
    }
    return r >= 0;
}

bool from_the_bus(sd_bus_message* m) {
    const char* sender = sd_bus_message_get_sender(m);
    return sender != nullptr && std::strcmp(sender, bus_service) == 0;
}

// ":1.42" gives "org.gammawave.Guard.c1_42": an element of a well-known
// name holds letters, digits and underscores, and starts with no digit.
void guard_name_of(const char* unique_name, char (&out)[guard_name_size]) {
    std::size_t n = static_cast<std::size_t>(
        std::snprintf(out, guard_name_size, "%s", "org.gammawave.Guard.c"));
    for (const char* c = unique_name; *c != '\0' && n + 1 < guard_name_size; ++c) {
        if (*c != ':') {
            out[n++] = std::isalnum(static_cast<unsigned char>(*c)) ? *c : '_';
        }
    }
    out[n] = '\0';
}

void name_owner(sd_bus* b, const char* name, char* out, std::size_t size) {
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    const char* owner = "";
    if (sd_bus_call_method(b, bus_service, "/org/freedesktop/DBus", bus_service, "GetNameOwner",
                           &error, &reply, "s", name) < 0 ||
        sd_bus_message_read(reply, "s", &owner) < 0) {
        owner = "";
    }
    std::snprintf(out, size, "%s", owner);
    sd_bus_message_unref(reply);
    sd_bus_error_free(&error);
}

bool name_has_owner(sd_bus* b, const char* name, bool unanswered) {
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    int has_owner = unanswered;
    if (sd_bus_call_method(b, bus_service, "/org/freedesktop/DBus", bus_service, "NameHasOwner",
                           &error, &reply, "s", name) >= 0) {
        sd_bus_message_read(reply, "b", &has_owner);
    }
    sd_bus_message_unref(reply);
    sd_bus_error_free(&error);
    return has_owner != 0;
}

bool follow_owner(sd_bus* b, const char* name, bool& owned, bool unanswered) {
    const std::string match =
        "type='signal',sender='org.freedesktop.DBus',interface='org.freedesktop.DBus',"
        "member='NameOwnerChanged',arg0='" +
        std::string(name) + "'";
    if (sd_bus_add_match(b, nullptr, match.c_str(), on_owner_seen, &owned) < 0) {
        return false;
    }
    owned = name_has_owner(b, name, unanswered);
    return true;
}

bool dispatch_for(sd_bus* b, long ms, bool through_signals, bool (*done)()) {
    const long deadline = monotonic_ms() + ms;
    for (;;) {
        if (!dispatch_pending(b)) {
            return false;
        }
        const long left = deadline - monotonic_ms();
        if (left <= 0 || done() || (!through_signals && first_signal() != 0)) {
            return true;
        }
        const int fd = sd_bus_get_fd(b);
        const int events = sd_bus_get_events(b);
        const timespec t = as_timespec(wait_ms(b, left));
        if (through_signals) {
            pollfd p{fd, static_cast<short>(events), 0};
            ppoll(&p, 1, &t, nullptr);
        } else {
            wait_for_signal_or(fd, static_cast<short>(events), t);
        }
    }
}

bool pause_on_bus(sd_bus* b, const timespec& start, int also, void (*on_also)()) {
    for (;;) {
        const timespec left = pause_left(start);  // under a second: tv_nsec alone
        if (left.tv_nsec == 0 || first_signal() != 0) {
            return true;
        }
        // A call's timeout passed: only sd_bus_process turns it into its NoReply.
        const long bus_ms = wait_ms(b, left.tv_nsec / 1'000'000 + 1);
        if (bus_ms == 0) {
            if (!dispatch_pending(b)) {
                return false;
            }
            continue;
        }
        const timespec t = bus_ms * 1'000'000L < left.tv_nsec ? as_timespec(bus_ms) : left;
        const short events = static_cast<short>(sd_bus_get_events(b));
        bool also_ready = false;
        if (wait_for_signal_or(sd_bus_get_fd(b), events, t, also, &also_ready) != 0 &&
            !dispatch_pending(b)) {
            return false;
        }
        if (also_ready) {
            on_also();
        }
    }
}
