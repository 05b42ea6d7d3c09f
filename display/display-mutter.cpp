// The display layer on GNOME: Mutter's org.gnome.Mutter.DisplayConfig on the
// session bus, through sd-bus, whose connection is a plain descriptor the
// frame loop polls itself.
//
// GetResources lists the CRTCs; one with a mode (its 7th field, current_mode,
// is not -1) drives a monitor. GetCrtcGamma gives a CRTC's table, whose
// length is its gamma size; SetCrtcGamma sets one. Both carry the serial of
// the resources they are based on, and Mutter answers a stale one with
// AccessDenied. A table set stays after the caller exits, until Mutter
// itself rewrites it (Night Light, a colour profile, and from 47 on any
// monitor change), so the restore is ours to do.
//
// Where NightLightSupported is false no CRTC has gamma, and GetCrtcGamma is
// never called: on a CRTC of gamma size 0 it crashes Mutter. Mutter 43
// ignores a table that is not the CRTC's own size, so every CRTC gets one of
// its own size.
//
// Mutter 49's ColorManager.CalibrateMonitor sessions, which Mutter ends and
// restores itself when the caller's connection drops, are not used yet: no
// Mutter here offers them to try against, and SetCrtcGamma works on 43 to 50.
//
// At most one frame is in flight: a frame that finds the last one's replies
// still outstanding is dropped, not queued. The pause waits on the bus and
// the self-pipe together.
//
// A genuine fault cannot restore from its handler here: sd-bus is not
// async-signal-safe, and a message written raw to the socket behind one that
// sd-bus has only partly written would corrupt the stream. So the fault path
// only exits, and the guard restores, as it does after any other unhandled
// end. The guard, a fork made at start, watches the bus for gammawave's
// unique name to go: the bus says so only after it has routed gammawave's
// last message to Mutter, so the guard's tables are the last to arrive.
#include <poll.h>
#include <systemd/sd-bus.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "backend.h"
#include "guard-posix.h"

namespace {

const char* const service = "org.gnome.Mutter.DisplayConfig";
const char* const object = "/org/gnome/Mutter/DisplayConfig";
const char* const interface = "org.gnome.Mutter.DisplayConfig";

// One CRTC that drives a monitor and has gamma.
struct crtc_slot {
    std::uint32_t id = 0;
    std::vector<std::uint16_t> saved;    // the table to restore: N red, N green, N blue
    std::vector<std::uint16_t> sent;     // the last frame sent to it, at its size
    std::vector<std::uint16_t> applied;  // the last frame Mutter took without an error
    bool live = false;                   // driving a monitor in the latest resources
    std::size_t size() const { return saved.size() / 3; }
};

sd_bus* bus = nullptr;
std::uint32_t serial = 0;
std::vector<crtc_slot> crtcs;
constexpr std::size_t max_crtcs = 64;  // beyond any machine; reserved so slots never move

int replies_awaited = 0;       // SetCrtcGamma calls not answered yet
bool resources_stale = false;  // MonitorsChanged, or a stale serial
const char* lost_reason = nullptr;
char unique_name[256];  // gammawave's on the bus, for the guard

constexpr std::uint64_t call_timeout_us = 1'000'000;
constexpr long restore_budget_ms = 1000;
constexpr std::size_t largest_size = 65535;
const char* const how_to_reset =
    "switching Night Light on and off in GNOME's settings makes Mutter load its own tables again";

// --- Reading from Mutter ------------------------------------------------------

struct crtc_info {
    std::uint32_t id;
    bool has_mode;
};

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
    out = {id, mode != -1};
    return true;
}

bool read_resources(std::vector<crtc_info>& out) {
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    bool ok = sd_bus_call_method(bus, service, object, interface, "GetResources", &error, &reply,
                                 "") >= 0 &&
              sd_bus_message_read(reply, "u", &serial) >= 0 &&
              sd_bus_message_enter_container(reply, 'a', "(uxiiiiiuaua{sv})") >= 0;
    out.clear();
    crtc_info c{};
    while (ok && sd_bus_message_at_end(reply, false) == 0 && read_crtc(reply, c)) {
        out.push_back(c);
    }
    sd_bus_message_unref(reply);
    sd_bus_error_free(&error);
    return ok;
}

// The CRTC's table, red, green and blue blocks of one length; empty when
// Mutter gives none.
std::vector<std::uint16_t> read_gamma(std::uint32_t id) {
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    std::vector<std::uint16_t> table;
    if (sd_bus_call_method(bus, service, object, interface, "GetCrtcGamma", &error, &reply, "uu",
                           serial, id) >= 0) {
        const void* block[3] = {};
        std::size_t bytes[3] = {};
        bool ok = true;
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
    }
    sd_bus_message_unref(reply);
    sd_bus_error_free(&error);
    return table;
}

bool night_light_supported() {
    sd_bus_error error = SD_BUS_ERROR_NULL;
    int supported = 0;
    const int r = sd_bus_get_property_trivial(bus, service, object, interface,
                                              "NightLightSupported", &error, 'b', &supported);
    sd_bus_error_free(&error);
    return r >= 0 && supported != 0;
}

// --- The CRTCs we drive ---------------------------------------------------------

crtc_slot* slot_for(std::uint32_t id) {
    for (crtc_slot& s : crtcs) {
        if (s.id == id) {
            return &s;
        }
    }
    return nullptr;
}

// A table saved after start, for the guard, which has only those saved
// before it was made: a tag, the CRTC, the size, then the table.
constexpr char table_tag = 2;

void share_saved(const crtc_slot& s) {
    const std::uint32_t head[2] = {s.id, static_cast<std::uint32_t>(s.size())};
    tell_guard(&table_tag, 1);
    tell_guard(head, sizeof head);
    tell_guard(s.saved.data(), s.saved.size() * 2);
}

// A CRTC seen for the first time: its table now is the one to restore.
void add_crtc(std::uint32_t id, std::vector<std::uint16_t> table) {
    if (crtcs.size() == max_crtcs) {
        return;
    }
    crtc_slot& s = crtcs.emplace_back();
    s.id = id;
    s.sent.assign(table.size(), 0);
    s.applied.assign(table.size(), 0);
    s.saved = std::move(table);
    s.live = true;
    share_saved(s);
}

// A CRTC we drove before. Mutter 47 and later rewrite their own table on a
// monitor change: what is there now is then Mutter's, and the one to restore.
// Mutter 43 leaves the last frame it took in place, which must not be saved
// (a frame refused for its stale serial never arrived).
void refresh_crtc(crtc_slot& s, std::vector<std::uint16_t> table) {
    if (table.size() != s.saved.size()) {
        s.sent.assign(table.size(), 0);
        s.applied.assign(table.size(), 0);
        s.saved = std::move(table);
    } else if (table != s.applied) {
        s.saved = std::move(table);
    } else {
        s.live = true;
        return;
    }
    s.live = true;
    share_saved(s);
}

// Reads the resources and every driven CRTC's table. Only at start and after
// a monitor change, so the allocations here never touch the frame loop.
void take_crtcs() {
    std::vector<crtc_info> found;
    for (crtc_slot& s : crtcs) {
        s.live = false;
    }
    if (!read_resources(found)) {
        return;
    }
    for (const crtc_info& c : found) {
        std::vector<std::uint16_t> table =
            c.has_mode ? read_gamma(c.id) : std::vector<std::uint16_t>{};
        if (table.empty()) {
            continue;
        }
        if (crtc_slot* s = slot_for(c.id)) {
            refresh_crtc(*s, std::move(table));
        } else {
            add_crtc(c.id, std::move(table));
        }
    }
}

bool any_live() {
    return std::any_of(crtcs.begin(), crtcs.end(), [](const crtc_slot& s) { return s.live; });
}

// --- Signals from the bus ----------------------------------------------------------

int on_monitors_changed(sd_bus_message*, void*, sd_bus_error*) {
    resources_stale = true;
    return 0;
}

// NameOwnerChanged(name, old, new) for Mutter's name: an empty new owner
// means Mutter has left the bus.
int on_owner_changed(sd_bus_message* m, void*, sd_bus_error*) {
    const char *name = nullptr, *old_owner = nullptr, *new_owner = nullptr;
    if (sd_bus_message_read(m, "sss", &name, &old_owner, &new_owner) >= 0 && new_owner != nullptr &&
        *new_owner == '\0') {
        lost_reason = "GNOME's compositor (Mutter) has left the session bus";
    }
    return 0;
}

bool watch_mutter() {
    return sd_bus_match_signal(bus, nullptr, service, object, interface, "MonitorsChanged",
                               on_monitors_changed, nullptr) >= 0 &&
           sd_bus_add_match(bus, nullptr,
                            "type='signal',sender='org.freedesktop.DBus',"
                            "interface='org.freedesktop.DBus',member='NameOwnerChanged',"
                            "arg0='org.gnome.Mutter.DisplayConfig'",
                            on_owner_changed, nullptr) >= 0;
}

// --- Frames ------------------------------------------------------------------------

// The reply to one SetCrtcGamma. A stale serial means the monitors changed;
// an error that says Mutter's name has no owner means it has gone. NoReply
// is not taken for that: sd-bus gives it also when a busy Mutter answers
// after the call's timeout, and that frame is just lost. Mutter leaving the
// bus shows in NameOwnerChanged.
int on_set_reply(sd_bus_message* m, void* frame_slot, sd_bus_error*) {
    --replies_awaited;
    const sd_bus_error* e = sd_bus_message_get_error(m);
    if (e == nullptr) {
        if (auto* s = static_cast<crtc_slot*>(frame_slot)) {
            std::copy(s->sent.begin(), s->sent.end(), s->applied.begin());
        }
        return 0;
    }
    if (sd_bus_error_has_name(e, SD_BUS_ERROR_ACCESS_DENIED)) {
        resources_stale = true;
    } else if (sd_bus_error_has_names(e, SD_BUS_ERROR_SERVICE_UNKNOWN,
                                      SD_BUS_ERROR_NAME_HAS_NO_OWNER)) {
        lost_reason = "GNOME's compositor (Mutter) has left the session bus";
    }
    return 0;
}

// `frame_slot`: the slot whose `sent` frame this is, or null for a restore.
bool send_table(const crtc_slot& s, const std::uint16_t* table, crtc_slot* frame_slot = nullptr) {
    const std::size_t n = s.size();
    sd_bus_message* m = nullptr;
    bool ok =
        sd_bus_message_new_method_call(bus, &m, service, object, interface, "SetCrtcGamma") >= 0 &&
        sd_bus_message_append(m, "uu", serial, s.id) >= 0;
    for (std::size_t c = 0; c < 3 && ok; ++c) {
        ok = sd_bus_message_append_array(m, 'q', table + c * n, n * 2) >= 0;
    }
    ok = ok && sd_bus_call_async(bus, nullptr, m, on_set_reply, frame_slot, call_timeout_us) >= 0;
    sd_bus_message_unref(m);
    replies_awaited += ok ? 1 : 0;
    return ok;
}

void send_frame(crtc_slot& s, const gamma_ramp& ramp) {
    if (s.size() == 256) {
        std::copy(ramp.begin(), ramp.end(), s.sent.begin());
    } else {
        resample_ramp(ramp, s.sent);
    }
    send_table(s, s.sent.data(), &s);
}

// --- Waiting -------------------------------------------------------------------------

timespec as_timespec(long ms) {
    return timespec{ms / 1000, (ms % 1000) * 1'000'000};
}

// Dispatches everything sd-bus has read; false when the bus is gone.
bool dispatch_pending() {
    int r = 0;
    while ((r = sd_bus_process(bus, nullptr)) > 0) {
    }
    return r >= 0;
}

// How long to wait at most: `left`, or less when sd-bus has a call timing out sooner.
long wait_ms(long left) {
    std::uint64_t until_us = 0;
    if (sd_bus_get_timeout(bus, &until_us) >= 0 && until_us != UINT64_MAX) {
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        const std::uint64_t now_us = std::uint64_t(now.tv_sec) * 1'000'000 + now.tv_nsec / 1000;
        const long ms = until_us > now_us ? long((until_us - now_us + 999) / 1000) : 0;
        return std::min(left, ms);
    }
    return left;
}

// Reads and dispatches within `ms`, or until `done()`. A handled signal ends
// the wait at once unless `through_signals` (the restore's own wait, which
// only a second interrupt, by its default action, cuts short).
template <typename Done>
bool dispatch_for(long ms, bool through_signals, Done done) {
    const long deadline = monotonic_ms() + ms;
    for (;;) {
        if (!dispatch_pending()) {
            return false;
        }
        const long left = deadline - monotonic_ms();
        if (left <= 0 || done() || (!through_signals && first_signal() != 0)) {
            return true;
        }
        const int fd = sd_bus_get_fd(bus);
        const int events = sd_bus_get_events(bus);
        const timespec t = as_timespec(wait_ms(left));
        if (through_signals) {
            pollfd p{fd, static_cast<short>(events), 0};
            ppoll(&p, 1, &t, nullptr);
        } else {
            wait_for_signal_or(fd, static_cast<short>(events), t);
        }
    }
}

[[noreturn]] void lost(const char* what) {
    std::fprintf(stderr, "gammawave: %s\n", what);
    std::exit(1);
}

void check_still_useful() {
    if (lost_reason != nullptr) {
        lost(lost_reason);
    }
    if (resources_stale && replies_awaited == 0) {
        resources_stale = false;
        take_crtcs();
        if (lost_reason == nullptr && !any_live()) {
            lost("no monitor with gamma is left");
        }
    }
}

// --- The backend -----------------------------------------------------------------------

// The bus's answer, or `unanswered` when it gives none.
bool name_has_owner(const char* name, bool unanswered) {
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    int has_owner = unanswered;
    if (sd_bus_call_method(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                           "org.freedesktop.DBus", "NameHasOwner", &error, &reply, "s",
                           name) >= 0) {
        sd_bus_message_read(reply, "b", &has_owner);
    }
    sd_bus_message_unref(reply);
    sd_bus_error_free(&error);
    return has_owner != 0;
}

bool mutter_on_bus() {
    return name_has_owner(service, false);
}

open_result fail_with(const char* reason, const char*& why) {
    why = reason;
    return open_result::failed;
}

open_result mutter_open(const char*& why) {
    if (sd_bus_open_user(&bus) < 0) {
        return open_result::absent;
    }
    sd_bus_set_method_call_timeout(bus, call_timeout_us);
    if (!mutter_on_bus()) {
        bus = sd_bus_flush_close_unref(bus);
        return open_result::absent;
    }
    if (!watch_mutter()) {
        return fail_with("cannot watch GNOME's compositor (Mutter) on the session bus", why);
    }
    if (!night_light_supported()) {
        return fail_with("GNOME's compositor (Mutter) reports no monitor with gamma here", why);
    }
    crtcs.reserve(max_crtcs);
    take_crtcs();
    if (!any_live()) {
        return fail_with("GNOME's compositor (Mutter) gives no monitor's gamma table", why);
    }
    const char* name = nullptr;
    if (sd_bus_get_unique_name(bus, &name) >= 0) {
        std::strncpy(unique_name, name, sizeof unique_name - 1);
    }
    return open_result::ok;
}

void mutter_load_frame(const gamma_ramp& ramp) {
    if (replies_awaited > 0 || resources_stale) {
        return;  // the last frame is not answered yet, or the CRTCs are changing: drop this one
    }
    for (crtc_slot& s : crtcs) {
        if (s.live) {
            send_frame(s, ramp);
        }
    }
    sd_bus_flush(bus);
}

void mutter_pause() {
    if (!dispatch_for(frame_pause.tv_nsec / 1'000'000, false, [] { return false; })) {
        lost("lost the connection to the session bus");
    }
    check_still_useful();
}

// Sends every saved table once the frame in flight is answered, and waits
// for every reply. A stale serial (monitors changed meanwhile) reads the
// resources again and tries once more, within the same budget.
void mutter_restore_and_exit(int sig) {
    const long deadline = monotonic_ms() + restore_budget_ms;
    bool confirmed = false;
    for (int attempt = 0; attempt < 2 && !confirmed && lost_reason == nullptr; ++attempt) {
        dispatch_for(deadline - monotonic_ms(), true, [] { return replies_awaited == 0; });
        if (resources_stale && replies_awaited == 0) {
            resources_stale = false;
            take_crtcs();
        }
        for (const crtc_slot& s : crtcs) {
            if (s.live) {
                send_table(s, s.saved.data());
            }
        }
        dispatch_for(deadline - monotonic_ms(), true, [] { return replies_awaited == 0; });
        confirmed = replies_awaited == 0 && !resources_stale;
    }
    if (confirmed) {
        stand_guard_down();
    } else {
        warn_restore_unconfirmed(how_to_reset);
    }
    sd_bus_flush_close_unref(bus);
    std::exit(sig);
}

// --- The guard's watch ---------------------------------------------------------------
// Runs in the guard, a fork, on a connection of its own: sd-bus refuses a
// connection made before a fork, and the guard holds none of gammawave's
// descriptors. It has its own copy of the tables saved at start, and takes
// those gammawave saves later from the pipe (share_saved).

// Keeps `*owned` saying whether a name has an owner on the bus.
int on_owner_seen(sd_bus_message* m, void* owned, sd_bus_error*) {
    const char *name = nullptr, *old_owner = nullptr, *new_owner = nullptr;
    if (sd_bus_message_read(m, "sss", &name, &old_owner, &new_owner) >= 0 && new_owner != nullptr) {
        *static_cast<bool*>(owned) = *new_owner != '\0';
    }
    return 0;
}

// The match first, then the question: a change in between is seen either
// way. `unanswered` is what to take for a question the bus does not answer.
bool follow_owner(const char* name, bool& owned, bool unanswered) {
    const std::string match =
        "type='signal',sender='org.freedesktop.DBus',interface='org.freedesktop.DBus',"
        "member='NameOwnerChanged',arg0='" +
        std::string(name) + "'";
    if (sd_bus_add_match(bus, nullptr, match.c_str(), on_owner_seen, &owned) < 0) {
        return false;
    }
    owned = name_has_owner(name, unanswered);
    return true;
}

// No answer is no proof that gammawave has gone.
bool parent_here = true;

bool read_all(int fd, void* to, std::size_t size) {
    char* p = static_cast<char*>(to);
    while (size > 0) {
        const ssize_t n = read(fd, p, size);
        if (n <= 0) {
            return false;
        }
        p += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

// A table gammawave saved after start, as share_saved() wrote it.
bool take_shared_table(int fd) {
    std::uint32_t head[2] = {};
    if (!read_all(fd, head, sizeof head) || head[1] == 0 || head[1] > largest_size) {
        return false;
    }
    std::vector<std::uint16_t> table(3 * std::size_t{head[1]});
    if (!read_all(fd, table.data(), table.size() * 2)) {
        return false;
    }
    crtc_slot* s = slot_for(head[0]);
    if (s == nullptr) {
        add_crtc(head[0], std::move(table));
    } else {
        s->saved = std::move(table);
        s->live = true;
    }
    return true;
}

// Any byte but a table's tag is gammawave's word that it has restored; end
// of file only says it has exited, and the pipe is watched no more. Tables
// are taken as they come, all of them before the word.
bool stood_down(int& fd) {
    pollfd p{fd, POLLIN, 0};
    char byte = 0;
    while (fd >= 0 && poll(&p, 1, 0) == 1) {
        if (read(fd, &byte, 1) != 1 || (byte == table_tag && !take_shared_table(fd))) {
            fd = -1;
        } else if (byte != table_tag) {
            return true;
        }
    }
    return false;
}

// True once gammawave's name has gone; false on a stand-down or a lost bus.
bool wait_for_the_end(int& stand_down_fd) {
    for (;;) {
        if (!dispatch_pending()) {
            return false;
        }
        if (!parent_here) {
            return true;
        }
        pollfd p[2] = {{sd_bus_get_fd(bus), static_cast<short>(sd_bus_get_events(bus)), 0},
                       {stand_down_fd, POLLIN, 0}};
        if (poll(p, 2, -1) < 0 && errno != EINTR) {
            return false;
        }
        if (stood_down(stand_down_fd)) {
            return false;
        }
    }
}

bool mutter_back = false;

// Mutter gone with gammawave (a crash, GNOME Shell restarting) leaves the
// last frame in an X server, and a Mutter started again keeps it; a Mutter
// back within this long (a shell restart takes a few seconds) gets the
// saved tables.
constexpr long mutter_return_ms = 30'000;

bool mutter_present() {
    return follow_owner(service, mutter_back, false) &&
           dispatch_for(mutter_return_ms, true, [] { return mutter_back; }) && mutter_back;
}

// With a fresh serial; once more should the monitors change meanwhile.
void guard_restore() {
    std::vector<crtc_info> found;
    if (!mutter_present()) {
        return;
    }
    for (int attempt = 0; attempt < 2 && read_resources(found); ++attempt) {
        for (const crtc_slot& s : crtcs) {
            if (s.live) {
                send_table(s, s.saved.data());
            }
        }
        dispatch_for(restore_budget_ms, true, [] { return replies_awaited == 0; });
        if (!resources_stale) {
            return;
        }
        resources_stale = false;
    }
}

void watch_mutter_guard(int stand_down_fd) {
    bus = nullptr;  // the parent's: never to be touched here
    if (unique_name[0] == '\0' || sd_bus_open_user(&bus) < 0) {
        return;
    }
    sd_bus_set_method_call_timeout(bus, call_timeout_us);
    // gammawave writes its word before it exits, so the word, if any, is
    // here by the time its name has gone.
    if (follow_owner(unique_name, parent_here, true) && wait_for_the_end(stand_down_fd) &&
        !stood_down(stand_down_fd)) {
        guard_restore();
    }
    sd_bus_flush_close_unref(bus);
}

}  // namespace

const display_backend mutter_backend = {mutter_open,  mutter_load_frame,
                                        mutter_pause, mutter_restore_and_exit,
                                        nullptr,      watch_mutter_guard};
