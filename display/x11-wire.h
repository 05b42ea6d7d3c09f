// The X11 fault path's own view of the connection: the restore encoded at
// start as raw protocol requests, written straight to the socket from the
// fault handler, and the wait for the server's answer. Once encoded, nothing
// here allocates or calls XCB, so all of it is async-signal-safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "signals-posix.h"  // monotonic_ms, the clock of every deadline below

// SetCrtcGamma for one CRTC: `entries` holds red, green, blue blocks of
// `size`. Returns false, adding nothing, if the request would need
// BIG-REQUESTS (no real CRTC has such a ramp).
bool encode_set_crtc_gamma(std::vector<std::uint8_t>& out, std::uint8_t randr_opcode,
                           std::uint32_t crtc, std::uint16_t size, const std::uint16_t* entries);

// GetInputFocus: the cheapest request with a reply.
void encode_get_input_focus(std::vector<std::uint8_t>& out);

// Writes all of `bytes` to the non-blocking socket `fd` by `deadline`.
bool write_all(int fd, const std::uint8_t* bytes, std::size_t n, long deadline);

// Reads until the reply to request `sequence` (its low 16 bits, as on the
// wire) has come, by `deadline`. Every other reply, error and event on the
// way is skipped by its length: XCB may have a reply of its own outstanding.
bool await_reply(int fd, std::uint16_t sequence, long deadline);
