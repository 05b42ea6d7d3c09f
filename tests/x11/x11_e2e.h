// What the end-to-end cases on real X servers share: the servers, one of each
// kind for the whole run, and the judgements of their ramps.
#pragma once

#include <unistd.h>

#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "gammawave_run.h"
#include "ramp_view.h"
#include "x_server.h"

using namespace std::chrono_literals;
using env_list = std::vector<std::pair<std::string, std::string>>;

enum class server_kind { xvfb, xorg };

// One server of each kind for the whole run, started on first use.
inline x_server& shared_server(server_kind kind) {
    static std::map<server_kind, x_server> servers;
    x_server& s = servers[kind];
    if (s.pid <= 0) {
        auto started = kind == server_kind::xvfb ? start_xvfb() : start_xorg_dummy();
        if (started) {
            s = *started;
        }
    }
    return s;
}

inline std::string require_server(server_kind kind) {
    const x_server& s = shared_server(kind);
    return s.display;
}

// Xorg takes a configuration of our own only from root.
#define SKIP_XORG_UNLESS_ROOT(kind)                                                     \
    if ((kind) == server_kind::xorg && geteuid() != 0) {                                \
        GTEST_SKIP() << "Xorg with the dummy driver needs root to take our own config"; \
    }

inline bool same_ramps(const std::vector<crtc_ramp>& a, const std::vector<crtc_ramp>& b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (a[i].crtc != b[i].crtc || a[i].size != b[i].size || a[i].entries != b[i].entries) {
            return false;
        }
    }
    return true;
}

inline bool none_the_same(const std::vector<crtc_ramp>& a, const std::vector<crtc_ramp>& b) {
    for (std::size_t i = 0; i < a.size() && i < b.size(); ++i) {
        if (a[i].entries == b[i].entries) {
            return false;
        }
    }
    return a.size() == b.size();
}

// Whatever the program loads is, on every CRTC and channel, the curve at
// some phase.
inline bool holds_curve_frames(const std::vector<crtc_ramp>& ramps) {
    for (const crtc_ramp& r : ramps) {
        for (int c = 0; c < 3; ++c) {
            if (!curve_phase(r, c)) {
                return false;
            }
        }
    }
    return !ramps.empty();
}

// Holds a server stopped, as a hung server would be, and resumes it on
// every path out of the test.
struct stopped_server {
    pid_t pid;
    explicit stopped_server(pid_t server) : pid(server) { kill(pid, SIGSTOP); }
    ~stopped_server() { resume(); }
    void resume() {
        if (pid > 0) {
            kill(pid, SIGCONT);
        }
        pid = -1;
    }
};

// Loads random non-identity ramps so a restore to anything else shows.
inline std::vector<crtc_ramp> load_random_ramps(const test_display& d, unsigned seed) {
    const std::vector<crtc_ramp> ramps = random_ramps(d.ramps(), seed);
    d.load(ramps);
    return ramps;
}

inline bool animates_every_crtc(const test_display& d, const std::vector<crtc_ramp>& before) {
    return eventually([&] { return none_the_same(d.ramps(), before); }, 5s);
}

// Whether `pid` has a handler for `sig` now (the SigCgt mask of /proc).
inline bool catches(pid_t pid, int sig) {
    const std::string status = read_file("/proc/" + std::to_string(pid) + "/status");
    const std::size_t at = status.find("SigCgt:");
    return at != std::string::npos &&
           (std::strtoull(status.c_str() + at + 7, nullptr, 16) >> (sig - 1) & 1) != 0;
}

// A claim's selection: the screen's by default, or the guard's.
inline xcb_atom_t claim_atom(const test_display& d, const std::string& name = "_GAMMAWAVE_S0") {
    xcb_owned<xcb_intern_atom_reply_t> atom(xcb_intern_atom_reply(
        d.x.conn,
        xcb_intern_atom(d.x.conn, 0, static_cast<std::uint16_t>(name.size()), name.c_str()),
        nullptr));
    return atom ? atom->atom : XCB_NONE;
}

// The owner of a claim: gammawave's window for the screen's, its guard's
// for the guard's.
inline xcb_window_t claim_owner(const test_display& d, const std::string& name = "_GAMMAWAVE_S0") {
    xcb_owned<xcb_get_selection_owner_reply_t> owner(xcb_get_selection_owner_reply(
        d.x.conn, xcb_get_selection_owner(d.x.conn, claim_atom(d, name)), nullptr));
    return owner ? owner->owner : XCB_NONE;
}

inline const char* kind_name(server_kind k) {
    return k == server_kind::xvfb ? "Xvfb" : "XorgDummy";
}
