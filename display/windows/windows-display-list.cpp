#include "windows/windows-display-list.h"

#include <algorithm>
#include <cstring>

namespace {

template <std::size_t n>
bool same_text(const std::array<char, n>& a, const std::array<char, n>& b) {
    return std::strncmp(a.data(), b.data(), n) == 0;
}

bool listed(const display_id& id, std::span<const display_id> list) {
    return std::any_of(list.begin(), list.end(),
                       [&](const display_id& other) { return same_display(id, other); });
}

}  // namespace

bool same_display(const display_id& a, const display_id& b) {
    return same_text(a.device, b.device) && same_text(a.monitor, b.monitor);
}

display_plan plan_displays(std::span<const display_id> held, std::span<const display_id> now) {
    display_plan plan;
    std::size_t kept = 0;
    for (std::size_t i = 0; i < held.size() && i < max_displays; ++i) {
        plan.keep[i] = listed(held[i], now);
        kept += plan.keep[i] ? 1 : 0;
    }
    for (std::size_t j = 0; j < now.size() && kept + plan.added < max_displays; ++j) {
        if (!listed(now[j], held) && !listed(now[j], now.first(j))) {
            plan.add[plan.added++] = j;
        }
    }
    return plan;
}
