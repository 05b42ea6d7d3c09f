// Following Mutter: its monitor changes, its leaving the bus, and the two
// things on which Mutter loads a new table of its own, which becomes the one
// to restore: Night Light's temperature (gnome-settings-daemon, on the
// session bus) and a monitor's colour profile (colord, on the system bus).
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "mutter/mutter-state.h"

namespace mutter {
namespace {

const char* const object = "/org/gnome/Mutter/DisplayConfig";
const char* const interface = "org.gnome.Mutter.DisplayConfig";
const char* const gsd_color = "org.gnome.SettingsDaemon.Color";
const char* const colord = "org.freedesktop.ColorManager";
// Mutter rewrites within a few ms of a temperature change. A profile it
// loads first: 10 to 20 ms after colord's signal on Mutter 48, 50 and 51's
// test backends, measured; the rest is room for a loaded machine.
constexpr long night_light_wait_ms = 50;
constexpr long profile_wait_ms = 250;
// A table Mutter has not changed for this long is its last: on a monitor
// plugged back in, Mutter may load one before the profile and one after.
constexpr long settle_ms = 20;
long awaited_until = -1;  // while Mutter's new tables are awaited
long changed_at = 0;      // the change, or the last new table read since

sd_bus* colord_bus = nullptr;  // the system bus; none there, no profile is followed

// The frames stop until every monitor's new table is read, or `wait_ms`.
void await_new_tables(long wait_ms) {
    changed_at = monotonic_ms();
    awaited_until = std::max(awaited_until, changed_at + wait_ms);
    for (crtc_slot& s : crtcs) {
        s.new_table_read = false;
    }
}

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
        await_new_tables(night_light_wait_ms);
    }
    return 0;
}

// A device added (a monitor plugged in), or one whose profiles changed:
// colord tells Mutter and us at once, and Mutter loads the profile's table.
// The manager's signals and the device's own, as colord sends both.
int on_colord_device(sd_bus_message* m, void*, sd_bus_error*) {
    if (sd_bus_message_is_signal(m, colord, "DeviceAdded") ||
        sd_bus_message_is_signal(m, colord, "DeviceChanged") ||
        sd_bus_message_is_signal(m, "org.freedesktop.ColorManager.Device", "Changed")) {
        await_new_tables(profile_wait_ms);
    }
    return 0;
}

// Without colord (a session with no system bus, or no colour management)
// there are no profiles to follow, and gammawave goes on without.
void follow_colord() {
    const std::string match = std::string("type='signal',sender='") + colord + "'";
    if (sd_bus_open_system(&colord_bus) < 0 ||
        sd_bus_add_match(colord_bus, nullptr, match.c_str(), on_colord_device, nullptr) < 0) {
        colord_bus = sd_bus_flush_close_unref(colord_bus);
    }
}

}  // namespace

bool follow_mutter() {
    const std::string color =
        std::string("type='signal',sender='") + gsd_color +
        "',interface='org.freedesktop.DBus.Properties',member='PropertiesChanged',"
        "path='/org/gnome/SettingsDaemon/Color',arg0='" +
        gsd_color + "'";
    follow_colord();
    return sd_bus_match_signal(bus, nullptr, display_config_service, object, interface,
                               "MonitorsChanged", on_monitors_changed, nullptr) >= 0 &&
           sd_bus_add_match(bus, nullptr, color.c_str(), on_color_properties, nullptr) >= 0 &&
           follow_owner(bus, display_config_service, mutter_owned, true);
}

int colord_fd() {
    return colord_bus != nullptr ? sd_bus_get_fd(colord_bus) : -1;
}

// What colord has said since; a system bus found gone is let go.
void take_colord_signals() {
    if (colord_bus != nullptr && !dispatch_pending(colord_bus)) {
        colord_bus = sd_bus_flush_close_unref(colord_bus);
    }
}

bool new_tables_pending() {
    return awaited_until >= 0;
}

// Mutter's new tables, read once our last frame is answered: one that is
// neither a frame of ours nor the table saved is Mutter's, and the one to
// restore now. Read again until none has changed for a moment, or the wait
// is over; a CRTC that Mutter leaves as it was keeps its table.
void take_new_tables() {
    std::vector<std::uint16_t> table;
    bool waiting = false;
    for (crtc_slot& s : crtcs) {
        if (!s.live) {
            continue;
        }
        const answer a = read_gamma(bus, serial, s.id, table);
        if (a == answer::again) {
            resources_stale = true;  // read again on the fresh serial
            waiting = true;
        } else if (a == answer::ok && table.size() == s.saved.size() && !ours(s, table) &&
                   table != s.saved) {
            save_table(s, table);
            changed_at = monotonic_ms();
            s.new_table_read = true;
        }
        waiting = waiting || (a == answer::ok && !s.new_table_read);
    }
    const long now = monotonic_ms();
    if ((!waiting && now - changed_at >= settle_ms) || now >= awaited_until) {
        awaited_until = -1;
    }
}

}  // namespace mutter
