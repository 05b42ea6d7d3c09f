// The restore: every table we changed back, each confirmed by Mutter's
// error-free reply.
#include <algorithm>

#include "linux/linux-guard.h"
#include "mutter/mutter-state.h"

namespace mutter {
namespace {

constexpr long restore_budget_ms = 1000;
const char* const how_to_reset =
    "switching Night Light on and off in GNOME's settings makes Mutter load its own tables again";

// What must get its table back: every CRTC driven that Mutter still lists,
// also one no longer driving a monitor. Not one whose restore Mutter
// refused: asked again until the budget is spent, it would be refused
// again, and the exit would wait a second for nothing.
bool owed(const crtc_slot& s) {
    return s.driven && s.listed && !s.restored && !s.refused && !s.saved.empty();
}

int on_restore_reply(sd_bus_message* m, void* slot, sd_bus_error*) {
    --replies_awaited;
    auto& s = *static_cast<crtc_slot*>(slot);
    const answer a = answer_of(sd_bus_message_get_error(m));
    s.restored = a == answer::ok;
    s.refused = a == answer::refused;
    resources_stale = resources_stale || a == answer::again;
    return 0;
}

void send_restore(crtc_slot& s) {
    if (send_crtc_gamma(bus, serial, s.id, s.saved.data(), s.saved.size() / 3, on_restore_reply,
                        &s)) {
        ++replies_awaited;
    }
}

bool all_back() {
    return std::none_of(crtcs.begin(), crtcs.end(),
                        [](const crtc_slot& s) { return owed(s) || s.refused; });
}

bool none_owed() {
    return std::none_of(crtcs.begin(), crtcs.end(), owed);
}

}  // namespace

bool none_awaited() {
    return replies_awaited == 0;
}

// Until every table owed has an error-free reply, or the budget is spent.
// A stale serial reads the resources again; a late reply is tried again.
bool restore_all(long budget_ms) {
    const long deadline = monotonic_ms() + budget_ms;
    for (crtc_slot& s : crtcs) {
        s.restored = s.refused = false;
    }
    take_colord_signals();  // a profile changed since the last frame
    while (!lost_bus && mutter_owned && monotonic_ms() < deadline) {
        wait_on_bus(deadline - monotonic_ms(), true, none_awaited);
        if (new_tables_pending() && replies_awaited == 0) {
            take_new_tables();
            wait_on_bus(5, true, [] { return false; });  // Mutter's rewrite takes a few ms
            continue;
        }
        if (resources_stale && replies_awaited == 0) {
            const answer a = take_crtcs();
            if (a == answer::again) {
                continue;
            }
            if (a != answer::ok) {
                break;  // refused, or Mutter gone: no serial to restore on
            }
            resources_stale = false;
        }
        if (replies_awaited > 0 || none_owed()) {
            break;
        }
        std::for_each(crtcs.begin(), crtcs.end(), [](crtc_slot& s) {
            if (owed(s)) {
                send_restore(s);
            }
        });
        sd_bus_flush(bus);
        wait_on_bus(deadline - monotonic_ms(), true, none_awaited);
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

}  // namespace mutter
