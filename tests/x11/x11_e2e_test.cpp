// The real gammawave on real X servers: Xvfb (one CRTC) and Xorg with the
// dummy driver (16 CRTCs, three monitors on).
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <random>
#include <thread>

#include "fake_x_server.h"
#include "gammawave_run.h"
#include "ramp_view.h"
#include "x_server.h"

using namespace std::chrono_literals;
using env_list = std::vector<std::pair<std::string, std::string>>;

namespace {

enum class server_kind { xvfb, xorg };

// One server of each kind for the whole run, started on first use.
x_server& shared_server(server_kind kind) {
    static std::map<server_kind, x_server> servers;
    x_server& s = servers[kind];
    if (s.pid <= 0) {
        auto started = kind == server_kind::xvfb ? start_xvfb() : start_xorg_dummy();
        if (started) {
            s = *started;
        }
    }
    return s;
}

struct stop_servers : ::testing::Environment {
    void TearDown() override {
        stop_x_server(shared_server(server_kind::xvfb));
        stop_x_server(shared_server(server_kind::xorg));
    }
};
const auto* const registered = ::testing::AddGlobalTestEnvironment(new stop_servers);

std::string require_server(server_kind kind) {
    const x_server& s = shared_server(kind);
    return s.display;
}

// Xorg takes a configuration of our own only from root.
#define SKIP_XORG_UNLESS_ROOT(kind)                                                     \
    if ((kind) == server_kind::xorg && geteuid() != 0) {                                \
        GTEST_SKIP() << "Xorg with the dummy driver needs root to take our own config"; \
    }

bool same_ramps(const std::vector<crtc_ramp>& a, const std::vector<crtc_ramp>& b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (a[i].crtc != b[i].crtc || a[i].size != b[i].size || a[i].entries != b[i].entries) {
            return false;
        }
    }
    return true;
}

bool none_the_same(const std::vector<crtc_ramp>& a, const std::vector<crtc_ramp>& b) {
    for (std::size_t i = 0; i < a.size() && i < b.size(); ++i) {
        if (a[i].entries == b[i].entries) {
            return false;
        }
    }
    return a.size() == b.size();
}

// Whatever the program loads is, on every CRTC and channel, the curve at
// some phase.
bool holds_curve_frames(const std::vector<crtc_ramp>& ramps) {
    for (const crtc_ramp& r : ramps) {
        for (int c = 0; c < 3; ++c) {
            if (!curve_phase(r, c)) {
                return false;
            }
        }
    }
    return !ramps.empty();
}

// Holds a server stopped, as a hung server would be, and resumes it on
// every path out of the test.
struct stopped_server {
    pid_t pid;
    explicit stopped_server(pid_t server) : pid(server) { kill(pid, SIGSTOP); }
    ~stopped_server() { resume(); }
    void resume() {
        if (pid > 0) {
            kill(pid, SIGCONT);
        }
        pid = -1;
    }
};

// Loads random non-identity ramps so a restore to anything else shows.
std::vector<crtc_ramp> load_random_ramps(const test_display& d, unsigned seed) {
    const std::vector<crtc_ramp> ramps = random_ramps(d.ramps(), seed);
    d.load(ramps);
    return ramps;
}

bool animates_every_crtc(const test_display& d, const std::vector<crtc_ramp>& before) {
    return eventually([&] { return none_the_same(d.ramps(), before); }, 5s);
}

const char* kind_name(server_kind k) {
    return k == server_kind::xvfb ? "Xvfb" : "XorgDummy";
}

}  // namespace

TEST(NoDisplay, MessageAndStatusOne) {
    const std::optional<std::string> displays[] = {std::string{}, ":4999", "not a display"};
    for (const auto& display : displays) {
        gammawave_run run = start_gammawave(display);
        const exit_result r = wait_exit(run.pid, 10s);
        EXPECT_TRUE(r.exited) << "DISPLAY=" << *display;
        EXPECT_EQ(r.code, 1) << "DISPLAY=" << *display;
        EXPECT_EQ(run.out(), "Can't get gamma ramp!\n") << "DISPLAY=" << *display;
        // One line naming all that was tried.
        const std::string x = display->empty() ? "DISPLAY is not set" : "DISPLAY=" + *display;
        EXPECT_EQ(run.err(),
                  "gammawave: no display found: no Wayland compositor (WAYLAND_DISPLAY is not "
                  "set), no GNOME compositor (Mutter) on the session bus, no X display (" +
                      x + ")\n");
    }
}

class Restore : public ::testing::TestWithParam<std::tuple<server_kind, int>> {};

// Arguments are passed to show they change nothing.
TEST_P(Restore, PutsBackExactRampsAndExitsWithSignal) {
    const auto [kind, sig] = GetParam();
    SKIP_XORG_UNLESS_ROOT(kind);
    const std::string display = require_server(kind);
    ASSERT_FALSE(display.empty()) << "could not start " << kind_name(kind);
    test_display d(display);
    const auto before = load_random_ramps(d, static_cast<unsigned>(sig));
    ASSERT_FALSE(before.empty());

    gammawave_run run = start_gammawave(display, {}, {"--ignored", "argument"});
    ASSERT_TRUE(animates_every_crtc(d, before));
    kill(run.pid, sig);
    const exit_result r = wait_exit(run.pid, 10s);
    EXPECT_TRUE(r.exited);
    EXPECT_EQ(r.code, sig);
    EXPECT_TRUE(same_ramps(d.ramps(), before));
    EXPECT_EQ(run.out(), "");
}

INSTANTIATE_TEST_SUITE_P(Signals, Restore,
                         ::testing::Combine(::testing::Values(server_kind::xvfb, server_kind::xorg),
                                            ::testing::Values(SIGINT, SIGTERM, SIGSEGV)),
                         [](const auto& info) {
                             return std::string(kind_name(std::get<0>(info.param))) + "_" +
                                    sigabbrev_np(std::get<1>(info.param));
                         });

class Fault : public ::testing::TestWithParam<std::tuple<server_kind, const char*>> {};

// A fault raised by the kernel.
TEST_P(Fault, RestoredWithStatusEleven) {
    const auto [kind, fault] = GetParam();
    SKIP_XORG_UNLESS_ROOT(kind);
    const std::string display = require_server(kind);
    ASSERT_FALSE(display.empty()) << "could not start " << kind_name(kind);
    test_display d(display);
    const auto before = load_random_ramps(d, 7);

    gammawave_run run = start_gammawave(display, fault_env(fault));
    ASSERT_TRUE(animates_every_crtc(d, before));
    const exit_result r = wait_exit(run.pid, 10s);
    EXPECT_TRUE(r.exited);
    EXPECT_EQ(r.code, SIGSEGV);
    EXPECT_TRUE(same_ramps(d.ramps(), before));
    // The handler found its own reply: no waiting out a budget, no warning.
    EXPECT_EQ(run.err(), "");
}

INSTANTIATE_TEST_SUITE_P(Memory, Fault,
                         ::testing::Combine(::testing::Values(server_kind::xvfb, server_kind::xorg),
                                            ::testing::Values("null", "stack")),
                         [](const auto& info) {
                             return std::string(kind_name(std::get<0>(info.param))) + "_" +
                                    std::get<1>(info.param);
                         });

// Whatever the display holds while animating is the curve at some phase, on
// every CRTC and channel, and it keeps changing.
TEST(Animation, EveryCrtcHoldsCurveFrames) {
    SKIP_XORG_UNLESS_ROOT(server_kind::xorg);
    const std::string display = require_server(server_kind::xorg);
    ASSERT_FALSE(display.empty());
    test_display d(display);
    const auto before = load_random_ramps(d, 11);
    gammawave_run run = start_gammawave(display);
    ASSERT_TRUE(animates_every_crtc(d, before));
    std::vector<crtc_ramp> last;
    int changes = 0;
    for (int sample = 0; sample < 20; ++sample) {
        const auto now = d.ramps();
        EXPECT_TRUE(holds_curve_frames(now)) << "sample " << sample;
        changes += !same_ramps(now, last);
        last = now;
        std::this_thread::sleep_for(25ms);
    }
    EXPECT_GT(changes, 10);
    kill(run.pid, SIGINT);
    EXPECT_EQ(wait_exit(run.pid, 10s).code, SIGINT);
    EXPECT_TRUE(same_ramps(d.ramps(), before));
}

namespace {

// Whether `pid` has a handler for `sig` now (the SigCgt mask of /proc).
bool catches(pid_t pid, int sig) {
    const std::string status = read_file("/proc/" + std::to_string(pid) + "/status");
    const std::size_t at = status.find("SigCgt:");
    return at != std::string::npos &&
           (std::strtoull(status.c_str() + at + 7, nullptr, 16) >> (sig - 1) & 1) != 0;
}

}  // namespace

// Signals at random moments, from before the handlers exist to mid-frame.
// A signal that beats the handlers leaves the display as it was; one sent
// once the handler is there must restore and exit with the signal's number,
// not die by it. Either way the display ends as it was.
TEST(Restore, SignalsAtRandomMoments) {
    const std::string display = require_server(server_kind::xvfb);
    ASSERT_FALSE(display.empty());
    test_display d(display);
    std::mt19937 gen(2026);
    std::uniform_int_distribution<int> delay_us(0, 60000);
    const int signals[] = {SIGINT, SIGTERM, SIGSEGV};
    int handled_rounds = 0;
    for (unsigned round = 0; round < 40; ++round) {
        const auto before = load_random_ramps(d, 100 + round);
        const int sig = signals[round % 3];
        gammawave_run run = start_gammawave(display);
        // Odd rounds strike once the handlers are in, however long the start
        // takes on a busy machine; even ones at any moment from the start.
        if (round % 2 == 1) {
            ASSERT_TRUE(eventually([&] { return catches(run.pid, sig); }, 10s))
                << "round " << round;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(delay_us(gen)));
        const bool handled = catches(run.pid, sig);
        handled_rounds += handled;
        kill(run.pid, sig);
        const exit_result r = wait_exit(run.pid, 10s);
        ASSERT_FALSE(r.timed_out) << "round " << round;
        EXPECT_EQ(r.code, sig) << "round " << round;
        EXPECT_TRUE(r.exited || !handled) << "round " << round << ": died by a handled signal";
        // A handled signal's restore is gammawave's own, done before it exits,
        // not the guard's after it.
        if (r.exited) {
            EXPECT_TRUE(same_ramps(d.ramps(), before)) << "round " << round << " at exit";
        }
        // A signal that beats the handlers may still find the guard started,
        // which then restores too: only once it has ended is the display final,
        // and the next round's ramps safe from it.
        ASSERT_TRUE(guards_end(10s)) << "round " << round;
        ASSERT_TRUE(same_ramps(d.ramps(), before)) << "round " << round << " exited " << r.exited;
    }
    EXPECT_GT(handled_rounds, 10);
}

class Guard : public ::testing::TestWithParam<std::tuple<server_kind, int>> {};

// A closed terminal (SIGHUP to the job's process group) or a SIGKILL at a
// random moment, from start to mid-frame: the process still ends by that
// signal, and the guard, out of reach in its own session, puts the saved
// ramps back after gammawave's last frame.
TEST_P(Guard, RestoresAfterAnUnhandledEndAtRandomMoments) {
    const auto [kind, sig] = GetParam();
    SKIP_XORG_UNLESS_ROOT(kind);
    const std::string display = require_server(kind);
    ASSERT_FALSE(display.empty()) << "could not start " << kind_name(kind);
    test_display d(display);
    std::mt19937 gen(static_cast<unsigned>(sig));
    std::uniform_int_distribution<int> delay_us(0, 30000);
    long longest_ms = 0;
    for (unsigned round = 0; round < 16; ++round) {
        const auto before = load_random_ramps(d, 900 + round);
        gammawave_run run = start_gammawave(display);
        // Even rounds strike during start, odd ones mid-run.
        if (round % 2 == 1) {
            ASSERT_TRUE(animates_every_crtc(d, before)) << "round " << round;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(delay_us(gen)));
        const auto sent = std::chrono::steady_clock::now();
        // Until gammawave has its own process group, only gammawave is there.
        if (kill(-run.pid, sig) != 0) {
            kill(run.pid, sig);
        }
        const exit_result r = wait_exit(run.pid, 5s);
        EXPECT_FALSE(r.exited) << "round " << round;
        EXPECT_EQ(r.code, sig) << "round " << round;
        const auto took = restored_by_guard([&] { return same_ramps(d.ramps(), before); }, sent);
        ASSERT_TRUE(took) << "round " << round;
        longest_ms = std::max(longest_ms, static_cast<long>(took->count()));
    }
    RecordProperty("longest_end_to_restored_ms", static_cast<int>(longest_ms));
}

INSTANTIATE_TEST_SUITE_P(Ends, Guard,
                         ::testing::Combine(::testing::Values(server_kind::xvfb, server_kind::xorg),
                                            ::testing::Values(SIGKILL, SIGHUP)),
                         [](const auto& info) {
                             return std::string(kind_name(std::get<0>(info.param))) + "_" +
                                    sigabbrev_np(std::get<1>(info.param));
                         });

// After a handled signal, or a fault, the guard ends without touching the
// display, even when it only looks once gammawave has gone (held stopped
// until then): ramps loaded after the restore stay.
TEST(Guard, StandsDownAfterAHandledSignalOrAFault) {
    const std::string display = require_server(server_kind::xvfb);
    ASSERT_FALSE(display.empty());
    test_display d(display);
    for (const char* fault : {"", "null"}) {
        const bool faults = *fault != '\0';
        const auto before = load_random_ramps(d, 950);
        // The fault comes about 2 s in, once the guard is held.
        gammawave_run run = start_gammawave(
            display, faults ? fault_env(fault, "153600") : decltype(fault_env("")){});
        ASSERT_TRUE(animates_every_crtc(d, before));
        const std::vector<pid_t> guards = adopted_guards();
        ASSERT_EQ(guards.size(), 1u);
        kill(guards[0], SIGSTOP);
        if (!faults) {
            kill(run.pid, SIGINT);
        }
        EXPECT_EQ(wait_exit(run.pid, 5s).code, faults ? SIGSEGV : SIGINT) << fault;
        EXPECT_TRUE(same_ramps(d.ramps(), before)) << fault;
        const auto later = load_random_ramps(d, 951);
        kill(guards[0], SIGCONT);
        EXPECT_TRUE(guards_end(10s)) << fault;
        EXPECT_TRUE(same_ramps(d.ramps(), later)) << fault;
    }
}

// gammawave's window, the owner of the screen's claim.
xcb_window_t claim_owner(const test_display& d) {
    const char name[] = "_GAMMAWAVE_S0";
    xcb_owned<xcb_intern_atom_reply_t> atom(xcb_intern_atom_reply(
        d.x.conn, xcb_intern_atom(d.x.conn, 0, sizeof name - 1, name), nullptr));
    xcb_owned<xcb_get_selection_owner_reply_t> owner(xcb_get_selection_owner_reply(
        d.x.conn, xcb_get_selection_owner(d.x.conn, atom ? atom->atom : 0), nullptr));
    return owner ? owner->owner : XCB_NONE;
}

// A second gammawave, started while the first animates, is refused with the
// holder's process id and leaves the first one's restore exact; `pidof
// gammawave` names gammawave and not its guard. A kill -9 followed at once
// by a new start still works: the new one waits for the guard's restore, so
// what it saves, and puts back, is the display's own.
TEST(OneInstance, SecondRefusedAndRestartAfterKillWorks) {
    const std::string display = require_server(server_kind::xvfb);
    ASSERT_FALSE(display.empty());
    test_display d(display);
    const auto before = load_random_ramps(d, 300);
    gammawave_run first = start_gammawave(display);
    ASSERT_TRUE(animates_every_crtc(d, before));
    const std::vector<pid_t> guards = adopted_guards();
    ASSERT_EQ(guards.size(), 1u);
    std::FILE* pidof = popen("pidof gammawave", "r");
    char listed[4096] = {};
    ASSERT_NE(pidof, nullptr);
    const std::size_t n = std::fread(listed, 1, sizeof listed - 1, pidof);
    pclose(pidof);
    std::string pids = " " + std::string(listed, n) + " ";
    std::replace(pids.begin(), pids.end(), '\n', ' ');
    EXPECT_NE(pids.find(" " + std::to_string(first.pid) + " "), std::string::npos) << pids;
    EXPECT_EQ(pids.find(" " + std::to_string(guards[0]) + " "), std::string::npos) << pids;

    gammawave_run second = start_gammawave(display);
    const exit_result refused = wait_exit(second.pid, 10s);
    EXPECT_EQ(second.out(), "Can't get gamma ramp!\n");
    expect_one_line_failure(refused, second,
                            "another gammawave (process " + std::to_string(first.pid) +
                                ") is already changing the gamma of this display");
    kill(first.pid, SIGINT);
    EXPECT_EQ(wait_exit(first.pid, 5s).code, SIGINT);
    EXPECT_TRUE(same_ramps(d.ramps(), before));

    for (unsigned round = 0; round < 10; ++round) {
        const auto original = load_random_ramps(d, 310 + round);
        gammawave_run killed = start_gammawave(display);
        ASSERT_TRUE(animates_every_crtc(d, original)) << "round " << round;
        kill(killed.pid, SIGKILL);
        gammawave_run next = start_gammawave(display);
        // Its handlers come after its start, once it has saved the ramps.
        ASSERT_TRUE(eventually([&] { return catches(next.pid, SIGINT); }, 10s)) << next.err();
        kill(next.pid, SIGINT);
        const exit_result r = wait_exit(next.pid, 5s);
        EXPECT_TRUE(r.exited && r.code == SIGINT) << "round " << round;
        EXPECT_TRUE(same_ramps(d.ramps(), original)) << "round " << round;
        EXPECT_EQ(wait_exit(killed.pid, 5s).code, SIGKILL) << "round " << round;
    }
}

// A DestroyNotify any client sends for gammawave's window, or the window
// destroyed by another client, does not move the guard: it is still there to
// restore after the real end, a kill -9.
TEST(Guard, SentDestroyNotifyChangesNothing) {
    const std::string display = require_server(server_kind::xvfb);
    ASSERT_FALSE(display.empty());
    test_display d(display);
    const auto before = load_random_ramps(d, 320);
    gammawave_run run = start_gammawave(display);
    ASSERT_TRUE(animates_every_crtc(d, before));
    const xcb_window_t window = claim_owner(d);
    ASSERT_NE(window, XCB_NONE);
    xcb_destroy_notify_event_t fake{};
    fake.response_type = XCB_DESTROY_NOTIFY;
    fake.event = window;
    fake.window = window;
    xcb_send_event(d.x.conn, 0, window, XCB_EVENT_MASK_STRUCTURE_NOTIFY,
                   reinterpret_cast<const char*>(&fake));
    ASSERT_TRUE(wait_for_server(d.x));
    // A guard taken in would restore and end within milliseconds.
    EXPECT_FALSE(eventually([] { return adopted_guards().empty(); }, 500ms));
    // Nor does the window really destroyed by another client while gammawave runs.
    xcb_destroy_window(d.x.conn, window);
    ASSERT_TRUE(wait_for_server(d.x));
    EXPECT_FALSE(eventually([] { return adopted_guards().empty(); }, 500ms));
    const auto sent = std::chrono::steady_clock::now();
    kill(run.pid, SIGKILL);
    EXPECT_EQ(wait_exit(run.pid, 5s).code, SIGKILL);
    EXPECT_TRUE(restored_by_guard([&] { return same_ramps(d.ramps(), before); }, sent));
}

// When the server goes away the program notices on its next frame and ends
// with status 1 and one line on standard error, instead of spinning.
TEST(DisplayLost, EndsWithStatusOne) {
    auto server = start_xvfb();
    ASSERT_TRUE(server);
    gammawave_run run;
    {
        test_display d(server->display);
        const auto before = load_random_ramps(d, 5);
        run = start_gammawave(server->display);
        ASSERT_TRUE(animates_every_crtc(d, before));
    }
    stop_x_server(*server);
    const exit_result r = wait_exit(run.pid, 5s);
    expect_one_line_failure(r, run, "lost the connection to the display");
    EXPECT_EQ(run.out(), "");
    EXPECT_TRUE(guards_end(10s)) << "the guard outlived the display";
}

// Two signals sent together (a double Ctrl+C, a supervisor's SIGTERM after
// it) still restore: only an interrupt well after the first cuts it short.
TEST(Restore, TwoSignalsAtOnceStillRestore) {
    const std::string display = require_server(server_kind::xvfb);
    ASSERT_FALSE(display.empty());
    test_display d(display);
    for (unsigned round = 0; round < 10; ++round) {
        const auto before = load_random_ramps(d, 700 + round);
        gammawave_run run = start_gammawave(display);
        ASSERT_TRUE(animates_every_crtc(d, before));
        kill(run.pid, SIGINT);
        kill(run.pid, round % 2 == 0 ? SIGTERM : SIGINT);
        const exit_result r = wait_exit(run.pid, 5s);
        EXPECT_TRUE(r.exited) << "round " << round;
        EXPECT_TRUE(r.code == SIGINT || r.code == SIGTERM) << "round " << round << ": " << r.code;
        ASSERT_TRUE(same_ramps(d.ramps(), before)) << "round " << round;
    }
}

// A shell, a supervisor or a runtime may start the program with the handled
// signals blocked; the program unblocks them, so the restore still happens.
TEST(Restore, WorksWhenStartedWithTheSignalsBlocked) {
    const std::string display = require_server(server_kind::xvfb);
    ASSERT_FALSE(display.empty());
    test_display d(display);
    const std::vector<int> blocked = {SIGINT, SIGTERM, SIGSEGV};
    for (const char* fault : {"", "null"}) {
        const auto before = load_random_ramps(d, 400);
        const bool faults = *fault != '\0';
        gammawave_run run = start_gammawave(
            display, faults ? fault_env(fault) : decltype(fault_env(""))(), {}, blocked);
        ASSERT_TRUE(animates_every_crtc(d, before));
        if (!faults) {
            kill(run.pid, SIGTERM);
        }
        const exit_result r = wait_exit(run.pid, 5s);
        EXPECT_TRUE(r.exited) << "fault '" << fault << "'";
        EXPECT_EQ(r.code, faults ? SIGSEGV : SIGTERM) << "fault '" << fault << "'";
        EXPECT_TRUE(same_ramps(d.ramps(), before)) << "fault '" << fault << "'";
    }
}

long voluntary_switches(pid_t pid) {
    const std::string status = read_file("/proc/" + std::to_string(pid) + "/status");
    const std::size_t at = status.find("voluntary_ctxt_switches:");
    return at == std::string::npos ? -1 : std::atol(status.c_str() + at + 24);
}

class StalledServer : public ::testing::TestWithParam<server_kind> {};

// A server that stops reading must not hold the frame loop: it goes on
// waking for its frames (a frame of 16 CRTCs is more than XCB buffers, so
// XCB writes twice a frame), the first handled signal decides the status,
// and the restore waits until the server answers again.
TEST_P(StalledServer, LoopGoesOnFirstSignalDecidesRestoreWaits) {
    SKIP_XORG_UNLESS_ROOT(GetParam());
    const x_server& server = shared_server(GetParam());
    ASSERT_FALSE(server.display.empty());
    test_display d(server.display);
    const auto before = load_random_ramps(d, 500);
    gammawave_run run = start_gammawave(server.display);
    ASSERT_TRUE(animates_every_crtc(d, before));
    {
        stopped_server stall(server.pid);
        std::this_thread::sleep_for(1500ms);  // long enough to fill the socket
        // Counted, not timed: a loop blocked in a write wakes once, however long.
        const long woken = voluntary_switches(run.pid);
        EXPECT_TRUE(eventually([&] { return voluntary_switches(run.pid) - woken > 25; }, 10s))
            << "the frame loop is blocked";
        kill(run.pid, SIGINT);
        std::this_thread::sleep_for(200ms);
        kill(run.pid, SIGSEGV);  // sent, not raised: a later signal changes nothing
        std::this_thread::sleep_for(200ms);
        EXPECT_TRUE(run.running()) << "gave up on the restore while the server was stopped";
    }
    const exit_result r = wait_exit(run.pid, 10s);
    EXPECT_TRUE(r.exited);
    EXPECT_EQ(r.code, SIGINT);
    EXPECT_TRUE(same_ramps(d.ramps(), before));
    EXPECT_EQ(run.err(), "");
}

INSTANTIATE_TEST_SUITE_P(Servers, StalledServer,
                         ::testing::Values(server_kind::xvfb, server_kind::xorg),
                         [](const auto& info) { return std::string(kind_name(info.param)); });

// A genuine fault while the server is stopped: the handler's restore waits
// for it to resume rather than giving up.
TEST(StalledRestore, FaultWaitsForTheServer) {
    const x_server& server = shared_server(server_kind::xvfb);
    ASSERT_FALSE(server.display.empty());
    test_display d(server.display);
    const auto before = load_random_ramps(d, 800);
    // A fault after about 200 frames, 2 s in.
    gammawave_run run = start_gammawave(server.display, {{"LD_PRELOAD", COS_FAULT_LIB},
                                                         {"GAMMAWAVE_FAULT", "null"},
                                                         {"GAMMAWAVE_FAULT_AFTER", "153600"}});
    ASSERT_TRUE(animates_every_crtc(d, before));
    {
        stopped_server stall(server.pid);
        std::this_thread::sleep_for(4s);
        EXPECT_TRUE(run.running()) << "gave up on the restore while the server was stopped";
    }
    const exit_result r = wait_exit(run.pid, 10s);
    EXPECT_TRUE(r.exited);
    EXPECT_EQ(r.code, SIGSEGV);
    EXPECT_TRUE(same_ramps(d.ramps(), before));
    EXPECT_EQ(run.err(), "");
}

// The user's way out when the server never resumes: a second interrupt.
TEST(StalledRestore, SecondInterruptEndsItAtOnce) {
    const x_server& server = shared_server(server_kind::xvfb);
    ASSERT_FALSE(server.display.empty());
    test_display d(server.display);
    const auto before = load_random_ramps(d, 600);
    gammawave_run run = start_gammawave(server.display);
    ASSERT_TRUE(animates_every_crtc(d, before));
    stopped_server stall(server.pid);
    std::this_thread::sleep_for(1500ms);
    kill(run.pid, SIGINT);
    std::this_thread::sleep_for(400ms);  // past the moment a second one counts
    const auto sent = std::chrono::steady_clock::now();
    kill(run.pid, SIGINT);
    const exit_result r = wait_exit(run.pid, 10s);
    const auto took = std::chrono::duration_cast<std::chrono::microseconds>(
        std::chrono::steady_clock::now() - sent);
    EXPECT_FALSE(r.timed_out);
    EXPECT_FALSE(r.exited);
    EXPECT_EQ(r.code, SIGINT);
    RecordProperty("second_interrupt_to_exit_us", static_cast<int>(took.count()));
}

// Descriptors 0 to 2 closed at start: /dev/null takes them, not the display
// socket or the wake pipe, so stderr lines can never reach the server.
TEST(StartUp, ClosedStandardDescriptorsGetDevNull) {
    const std::string display = require_server(server_kind::xvfb);
    ASSERT_FALSE(display.empty());
    test_display d(display);
    const auto before = load_random_ramps(d, 900);
    process_options opts{display, {}, {}, {}};
    opts.close_standard_fds = true;
    const pid_t pid = spawn({GAMMAWAVE_BIN}, opts);
    ASSERT_TRUE(animates_every_crtc(d, before));
    for (int fd = 0; fd < 3; ++fd) {
        const auto link = std::filesystem::read_symlink("/proc/" + std::to_string(pid) + "/fd/" +
                                                        std::to_string(fd));
        EXPECT_EQ(link, "/dev/null") << "fd " << fd;
    }
    kill(pid, SIGINT);
    EXPECT_EQ(wait_exit(pid, 10s).code, SIGINT);
    EXPECT_TRUE(same_ramps(d.ramps(), before));
}

// --- On the fake server: what real servers here never offer ---------------

namespace {

const char* const unconfirmed = "the display did not confirm the restore";

// With the send buffer at the kernel's default, whatever this machine's
// wmem_max, a frame of 5 CRTCs of 43,688 entries is always cut short.
env_list cut_short(env_list env) {
    if (env.empty()) {
        env = fault_env("", "0");
    }
    env.emplace_back("GAMMAWAVE_KEEP_SNDBUF", "1");
    return env;
}

bool animates(const fake_x_server& x) {
    const auto before = x.ramps();
    return eventually([&] { return none_the_same(x.ramps(), before); }, 5s);
}

}  // namespace

// Odd sizes, one entry, and mixed sizes all come back exactly, through the
// ordinary restore and the fault's own; the fault also strikes just as a
// frame's requests have gone out (GAMMAWAVE_FAULT=send), before the loop has
// noted them.
// Frames of 5 CRTCs of 43,688 entries, 1.3 MB, are more than a socket
// takes at once with Linux's default limits, so they go out in parts; so
// does the rest of one cut short by a fault. A server of RandR 1.2 has no
// GetScreenResourcesCurrent.
TEST(FakeServer, EveryRampSizeRestoresExactly) {
    const std::vector<std::uint16_t> mixed{1, 2, 256, 4096, 1024, 3};
    const std::vector<std::uint16_t> huge(5, max_ramp_in_one_request);
    const std::tuple<const char*, int, std::vector<std::uint16_t>> cases[] = {
        {"", SIGINT, mixed},         {"null", SIGSEGV, mixed}, {"send", SIGSEGV, {4096, 4096}},
        {"", SIGINT, huge},          {"send", SIGSEGV, huge},  {"null", SIGSEGV, huge},
        {"1.2", SIGINT, {256, 1024}}};
    for (const auto& [fault, status, sizes] : cases) {
        fake_x_server x(sizes);
        ASSERT_FALSE(x.display().empty());
        const auto before = x.ramps();
        const bool randr_1_2 = std::string(fault) == "1.2";
        if (randr_1_2) {
            x.speak_randr_1_2();
        }
        auto env = *fault == '\0' || randr_1_2 ? env_list{} : fault_env(fault);
        if (std::string(fault) == "send") {
            env.back().second = "100";  // calls: 50 to 75 frames in
        }
        if (sizes == huge) {
            env = cut_short(env);
        }
        gammawave_run run = start_gammawave(x.display(), env);
        ASSERT_TRUE(animates(x)) << fault;
        if (status == SIGINT) {
            kill(run.pid, SIGINT);
        }
        const exit_result r = wait_exit(run.pid, 10s);
        EXPECT_TRUE(r.exited) << fault;
        EXPECT_EQ(r.code, status) << fault;
        EXPECT_TRUE(same_ramps(x.ramps(), before)) << fault;
        EXPECT_EQ(run.err(), "") << fault;
    }
}

// A server that stops reading in the middle of a frame sent in parts holds
// neither the loop nor the order: the loop goes on waking, and once the
// server reads again the frame's rest and then the restore reach it.
TEST(FakeServer, StalledMidFrameLoopGoesOnRestoreComesLast) {
    fake_x_server x(std::vector<std::uint16_t>(5, max_ramp_in_one_request));
    ASSERT_FALSE(x.display().empty());
    const auto before = x.ramps();
    gammawave_run run = start_gammawave(x.display(), cut_short({}));
    ASSERT_TRUE(animates(x));
    x.stall(true);
    std::this_thread::sleep_for(500ms);  // the socket fills
    // Counted, not timed: a loop blocked in a write wakes once, however long.
    const long woken = voluntary_switches(run.pid);
    EXPECT_TRUE(eventually([&] { return voluntary_switches(run.pid) - woken > 25; }, 10s))
        << "the frame loop is blocked";
    kill(run.pid, SIGINT);
    std::this_thread::sleep_for(200ms);
    EXPECT_TRUE(run.running()) << "gave up on the restore while the server was stalled";
    x.stall(false);
    const exit_result r = wait_exit(run.pid, 10s);
    EXPECT_EQ(r.code, SIGINT);
    EXPECT_TRUE(same_ramps(x.ramps(), before));
    EXPECT_EQ(run.err(), "");
}

// A CRTC whose gamma size changes, or that vanishes (an unplugged adapter),
// refuses the restore: both restores say so in their one line.
TEST(FakeServer, RefusedRestoreWarns) {
    for (const char* fault : {"", "null"}) {
        for (bool vanish : {false, true}) {
            fake_x_server x({256, 256});
            ASSERT_FALSE(x.display().empty());
            auto env = *fault == '\0' ? env_list{} : fault_env(fault);
            if (!env.empty()) {
                env.back().second = "153600";  // about 2 s in
            }
            gammawave_run run = start_gammawave(x.display(), env);
            ASSERT_TRUE(animates(x));
            vanish ? x.remove(1) : x.resize(1, 1024);
            if (*fault == '\0') {
                std::this_thread::sleep_for(50ms);
                kill(run.pid, SIGINT);
            }
            const exit_result r = wait_exit(run.pid, 10s);
            EXPECT_EQ(r.code, *fault == '\0' ? SIGINT : SIGSEGV) << fault << vanish;
            const std::string err = run.err();
            EXPECT_NE(err.find(unconfirmed), std::string::npos) << fault << vanish << err;
            EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
        }
    }
}

// What could not be saved or restored exactly is refused at start: a
// GetCrtcGamma reply shorter than its size, and a ramp too large for one
// request without BIG-REQUESTS (which the fake server does not offer).
TEST(FakeServer, RefusesAtStartWhatItCannotRestore) {
    fake_x_server short_reply({256, 1024});
    short_reply.short_gamma_replies();
    fake_x_server huge({256, 43689});
    for (fake_x_server* x : {&short_reply, &huge}) {
        ASSERT_FALSE(x->display().empty());
        const auto before = x->ramps();
        gammawave_run run = start_gammawave(x->display());
        const exit_result r = wait_exit(run.pid, 10s);
        EXPECT_TRUE(r.exited);
        EXPECT_EQ(r.code, 1);
        EXPECT_EQ(run.out(), "Can't get gamma ramp!\n");
        EXPECT_TRUE(same_ramps(x->ramps(), before));
    }
}
