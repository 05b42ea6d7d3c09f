// The counters a preloaded library keeps for the frame-loop benchmark, in a
// file both processes map.
#pragma once

#include <cstdint>

struct process_counters {
    std::uint64_t cos_calls;
    std::uint64_t allocations;
    std::uint64_t bus_calls;  // SetCrtcGamma calls sent: one per CRTC a frame on Mutter
};
