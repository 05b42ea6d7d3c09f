// The real gammawave against Mutter 48 (Debian 13), 50 (testing) and 51
// (unstable) on Mutter's own test backend, each in a root of its release;
// the frames and the restore are read back through DisplayConfig, which
// gammawave drives on every one of them, so the restore is its own. Before
// each run the monitor holds a random table of the
// test's own, since Mutter's 6500 K table is the identity: a restore that
// resets to it must not pass.
#include <gtest/gtest.h>
#include <signal.h>

#include "gammawave_run.h"
#include "mutter_test_backend.h"
#include "ramp_view.h"

using namespace std::chrono_literals;

namespace {

constexpr unsigned evening = 4000;
constexpr unsigned later = 5000;

gammawave_run start_in(const test_backend& m) {
    gammawave_run run;
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    process_options opts{std::string{}, m.env, run.dir + "/out", run.dir + "/err"};
    opts.new_session = true;
    run.pid = spawn(m.in_root({GAMMAWAVE_BIN}), opts);
    return run;
}

bool same(const std::vector<crtc_ramp>& a, const std::vector<crtc_ramp>& b) {
    return !a.empty() && a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](const auto& x, const auto& y) {
               return x.crtc == y.crtc && x.entries == y.entries;
           });
}

}  // namespace

class MutterBackend : public ::testing::TestWithParam<std::string> {
protected:
    std::unique_ptr<test_backend> m;
    int monitors = 1;

    void SetUp() override {
        std::string why;
        bool skip = false;
        m = start_test_backend(GetParam(), why, skip, monitors);
        if (skip) {
            GTEST_SKIP() << why;
        }
        ASSERT_TRUE(m) << why;
    }

    // Mutter's own table at `kelvin`, as it loads it on the change.
    std::vector<crtc_ramp> own_at(unsigned kelvin) const {
        EXPECT_TRUE(m->night_light(kelvin));
        return m->tables();
    }

    std::vector<crtc_ramp> load_random(unsigned seed) const {
        const auto tables = random_ramps(m->tables(), seed);
        EXPECT_TRUE(m->load(tables));
        return tables;
    }

    // Every table an exact frame of the curve, twice with different frames.
    bool animates() const {
        std::vector<crtc_ramp> first;
        return eventually(
            [&] {
                const auto now = m->tables();
                for (const crtc_ramp& r : now) {
                    if (!curve_phase(r, 0) || !curve_phase(r, 1) || !curve_phase(r, 2)) {
                        return false;
                    }
                }
                if (first.empty()) {
                    first = now;
                }
                return !now.empty() && now[0].entries != first[0].entries;
            },
            20s);
    }

    // gammawave ended and its restore already carried out.
    bool restored(const std::vector<crtc_ramp>& expected) const {
        return same(m->tables(), expected);
    }
};

TEST_P(MutterBackend, ExactFramesThenRestoreOnSigintAndSigterm) {
    own_at(evening);
    for (int sig : {SIGINT, SIGTERM}) {
        const auto ours = load_random(static_cast<unsigned>(sig));
        gammawave_run run = start_in(*m);
        ASSERT_TRUE(animates()) << run.err() << m->log();
        kill(run.pid, sig);
        const exit_result r = wait_exit(run.pid, 10s);
        EXPECT_TRUE(r.exited) << sigabbrev_np(sig);
        EXPECT_EQ(r.code, sig);
        EXPECT_EQ(run.err(), "");
        EXPECT_TRUE(restored(ours)) << sigabbrev_np(sig);
    }
}

TEST_P(MutterBackend, SigkillRestoredByTheGuard) {
    own_at(evening);
    const auto ours = load_random(9);
    gammawave_run run = start_in(*m);
    ASSERT_TRUE(animates()) << run.err() << m->log();
    const auto sent = std::chrono::steady_clock::now();
    kill(run.pid, SIGKILL);
    EXPECT_EQ(wait_exit(run.pid, 5s).code, SIGKILL);
    EXPECT_TRUE(restored_by_guard([&] { return same(m->tables(), ours); }, sent, 10s));
}

// A temperature change mid-run (an evening transition's step): the restore
// leaves Night Light's table for the new temperature, not the one found.
TEST_P(MutterBackend, NightLightChangeMidRunNotUndone) {
    const auto later_table = own_at(later);
    own_at(evening);
    load_random(21);
    gammawave_run run = start_in(*m);
    ASSERT_TRUE(animates()) << run.err() << m->log();
    // gammawave held still until Mutter has loaded its new table, so that
    // no frame of ours already under way can overwrite it first: what is
    // judged is that gammawave then takes that table, not a race.
    kill(run.pid, SIGSTOP);
    ASSERT_TRUE(m->night_light(later));
    ASSERT_TRUE(eventually([&] { return same(m->tables(), later_table); }, 10s));
    kill(run.pid, SIGCONT);
    ASSERT_TRUE(animates()) << run.err();
    kill(run.pid, SIGINT);
    EXPECT_EQ(wait_exit(run.pid, 10s).code, SIGINT);
    EXPECT_TRUE(restored(later_table));
}

// A new colour profile mid-run: Mutter loads its table, and the restore
// leaves that one, not the table found at start.
TEST_P(MutterBackend, ProfileChangeMidRunNotUndone) {
    own_at(evening);
    const auto srgb_table = m->tables();
    ASSERT_TRUE(m->profile("vx239-calibrated"));
    ASSERT_TRUE(eventually([&] { return !same(m->tables(), srgb_table); }, 10s));
    const auto new_table = m->tables();
    ASSERT_TRUE(m->profile("sRGB"));
    ASSERT_TRUE(eventually([&] { return same(m->tables(), srgb_table); }, 10s));
    load_random(22);
    gammawave_run run = start_in(*m);
    ASSERT_TRUE(animates()) << run.err() << m->log();
    kill(run.pid, SIGSTOP);  // as for Night Light: no frame under way meanwhile
    ASSERT_TRUE(m->profile("vx239-calibrated"));
    ASSERT_TRUE(eventually([&] { return same(m->tables(), new_table); }, 10s));
    kill(run.pid, SIGCONT);
    ASSERT_TRUE(animates()) << run.err();
    kill(run.pid, SIGINT);
    EXPECT_EQ(wait_exit(run.pid, 10s).code, SIGINT);
    EXPECT_TRUE(restored(new_table));
}

// The one monitor unplugged mid-run: Mutter 49 to 51 crash when a monitor
// goes while a client holds a calibration session for it, so this is what
// proves gammawave holds none. Mutter lives on; gammawave, with no monitor
// left, says so in one line and exits 1.
TEST_P(MutterBackend, UnplugOfTheLastMonitor) {
    load_random(41);
    gammawave_run run = start_in(*m);
    ASSERT_TRUE(animates()) << run.err() << m->log();
    ASSERT_TRUE(m->plug(0)) << m->log();
    const exit_result r = wait_exit(run.pid, 10s);
    EXPECT_TRUE(r.exited && r.code == 1) << run.err();
    EXPECT_EQ(run.err(), "gammawave: no monitor with gamma is left\n");
    EXPECT_TRUE(m->answers()) << m->log();
}

// Two monitors, each with a profile. On any monitor change Mutter 47 and
// later load their own table on every monitor left, and that is the table
// each monitor must end with: Mutter's own at the temperature of the day,
// read before gammawave starts, the same on both (one profile).
class MutterTwoMonitors : public MutterBackend {
protected:
    MutterTwoMonitors() { monitors = 2; }

    // gammawave ended by SIGINT, its restore confirmed, and then every
    // monitor there holding `expected`.
    void interrupt_and_expect(gammawave_run& run, const std::vector<crtc_ramp>& expected) {
        EXPECT_TRUE(run.running()) << run.err();
        EXPECT_TRUE(m->answers()) << m->log();
        kill(run.pid, SIGINT);
        const exit_result r = wait_exit(run.pid, 10s);
        EXPECT_TRUE(r.exited && r.code == SIGINT) << run.err();
        EXPECT_EQ(run.err(), "");
        EXPECT_TRUE(restored(expected));
    }
};

// The second unplugged: Mutter lives on, gammawave goes on with the first.
TEST_P(MutterTwoMonitors, OneUnpluggedTheOtherGoesOnAndIsRestored) {
    const auto own = own_at(evening);
    ASSERT_EQ(own.size(), 2U) << m->log();
    load_random(43);
    gammawave_run run = start_in(*m);
    ASSERT_TRUE(animates()) << run.err() << m->log();
    ASSERT_TRUE(m->plug(1)) << m->log();
    ASSERT_TRUE(animates()) << run.err() << m->log();
    ASSERT_EQ(m->tables().size(), 1U);
    interrupt_and_expect(run, {own[0]});
}

// The second unplugged and plugged straight back in, colord then giving it
// its profile again as it does for a monitor it knows (the mock forgets a
// device's profiles with the device): the monitor back ends with Mutter's
// table for that profile, not a frame of ours nor the one before the profile.
TEST_P(MutterTwoMonitors, UnpluggedAndPluggedBackEndsWithMuttersTable) {
    const auto own = own_at(evening);
    ASSERT_EQ(own.size(), 2U) << m->log();
    load_random(44);
    gammawave_run run = start_in(*m);
    ASSERT_TRUE(animates()) << run.err() << m->log();
    ASSERT_TRUE(m->plug(1)) << m->log();
    ASSERT_TRUE(m->plug(2)) << m->log();
    ASSERT_TRUE(m->profile()) << m->log();
    ASSERT_TRUE(animates()) << run.err() << m->log();
    ASSERT_EQ(m->tables().size(), 2U);
    interrupt_and_expect(run, own);
}

// Calibration sessions came in Mutter 49.
class MutterSessions : public MutterBackend {};

// Another client calibrating the monitor: gammawave, which holds no session
// of its own, drives it through DisplayConfig as anywhere else, silently,
// and restores the table it found.
TEST_P(MutterSessions, AnotherClientsSessionChangesNothing) {
    own_at(evening);
    const pid_t holder = hold_calibration(*m);
    ASSERT_GT(holder, 0) << m->log();
    const auto ours = load_random(33);  // DisplayConfig still takes effect during a session
    gammawave_run run = start_in(*m);
    EXPECT_TRUE(animates()) << run.err() << m->log();
    kill(run.pid, SIGINT);
    EXPECT_EQ(wait_exit(run.pid, 10s).code, SIGINT);
    EXPECT_EQ(run.err(), "");
    EXPECT_TRUE(same(m->tables(), ours));
    kill(holder, SIGKILL);
    wait_exit(holder, 5s);
}

INSTANTIATE_TEST_SUITE_P(Releases, MutterBackend,
                         ::testing::Values("trixie", "testing", "unstable"),
                         [](const auto& info) { return info.param; });
INSTANTIATE_TEST_SUITE_P(Releases, MutterTwoMonitors,
                         ::testing::Values("trixie", "testing", "unstable"),
                         [](const auto& info) { return info.param; });
INSTANTIATE_TEST_SUITE_P(Releases, MutterSessions, ::testing::Values("testing", "unstable"),
                         [](const auto& info) { return info.param; });
