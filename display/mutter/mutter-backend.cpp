// The display layer on GNOME: Mutter on the session bus, through sd-bus,
// whose connection is a plain descriptor the frame loop polls itself.
//
// Two paths to a monitor's gamma:
// - Mutter 49 and later: org.gnome.Mutter.ColorManager.CalibrateMonitor
//   opens a calibration session for one monitor (by connector); frames go
//   through the session's SetCrtcGammaLut at its GammaLutSize, and Stop ends
//   it. Mutter then loads the table it would have now (Night Light's current
//   temperature, not a stale one), and does the same when our connection
//   drops, so these monitors need no saved table and no guard. Mutter never
//   emits the session's Stopped, so a method error on a session is its end.
// - Mutter 43 to 48, and a monitor whose session is refused (colord does not
//   know it, another client calibrates it): org.gnome.Mutter.DisplayConfig.
//   GetResources lists the CRTCs; one with a mode (its 7th field,
//   current_mode, is not -1) drives a monitor. GetCrtcGamma gives a CRTC's
//   table, whose length is its gamma size; SetCrtcGamma sets one. Both carry
//   the serial of the resources they are based on, and Mutter answers a stale
//   one with AccessDenied. A table set stays after the caller exits, until
//   Mutter itself rewrites it (Night Light, a colour profile, and from 47 on
//   any monitor change), so the restore is ours to do, and the guard's after
//   an unhandled end.
//
// Where NightLightSupported is false no CRTC has gamma, and GetCrtcGamma is
// never called: on a CRTC of gamma size 0 it crashes Mutter. Mutter 43
// ignores a table that is not the CRTC's own size, so every CRTC gets one of
// its own size.
//
// Night Light on the DisplayConfig path: Mutter rewrites the tables when
// gnome-settings-daemon's Temperature property changes (its colour manager
// follows that property). We follow it too: on a change the frames pause
// until Mutter's new table can be read (or a short wait passes), and that
// table becomes the one to restore, so the restore does not bring back the
// temperature of the start.
//
// At most one frame is in flight: a frame that finds the last one's replies
// still outstanding is dropped, not queued. The pause waits on the bus and
// the self-pipe together.
//
// A genuine fault cannot restore from its handler here: sd-bus is not
// async-signal-safe, and a message written raw to the socket behind one that
// sd-bus has only partly written would corrupt the stream. So the fault path
// only exits, and the guard (guard-mutter.cpp) restores, as it does after
// any other unhandled end.
#include <poll.h>
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
#include "guard-mutter.h"
#include "guard-posix.h"
#include "mutter-bus.h"

namespace {

const char* const object = "/org/gnome/Mutter/DisplayConfig";
const char* const interface = "org.gnome.Mutter.DisplayConfig";
const char* const color_service = "org.gnome.Mutter.ColorManager";
const char* const color_object = "/org/gnome/Mutter/ColorManager";
const char* const calibration = "org.gnome.Mutter.ColorManager.Calibration";
const char* const gsd_color = "org.gnome.SettingsDaemon.Color";
const char* const bus_service = "org.freedesktop.DBus";

// One CRTC that has driven a monitor with gamma.
struct crtc_slot {
    std::uint32_t id = 0;
    std::string connector;  // the monitor it drives now
    std::string session;    // its calibration session, or empty: DisplayConfig
    std::string refused;    // the connector whose session Mutter refused
    // DisplayConfig only: the table to restore, N red, N green, N blue.
    std::vector<std::uint16_t> saved;
    std::vector<std::uint16_t> sent;     // the last frame sent to it, at its size
    std::vector<std::uint16_t> applied;  // the last frame Mutter took without an error
    bool live = false;                   // driving a monitor in the latest answered resources
    bool listed = false;                 // Mutter lists it in the latest answered resources
    bool driven = false;                 // a frame has been sent to it
    bool restored = false;               // its restore was answered without an error
    bool night_light = false;            // Mutter's new Night Light table not read yet
    std::size_t size() const { return sent.size() / 3; }
};

sd_bus* bus = nullptr;
std::uint32_t serial = 0;
std::vector<crtc_slot> crtcs;
constexpr std::size_t max_crtcs = 64;  // beyond any machine; reserved so slots never move

int replies_awaited = 0;       // calls not answered yet
bool resources_stale = false;  // MonitorsChanged, a stale serial, or a read not answered
bool mutter_owned = true;      // Mutter's name has an owner
bool color_manager = false;    // Mutter offers calibration sessions
long night_light_until = -1;   // while Mutter's new Night Light tables are awaited
bool lost_bus = false;
char claim_reason[160];

constexpr long restore_budget_ms = 1000;
constexpr long night_light_wait_ms = 50;  // Mutter rewrites within a few ms
constexpr long claim_wait_ms = 2000;      // a guard still restoring after a kill
constexpr long guard_wait_ms = 1000;      // for the guard to queue for our name
// A Mutter that is busy (just started, a loaded machine, a burst of monitor
// changes) is asked again at start rather than taken for one without gamma.
constexpr int start_tries = 5;
long guard_wait_until = 0;
const char* const how_to_reset =
    "switching Night Light on and off in GNOME's settings makes Mutter load its own tables again";
const char* const mutter_left = "GNOME's compositor (Mutter) has left the session bus";
const char* const mutter_silent =
    "GNOME's compositor (Mutter) did not answer within five seconds, or its monitors kept changing";

// --- Reading from Mutter ------------------------------------------------------

// A synchronous call's answer: sd-bus gives a timeout as an errno alone.
answer call_answer(int r, const sd_bus_error& e) {
    if (r >= 0) {
        return answer::ok;
    }
    if (sd_bus_error_is_set(&e)) {
        return answer_of(&e);
    }
    return r == -ETIMEDOUT ? answer::again : r == -ENOTCONN ? answer::gone : answer::refused;
}

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

// The CRTC's table, red, green and blue blocks of one length; empty when
// Mutter gives none.
answer read_gamma(std::uint32_t id, std::vector<std::uint16_t>& table) {
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    table.clear();
    const int r = sd_bus_call_method(bus, display_config_service, object, interface, "GetCrtcGamma",
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

answer night_light_supported(bool& supported) {
    sd_bus_error error = SD_BUS_ERROR_NULL;
    int on = 0;
    const int r = sd_bus_get_property_trivial(bus, display_config_service, object, interface,
                                              "NightLightSupported", &error, 'b', &on);
    const answer a = call_answer(r, error);
    sd_bus_error_free(&error);
    supported = a == answer::ok && on != 0;
    return a;
}

// --- Calibration sessions (Mutter 49 and later) -----------------------------------

// One line, so that a monitor left to DisplayConfig is no surprise.
void say_refused(const crtc_slot& s, const char* why) {
    std::fprintf(stderr,
                 "gammawave: Mutter gave no calibration session for %s (%s); it is driven "
                 "through DisplayConfig.SetCrtcGamma\n",
                 s.connector.c_str(), why);
}

std::size_t lut_size(const char* path) {
    sd_bus_error error = SD_BUS_ERROR_NULL;
    std::uint32_t size = 0;
    sd_bus_get_property_trivial(bus, color_service, path, calibration, "GammaLutSize", &error, 'u',
                                &size);
    sd_bus_error_free(&error);
    return size <= largest_size ? size : 0;
}

void call_session(const std::string& path, const char* method, sd_bus_message_handler_t reply,
                  void* userdata) {
    if (sd_bus_call_method_async(bus, nullptr, color_service, path.c_str(), calibration, method,
                                 reply, userdata, "") >= 0 &&
        reply != nullptr) {
        ++replies_awaited;
    }
}

void stop_session(crtc_slot& s) {
    call_session(s.session, "Stop", nullptr, nullptr);
    s.session.clear();
}

// A session for the slot's monitor, sized for frames; false when refused.
bool open_session(crtc_slot& s) {
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    const char* path = nullptr;
    const bool opened =
        sd_bus_call_method(bus, color_service, color_object, color_service, "CalibrateMonitor",
                           &error, &reply, "s", s.connector.c_str()) >= 0 &&
        sd_bus_message_read(reply, "o", &path) >= 0;
    if (opened) {
        s.session = path;
    } else {
        say_refused(s, error.message != nullptr ? error.message : "no answer");
        s.refused = s.connector;
    }
    sd_bus_message_unref(reply);
    sd_bus_error_free(&error);
    const std::size_t n = opened ? lut_size(s.session.c_str()) : 0;
    if (opened && n == 0) {
        say_refused(s, "a session of no gamma size");
        stop_session(s);
        s.refused = s.connector;
    }
    if (!s.session.empty()) {
        s.sent.assign(3 * n, 0);
        s.applied.assign(3 * n, 0);
        if (!s.saved.empty()) {
            s.saved.clear();  // Mutter restores it now, not the guard
            share_with_mutter_guard(s.id, s.saved);
        }
    }
    return !s.session.empty();
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

crtc_slot* add_slot(std::uint32_t id) {
    if (crtcs.size() == max_crtcs) {
        return nullptr;
    }
    crtc_slot& s = crtcs.emplace_back();
    s.id = id;
    return &s;
}

void save_table(crtc_slot& s, std::vector<std::uint16_t> table) {
    s.saved = std::move(table);
    share_with_mutter_guard(s.id, s.saved);
}

// A frame of ours, not Mutter's table: the last one Mutter answered, or the
// last one sent, whose reply came too late (a busy Mutter still applies a
// call whose timeout has passed, after the one answered before it).
bool ours(const crtc_slot& s, const std::vector<std::uint16_t>& table) {
    return table == s.applied || table == s.sent;
}

// A DisplayConfig CRTC's table now. Seen for the first time, or after its
// session ended: the one to restore. A CRTC we drove before: Mutter 47 and
// later rewrite their own table on a monitor change, so what is there now is
// Mutter's and the one to restore. Mutter 43 leaves the last frame it took
// in place, which must not be saved (a frame refused for its stale serial
// never arrived).
void refresh_table(crtc_slot& s, std::vector<std::uint16_t> table) {
    if (table.size() != s.saved.size()) {
        s.sent.assign(table.size(), 0);
        s.applied.assign(table.size(), 0);
        save_table(s, std::move(table));
    } else if (!ours(s, table)) {
        save_table(s, std::move(table));
    }
}

// One CRTC of an answered read. `opening`: sessions may be opened (not
// during the restore).
void take_crtc(const crtc_info& c, std::vector<std::uint16_t> table, bool opening) {
    crtc_slot* s = slot_for(c.id);
    const bool wanted = c.has_mode && (!table.empty() || color_manager);
    if (s == nullptr && (!wanted || (s = add_slot(c.id)) == nullptr)) {
        return;
    }
    s->listed = true;
    if (!c.has_mode) {
        return;
    }
    if (!s->session.empty() && s->connector != c.connector) {
        stop_session(*s);  // another monitor on this CRTC now
    }
    s->connector = c.connector;
    if (s->session.empty() && opening && color_manager && !c.connector.empty() &&
        s->refused != c.connector && open_session(*s)) {
        s->live = true;
        return;
    }
    if (!s->session.empty()) {
        s->live = true;
    } else if (!table.empty()) {
        refresh_table(*s, std::move(table));
        s->live = true;
    }
}

// Reads the resources and every driven CRTC's table; changes nothing unless
// every call was answered, all on one serial. Only at start and after a
// monitor change, so the allocations here never touch the frame loop.
answer take_crtcs(bool opening) {
    std::uint32_t fresh = 0;
    std::vector<crtc_info> found;
    answer a = read_resources(bus, fresh, found);
    if (a != answer::ok) {
        return a;
    }
    serial = fresh;
    std::vector<std::vector<std::uint16_t>> tables(found.size());
    for (std::size_t i = 0; i < found.size() && a != answer::again && a != answer::gone; ++i) {
        const crtc_slot* s = slot_for(found[i].id);
        const bool in_session =
            s != nullptr && !s->session.empty() && s->connector == found[i].connector;
        if (found[i].has_mode && !in_session) {
            a = read_gamma(found[i].id, tables[i]);  // refused: no gamma there
        }
    }
    if (a == answer::again || a == answer::gone) {
        return a;
    }
    for (crtc_slot& s : crtcs) {
        s.live = s.listed = false;
    }
    for (std::size_t i = 0; i < found.size(); ++i) {
        take_crtc(found[i], std::move(tables[i]), opening);
    }
    return answer::ok;
}

bool any_live() {
    return std::any_of(crtcs.begin(), crtcs.end(), [](const crtc_slot& s) { return s.live; });
}

// --- Signals from the bus ----------------------------------------------------------

int on_monitors_changed(sd_bus_message*, void*, sd_bus_error*) {
    resources_stale = true;
    return 0;
}

bool names_temperature(sd_bus_message* m) {
    const char* iface = nullptr;
    if (sd_bus_message_read(m, "s", &iface) < 0 ||
        sd_bus_message_enter_container(m, 'a', "{sv}") < 0) {
        return false;
    }
    while (sd_bus_message_enter_container(m, 'e', "sv") > 0) {
        const char* key = nullptr;
        if (sd_bus_message_read(m, "s", &key) < 0 || sd_bus_message_skip(m, "v") < 0 ||
            sd_bus_message_exit_container(m) < 0) {
            return false;
        }
        if (std::strcmp(key, "Temperature") == 0) {
            return true;
        }
    }
    return false;
}

// Mutter follows the same property and rewrites the tables at once.
int on_color_properties(sd_bus_message* m, void*, sd_bus_error*) {
    if (names_temperature(m)) {
        night_light_until = monotonic_ms() + night_light_wait_ms;
        for (crtc_slot& s : crtcs) {
            s.night_light = s.live && s.session.empty();
        }
    }
    return 0;
}

bool follow_mutter() {
    const std::string color =
        std::string("type='signal',sender='") + gsd_color +
        "',interface='org.freedesktop.DBus.Properties',member='PropertiesChanged',"
        "path='/org/gnome/SettingsDaemon/Color',arg0='" +
        gsd_color + "'";
    return sd_bus_match_signal(bus, nullptr, display_config_service, object, interface,
                               "MonitorsChanged", on_monitors_changed, nullptr) >= 0 &&
           sd_bus_add_match(bus, nullptr, color.c_str(), on_color_properties, nullptr) >= 0 &&
           follow_owner(bus, display_config_service, mutter_owned, true);
}

// --- Frames ------------------------------------------------------------------------

// The reply to one frame. A stale serial means the monitors changed; a
// session's error is its end. NoReply is not taken for Mutter gone: sd-bus
// gives it also when a busy Mutter answers after the call's timeout, and
// that frame is just lost. Mutter leaving the bus shows in NameOwnerChanged.
int on_frame_reply(sd_bus_message* m, void* slot, sd_bus_error*) {
    --replies_awaited;
    auto& s = *static_cast<crtc_slot*>(slot);
    const sd_bus_error* e = sd_bus_message_get_error(m);
    const answer a = answer_of(e);
    if (a == answer::ok) {
        std::copy(s.sent.begin(), s.sent.end(), s.applied.begin());
    } else if (sd_bus_error_has_name(e, SD_BUS_ERROR_ACCESS_DENIED) && s.session.empty()) {
        resources_stale = true;
    } else if (a == answer::refused && !s.session.empty()) {
        s.session.clear();  // Mutter has ended it and loaded its own table
        resources_stale = true;
    }
    return 0;
}

bool send_session_lut(crtc_slot& s, const std::uint16_t* table) {
    const std::size_t n = s.size();
    sd_bus_message* m = nullptr;
    bool ok = sd_bus_message_new_method_call(bus, &m, color_service, s.session.c_str(), calibration,
                                             "SetCrtcGammaLut") >= 0;
    for (std::size_t c = 0; c < 3 && ok; ++c) {
        ok = sd_bus_message_append_array(m, 'q', table + c * n, n * 2) >= 0;
    }
    ok = ok && sd_bus_call_async(bus, nullptr, m, on_frame_reply, &s, call_timeout_us) >= 0;
    sd_bus_message_unref(m);
    return ok;
}

void send_frame(crtc_slot& s, const gamma_ramp& ramp) {
    if (s.size() == 256) {
        std::copy(ramp.begin(), ramp.end(), s.sent.begin());
    } else {
        resample_ramp(ramp, s.sent);
    }
    const bool sent = s.session.empty() ? send_crtc_gamma(bus, serial, s.id, s.sent.data(),
                                                          s.size(), on_frame_reply, &s)
                                        : send_session_lut(s, s.sent.data());
    replies_awaited += sent ? 1 : 0;
    s.driven = true;
}

// --- Night Light on the DisplayConfig path -------------------------------------------

bool night_light_pending() {
    return night_light_until >= 0;
}

// Mutter's new table, read once our last frame is answered: one that is not
// a frame of ours is Mutter's, and the one to restore now.
void take_night_light() {
    std::vector<std::uint16_t> table;
    for (crtc_slot& s : crtcs) {
        if (!s.night_light) {
            continue;
        }
        const answer a = read_gamma(s.id, table);
        if (a == answer::again) {
            resources_stale = true;
        }
        if (a != answer::ok || table.size() != s.saved.size()) {
            s.night_light = false;
        } else if (!ours(s, table)) {
            save_table(s, table);
            s.night_light = false;
        }
    }
    const bool waiting =
        std::any_of(crtcs.begin(), crtcs.end(), [](const crtc_slot& s) { return s.night_light; });
    if (!waiting || monotonic_ms() >= night_light_until) {
        night_light_until = -1;
        for (crtc_slot& s : crtcs) {
            s.night_light = false;
        }
    }
}

// --- The restore -------------------------------------------------------------------

// What must get its table back: every CRTC driven that Mutter still lists,
// also one no longer driving a monitor.
bool owed(const crtc_slot& s) {
    return s.driven && s.listed && !s.restored && (!s.session.empty() || !s.saved.empty());
}

int on_restore_reply(sd_bus_message* m, void* slot, sd_bus_error*) {
    --replies_awaited;
    auto& s = *static_cast<crtc_slot*>(slot);
    const answer a = answer_of(sd_bus_message_get_error(m));
    if (!s.session.empty()) {
        // Stop refused: the session had ended, and Mutter's table is back.
        s.restored = a == answer::ok || a == answer::refused;
        if (a != answer::again) {
            s.session.clear();
        }
    } else {
        s.restored = a == answer::ok;
        resources_stale = resources_stale || a == answer::again;
    }
    return 0;
}

void send_restore(crtc_slot& s) {
    if (!s.session.empty()) {
        call_session(s.session, "Stop", on_restore_reply, &s);
    } else if (send_crtc_gamma(bus, serial, s.id, s.saved.data(), s.saved.size() / 3,
                               on_restore_reply, &s)) {
        ++replies_awaited;
    }
}

bool none_awaited() {
    return replies_awaited == 0;
}

bool all_back() {
    return std::none_of(crtcs.begin(), crtcs.end(), owed);
}

// Until every table owed has an error-free reply, or the budget is spent.
// A stale serial reads the resources again; a late reply is tried again.
bool restore_all(long budget_ms) {
    const long deadline = monotonic_ms() + budget_ms;
    for (crtc_slot& s : crtcs) {
        s.restored = false;
    }
    while (!lost_bus && mutter_owned && monotonic_ms() < deadline) {
        dispatch_for(bus, deadline - monotonic_ms(), true, none_awaited);
        if (night_light_pending() && replies_awaited == 0) {
            take_night_light();
            dispatch_for(bus, 5, true, [] { return false; });  // Mutter's rewrite takes a few ms
            continue;
        }
        if (resources_stale && replies_awaited == 0) {
            if (take_crtcs(false) != answer::ok) {
                continue;
            }
            resources_stale = false;
        }
        if (replies_awaited > 0 || all_back()) {
            break;
        }
        std::for_each(crtcs.begin(), crtcs.end(), [](crtc_slot& s) {
            if (owed(s)) {
                send_restore(s);
            }
        });
        sd_bus_flush(bus);
        dispatch_for(bus, deadline - monotonic_ms(), true, none_awaited);
    }
    return replies_awaited == 0 && all_back() && mutter_owned;
}

// Confirmed: the guard stands down. Otherwise the warning, and the guard
// tries again after gammawave has gone.
void restore_and_report() {
    if (restore_all(restore_budget_ms)) {
        stand_guard_down();
    } else {
        warn_restore_unconfirmed(how_to_reset);
    }
}

// --- Waiting -------------------------------------------------------------------------

bool dispatch_pending(sd_bus* b);

[[noreturn]] void lost(const char* what) {
    std::fprintf(stderr, "gammawave: %s\n", what);
    std::exit(1);
}

// "No monitor" only from an answered read; a stale or unanswered one is read
// again at the next pause.
void check_still_useful() {
    if (!mutter_owned) {
        lost(mutter_left);
    }
    if (night_light_pending() && replies_awaited == 0) {
        take_night_light();
    }
    if (!resources_stale || replies_awaited > 0) {
        return;
    }
    if (take_crtcs(true) != answer::ok) {
        return;
    }
    resources_stale = false;
    // A change that came in meanwhile makes that read no final word.
    if (!any_live() && dispatch_for(bus, 0, true, none_awaited) && !resources_stale) {
        restore_and_report();
        lost("no monitor with gamma is left");
    }
}

// --- The name: one gammawave per display ----------------------------------------------

bool claim_held = false;

bool claim_free() {
    return !claim_held;
}

std::uint32_t holder_pid() {
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    std::uint32_t pid = 0;
    if (sd_bus_call_method(bus, bus_service, "/org/freedesktop/DBus", bus_service,
                           "GetConnectionUnixProcessID", &error, &reply, "s",
                           gammawave_bus_name) >= 0) {
        sd_bus_message_read(reply, "u", &pid);
    }
    sd_bus_message_unref(reply);
    sd_bus_error_free(&error);
    return pid;
}

// Taken before the tables are read: a second gammawave would save the first
// one's frame. One that finds it held waits a moment for a guard still
// restoring after a kill, then refuses.
const char* claim_display() {
    if (!follow_owner(bus, gammawave_bus_name, claim_held, true)) {
        return "cannot watch gammawave's name on the session bus";
    }
    const long deadline = monotonic_ms() + claim_wait_ms;
    for (;;) {
        const int r = sd_bus_request_name(bus, gammawave_bus_name, 0);
        if (r >= 0) {
            return nullptr;
        }
        if (r != -EEXIST) {
            return "cannot take gammawave's name on the session bus";
        }
        const long left = deadline - monotonic_ms();
        if (left <= 0) {
            break;
        }
        claim_held = true;
        dispatch_for(bus, left, true, claim_free);
    }
    std::snprintf(claim_reason, sizeof claim_reason,
                  "another gammawave (process %u) is already changing the gamma of this display",
                  static_cast<unsigned>(holder_pid()));
    return claim_reason;
}

// --- The backend -----------------------------------------------------------------------

open_result fail_with(const char* reason, const char*& why) {
    why = reason;
    return open_result::failed;
}

std::vector<mutter_table> tables_for_guard() {
    std::vector<mutter_table> out;
    for (const crtc_slot& s : crtcs) {
        if (!s.saved.empty()) {
            out.push_back({s.id, s.saved});
        }
    }
    return out;
}

// Each try waits at most a call's timeout.
template <typename Read>
answer until_answered(Read read) {
    answer a = read();
    for (int tried = 1; a == answer::again && tried < start_tries; ++tried) {
        a = read();
    }
    return a;
}

open_result mutter_open(const char*& why) {
    if (sd_bus_open_user(&bus) < 0) {
        return open_result::absent;
    }
    sd_bus_set_method_call_timeout(bus, call_timeout_us);
    if (!name_has_owner(bus, display_config_service, false)) {
        bus = sd_bus_flush_close_unref(bus);
        return open_result::absent;
    }
    if (!follow_mutter()) {
        return fail_with("cannot watch GNOME's compositor (Mutter) on the session bus", why);
    }
    if (const char* refused = claim_display()) {
        return fail_with(refused, why);
    }
    // A busy Mutter is not one without gamma: say which it was.
    bool gamma = false;
    if (until_answered([&] { return night_light_supported(gamma); }) == answer::again) {
        return fail_with(mutter_silent, why);
    }
    if (!gamma) {
        return fail_with("GNOME's compositor (Mutter) reports no monitor with gamma here", why);
    }
    color_manager = name_has_owner(bus, color_service, false);
    crtcs.reserve(max_crtcs);
    const answer read = until_answered([] { return take_crtcs(true); });
    if (read == answer::again) {
        return fail_with(mutter_silent, why);
    }
    if (read != answer::ok || !any_live()) {
        return fail_with("GNOME's compositor (Mutter) gives no monitor's gamma table", why);
    }
    const char* name = nullptr;
    if (sd_bus_get_unique_name(bus, &name) >= 0) {
        arm_mutter_guard(name, tables_for_guard());
    }
    guard_wait_until = monotonic_ms() + guard_wait_ms;
    return open_result::ok;
}

// The guard in line for our name on the bus, so that the bus hands it the
// name if we are killed: before that, a gammawave started just after a kill
// would take the name and save our frame as its original.
bool guard_in_line() {
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    int owners = 0;
    if (sd_bus_call_method(bus, bus_service, "/org/freedesktop/DBus", bus_service,
                           "ListQueuedOwners", &error, &reply, "s", gammawave_bus_name) >= 0 &&
        sd_bus_message_enter_container(reply, 'a', "s") >= 0) {
        const char* owner = nullptr;
        while (sd_bus_message_read(reply, "s", &owner) > 0) {
            ++owners;
        }
    }
    sd_bus_message_unref(reply);
    sd_bus_error_free(&error);
    return owners >= 2;
}

// No frame until the guard is in line, or has had a second to get there
// (a guard that could not be made never will).
bool guard_ready() {
    static bool ready = false;
    ready = ready || monotonic_ms() >= guard_wait_until || guard_in_line();
    return ready;
}

void mutter_load_frame(const gamma_ramp& ramp) {
    // What came in since the pause first: a Temperature change already on the
    // socket must stop this frame, or it may overwrite Mutter's new table
    // before we have read it.
    if (!dispatch_pending(bus)) {
        lost("lost the connection to the session bus");
    }
    if (!guard_ready() || replies_awaited > 0 || resources_stale || night_light_pending()) {
        return;  // the last frame is not answered yet, or the tables are changing: drop this one
    }
    for (crtc_slot& s : crtcs) {
        if (s.live) {
            send_frame(s, ramp);
        }
    }
    sd_bus_flush(bus);
}

void mutter_pause() {
    if (!dispatch_for(bus, frame_pause.tv_nsec / 1'000'000, false, [] { return false; })) {
        lost("lost the connection to the session bus");
    }
    check_still_useful();
}

void mutter_restore_and_exit(int sig) {
    restore_and_report();
    sd_bus_flush_close_unref(bus);
    end_process(sig);
}

// --- Waiting on the bus ------------------------------------------------------------

timespec as_timespec(long ms) {
    return timespec{ms / 1000, (ms % 1000) * 1'000'000};
}

// Dispatches everything sd-bus has read; false when the bus is gone.
bool dispatch_pending(sd_bus* b) {
    int r = 0;
    while ((r = sd_bus_process(b, nullptr)) > 0) {
    }
    return r >= 0;
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

// --- Shared with the guard (mutter-bus.h) ----------------------------------------------

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

bool send_crtc_gamma(sd_bus* b, std::uint32_t at_serial, std::uint32_t crtc,
                     const std::uint16_t* table, std::size_t n, sd_bus_message_handler_t reply,
                     void* userdata) {
    sd_bus_message* m = nullptr;
    bool ok = sd_bus_message_new_method_call(b, &m, display_config_service, object, interface,
                                             "SetCrtcGamma") >= 0 &&
              sd_bus_message_append(m, "uu", at_serial, crtc) >= 0;
    for (std::size_t c = 0; c < 3 && ok; ++c) {
        ok = sd_bus_message_append_array(m, 'q', table + c * n, n * 2) >= 0;
    }
    ok = ok && sd_bus_call_async(b, nullptr, m, reply, userdata, call_timeout_us) >= 0;
    sd_bus_message_unref(m);
    return ok;
}

bool from_the_bus(sd_bus_message* m) {
    const char* sender = sd_bus_message_get_sender(m);
    return sender != nullptr && std::strcmp(sender, bus_service) == 0;
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
            if (b == bus) {
                lost_bus = true;
            }
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

const display_backend mutter_backend = {
    mutter_open, mutter_load_frame, mutter_pause, mutter_restore_and_exit, nullptr, watch_mutter};
