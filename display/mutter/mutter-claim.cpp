// One gammawave per display: a name on the session bus, taken before the
// tables are read, and the guard in line for it before the first frame.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "mutter/mutter-state.h"

namespace mutter {
namespace {

constexpr long claim_wait_ms = 2000;  // a guard still restoring after a kill
// For the guard to queue for our name: a guard is a fork that makes one
// connection, at once on any machine that can run gammawave; as long as on
// X11, where a guard must also connect.
constexpr long guard_wait_ms = 10'000;
char claim_reason[160];
long guard_wait_until = 0;

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

// Our guard in line for our name on the bus, so that the bus hands it the
// name if we are killed: before that, a gammawave started just after a kill
// would take the name and save our frame as its original. Ours, known by
// the name it holds besides: a late guard of another run passes through the
// queue too, and leaves it.
bool guard_in_line() {
    static char guard_name[guard_name_size] = "";
    const char* self = nullptr;
    if (guard_name[0] == '\0' && sd_bus_get_unique_name(bus, &self) >= 0) {
        guard_name_of(self, guard_name);
    }
    char guard[256];
    name_owner(bus, guard_name, guard, sizeof guard);
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    bool found = false;
    if (guard[0] != '\0' &&
        sd_bus_call_method(bus, bus_service, "/org/freedesktop/DBus", bus_service,
                           "ListQueuedOwners", &error, &reply, "s", gammawave_bus_name) >= 0 &&
        sd_bus_message_enter_container(reply, 'a', "s") >= 0) {
        const char* owner = nullptr;
        for (int i = 0; !found && sd_bus_message_read(reply, "s", &owner) > 0; ++i) {
            found = i > 0 && std::strcmp(owner, guard) == 0;
        }
    }
    sd_bus_message_unref(reply);
    sd_bus_error_free(&error);
    return found;
}

}  // namespace

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
        wait_on_bus(left, true, claim_free);
    }
    std::snprintf(claim_reason, sizeof claim_reason,
                  "another gammawave (process %u) is already changing the gamma of this display",
                  static_cast<unsigned>(holder_pid()));
    return claim_reason;
}

void start_guard_wait() {
    guard_wait_until = monotonic_ms() + guard_wait_ms;
}

// No frame until the guard is in line: killed before that, gammawave would
// leave its frame with no one in line to put the tables back, and a
// gammawave started next would save that frame as the display's own. A
// guard that could not be made, or could not reach the bus, has ended, and
// the run goes on without one; one not in line within the wait may come
// later still, so the run ends, having sent no frame, and stands it down.
bool guard_ready() {
    static bool ready = false;
    ready = ready || guard_has_ended() || guard_in_line();
    if (!ready && monotonic_ms() >= guard_wait_until) {
        stand_guard_down();
        std::fprintf(stderr, "gammawave: %s\n", guard_late_reason);
        std::exit(1);
    }
    return ready;
}

}  // namespace mutter
