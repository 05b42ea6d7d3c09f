// The CRTCs we drive: which Mutter lists, which drive a monitor, and the
// table of each to restore.
#include <algorithm>

#include "mutter/mutter-guard.h"
#include "mutter/mutter-state.h"

namespace mutter {
namespace {

crtc_slot* slot_for(std::uint32_t id) {
    for (crtc_slot& s : crtcs) {
        if (s.id == id) {
            return &s;
        }
    }
    return nullptr;
}

crtc_slot* add_slot(std::uint32_t id) {
    if (crtcs.size() == max_crtcs) {
        return nullptr;
    }
    crtc_slot& s = crtcs.emplace_back();
    s.id = id;
    return &s;
}

}  // namespace

void save_table(crtc_slot& s, std::vector<std::uint16_t> table) {
    s.saved = std::move(table);
    share_with_mutter_guard(s.id, s.saved);
}

// A frame of ours, not Mutter's table: the last one Mutter answered, or the
// last one sent, whose reply came too late (a busy Mutter still applies a
// call whose timeout has passed, after the one answered before it).
bool ours(const crtc_slot& s, const std::vector<std::uint16_t>& table) {
    return table == s.applied || table == s.sent;
}

namespace {

// A CRTC's table now. Seen for the first time: the one to restore. A CRTC we drove before: Mutter
// 47 and later rewrite their own table on a monitor change, so what is there now is Mutter's and
// the one to restore. Mutter 43 leaves the last frame it took in place, which must not be saved (a
// frame refused for its stale serial never arrived).
void refresh_table(crtc_slot& s, std::vector<std::uint16_t> table) {
    if (table.size() != s.saved.size()) {
        s.sent.assign(table.size(), 0);
        s.applied.assign(table.size(), 0);
        save_table(s, std::move(table));
    } else if (!ours(s, table)) {
        save_table(s, std::move(table));
    }
}

// One CRTC of an answered read.
void take_crtc(const crtc_info& c, std::vector<std::uint16_t> table) {
    crtc_slot* s = slot_for(c.id);
    const bool wanted = c.has_mode && !table.empty();
    if (s == nullptr && (!wanted || (s = add_slot(c.id)) == nullptr)) {
        return;
    }
    s->listed = true;
    if (!c.has_mode) {
        return;
    }
    s->connector = c.connector;
    if (!table.empty()) {
        refresh_table(*s, std::move(table));
        s->live = true;
    }
}

}  // namespace

// Reads the resources and every driven CRTC's table; changes nothing unless
// every call was answered, all on one serial. Only at start and after a
// monitor change, so the allocations here never touch the frame loop.
answer take_crtcs() {
    std::uint32_t fresh = 0;
    std::vector<crtc_info> found;
    answer a = read_resources(bus, fresh, found);
    if (a != answer::ok) {
        return a;
    }
    serial = fresh;
    std::vector<std::vector<std::uint16_t>> tables(found.size());
    for (std::size_t i = 0; i < found.size() && a != answer::again && a != answer::gone; ++i) {
        if (found[i].has_mode) {
            a = read_gamma(bus, serial, found[i].id, tables[i]);  // refused: no gamma there
        }
    }
    if (a == answer::again || a == answer::gone) {
        return a;
    }
    for (crtc_slot& s : crtcs) {
        s.live = s.listed = false;
    }
    for (std::size_t i = 0; i < found.size(); ++i) {
        take_crtc(found[i], std::move(tables[i]));
    }
    return answer::ok;
}

bool any_live() {
    return std::any_of(crtcs.begin(), crtcs.end(), [](const crtc_slot& s) { return s.live; });
}

}  // namespace mutter
