// The Mutter backend's own state and steps, shared among its files: one
// process drives one session bus, so the state is the module's, as it is
// in every backend. In a namespace of its own, because the module takes its
// other symbols from the program, which exports its own.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "linux/linux-backend.h"
#include "mutter/mutter-bus.h"

namespace mutter {

inline constexpr char bus_service[] = "org.freedesktop.DBus";

// One frame in this many is sent with a reply asked for; the rest ask for
// none, so they cost one sendmsg and nothing to read back. When the next
// check is due and the last one's reply has not come, frames are dropped
// until it comes; after a reply too late, until Mutter answers again. So a
// Mutter that stops answering has at most this many frames waiting for it
// at the bus, and a refusal shows within 160 ms at 100 frames a second.
inline constexpr unsigned check_every = 16;

// The frames sent since the last one Mutter may still hold: frames with a
// stale serial are refused, and go out only until a MonitorsChanged or the
// next check's reply says so, at most two batches of `check_every` later.
inline constexpr std::size_t recent_frames = 2 * check_every + 1;

// One CRTC that has driven a monitor with gamma.
struct crtc_slot {
    std::uint32_t id = 0;
    std::string connector;  // the monitor it drives now
    // The table to restore, N red, N green, N blue.
    std::vector<std::uint16_t> saved;
    std::vector<std::uint16_t> sent;  // the last frame sent to it, at its size
    // Hashes of the frames sent last (a ring): any of them may be the one
    // Mutter holds. Hashes, not tables: a CRTC may take 65535 entries.
    std::array<std::uint64_t, recent_frames> recent{};
    std::size_t recent_next = 0;
    kept_frame frame;             // the unchecked frames' message
    bool live = false;            // driving a monitor in the latest answered resources
    bool listed = false;          // Mutter lists it in the latest answered resources
    bool driven = false;          // a frame has been sent to it
    bool restored = false;        // its restore was answered without an error
    bool refused = false;         // its restore was refused: asked again, it would be again
    bool new_table_read = false;  // Mutter's table read since its last change
    std::size_t size() const { return sent.size() / 3; }
};

extern sd_bus* bus;
extern std::uint32_t serial;
extern std::vector<crtc_slot> crtcs;
inline constexpr std::size_t max_crtcs = 64;  // beyond any machine; reserved so slots never move

extern int replies_awaited;   // calls not answered yet
extern bool resources_stale;  // MonitorsChanged, a stale serial, or a read not answered
extern bool mutter_owned;     // Mutter's name has an owner
extern bool lost_bus;
extern char frame_refused[256];  // Mutter's refusal of a frame, when it gave one

// dispatch_for on our bus; a bus found gone is remembered in `lost_bus`.
bool wait_on_bus(long ms, bool through_signals, bool (*done)());

// The frames' replies (mutter-backend.cpp).
int on_frame_reply(sd_bus_message* m, void* slot, sd_bus_error*);

// The CRTCs we drive (mutter-crtcs.cpp).
void save_table(crtc_slot& s, std::vector<std::uint16_t> table);
bool ours(const crtc_slot& s, const std::vector<std::uint16_t>& table);
void note_sent(crtc_slot& s);
answer take_crtcs();
bool any_live();

// Following Mutter's changes (mutter-follow.cpp).
bool follow_mutter();
int colord_fd();  // the system bus, watched in the pause; -1 without
void take_colord_signals();
bool new_tables_pending();  // Night Light or a colour profile changed: no frames meanwhile
void take_new_tables();

// The restore (mutter-restore.cpp).
bool none_awaited();
bool restore_all(long budget_ms);
void restore_and_report();

// One gammawave per display (mutter-claim.cpp).
const char* claim_display();
void start_guard_wait();
bool guard_ready();

}  // namespace mutter
