// Runs in the guard, a fork, on a connection of its own: sd-bus refuses a
// connection made before a fork, and the guard holds none of gammawave's
// descriptors. It has its own copy of the tables saved at start, and takes
// those gammawave saves later from the pipe.
#include "mutter/mutter-guard.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "linux/linux-guard.h"
#include "mutter/mutter-bus.h"

namespace {

struct guard_table {
    mutter_table saved;
    bool done = false;  // answered without an error, or refused for good
};

char unique_name[256];  // gammawave's
std::vector<guard_table> tables;
sd_bus* bus = nullptr;
int replies_awaited = 0;
bool stale = false;        // a reply said the serial is stale
bool parent_here = true;   // no answer is no proof that gammawave has gone
bool mutter_back = false;  // Mutter's name has an owner

// A table gammawave saved after start: a tag, the CRTC, the size, then the
// table; size 0 asks the guard to forget the CRTC.
constexpr char table_tag = 2;

guard_table* table_for(std::uint32_t crtc) {
    for (guard_table& t : tables) {
        if (t.saved.crtc == crtc) {
            return &t;
        }
    }
    return nullptr;
}

void keep(std::uint32_t crtc, std::vector<std::uint16_t> table) {
    guard_table* t = table_for(crtc);
    if (table.empty()) {
        std::erase_if(tables, [crtc](const guard_table& g) { return g.saved.crtc == crtc; });
    } else if (t != nullptr) {
        t->saved.table = std::move(table);
    } else {
        tables.push_back({{crtc, std::move(table)}, false});
    }
}

bool read_all(int fd, void* to, std::size_t size) {
    char* p = static_cast<char*>(to);
    while (size > 0) {
        const ssize_t n = read(fd, p, size);
        if (n <= 0) {
            return false;
        }
        p += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

bool take_shared_table(int fd) {
    std::uint32_t head[2] = {};
    if (!read_all(fd, head, sizeof head) || head[1] > largest_size) {
        return false;
    }
    std::vector<std::uint16_t> table(3 * std::size_t{head[1]});
    if (!read_all(fd, table.data(), table.size() * 2)) {
        return false;
    }
    keep(head[0], std::move(table));
    return true;
}

// Any byte but a table's tag is gammawave's word that it has restored; end
// of file only says it has exited, and the pipe is watched no more. Tables
// are taken as they come, all of them before the word.
bool stood_down(int& fd) {
    pollfd p{fd, POLLIN, 0};
    char byte = 0;
    while (fd >= 0 && poll(&p, 1, 0) == 1) {
        if (read(fd, &byte, 1) != 1 || (byte == table_tag && !take_shared_table(fd))) {
            fd = -1;
        } else if (byte != table_tag) {
            return true;
        }
    }
    return false;
}

// True once gammawave's name has gone; false on a stand-down or a lost bus.
bool wait_for_the_end(int& stand_down_fd) {
    for (;;) {
        if (!dispatch_for(bus, 0, true, [] { return true; })) {
            return false;
        }
        if (!parent_here) {
            return true;
        }
        pollfd p[2] = {{sd_bus_get_fd(bus), static_cast<short>(sd_bus_get_events(bus)), 0},
                       {stand_down_fd, POLLIN, 0}};
        if (poll(p, 2, -1) < 0 && errno != EINTR) {
            return false;
        }
        if (stood_down(stand_down_fd)) {
            return false;
        }
    }
}

// Mutter gone with gammawave (a crash, GNOME Shell restarting) leaves the
// last frame in an X server, and a Mutter started again keeps it; a Mutter
// back within this long (a shell restart takes a few seconds) gets the
// saved tables.
constexpr long mutter_return_ms = 30'000;

bool mutter_present() {
    return dispatch_for(bus, mutter_return_ms, true, [] { return mutter_back; }) && mutter_back;
}

int on_restore_reply(sd_bus_message* m, void* table, sd_bus_error*) {
    --replies_awaited;
    const answer a = answer_of(sd_bus_message_get_error(m));
    stale = stale || a == answer::again;
    // A table refused for any reason but a stale serial or a late reply
    // would be refused again: tried once, like the rest.
    static_cast<guard_table*>(table)->done = a == answer::ok || a == answer::refused;
    return 0;
}

bool all_done() {
    return std::all_of(tables.begin(), tables.end(), [](const guard_table& t) { return t.done; });
}

bool listed(const std::vector<crtc_info>& found, std::uint32_t crtc) {
    return std::any_of(found.begin(), found.end(),
                       [crtc](const crtc_info& c) { return c.id == crtc; });
}

// One round: a fresh serial, every table not yet answered, all the replies.
void restore_round() {
    std::uint32_t serial = 0;
    std::vector<crtc_info> found;
    const answer a = read_resources(bus, serial, found);
    if (a != answer::ok) {
        // Mutter busy, or going: give its name's owner a moment to show.
        dispatch_for(bus, a == answer::again ? 0 : 100, true, [] { return false; });
        return;
    }
    stale = false;
    for (guard_table& t : tables) {
        t.done = t.done || !listed(found, t.saved.crtc);  // a CRTC Mutter has dropped
        if (!t.done && send_crtc_gamma(bus, serial, t.saved.crtc, t.saved.table.data(),
                                       t.saved.table.size() / 3, on_restore_reply, &t)) {
            ++replies_awaited;
        }
    }
    sd_bus_flush(bus);
    // Every call has its timeout, so every one of them is answered.
    dispatch_for(bus, 10 * static_cast<long>(call_timeout_us / 1000), true,
                 [] { return replies_awaited == 0; });
}

// As long as it takes while Mutter's name has an owner: a busy Mutter
// answers late, not never. One round at least: its answer also says that
// Mutter has handled everything gammawave sent before the guard frees
// gammawave's name for the next one.
void guard_restore() {
    if (!mutter_present()) {
        return;
    }
    do {
        restore_round();
    } while (!all_done() && mutter_present());
}

// In the queue behind gammawave: the bus hands the name over when
// gammawave's connection drops, and frees it when the guard ends. Behind
// another owner, gammawave was gone before the guard got in line (so it sent
// no frame), and a gammawave started since holds the name: the guard leaves
// the queue and ends, or it would restore over that run's frames.
bool in_line_behind_ours() {
    // Our own name first, for gammawave to tell us in the queue from a late
    // guard of another run passing through it.
    char ours[guard_name_size];
    guard_name_of(unique_name, ours);
    sd_bus_request_name(bus, ours, 0);
    const int r = sd_bus_request_name(bus, gammawave_bus_name, SD_BUS_NAME_QUEUE);
    if (r != 0) {
        return true;  // the name given at once, or not at all: no run of another's to spoil
    }
    const char* self = nullptr;
    sd_bus_get_unique_name(bus, &self);
    char owner[256];
    name_owner(bus, gammawave_bus_name, owner, sizeof owner);
    if (std::strcmp(owner, unique_name) == 0 ||
        (self != nullptr && std::strcmp(owner, self) == 0)) {
        return true;
    }
    sd_bus_release_name(bus, gammawave_bus_name);
    return false;
}

}  // namespace

void arm_mutter_guard(const char* name, std::vector<mutter_table> saved) {
    std::strncpy(unique_name, name, sizeof unique_name - 1);
    tables.clear();
    for (mutter_table& t : saved) {
        tables.push_back({std::move(t), false});
    }
}

void share_with_mutter_guard(std::uint32_t crtc, const std::vector<std::uint16_t>& table) {
    const std::uint32_t head[2] = {crtc, static_cast<std::uint32_t>(table.size() / 3)};
    tell_guard(&table_tag, 1);
    tell_guard(head, sizeof head);
    tell_guard(table.data(), table.size() * 2);
}

void watch_mutter(int stand_down_fd) {
    if (unique_name[0] == '\0' || sd_bus_open_user(&bus) < 0) {
        return;
    }
    sd_bus_set_method_call_timeout(bus, call_timeout_us);
    // gammawave writes its word before it exits, so the word, if any, is
    // here by the time its name has gone.
    if (in_line_behind_ours() && follow_owner(bus, unique_name, parent_here, true) &&
        follow_owner(bus, display_config_service, mutter_back, false) &&
        wait_for_the_end(stand_down_fd) && !stood_down(stand_down_fd)) {
        guard_restore();
    }
    sd_bus_flush_close_unref(bus);
}
