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

namespace {

// FNV-1a over the entries: 64 bits make Mutter's own table matching one
// of our last frames by chance a non-event.
std::uint64_t hash_of(const std::vector<std::uint16_t>& table) {
    std::uint64_t h = 14695981039346656037ULL;
    for (const std::uint16_t v : table) {
        h = (h ^ v) * 1099511628211ULL;
    }
    return h;
}

}  // namespace

// A frame of ours, not Mutter's table: one of the last frames sent, which
// Mutter took before a change refused the rest (a busy Mutter also still
// applies a call whose timeout has passed).
bool ours(const crtc_slot& s, const std::vector<std::uint16_t>& table) {
    if (table == s.sent) {
        return true;
    }
    const std::uint64_t h = hash_of(table);
    return std::find(s.recent.begin(), s.recent.end(), h) != s.recent.end();
}

void note_sent(crtc_slot& s) {
    s.recent[s.recent_next] = hash_of(s.sent);
    s.recent_next = (s.recent_next + 1) % s.recent.size();
}

namespace {

// A CRTC's table now. Seen for the first time: the one to restore. A CRTC we drove before: Mutter
// 47 and later rewrite their own table on a monitor change, so what is there now is Mutter's and
// the one to restore. Mutter 43 leaves the last frame it took in place, which must not be saved (a
// frame refused for its stale serial never arrived).
void refresh_table(crtc_slot& s, std::vector<std::uint16_t> table) {
    if (table.size() != s.saved.size()) {
        s.sent.assign(table.size(), 0);
        s.recent.fill(hash_of(s.sent));
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
