// The guard on GNOME's Mutter. Mutter keeps a table set through
// DisplayConfig.SetCrtcGamma after its client has gone, so the guard puts the
// saved tables back once gammawave's unique name has left the session bus:
// the bus says so only after it has routed gammawave's last message to
// Mutter, so the guard's tables are the last to arrive.
//
// The guard also queues for gammawave's name on the bus, so that the bus
// hands the name to it when gammawave dies: a gammawave started meanwhile
// waits for the guard's restore instead of saving a tinted table.
#pragma once

#include <cstdint>
#include <vector>

struct mutter_table {
    std::uint32_t crtc = 0;
    std::vector<std::uint16_t> table;  // N red, N green, N blue
};

// At open, in gammawave: its unique name and the DisplayConfig tables saved
// so far. Without a name the guard ends at once.
void arm_mutter_guard(const char* unique_name, std::vector<mutter_table> saved);

// A table saved later (or, empty, one the guard is to forget), passed to
// the guard over its pipe.
void share_with_mutter_guard(std::uint32_t crtc, const std::vector<std::uint16_t>& table);

// The guard's watch (a guard_watch_fn), on a connection of its own.
void watch_mutter(int stand_down_fd);
