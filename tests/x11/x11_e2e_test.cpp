// The real gammawave on real X servers: Xvfb (one CRTC) and Xorg with the
// dummy driver (16 CRTCs, three monitors on).
#include "x11_e2e.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <thread>

namespace {

struct stop_servers : ::testing::Environment {
    void TearDown() override {
        stop_x_server(shared_server(server_kind::xvfb));
        stop_x_server(shared_server(server_kind::xorg));
    }
};
const auto* const registered = ::testing::AddGlobalTestEnvironment(new stop_servers);

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

// A genuine fault just after one of the loop's writes has returned, before
// the loop has noted what went: a frame's gathered write or a write of the
// rest of one cut short, whole or cut to a few packets, on 16 CRTCs and on
// one. Whatever the handler cannot know, the process still ends with 11 and
// the ramps come back exactly, by its hand or its guard's.
TEST(FaultMidWrite, ExitsElevenAndTheRampsComeBack) {
    struct mid_write {
        server_kind kind;
        const char* fault;
        const char* after;  // writes
        const char* cut;    // bytes a write takes at most
    };
    const mid_write cases[] = {
        {server_kind::xorg, "writev", "3", ""},     {server_kind::xorg, "writev", "3", "1500"},
        {server_kind::xorg, "writev", "2", "5000"}, {server_kind::xorg, "write", "5", "1500"},
        {server_kind::xorg, "write", "2", "5000"},  {server_kind::xvfb, "writev", "3", "1000"},
        {server_kind::xvfb, "write", "2", "1000"}};
    for (const mid_write& c : cases) {
        if (c.kind == server_kind::xorg && geteuid() != 0) {
            continue;
        }
        const std::string what = std::string(kind_name(c.kind)) + " after " + c.fault + " " +
                                 c.after + ", cut to " + c.cut;
        const std::string display = require_server(c.kind);
        ASSERT_FALSE(display.empty()) << what;
        test_display d(display);
        const auto before = load_random_ramps(d, 40);
        env_list env = fault_env(c.fault, c.after);
        if (*c.cut != '\0') {
            env.emplace_back("GAMMAWAVE_CUT_WRITES", c.cut);
        }
        gammawave_run run = start_gammawave(display, env);
        const exit_result r = wait_exit(run.pid, 10s);
        if (!r.exited) {
            kill(run.pid, SIGKILL);  // a hung run would hold the screen against the next case
            waitpid(run.pid, nullptr, 0);
        }
        EXPECT_TRUE(r.exited) << what;
        EXPECT_EQ(r.code, SIGSEGV) << what;
        EXPECT_TRUE(guards_end(10s)) << what;
        EXPECT_TRUE(same_ramps(d.ramps(), before)) << what;
    }
}

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
