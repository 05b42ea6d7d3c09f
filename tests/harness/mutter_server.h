// A real GNOME compositor for the end-to-end tests and benchmarks: Mutter
// with its X11 backend on an X server of the harness's own, on a private
// session bus. It serves org.gnome.Mutter.DisplayConfig with the X server's
// real CRTCs (Xvfb: one of gamma size 256), with no GPU; clients reach it
// through client_env() with DISPLAY unset.
#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "x_server.h"

class mutter_session {
public:
    ~mutter_session();  // Mutter, then the bus, then the X server; then the directory
    mutter_session(const mutter_session&) = delete;
    mutter_session& operator=(const mutter_session&) = delete;

    pid_t pid() const { return mutter_; }
    const x_server& x() const { return x_; }
    // DBUS_SESSION_BUS_ADDRESS, HOME and XDG_RUNTIME_DIR, with WAYLAND_DISPLAY empty.
    std::vector<std::pair<std::string, std::string>> client_env() const;
    std::string log() const;  // Mutter's stderr

private:
    mutter_session() = default;
    friend std::unique_ptr<mutter_session> start_mutter(std::string&, bool);
    x_server x_;
    pid_t bus_ = -1;
    pid_t mutter_ = -1;
    std::string dir_;
    std::string address_;
};

// On Xvfb, or on the Xorg dummy (root only) with three monitors on. Null when
// it is not serving DisplayConfig within twenty seconds, and `why` says why.
std::unique_ptr<mutter_session> start_mutter(std::string& why, bool xorg_dummy = false);

// A process that takes `name` from Mutter on its bus (Mutter lets its names
// be replaced, and queues for them again) and serves no object, so sd-bus
// answers every call to it with UnknownObject; Mutter has the name back once
// it is killed. Its id once it holds the name, or -1.
pid_t take_name_from_mutter(const mutter_session& m, const std::string& name);
