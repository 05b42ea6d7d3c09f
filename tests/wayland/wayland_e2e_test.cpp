// The real gammawave against Wayland compositors: the test compositor for
// everything that needs an output with gamma (no packaged compositor gives
// a headless output a gamma size), and a real headless sway, with its
// XWayland, for the failures a user meets there.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <thread>

#include "gammawave_run.h"
#include "wave.h"
#include "wayland_server.h"

using namespace std::chrono_literals;

namespace {

// The curve at every phase, resampled to `size` entries.
const std::vector<gamma_table>& curves_at(std::size_t size) {
    static std::map<std::size_t, std::vector<gamma_table>> cache;
    auto& curves = cache[size];
    if (curves.empty()) {
        for (int phase = 0; phase < 360; ++phase) {
            gamma_ramp frame{};
            for (std::size_t c = 0; c < 3; ++c) {
                render_channel_curve(phase,
                                     std::span<std::uint16_t, 256>(frame.data() + 256 * c, 256));
            }
            gamma_table out(3 * size);
            resample_ramp(frame, out);
            curves.emplace_back(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(size));
        }
    }
    return curves;
}

// Every channel of the table is the curve at some phase, at the table's size.
bool is_curve_frame(const gamma_table& table) {
    const std::size_t n = table.size() / 3;
    for (std::size_t c = 0; c < 3; ++c) {
        const auto begin = table.begin() + static_cast<std::ptrdiff_t>(c * n);
        const auto& curves = curves_at(n);
        if (std::none_of(curves.begin(), curves.end(), [&](const gamma_table& k) {
                return std::equal(k.begin(), k.end(), begin);
            })) {
            return false;
        }
    }
    return n > 0;
}

gammawave_run start_on(const test_compositor& c, env_list extra = {}) {
    env_list env = c.client_env();
    env.insert(env.end(), extra.begin(), extra.end());
    return start_gammawave(std::string{}, env);
}

std::size_t index_of(const std::vector<std::string>& lines, const std::string& line) {
    return static_cast<std::size_t>(std::find(lines.begin(), lines.end(), line) - lines.begin());
}

// After `destroy i` no `set i`, and every `restored i destroy` before the
// client's disconnect.
void expect_destroyed_then_disconnected(const test_compositor& c, const std::vector<int>& outputs) {
    const auto log = c.log_lines();
    const std::size_t gone = index_of(log, "client 1 disconnected");
    ASSERT_LT(gone, log.size());
    for (int i : outputs) {
        const std::size_t destroyed = index_of(log, "destroy " + std::to_string(i));
        EXPECT_LT(destroyed, gone) << "output " << i;
        EXPECT_LT(index_of(log, "restored " + std::to_string(i) + " destroy"), gone)
            << "output " << i;
        const std::string set = "set " + std::to_string(i) + " ";
        for (std::size_t k = destroyed; k < log.size(); ++k) {
            EXPECT_NE(log[k].rfind(set, 0), 0u) << "a set followed the destroy of output " << i;
        }
    }
}

bool sets_reach(const test_compositor& c, int output, std::size_t count) {
    return eventually([&] { return c.lines("set " + std::to_string(output)).size() >= count; }, 5s);
}

}  // namespace

class WaylandSignal : public ::testing::TestWithParam<int> {};

// Outputs of 256 and 1024 entries and one without gamma: each output with
// gamma holds exact curve frames at its own size, and the signal hands
// every output back before the disconnect.
TEST_P(WaylandSignal, ExactFramesThenEveryOutputHandedBack) {
    const int sig = GetParam();
    auto c = start_test_compositor({{256, 1024, 0}});
    ASSERT_TRUE(c);
    gammawave_run run = start_on(*c);
    ASSERT_TRUE(sets_reach(*c, 0, 20) && sets_reach(*c, 1, 20)) << run.err();
    kill(run.pid, sig);
    // Confirmed, not waited out: no warning on stderr (checked below).
    const exit_result r = wait_exit(run.pid, 5s);
    EXPECT_TRUE(r.exited);
    EXPECT_EQ(r.code, sig);
    auto tables = c->set_tables();
    EXPECT_TRUE(tables[2].empty());
    for (int i : {0, 1}) {
        ASSERT_FALSE(tables[i].empty());
        for (const gamma_table& t : tables[i]) {
            ASSERT_EQ(t.size(), 3u * (i == 0 ? 256 : 1024));
            ASSERT_TRUE(is_curve_frame(t)) << "output " << i;
        }
    }
    expect_destroyed_then_disconnected(*c, {0, 1});
    EXPECT_EQ(run.out(), "");
    EXPECT_EQ(run.err(), "");
}

INSTANTIATE_TEST_SUITE_P(Signals, WaylandSignal, ::testing::Values(SIGINT, SIGTERM, SIGSEGV),
                         [](const auto& info) { return std::string(sigabbrev_np(info.param)); });

// A genuine fault leaves the restore to the compositor: the connection
// closes and every output gets its own tables back.
TEST(WaylandFault, StatusElevenAndTheCompositorRestores) {
    for (const char* fault : {"null", "stack"}) {
        auto c = start_test_compositor({{256, 512}});
        ASSERT_TRUE(c);
        gammawave_run run = start_on(*c, fault_env(fault));
        const exit_result r = wait_exit(run.pid, 10s);
        EXPECT_TRUE(r.exited) << fault;
        EXPECT_EQ(r.code, SIGSEGV) << fault;
        EXPECT_TRUE(c->wait_for_line("restored 0 disconnect")) << fault;
        EXPECT_TRUE(c->wait_for_line("restored 1 disconnect")) << fault;
        EXPECT_FALSE(c->lines("set 1").empty()) << fault;
    }
}

// Where no client can reach the gamma: the one message, status 1, and one
// line on stderr that says why.
TEST(WaylandFailure, MessageStatusOneAndReason) {
    const struct {
        compositor_options opts;
        const char* reason;
    } cases[] = {
        {{{256}, {}, {}, false}, "offers programs no gamma control and GNOME's Mutter is not"},
        {{{0, 0}}, "refused gamma control of every output"},
        {{{256, 1024}, {0, 1}}, "refused gamma control of every output"},
        {{{256}, {}, {0}}, "refused gamma control of every output"},
        {{{70000}}, "refused gamma control of every output"},
    };
    for (const auto& k : cases) {
        auto c = start_test_compositor(k.opts);
        ASSERT_TRUE(c);
        gammawave_run run = start_on(*c);
        const exit_result r = wait_exit(run.pid, 10s);
        expect_one_line_failure(r, run, k.reason);
        EXPECT_EQ(run.out(), "Can't get gamma ramp!\n");
        EXPECT_TRUE(c->lines("set").empty());
    }
}

// Outputs come and go while it runs, as monitors do.
TEST(WaylandOutputs, RemovedStopsAddedStartsLastGoneEnds) {
    auto c = start_test_compositor({{256, 256}});
    ASSERT_TRUE(c);
    gammawave_run run = start_on(*c);
    ASSERT_TRUE(sets_reach(*c, 1, 5));
    ASSERT_TRUE(c->command("remove 1"));
    ASSERT_TRUE(c->wait_for_line("output removed 1"));
    ASSERT_TRUE(c->command("add 512"));
    ASSERT_TRUE(sets_reach(*c, 2, 5)) << run.err();
    const std::size_t sets_on_1 = c->lines("set 1").size();
    ASSERT_TRUE(sets_reach(*c, 0, c->lines("set 0").size() + 20));
    EXPECT_EQ(c->lines("set 1").size(), sets_on_1) << "frames went on to a removed output";
    const auto tables = c->set_tables();
    for (const gamma_table& t : tables.at(2)) {
        ASSERT_EQ(t.size(), 3u * 512);
        ASSERT_TRUE(is_curve_frame(t));
    }
    // `failed` drops one output; the others go on; with none left it ends.
    ASSERT_TRUE(c->command("fail 0"));
    const std::size_t on_2 = c->lines("set 2").size();
    EXPECT_TRUE(sets_reach(*c, 2, on_2 + 10));
    ASSERT_TRUE(c->command("remove 2"));
    const exit_result r = wait_exit(run.pid, 5s);
    expect_one_line_failure(r, run, "no output with gamma control is left");
}

// A monitor swapped for another in one step, and many monitors come and
// gone over a session: the program keeps going and takes the new one.
TEST(WaylandOutputs, SwapsAndManyReplugsKeepGoing) {
    auto c = start_test_compositor({{256}});
    ASSERT_TRUE(c);
    gammawave_run run = start_on(*c);
    ASSERT_TRUE(sets_reach(*c, 0, 3));
    for (int i = 1; i <= 70; ++i) {
        ASSERT_TRUE(c->command("add 256"));
        ASSERT_TRUE(c->wait_for_line("output added " + std::to_string(i)));
        ASSERT_TRUE(c->command("remove " + std::to_string(i)));
    }
    ASSERT_TRUE(c->command("add 512"));
    ASSERT_TRUE(c->command("remove 0"));  // the last old one goes as the new one comes
    EXPECT_TRUE(sets_reach(*c, 71, 5)) << run.err();
    EXPECT_TRUE(run.running()) << run.err();
    kill(run.pid, SIGINT);
    EXPECT_EQ(wait_exit(run.pid, 5s).code, SIGINT);
}

// A compositor that stops reading: no pile of frames behind it (what waits
// in the socket when it reads again is a frame or two, each a set_gamma of
// 8 bytes and a sync of 12, not the 30 due meanwhile), and SIGINT ends the program with the warning
// once the restore's round trip goes unanswered.
TEST(WaylandStall, NoPileUpAndSigintEndsTheWait) {
    auto c = start_test_compositor({{256}});
    ASSERT_TRUE(c);
    gammawave_run run = start_on(*c);
    ASSERT_TRUE(sets_reach(*c, 0, 10));
    ASSERT_TRUE(c->command("stall 500"));
    ASSERT_TRUE(c->wait_for_line("stall 500"));
    ASSERT_TRUE(c->wait_for_line("queued"));
    const std::string queued = c->lines("queued").at(0);
    EXPECT_LE(std::atoi(queued.c_str() + 7), 40) << "frames piled up behind the stall";

    ASSERT_TRUE(c->command("stall 3000"));
    ASSERT_TRUE(c->wait_for_line("stall 3000"));
    kill(run.pid, SIGINT);
    const exit_result r = wait_exit(run.pid, 10s);
    EXPECT_TRUE(r.exited);
    EXPECT_EQ(r.code, SIGINT);
    EXPECT_NE(run.err().find("may not be back"), std::string::npos) << run.err();
}

// Each table travels in a file of its own, closed once sent: the count of
// open descriptors stays flat. Either count may catch a frame on its way:
// libwayland's copy of each output's file until the frame's flush, and the
// last output's own file before it is closed (three here); a leak would
// show as hundreds.
TEST(WaylandFrames, OpenDescriptorsStayFlatOverAThousandFrames) {
    auto c = start_test_compositor({{256, 1024}});
    ASSERT_TRUE(c);
    gammawave_run run = start_on(*c);
    const auto open_fds = [&] {
        const std::string dir = "/proc/" + std::to_string(run.pid) + "/fd";
        return std::distance(std::filesystem::directory_iterator(dir), {});
    };
    ASSERT_TRUE(sets_reach(*c, 1, 50));
    const auto early = open_fds();
    ASSERT_TRUE(eventually([&] { return c->lines("set 1").size() >= 1050; }, 20s));
    EXPECT_LE(open_fds(), early + 3);
    kill(run.pid, SIGINT);
    EXPECT_EQ(wait_exit(run.pid, 5s).code, SIGINT);
}

TEST(WaylandLost, CompositorGoneStatusOneAndOneLine) {
    auto c = start_test_compositor({{256}});
    ASSERT_TRUE(c);
    gammawave_run run = start_on(*c);
    ASSERT_TRUE(sets_reach(*c, 0, 5));
    c->quit();
    const exit_result r = wait_exit(run.pid, 5s);
    expect_one_line_failure(r, run, "lost the connection to the display");
}

// Real sway on its headless backend: its outputs have no gamma, so on
// Wayland and on its XWayland alike the user sees the failure, with sway
// left running.
TEST(Sway, WaylandAndXWaylandFailClearly) {
    std::string why;
    auto sway = start_sway_headless(why, true);
    if (!sway) {
        GTEST_SKIP() << why;
    }
    for (bool through_x : {false, true}) {
        const std::string dir = temp_dir();
        process_options opts{std::nullopt,
                             {{"DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent"}},
                             dir + "/out",
                             dir + "/err"};
        if (through_x) {
            opts.env.push_back({"WAYLAND_DISPLAY", ""});
        }
        std::filesystem::permissions(dir, std::filesystem::perms::all);
        const pid_t pid = sway->spawn_client({GAMMAWAVE_BIN}, opts);
        const exit_result r = wait_exit(pid, 10s);
        const char* where = through_x ? "XWayland" : "Wayland";
        EXPECT_TRUE(r.exited) << where;
        EXPECT_EQ(r.code, 1) << where;
        EXPECT_EQ(read_file(dir + "/out"), "Can't get gamma ramp!\n") << where;
        const std::string err = read_file(dir + "/err");
        EXPECT_NE(err.find(through_x ? "XWayland" : "refused gamma control"), std::string::npos)
            << where << ": " << err;
        EXPECT_EQ(kill(sway->pid(), 0), 0) << "sway did not survive";
        remove_tree(dir);
    }
}
