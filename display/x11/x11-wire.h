// The X11 fault path's own view of the connection: the restore, encoded at
// start as raw protocol requests (SetCrtcGamma by randr_gamma's encoder),
// written straight to the socket from the fault handler, and the wait for
// the server's answer. Nothing here allocates or calls XCB, so all of it is
// async-signal-safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "linux/linux-signals.h"  // monotonic_ms, the clock of every deadline below
#include "x11/x11-gamma.h"        // encode_set_crtc_gamma, the encoder of the restore's ramps

// GetInputFocus: the cheapest request with a reply.
void encode_get_input_focus(std::vector<std::uint8_t>& out);

// Writes all of `bytes` to the non-blocking socket `fd` by `deadline`.
bool write_all(int fd, const std::uint8_t* bytes, std::size_t n, long deadline);

// What the server said to the fault restore: `count` requests ending in a
// GetInputFocus, which it numbers on from the last request of ours it has
// read. That one is known to lie in [low, high]: a fault may strike while a
// frame is being written, before the loop has noted it. No other reply can
// be numbered in [low + count, high + count]: the one request with a reply a
// frame may hold, a GetInputFocus, comes first in it, at low + 1, and the
// restore is at least two requests. An error numbered after `low` and
// before that reply refused a request of the restore (or of the frame cut
// short, which went to the same CRTCs).
enum class restore_answer { confirmed, refused, none };

// Reads until that reply, by `deadline`, skipping every other reply, error
// and event by its length.
restore_answer await_restore(int fd, std::uint16_t low, std::uint16_t high, std::uint16_t count,
                             long deadline);
