// Mutter 47 and later on their own test backend, with no GPU: 800x600
// monitors, one unless asked for more, each on a test CRTC of gamma size
// 256. Each runs in a Debian root of the release that ships it
// (tests/harness/mutter-roots/make-root makes them, as root), inside the
// D-Bus runner of its test package: private session and system buses, and
// mocks of colord, of gnome-settings-daemon's colour service (which sets
// Night Light's temperature) and of logind. gammawave, built here, runs
// unchanged in those roots, with the build tree bound in.
#pragma once

#include <sys/types.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "x11/x11-gamma.h"

using env_pairs = std::vector<std::pair<std::string, std::string>>;

struct test_backend {
    std::string release;  // trixie (Mutter 48), testing (50), unstable (51)
    std::string root;
    std::string dir;  // the host's path of a directory in the root's /tmp
    pid_t runner = -1;
    pid_t mutter = -1;  // the driver, in the runner
    int dir_lock = -1;  // held while the run lives
    env_pairs env;      // both buses; WAYLAND_DISPLAY empty

    test_backend() = default;
    test_backend(const test_backend&) = delete;
    test_backend& operator=(const test_backend&) = delete;
    ~test_backend();  // Mutter, then the runner with its buses and mocks

    // `argv` as a command inside the root, with the build tree and the scripts
    // there; with `own_pids`, in a process namespace that dies with it.
    std::vector<std::string> in_root(std::vector<std::string> argv, bool own_pids = false) const;
    // The inside path of a host path in the root.
    std::string inside(const std::string& path) const { return path.substr(root.size()); }
    // The driver's calls (mutter-roots/mutter-driver.py): false, or an empty
    // read, when one fails.
    std::vector<crtc_ramp> tables() const;
    bool load(const std::vector<crtc_ramp>& tables) const;
    bool night_light(unsigned kelvin) const;
    // Every monitor given that profile of Mutter's tests, as colord does for
    // a monitor it knows when Mutter makes its device.
    bool profile(const std::string& icc = "sRGB") const;
    std::string log() const;  // the runner's and Mutter's stderr
    // The first `monitors` of those Mutter started with plugged in, the
    // others unplugged, as Mutter's main loop has handled it.
    bool plug(int monitors) const;
    // Mutter still running and answering GetResources.
    bool answers() const;
};

// Null with `why` when the root is missing (then `skip` is set) or Mutter
// does not come up in it. Mutter's monitors have a colour profile, so that
// Night Light reaches their tables, and the temperature is 6500 K.
std::unique_ptr<test_backend> start_test_backend(const std::string& release, std::string& why,
                                                 bool& skip, int monitors = 1);

// A client of the test's own holding a calibration session for the monitor
// (Mutter 49 and later) until it is killed; -1 when the session was refused.
pid_t hold_calibration(const test_backend& m);
