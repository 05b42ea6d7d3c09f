// What the Mutter backend and its guard (mutter-guard.cpp) both say to the
// session bus, implemented in mutter-bus.cpp. Only the Mutter module's files
// include it: they are the only ones that use sd-bus.
#pragma once

#include <systemd/sd-bus.h>

#include <cstdint>
#include <string>
#include <vector>

inline constexpr char display_config_service[] = "org.gnome.Mutter.DisplayConfig";

// One gammawave per display: this name on the session bus, taken before the
// tables are read and held until they are back (by the guard, after a kill).
inline constexpr char gammawave_bus_name[] = "org.gammawave.Gamma";

// The name a guard holds besides its place in gammawave's queue, made from
// its gammawave's unique name (never used again on that bus), so that
// gammawave finds its own guard in the queue and no other run's.
inline constexpr std::size_t guard_name_size = 96;
void guard_name_of(const char* unique_name, char (&out)[guard_name_size]);

// The name's owner into `out`, or an empty string when the bus does not say.
void name_owner(sd_bus* bus, const char* name, char* out, std::size_t size);

inline constexpr std::uint64_t call_timeout_us = 1'000'000;
inline constexpr std::size_t largest_size = 65535;

// How Mutter (or the bus) answered a call.
enum class answer {
    ok,
    again,    // a stale serial, or no reply in time: ask again
    gone,     // Mutter's name has no owner
    refused,  // any other error
};

answer answer_of(const sd_bus_error* e);
// A synchronous call's answer: sd-bus gives a timeout as an errno alone.
answer call_answer(int r, const sd_bus_error& e);

struct crtc_info {
    std::uint32_t id = 0;
    bool has_mode = false;  // drives a monitor
    std::string connector;  // the output it drives, or empty
};

// GetResources: the serial and every CRTC Mutter lists.
answer read_resources(sd_bus* bus, std::uint32_t& serial, std::vector<crtc_info>& out);

// The CRTC's table, red, green and blue blocks of one length; empty when
// Mutter gives none.
answer read_gamma(sd_bus* bus, std::uint32_t serial, std::uint32_t crtc,
                  std::vector<std::uint16_t>& table);

answer night_light_supported(sd_bus* bus, bool& supported);

// SetCrtcGamma of a table of N red, N green, N blue, answered to `reply`.
bool send_crtc_gamma(sd_bus* bus, std::uint32_t serial, std::uint32_t crtc,
                     const std::uint16_t* table, std::size_t n, sd_bus_message_handler_t reply,
                     void* userdata);

// A frame's SetCrtcGamma, sent asking for no reply and kept: the next frame
// to the same CRTC on the same serial is the same message with new entries,
// written into its body and sent again, so a steady frame allocates nothing.
// Its cookie repeats, which no one minds when no reply is asked for.
struct kept_frame {
    sd_bus_message* m = nullptr;
    std::uint16_t* blocks[3] = {};  // red, green, blue, inside the message's body
    std::size_t n = 0;
    std::uint32_t serial = 0;
    std::uint32_t crtc = 0;
};

bool send_kept_frame(sd_bus* bus, kept_frame& k, std::uint32_t serial, std::uint32_t crtc,
                     const std::uint16_t* table, std::size_t n);

// True when `m` comes from the bus itself: a NameOwnerChanged from anyone
// else is forged. The bus daemon filters broadcasts by the match's sender,
// but a signal sent to us by name reaches us whatever the match says, and
// sd-bus cannot check a well-known sender name itself.
bool from_the_bus(sd_bus_message* m);

// Keeps `owned` saying whether `name` has an owner: the match first, then
// the question, so that a change in between is seen either way.
// `unanswered` is what to take when the bus does not answer.
bool follow_owner(sd_bus* bus, const char* name, bool& owned, bool unanswered);
bool name_has_owner(sd_bus* bus, const char* name, bool unanswered);

// Dispatches everything sd-bus has read; false when the bus is gone.
bool dispatch_pending(sd_bus* bus);

// Reads and dispatches within `ms`, or until `done()`. A handled signal ends
// the wait at once unless `through_signals`.
bool dispatch_for(sd_bus* bus, long ms, bool through_signals, bool (*done)());

// Waits out the frame pause begun at `start`, or until a handled signal,
// reading the bus only when it has sent something (or a call has timed
// out): a quiet pause is one ppoll. False when the bus is gone. `also`, a
// second connection's descriptor or -1, is watched in the same wait, and
// `on_also` takes what came on it.
bool pause_on_bus(sd_bus* bus, const timespec& start, int also = -1, void (*on_also)() = nullptr);
