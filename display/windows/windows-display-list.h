// Which displays to keep, drop and add when Windows lists its displays
// again. Platform-free, so that the unit tests on Linux check it with lists
// made up in the test.
#pragma once

#include <array>
#include <cstddef>
#include <span>

// More than a desk ever has; what lies beyond is left alone.
inline constexpr std::size_t max_displays = 16;

// A display as the system lists it: the output's device name ("\\.\DISPLAY1")
// and the id of the monitor on it (empty where none is listed). A different
// monitor on the same output is another display: its own ramp is read, rather
// than the last monitor's put back on it.
struct display_id {
    std::array<char, 32> device{};
    std::array<char, 128> monitor{};
};

bool same_display(const display_id& a, const display_id& b);

struct display_plan {
    std::array<bool, max_displays> keep{};        // by place in the held list
    std::array<std::size_t, max_displays> add{};  // places in the new list, in its order
    std::size_t added = 0;
};

// `held`: the displays animated so far; `now`: the displays listed now. A
// held display still listed is kept (with the ramp saved when it was first
// taken), one no longer listed is dropped, and one newly listed is added, once
// however often it is listed, while the kept and the added fit max_displays.
display_plan plan_displays(std::span<const display_id> held, std::span<const display_id> now);
