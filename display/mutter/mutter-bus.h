// What the Mutter backend (display-mutter.cpp, where this is implemented)
// and its guard (guard-mutter.cpp) both say to the session bus. Only those
// two files include it: they are the only ones that use sd-bus.
#pragma once

#include <systemd/sd-bus.h>

#include <cstdint>
#include <string>
#include <vector>

inline constexpr char display_config_service[] = "org.gnome.Mutter.DisplayConfig";

// One gammawave per display: this name on the session bus, taken before the
// tables are read and held until they are back (by the guard, after a kill).
inline constexpr char gammawave_bus_name[] = "org.gammawave.Gamma";

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

struct crtc_info {
    std::uint32_t id = 0;
    bool has_mode = false;  // drives a monitor
    std::string connector;  // the output it drives, or empty
};

// GetResources: the serial and every CRTC Mutter lists.
answer read_resources(sd_bus* bus, std::uint32_t& serial, std::vector<crtc_info>& out);

// SetCrtcGamma of a table of N red, N green, N blue, answered to `reply`.
bool send_crtc_gamma(sd_bus* bus, std::uint32_t serial, std::uint32_t crtc,
                     const std::uint16_t* table, std::size_t n, sd_bus_message_handler_t reply,
                     void* userdata);

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

// Reads and dispatches within `ms`, or until `done()`. A handled signal ends
// the wait at once unless `through_signals`.
bool dispatch_for(sd_bus* bus, long ms, bool through_signals, bool (*done)());
