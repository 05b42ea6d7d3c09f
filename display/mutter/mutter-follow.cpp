// Following Mutter: its monitor changes, its leaving the bus, and Night
// Light's temperature, on which Mutter loads a new table of its own that
// becomes the one to restore.
#include <algorithm>
#include <cstring>
#include <string>

#include "mutter/mutter-state.h"

namespace mutter {
namespace {

const char* const object = "/org/gnome/Mutter/DisplayConfig";
const char* const interface = "org.gnome.Mutter.DisplayConfig";
const char* const gsd_color = "org.gnome.SettingsDaemon.Color";
constexpr long night_light_wait_ms = 50;  // Mutter rewrites within a few ms
long night_light_until = -1;              // while Mutter's new Night Light tables are awaited

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
            s.night_light = s.live;
        }
    }
    return 0;
}

}  // namespace

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
        const answer a = read_gamma(bus, serial, s.id, table);
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

}  // namespace mutter
