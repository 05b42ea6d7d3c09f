// Calibration sessions (Mutter 49 and later):
// org.gnome.Mutter.ColorManager.CalibrateMonitor opens one for a monitor,
// frames go through its SetCrtcGammaLut at its GammaLutSize, and Stop ends
// it, after which Mutter loads its own table again.
#include <cstdio>

#include "mutter/mutter-guard.h"
#include "mutter/mutter-state.h"

namespace mutter {
namespace {

const char* const color_object = "/org/gnome/Mutter/ColorManager";
const char* const calibration = "org.gnome.Mutter.ColorManager.Calibration";

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

}  // namespace

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

}  // namespace mutter
