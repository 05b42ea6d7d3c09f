// Reading and loading CRTC gamma ramps through XCB and RandR. Shared by the
// X11 display layer, the ramp viewer and the end-to-end tests, so that all of
// them see a display the same way.
#pragma once

#include <sys/uio.h>
#include <xcb/randr.h>
#include <xcb/xcb.h>

#include <cstdint>
#include <memory>
#include <vector>

// XCB replies and errors are malloc'd; this frees them on every path.
struct free_deleter {
    void operator()(void* p) const;
};
template <typename T>
using xcb_owned = std::unique_ptr<T, free_deleter>;

struct x_display {
    xcb_connection_t* conn = nullptr;
    xcb_window_t root = 0;
    std::uint8_t randr_opcode = 0;  // RandR's major opcode on this server
    int screen = 0;                 // the screen number the display name gives
    bool randr_1_3 = false;         // GetScreenResourcesCurrent is there
};

// One CRTC's ramp at its native size: red, green, blue blocks of `size`.
struct crtc_ramp {
    xcb_randr_crtc_t crtc = 0;
    std::uint16_t size = 0;
    std::vector<std::uint16_t> entries;
    bool active = false;  // drives a monitor (has a mode) when read
};

enum class display_status { ok, no_connection, no_randr, read_failed, no_ramps };

// Connects to the display the environment names, or to `name`, and checks
// that the server speaks RandR 1.2 or later (CRTC gamma arrived in 1.2).
display_status connect_x_display(x_display& out, const char* name = nullptr);
void disconnect_x_display(x_display& d);

// Whether the server is XWayland: it announces an XWAYLAND extension from
// release 23.1 on, and names its RandR outputs XWAYLAND0, XWAYLAND1, ...
bool is_xwayland(const x_display& d);

// Reads the ramp of every CRTC whose gamma size is above 0. CRTCs without a
// ramp are skipped rather than failing the whole display.
display_status read_crtc_ramps(const x_display& d, std::vector<crtc_ramp>& out);

// SetCrtcGamma as the X server reads it: a 12-byte head (RandR's opcode,
// minor opcode 24, the length in 4-byte units, crtc, size, 2 bytes of pad),
// then red, green and blue back to back, then zeros to a multiple of 4.
// (libxcb's generated request pads each list to 4 bytes, which moves green
// and blue for every odd size.) The one encoder of the request: the ordinary
// restore sends it through xcb_send_request, frames as parts of one write,
// and a fault handler writes its bytes itself.
struct set_crtc_gamma_head {
    std::uint8_t bytes[12];
};
std::size_t set_crtc_gamma_bytes(std::uint16_t size);  // the whole request, padded

// Without BIG-REQUESTS the length field counts at most 65,535 units, which
// (12 + 6 * size + 3) / 4 reaches at 43,688 entries. No real CRTC comes
// near, so larger ramps are refused rather than sent another way.
constexpr std::uint16_t max_ramp_in_one_request = 43688;

// False, and nothing encoded or added, for a ramp above that.
bool encode_set_crtc_gamma_head(set_crtc_gamma_head& head, std::uint8_t randr_opcode,
                                std::uint32_t crtc, std::uint16_t size);
// The request as the parts of one gathered write: the head, the three
// lists, and the pad where there is one. Returns how many parts it filled,
// at most set_crtc_gamma_parts.
constexpr int set_crtc_gamma_parts = 5;
int fill_set_crtc_gamma_parts(iovec* parts, const set_crtc_gamma_head& head, std::uint16_t size,
                              const std::uint16_t* red, const std::uint16_t* green,
                              const std::uint16_t* blue);
// The whole request, appended to `out`: `entries` holds red, green and blue
// blocks of `size`.
bool encode_set_crtc_gamma(std::vector<std::uint8_t>& out, std::uint8_t randr_opcode,
                           std::uint32_t crtc, std::uint16_t size, const std::uint16_t* entries);

// Queues an unchecked SetCrtcGamma; a refusal comes back later as an event.
// Returns the request's sequence number, 0 for a ramp above the limit.
unsigned queue_crtc_ramp(const x_display& d, xcb_randr_crtc_t crtc, std::uint16_t size,
                         const std::uint16_t* red, const std::uint16_t* green,
                         const std::uint16_t* blue);
unsigned queue_crtc_ramp(const x_display& d, const crtc_ramp& ramp);

// Loads `ramps` and waits for the server. True only if it took every one: a
// CRTC whose gamma size has changed or that has gone refuses its ramp.
bool restore_crtc_ramps(const x_display& d, const std::vector<crtc_ramp>& ramps);

// A request with a reply: once it returns true the server has processed
// everything sent before it.
bool wait_for_server(const x_display& d);
