// The real gammawave on X servers that stall, on descriptors closed at its
// start, and on a fake server of ours that offers what real servers here
// never do.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <thread>

#include "fake_x_server.h"
#include "x11_e2e.h"

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

// A guard slower to start than any wait for it (held back before it
// connects) never touches a later run. gammawave killed once its guard is
// forked but before it claims: the guard finds its gammawave gone and the
// next run's claims in place, and ends without a restore. Killed once it
// animates: its guard had claimed before the first frame, so it restores,
// and the next run saves the display's own ramps.
TEST(LateGuard, NeverTouchesTheNextRun) {
    const std::string display = require_server(server_kind::xvfb);
    ASSERT_FALSE(display.empty());
    test_display d(display);
    for (const bool animating : {false, true}) {
        ASSERT_TRUE(guards_end(10s)) << "a guard of an earlier case";
        const auto before = load_random_ramps(d, 330 + animating);
        gammawave_run first = start_gammawave(
            display, {{"LD_PRELOAD", COS_FAULT_LIB}, {"GAMMAWAVE_GUARD_DELAY_MS", "3000"}});
        pid_t late = -1;
        ASSERT_TRUE(eventually(
            [&] {
                const auto guards = adopted_guards();
                late = guards.size() == 1 ? guards[0] : -1;
                return late > 0;
            },
            10s))
            << animating;
        if (animating) {
            ASSERT_TRUE(animates_every_crtc(d, before));
        }
        kill(first.pid, SIGKILL);
        EXPECT_EQ(wait_exit(first.pid, 5s).code, SIGKILL) << animating;
        gammawave_run next = start_gammawave(display);
        ASSERT_TRUE(eventually([&] { return catches(next.pid, SIGINT); }, 10s)) << next.err();
        ASSERT_TRUE(animates_every_crtc(d, before)) << next.err();
        // Stopped, the next run keeps its frame on the screen unless a guard
        // not its own restores over it.
        kill(next.pid, SIGSTOP);
        const auto frame = d.ramps();
        ASSERT_TRUE(eventually([late] { return guard_gone(late); }, 10s)) << animating;
        EXPECT_TRUE(same_ramps(d.ramps(), frame)) << animating;
        kill(next.pid, SIGCONT);
        EXPECT_NE(claim_owner(d, "_GAMMAWAVE_GUARD_S0"), XCB_NONE) << animating;
        kill(next.pid, SIGINT);
        EXPECT_EQ(wait_exit(next.pid, 5s).code, SIGINT) << animating;
        EXPECT_TRUE(guards_end(10s)) << animating;
        EXPECT_TRUE(same_ramps(d.ramps(), before)) << animating;
    }
}

// A guard that finds the screen's claim held by another window declines its
// own; gammawave then refuses rather than animate with no guard.
TEST(LateGuard, DeclinedClaimRefusesTheRun) {
    const std::string display = require_server(server_kind::xvfb);
    ASSERT_FALSE(display.empty());
    ASSERT_TRUE(guards_end(10s)) << "a guard of an earlier case";
    test_display d(display);
    const auto before = load_random_ramps(d, 340);
    gammawave_run run = start_gammawave(
        display, {{"LD_PRELOAD", COS_FAULT_LIB}, {"GAMMAWAVE_GUARD_DELAY_MS", "1500"}});
    ASSERT_TRUE(eventually([] { return adopted_guards().size() == 1; }, 10s));
    const xcb_window_t other = xcb_generate_id(d.x.conn);
    xcb_create_window(d.x.conn, 0, other, d.x.root, 0, 0, 1, 1, 0, XCB_WINDOW_CLASS_INPUT_ONLY,
                      XCB_COPY_FROM_PARENT, 0, nullptr);
    xcb_set_selection_owner(d.x.conn, other, claim_atom(d), XCB_CURRENT_TIME);
    ASSERT_EQ(claim_owner(d), other);
    const exit_result r = wait_exit(run.pid, 20s);
    EXPECT_TRUE(r.exited);
    EXPECT_EQ(r.code, 1) << run.err();
    EXPECT_NE(run.err().find("did not start in time"), std::string::npos) << run.err();
    EXPECT_TRUE(guards_end(10s));
    EXPECT_TRUE(same_ramps(d.ramps(), before));
    xcb_destroy_window(d.x.conn, other);
    xcb_flush(d.x.conn);
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
