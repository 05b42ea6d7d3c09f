// The display layer on GNOME: Mutter on the session bus, through sd-bus,
// whose connection is a plain descriptor the frame loop polls itself.
//
// Every monitor goes through org.gnome.Mutter.DisplayConfig, on every Mutter
// from 43 on. GetResources lists the CRTCs; one with a mode (its 7th field,
// current_mode, is not -1) drives a monitor. GetCrtcGamma gives a CRTC's
// table, whose length is its gamma size; SetCrtcGamma sets one. Both carry
// the serial of the resources they are based on, and Mutter answers a stale
// one with AccessDenied. A table set stays after the caller exits, until
// Mutter itself rewrites it (Night Light, a colour profile, and from 47 on
// any monitor change), so the restore is ours to do, and the guard's after
// an unhandled end.
//
// Not the calibration sessions of org.gnome.Mutter.ColorManager (49 and
// later), although they would hand the restore to Mutter: Mutter 49 to 51
// crash (SIGSEGV) when a monitor goes while a client holds a session for it.
// The session's weak reference on its monitor fires from the monitor's
// dispose, after its outputs were freed, and closing the session reads them
// (meta-color-calibration-session.c, meta_color_manager_get_color_device);
// it comes before MonitorsChanged, so no client can end its session in time.
// An unplugged laptop dock would take the whole desktop down with it.
// DisplayConfig.SetCrtcGamma works on those releases as on 48, and no unplug
// crashes Mutter through it.
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
// temperature of the start. So too when colord tells of a device added or
// its profiles changed (Mutter loads the profile's table then), which
// colord says on the system bus; the pause waits on that bus too, so its
// signals are read as they come and cost nothing while colord is quiet.
//
// Most frames ask for no reply (mutter-state.h, check_every): a steady frame
// is one sendmsg and the pause's ppoll, which waits on the bus and the
// self-pipe together and reads the bus only when it has sent something. A
// frame that finds the last checked frame's reply outstanding when the next
// check is due is dropped, not queued. A checked frame refused for anything
// but a stale serial ends the run: Mutter would refuse every frame after it
// the same way.
//
// A genuine fault cannot restore from its handler here: sd-bus is not
// async-signal-safe, and a message written raw to the socket behind one that
// sd-bus has only partly written would corrupt the stream. So the fault path
// only exits, and the guard (mutter-guard.cpp) restores, as it does after
// any other unhandled end.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "linux/linux-backend.h"
#include "linux/linux-guard.h"
#include "mutter/mutter-guard.h"
#include "mutter/mutter-state.h"

namespace mutter {

sd_bus* bus = nullptr;
std::uint32_t serial = 0;
std::vector<crtc_slot> crtcs;
int replies_awaited = 0;
bool resources_stale = false;
bool mutter_owned = true;
bool lost_bus = false;
char frame_refused[256];

bool wait_on_bus(long ms, bool through_signals, bool (*done)()) {
    if (!dispatch_for(bus, ms, through_signals, done)) {
        lost_bus = true;
        return false;
    }
    return true;
}

// --- Frames ------------------------------------------------------------------------

// While a checked frame's reply is late, no frame goes, so that frames do
// not pile up at the bus for a stopped Mutter (and any of them Mutter may
// end up holding stays among the last `recent_frames` sent). A call that
// Mutter's own main loop answers says when it takes frames again: not a
// Ping, which GDBus answers from its worker thread even while that loop is
// stuck.
namespace {

bool frames_late = false;

int on_probe_reply(sd_bus_message* m, void*, sd_bus_error*);

void probe_mutter() {
    frames_late = sd_bus_call_method_async(bus, nullptr, display_config_service,
                                           "/org/gnome/Mutter/DisplayConfig",
                                           "org.gnome.Mutter.DisplayConfig", "GetResources",
                                           on_probe_reply, nullptr, "") >= 0;
}

int on_probe_reply(sd_bus_message* m, void*, sd_bus_error*) {
    const sd_bus_error* e = sd_bus_message_get_error(m);
    if (sd_bus_error_has_names(e, SD_BUS_ERROR_NO_REPLY, SD_BUS_ERROR_TIMEOUT)) {
        probe_mutter();  // still late: ask again, once a call's timeout
    } else {
        frames_late = false;
    }
    return 0;
}

}  // namespace

// The reply to a checked frame. A stale serial means the monitors changed. NoReply is not taken
// for Mutter gone: sd-bus gives it also when a busy Mutter answers after the call's timeout, and
// that frame is just lost. Mutter leaving the bus shows in NameOwnerChanged. Any other error is
// kept, to end the run with.
int on_frame_reply(sd_bus_message* m, void*, sd_bus_error*) {
    --replies_awaited;
    const sd_bus_error* e = sd_bus_message_get_error(m);
    const answer a = answer_of(e);
    if (sd_bus_error_has_name(e, SD_BUS_ERROR_ACCESS_DENIED)) {
        resources_stale = true;
    } else if (a == answer::again && !frames_late) {
        probe_mutter();
    } else if (a == answer::refused && frame_refused[0] == '\0') {
        std::snprintf(frame_refused, sizeof frame_refused,
                      "GNOME's compositor (Mutter) refused a frame: %s (%s)",
                      e->message != nullptr ? e->message : "no message", e->name);
    }
    return 0;
}

}  // namespace mutter

namespace {

using namespace mutter;

// Frames sent since the last checked one; the first frame is checked.
unsigned since_check = check_every - 1;

void send_frame(crtc_slot& s, const gamma_ramp& ramp, bool checked) {
    if (s.size() == 256) {
        std::copy(ramp.begin(), ramp.end(), s.sent.begin());
    } else {
        resample_ramp(ramp, s.sent);
    }
    note_sent(s);
    if (!checked) {
        send_kept_frame(bus, s.frame, serial, s.id, s.sent.data(), s.size());
    } else if (send_crtc_gamma(bus, serial, s.id, s.sent.data(), s.size(), on_frame_reply,
                               nullptr)) {
        ++replies_awaited;
    }
    s.driven = true;
}

// A Mutter that is busy (just started, a loaded machine, a burst of monitor
// changes) is asked again at start rather than taken for one without gamma.
constexpr int start_tries = 5;
const char* const mutter_left = "GNOME's compositor (Mutter) has left the session bus";
const char* const mutter_silent =
    "GNOME's compositor (Mutter) did not answer within five seconds, or its monitors kept changing";

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
    if (frame_refused[0] != '\0') {
        restore_and_report();
        lost(frame_refused);
    }
    if (new_tables_pending() && replies_awaited == 0) {
        take_new_tables();
    }
    if (!resources_stale || replies_awaited > 0) {
        return;
    }
    if (take_crtcs() != answer::ok) {
        return;
    }
    resources_stale = false;
    // A change that came in meanwhile makes that read no final word.
    if (!any_live() && wait_on_bus(0, true, none_awaited) && !resources_stale) {
        restore_and_report();
        lost("no monitor with gamma is left");
    }
}

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
    if (until_answered([&] { return night_light_supported(bus, gamma); }) == answer::again) {
        return fail_with(mutter_silent, why);
    }
    if (!gamma) {
        return fail_with("GNOME's compositor (Mutter) reports no monitor with gamma here", why);
    }
    crtcs.reserve(max_crtcs);
    const answer read = until_answered([] { return take_crtcs(); });
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
    start_guard_wait();
    return open_result::ok;
}

timespec pause_ended{};  // zero until the first pause: the first frame reads first

// The pause read everything that came until it ended, and a frame is
// computed within some 10 us of that (the curve's 768 cosines, bench/); one
// held up for longer (the process stopped, or waiting for a core) may find
// something new on the socket.
constexpr long long fresh_for_ns = 200'000;

bool nothing_new_since_pause() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const long long ns =
        (now.tv_sec - pause_ended.tv_sec) * 1'000'000'000LL + now.tv_nsec - pause_ended.tv_nsec;
    std::uint64_t queued = 0;
    sd_bus_get_n_queued_read(bus, &queued);
    return ns < fresh_for_ns && queued == 0;
}

void mutter_load_frame(const gamma_ramp& ramp) {
    // What came in since the pause first: a Temperature or a profile change
    // already on a socket must stop this frame, or it may overwrite Mutter's
    // new table before we have read it. Straight after the pause that costs nothing.
    if (!nothing_new_since_pause() && !dispatch_pending(bus)) {
        lost("lost the connection to the session bus");
    }
    const bool check = since_check + 1 >= check_every;
    // A write sd-bus still holds means the socket is full: the bus, or Mutter behind it, is behind.
    std::uint64_t unwritten = 0;
    sd_bus_get_n_queued_write(bus, &unwritten);
    if (!guard_ready() || (check && replies_awaited > 0) || frames_late || unwritten > 0 ||
        resources_stale || new_tables_pending()) {
        return;  // the last check is not answered yet, or the tables are changing: drop this one
    }
    for (crtc_slot& s : crtcs) {
        if (s.live) {
            send_frame(s, ramp, check);
        }
    }
    since_check = check ? 0 : since_check + 1;
}

// No sd_bus_flush after the frames: sd-bus writes a message at once when
// nothing is queued before it, and what the socket did not take goes out as
// the pause finds the socket writable.
void mutter_pause() {
    timespec start{};
    clock_gettime(CLOCK_MONOTONIC, &start);
    if (!pause_on_bus(bus, start, colord_fd(), take_colord_signals)) {
        lost_bus = true;
        lost("lost the connection to the session bus");
    }
    clock_gettime(CLOCK_MONOTONIC, &pause_ended);
    check_still_useful();
}

void mutter_restore_and_exit(int sig) {
    restore_and_report();
    sd_bus_flush_close_unref(bus);
    end_process(sig);
}

}  // namespace

const display_backend mutter_backend = {
    mutter_open, mutter_load_frame, mutter_pause, mutter_restore_and_exit, nullptr, watch_mutter};
