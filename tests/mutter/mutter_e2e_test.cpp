// The real gammawave against a real Mutter (43, its X11 backend) on a
// private session bus, with DISPLAY unset: the frames and the restore are
// read back through RandR on Mutter's own X server.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <random>
#include <thread>

#include "gammawave_run.h"
#include "mutter_server.h"
#include "ramp_view.h"
#include "wayland_server.h"

using namespace std::chrono_literals;

namespace {

// One Mutter for the whole run, started on first use.
std::unique_ptr<mutter_session>& shared_slot() {
    static std::unique_ptr<mutter_session> m;
    return m;
}

const mutter_session* shared_mutter(std::string& why) {
    if (!shared_slot()) {
        shared_slot() = start_mutter(why);
    }
    return shared_slot().get();
}

struct stop_mutter : ::testing::Environment {
    void TearDown() override { shared_slot().reset(); }
};
const auto* const registered = ::testing::AddGlobalTestEnvironment(new stop_mutter);

bool curve_frame(const crtc_ramp& r) {
    return curve_phase(r, 0) && curve_phase(r, 1) && curve_phase(r, 2);
}

// The ramps that are curve frames, and at least `lit` of them, twice over
// with different frames: the animation reaches them, exactly.
bool animates(const test_display& d, std::size_t lit) {
    std::vector<crtc_ramp> first;
    return eventually(
        [&] {
            std::vector<crtc_ramp> now = d.ramps();
            std::erase_if(now, [](const crtc_ramp& r) { return !curve_frame(r); });
            if (now.size() < lit) {
                return false;
            }
            if (first.empty()) {
                first = now;
            }
            return now[0].entries != first[0].entries;
        },
        5s);
}

std::size_t same_count(const std::vector<crtc_ramp>& a, const std::vector<crtc_ramp>& b) {
    std::size_t n = 0;
    for (std::size_t i = 0; i < std::min(a.size(), b.size()); ++i) {
        n += a[i].crtc == b[i].crtc && a[i].entries == b[i].entries ? 1 : 0;
    }
    return n;
}

// Mutter answers a SetCrtcGamma before its own X requests have gone out,
// and a Mutter the machine keeps waiting sends them late: the X server, read
// right after gammawave has exited, may still hold the last frame. What was
// restored reaches it as soon as Mutter runs again.
bool back_on_x(const test_display& d, const std::vector<crtc_ramp>& want) {
    return eventually([&] { return same_count(d.ramps(), want) == want.size(); }, 5s);
}

std::vector<crtc_ramp> load_random(const test_display& d, unsigned seed) {
    const auto ramps = random_ramps(d.ramps(), seed);
    d.load(ramps);
    return ramps;
}

// dbus-send on Mutter's bus; what it prints.
std::string dbus_send(const mutter_session& m, std::vector<std::string> args) {
    const std::string dir = temp_dir();
    args.insert(args.begin(), {"dbus-send", "--session"});
    wait_exit(spawn(args, {std::string{}, m.client_env(), dir + "/out", {}}), 10s);
    const std::string out = read_file(dir + "/out");
    remove_tree(dir);
    return out;
}

std::string bus_call(const mutter_session& m, const std::string& method, const std::string& arg) {
    std::vector<std::string> args = {"--print-reply", "--dest=org.freedesktop.DBus",
                                     "/org/freedesktop/DBus", "org.freedesktop.DBus." + method};
    if (!arg.empty()) {
        args.push_back("string:" + arg);
    }
    return dbus_send(m, args);
}

// The unique names on the bus: gammawave, its guard, and Mutter last.
std::vector<std::string> unique_names(const mutter_session& m) {
    const std::string listed = bus_call(m, "ListNames", "");
    const std::string mutter = bus_call(m, "GetNameOwner", "org.gnome.Mutter.DisplayConfig");
    std::vector<std::string> names;
    for (std::size_t at = listed.find("\":"); at != std::string::npos;
         at = listed.find("\":", at + 1)) {
        const std::string name = listed.substr(at + 1, listed.find('"', at + 1) - at - 1);
        if (mutter.find('"' + name + '"') == std::string::npos) {
            names.push_back(name);
        }
    }
    return names;
}

// NameOwnerChanged(name, old, "") sent by a client, not the bus, to `to`.
void forge_gone(const mutter_session& m, const std::string& to, const std::string& name) {
    dbus_send(m, {"--type=signal", "--dest=" + to, "/org/freedesktop/DBus",
                  "org.freedesktop.DBus.NameOwnerChanged", "string:" + name, "string:" + name,
                  "string:"});
}

}  // namespace

class MutterSignal : public ::testing::TestWithParam<int> {};

TEST_P(MutterSignal, ExactFramesThenSavedTablesBack) {
    std::string why;
    const mutter_session* m = shared_mutter(why);
    ASSERT_TRUE(m) << why;
    test_display d(m->x().display);
    const auto before = load_random(d, static_cast<unsigned>(GetParam()));
    gammawave_run run = start_gammawave(std::string{}, m->client_env());
    ASSERT_TRUE(animates(d, 1)) << run.err();
    kill(run.pid, GetParam());
    // Confirmed, not waited out: no warning on stderr (checked below).
    const exit_result r = wait_exit(run.pid, 5s);
    EXPECT_TRUE(r.exited);
    EXPECT_EQ(r.code, GetParam());
    EXPECT_TRUE(back_on_x(d, before));
    EXPECT_EQ(run.out(), "");
    EXPECT_EQ(run.err(), "");
}

INSTANTIATE_TEST_SUITE_P(Signals, MutterSignal, ::testing::Values(SIGINT, SIGTERM, SIGSEGV),
                         [](const auto& info) { return std::string(sigabbrev_np(info.param)); });

TEST(MutterLost, MutterGoneStatusOneAndOneLine) {
    std::string why;
    auto m = start_mutter(why);
    ASSERT_TRUE(m) << why;
    test_display d(m->x().display);
    gammawave_run run = start_gammawave(std::string{}, m->client_env());
    ASSERT_TRUE(animates(d, 1)) << run.err();
    kill(m->pid(), SIGKILL);
    expect_one_line_failure(wait_exit(run.pid, 5s), run, "has left the session bus");
}

// Three of the Xorg dummy's 16 CRTCs drive monitors. One switched off
// mid-run moves the serial: the others go on, and the restore puts back the
// tables saved at start, not the frames Mutter 43 still holds, also on the
// CRTC switched off, which would otherwise come back tinted.
TEST(MutterMonitors, OneSwitchedOffTheOthersGoOnAndRestore) {
    std::string why;
    auto m = start_mutter(why, true);
    if (!m) {
        GTEST_SKIP() << why;
    }
    test_display d(m->x().display);
    const auto before = load_random(d, 99);
    gammawave_run run = start_gammawave(std::string{}, m->client_env());
    ASSERT_TRUE(animates(d, 3)) << run.err();
    const pid_t off =
        spawn({"xrandr", "--output", "DUMMY2", "--off"}, {m->x().display, {}, {}, {}});
    ASSERT_EQ(wait_exit(off, 10s).code, 0);
    ASSERT_TRUE(animates(d, 2)) << run.err();
    kill(run.pid, SIGINT);
    EXPECT_EQ(wait_exit(run.pid, 5s).code, SIGINT) << run.err();
    EXPECT_TRUE(back_on_x(d, before));
}

// A Wayland compositor without wlr gamma control falls to Mutter on the
// bus; a session that is not Wayland, with Mutter's X server as DISPLAY,
// keeps X11: with Mutter held stopped, the frames still arrive.
TEST(MutterChoice, WaylandWithoutGammaTakesMutterX11SessionKeepsX11) {
    std::string why;
    const mutter_session* m = shared_mutter(why);
    ASSERT_TRUE(m) << why;
    auto c = start_test_compositor({{256}, {}, {}, false});
    ASSERT_TRUE(c);
    test_display d(m->x().display);
    const auto before = load_random(d, 7);
    env_list env = c->client_env();
    env.push_back(m->client_env()[0]);  // the bus
    gammawave_run run = start_gammawave(std::string{}, env);
    ASSERT_TRUE(animates(d, 1)) << run.err();
    kill(run.pid, SIGINT);
    EXPECT_EQ(wait_exit(run.pid, 5s).code, SIGINT);
    EXPECT_TRUE(back_on_x(d, before));

    env = m->client_env();
    env.push_back({"XDG_SESSION_TYPE", "x11"});
    kill(m->pid(), SIGSTOP);
    gammawave_run x11 = start_gammawave(m->x().display, env);
    const bool animated = animates(d, 1);
    kill(x11.pid, SIGINT);
    const exit_result r = wait_exit(x11.pid, 5s);
    kill(m->pid(), SIGCONT);
    EXPECT_TRUE(animated) << x11.err();
    EXPECT_EQ(r.code, SIGINT);
    EXPECT_TRUE(back_on_x(d, before));
}

class MutterGuard : public ::testing::TestWithParam<int> {};

// SIGKILL, or a closed terminal's SIGHUP to the job, at random moments from
// start to mid-run: the guard puts the saved tables back through Mutter after
// gammawave's last frame, within about a second.
TEST_P(MutterGuard, RestoresAfterAnUnhandledEndAtRandomMoments) {
    std::string why;
    const mutter_session* m = shared_mutter(why);
    ASSERT_TRUE(m) << why;
    test_display d(m->x().display);
    std::mt19937 gen(static_cast<unsigned>(GetParam()));
    std::uniform_int_distribution<int> delay_us(0, 30000);
    long longest_ms = 0;
    for (unsigned round = 0; round < 8; ++round) {
        const auto before = load_random(d, 500 + round);
        gammawave_run run = start_gammawave(std::string{}, m->client_env());
        if (round % 2 == 1) {
            ASSERT_TRUE(animates(d, 1)) << "round " << round;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(delay_us(gen)));
        const auto sent = std::chrono::steady_clock::now();
        if (kill(-run.pid, GetParam()) != 0) {
            kill(run.pid, GetParam());
        }
        const exit_result r = wait_exit(run.pid, 5s);
        EXPECT_EQ(r.code, GetParam()) << "round " << round;
        const auto took =
            restored_by_guard([&] { return same_count(d.ramps(), before) == before.size(); }, sent);
        ASSERT_TRUE(took) << "round " << round;
        longest_ms = std::max(longest_ms, static_cast<long>(took->count()));
    }
    RecordProperty("longest_end_to_restored_ms", static_cast<int>(longest_ms));
}

INSTANTIATE_TEST_SUITE_P(Ends, MutterGuard, ::testing::Values(SIGKILL, SIGHUP),
                         [](const auto& info) { return std::string(sigabbrev_np(info.param)); });

// A genuine fault exits 11 with no restore of its own; the guard restores.
TEST(MutterFault, StatusElevenAndTheGuardRestores) {
    std::string why;
    const mutter_session* m = shared_mutter(why);
    ASSERT_TRUE(m) << why;
    test_display d(m->x().display);
    const auto before = load_random(d, 11);
    env_list env = fault_env("null");
    env.push_back(m->client_env()[0]);  // the bus
    gammawave_run run = start_gammawave(std::string{}, env);
    EXPECT_TRUE(animates(d, 1));  // the fault strikes after about 30 frames
    const exit_result r = wait_exit(run.pid, 10s);
    EXPECT_TRUE(r.exited);
    EXPECT_EQ(r.code, SIGSEGV);
    EXPECT_TRUE(restored_by_guard([&] { return same_count(d.ramps(), before) == before.size(); },
                                  std::chrono::steady_clock::now()));
}

// A monitor switched on mid-run is animated; after a SIGKILL the guard puts
// back its table too, which gammawave saved after the guard was made.
TEST(MutterMonitors, OneSwitchedOnMidRunRestoredByTheGuard) {
    std::string why;
    auto m = start_mutter(why, true);
    if (!m) {
        GTEST_SKIP() << why;
    }
    const x_server& x = m->x();
    ASSERT_EQ(
        wait_exit(spawn({"xrandr", "--output", "DUMMY2", "--off"}, {x.display, {}, {}, {}}), 10s)
            .code,
        0);
    test_display d(x.display);
    const auto before = load_random(d, 98);
    gammawave_run run = start_gammawave(std::string{}, m->client_env());
    ASSERT_TRUE(animates(d, 2)) << run.err();
    const pid_t on =
        spawn({"xrandr", "--output", "DUMMY2", "--mode", "gw800x600", "--right-of", "DUMMY1"},
              {x.display, {}, {}, {}});
    ASSERT_EQ(wait_exit(on, 10s).code, 0);
    ASSERT_TRUE(animates(d, 3)) << run.err();
    kill(run.pid, SIGKILL);
    wait_exit(run.pid, 5s);
    EXPECT_TRUE(restored_by_guard([&] { return same_count(d.ramps(), before) == before.size(); },
                                  std::chrono::steady_clock::now()));
}

// Told by a client that Mutter, or gammawave, has left the bus: gammawave
// goes on, and so does its guard, which still restores after a SIGKILL.
TEST(MutterBus, ForgedNameOwnerChangedIgnored) {
    std::string why;
    const mutter_session* m = shared_mutter(why);
    ASSERT_TRUE(m) << why;
    test_display d(m->x().display);
    const auto before = load_random(d, 21);
    gammawave_run run = start_gammawave(std::string{}, m->client_env());
    ASSERT_TRUE(animates(d, 1)) << run.err();
    const std::vector<std::string> names = unique_names(*m);
    ASSERT_GE(names.size(), 2U);  // gammawave and its guard
    for (const std::string& to : names) {
        forge_gone(*m, to, "org.gnome.Mutter.DisplayConfig");
        for (const std::string& name : names) {
            forge_gone(*m, to, name);
        }
    }
    bus_call(*m, "ListNames", "");  // the forged signals have been routed
    EXPECT_TRUE(animates(d, 1));
    EXPECT_TRUE(run.running()) << run.err();
    kill(run.pid, SIGKILL);
    wait_exit(run.pid, 5s);
    EXPECT_TRUE(restored_by_guard([&] { return same_count(d.ramps(), before) == before.size(); },
                                  std::chrono::steady_clock::now()));
}

// Another program takes Mutter's name and refuses every call: gammawave
// says so in one line and exits 1 at the first refused frame, rather than
// going on and retrying a refused restore until its budget; the guard puts
// the tables back once Mutter has its name again.
TEST(MutterBus, RefusedFrameEndsTheRunAndTheGuardRestoresLater) {
    std::string why;
    const mutter_session* m = shared_mutter(why);
    ASSERT_TRUE(m) << why;
    test_display d(m->x().display);
    const auto before = load_random(d, 26);
    gammawave_run run = start_gammawave(std::string{}, m->client_env());
    ASSERT_TRUE(animates(d, 1)) << run.err();
    const pid_t taker = take_name_from_mutter(*m, "org.gnome.Mutter.DisplayConfig");
    ASSERT_GT(taker, 0);
    const exit_result r = wait_exit(run.pid, 5s);
    kill(taker, SIGKILL);
    wait_exit(taker, 5s);
    EXPECT_TRUE(r.exited && r.code == 1) << run.err();
    // The restore went to the same refusing owner: unconfirmed, and said so.
    EXPECT_EQ(run.err(),
              "gammawave: the display did not confirm the restore, so the original gamma ramps "
              "may not be back; switching Night Light on and off in GNOME's settings makes "
              "Mutter load its own tables again\n"
              "gammawave: GNOME's compositor (Mutter) refused a frame: Unknown object "
              "'/org/gnome/Mutter/DisplayConfig'. (org.freedesktop.DBus.Error.UnknownObject)\n");
    EXPECT_TRUE(restored_by_guard([&] { return same_count(d.ramps(), before) == before.size(); },
                                  std::chrono::steady_clock::now(), 5s));
}

// Ctrl+C while Mutter does not answer: the warning, and no stand-down; the
// guard keeps trying and restores once Mutter answers again.
TEST(MutterBusy, UnansweredRestoreWarnsAndTheGuardRestoresLater) {
    std::string why;
    const mutter_session* m = shared_mutter(why);
    ASSERT_TRUE(m) << why;
    test_display d(m->x().display);
    const auto before = load_random(d, 22);
    gammawave_run run = start_gammawave(std::string{}, m->client_env());
    ASSERT_TRUE(animates(d, 1)) << run.err();
    kill(m->pid(), SIGSTOP);
    kill(run.pid, SIGINT);
    const exit_result r = wait_exit(run.pid, 10s);
    const std::string err = run.err();
    std::this_thread::sleep_for(1500ms);  // more than the guard's call timeout
    kill(m->pid(), SIGCONT);
    EXPECT_EQ(r.code, SIGINT);
    EXPECT_NE(err.find("did not confirm the restore"), std::string::npos) << err;
    EXPECT_TRUE(restored_by_guard([&] { return same_count(d.ramps(), before) == before.size(); },
                                  std::chrono::steady_clock::now(), 5s));
}

// Mutter stopped. A start then is refused with that as the reason, not as
// a Mutter without gamma. Mid-run, a frame whose reply came too late is
// still applied: a read of the tables after it (a monitor change, told
// while Mutter is stopped) finds that frame, ours, not a table to restore.
TEST(MutterBusy, StartRefusedAndALateFrameNotTakenForMuttersTable) {
    std::string why;
    const mutter_session* m = shared_mutter(why);
    ASSERT_TRUE(m) << why;
    test_display d(m->x().display);
    const auto before = load_random(d, 25);
    kill(m->pid(), SIGSTOP);
    gammawave_run refused = start_gammawave(std::string{}, m->client_env());
    EXPECT_EQ(wait_exit(refused.pid, 20s).code, 1);
    kill(m->pid(), SIGCONT);
    EXPECT_EQ(refused.err(),
              "gammawave: GNOME's compositor (Mutter) did not answer within five "
              "seconds, or its monitors kept changing\n");
    gammawave_run run = start_gammawave(std::string{}, m->client_env());
    ASSERT_TRUE(animates(d, 1)) << run.err();
    kill(m->pid(), SIGSTOP);
    for (const std::string& to : unique_names(*m)) {
        dbus_send(*m, {"--type=signal", "--dest=" + to, "/org/gnome/Mutter/DisplayConfig",
                       "org.gnome.Mutter.DisplayConfig.MonitorsChanged"});
    }
    std::this_thread::sleep_for(2500ms);  // the frame in flight and the reads time out
    kill(m->pid(), SIGCONT);
    ASSERT_TRUE(animates(d, 1)) << run.err();
    kill(run.pid, SIGINT);
    EXPECT_EQ(wait_exit(run.pid, 5s).code, SIGINT) << run.err();
    EXPECT_EQ(run.err(), "");
    EXPECT_TRUE(back_on_x(d, before));
}

// One gammawave per session bus: a second one refuses, naming the first;
// one started right after a SIGKILL waits for the guard's restore, and so
// saves the tables of before, not the killed one's frame.
TEST(MutterOnce, SecondRefusedOneAfterAKillSavesTheRestoredTables) {
    std::string why;
    const mutter_session* m = shared_mutter(why);
    ASSERT_TRUE(m) << why;
    test_display d(m->x().display);
    const auto before = load_random(d, 23);
    gammawave_run first = start_gammawave(std::string{}, m->client_env());
    ASSERT_TRUE(animates(d, 1)) << first.err();
    gammawave_run second = start_gammawave(std::string{}, m->client_env());
    const exit_result refused = wait_exit(second.pid, 10s);
    EXPECT_EQ(refused.code, 1);
    EXPECT_EQ(second.out(), "Can't get gamma ramp!\n");
    EXPECT_EQ(second.err(), "gammawave: another gammawave (process " + std::to_string(first.pid) +
                                ") is already changing the gamma of this display\n");
    const auto guards = adopted_guards();
    ASSERT_EQ(guards.size(), 1u);
    kill(first.pid, SIGKILL);
    wait_exit(first.pid, 5s);
    gammawave_run third = start_gammawave(std::string{}, m->client_env());
    // Frames seen once the first run's guard has restored and ended are the
    // third run's: those the first sent reached Mutter before that restore.
    ASSERT_TRUE(eventually([&] { return guard_gone(guards[0]); }, 10s));
    ASSERT_TRUE(animates(d, 1)) << third.err();
    kill(third.pid, SIGINT);
    EXPECT_EQ(wait_exit(third.pid, 5s).code, SIGINT) << third.err();
    EXPECT_TRUE(back_on_x(d, before));
}

// A guard held up before it reaches the bus never touches a later run.
// gammawave killed before its guard is in line has sent no frame, and its
// guard, finding the next run's name ahead of it, leaves the queue without a
// restore: the next run, stopped meanwhile, keeps its frame on the screen.
// Killed once it animates: its guard was in line before the first frame, so
// it restores, and the next run waits for it and saves the tables it put
// back.
TEST(MutterOnce, LateGuardNeverTouchesTheNextRun) {
    std::string why;
    const mutter_session* m = shared_mutter(why);
    ASSERT_TRUE(m) << why;
    test_display d(m->x().display);
    for (const bool animating : {false, true}) {
        ASSERT_TRUE(guards_end(10s)) << "a guard of an earlier case";
        const auto before = load_random(d, 25 + animating);
        auto env = m->client_env();
        env.emplace_back("LD_PRELOAD", COS_FAULT_LIB);
        env.emplace_back("GAMMAWAVE_GUARD_DELAY_MS", "3000");
        gammawave_run first = start_gammawave(std::string{}, env);
        pid_t late = -1;
        const auto forked = [&] {
            const auto guards = adopted_guards();
            late = guards.size() == 1 ? guards[0] : -1;
            return late > 0;
        };
        ASSERT_TRUE(eventually(forked, 10s)) << animating;
        if (animating) {
            ASSERT_TRUE(animates(d, 1)) << first.err();
        }
        kill(first.pid, SIGKILL);
        wait_exit(first.pid, 5s);
        gammawave_run next = start_gammawave(std::string{}, m->client_env());
        ASSERT_TRUE(animates(d, 1)) << next.err();
        kill(next.pid, SIGSTOP);
        const auto frame = d.ramps();
        ASSERT_TRUE(eventually([late] { return guard_gone(late); }, 10s)) << animating;
        EXPECT_EQ(same_count(d.ramps(), frame), frame.size()) << animating;
        kill(next.pid, SIGCONT);
        kill(next.pid, SIGINT);
        EXPECT_EQ(wait_exit(next.pid, 5s).code, SIGINT) << next.err();
        EXPECT_TRUE(guards_end(10s)) << animating;
        EXPECT_TRUE(back_on_x(d, before)) << animating;
    }
}

// A burst of monitor changes, then Mutter busy for a while after one: every
// read that finds a stale serial or no answer is read again, so gammawave
// neither exits with a false "no monitor left" nor loses a table, and Ctrl+C
// then restores all three.
TEST(MutterMonitors, BurstOfChangesAndABusyMutterNoFalseExit) {
    std::string why;
    auto m = start_mutter(why, true);
    if (!m) {
        GTEST_SKIP() << why;
    }
    const x_server& x = m->x();
    test_display d(x.display);
    const auto before = load_random(d, 24);
    gammawave_run run = start_gammawave(std::string{}, m->client_env());
    ASSERT_TRUE(animates(d, 3)) << run.err();
    for (int i = 0; i < 6; ++i) {
        for (const char* output : {"DUMMY1", "DUMMY2"}) {
            wait_exit(spawn({"xrandr", "--output", output, "--off"}, {x.display, {}, {}, {}}), 10s);
            wait_exit(spawn({"xrandr", "--output", output, "--auto"}, {x.display, {}, {}, {}}),
                      10s);
        }
    }
    kill(m->pid(), SIGSTOP);
    std::this_thread::sleep_for(2s);  // longer than a call's timeout
    kill(m->pid(), SIGCONT);
    ASSERT_TRUE(animates(d, 3)) << run.err();
    kill(run.pid, SIGINT);
    EXPECT_EQ(wait_exit(run.pid, 5s).code, SIGINT) << run.err();
    EXPECT_EQ(run.err(), "");
    EXPECT_TRUE(back_on_x(d, before));
}
