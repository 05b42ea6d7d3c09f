// The Wayland test harness itself: the test compositor as a client sees it
// and as its log tells it, and a headless sway with its XWayland.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <functional>
#include <iostream>
#include <random>

#include "gamma_client.h"
#include "wayland_server.h"

using namespace std::chrono_literals;

namespace {

gamma_table random_table(std::size_t size, unsigned seed) {
    std::mt19937 gen(seed);
    std::uniform_int_distribution<int> value(0, 65535);
    gamma_table t(3 * size);
    for (std::uint16_t& e : t) {
        e = static_cast<std::uint16_t>(value(gen));
    }
    return t;
}

std::size_t index_of(const std::vector<std::string>& lines, const std::string& line) {
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (lines[i] == line) {
            return i;
        }
    }
    return lines.size();
}

// A client that dispatches until `pred` holds, or gives up after `limit`.
template <typename Pred>
bool dispatch_until(gamma_client& client, Pred pred, std::chrono::milliseconds limit = 5s) {
    return eventually([&] { return client.dispatch_for(5) && pred(); }, limit);
}

}  // namespace

TEST(TestCompositor, OutputsAndSizesAndExactTablesLogged) {
    auto comp = start_test_compositor({.outputs = {256, 1024}});
    ASSERT_TRUE(comp);
    gamma_client client(comp->socket_path());
    ASSERT_TRUE(client.connected());
    ASSERT_TRUE(client.has_manager());
    ASSERT_EQ(client.outputs().size(), 2u);
    EXPECT_EQ(client.outputs()[0].name, "TEST-0");
    EXPECT_EQ(client.outputs()[1].name, "TEST-1");

    const std::size_t c0 = client.get_control(0);
    const std::size_t c1 = client.get_control(1);
    ASSERT_TRUE(client.roundtrip());
    EXPECT_EQ(client.control(c0).size, 256u);
    EXPECT_EQ(client.control(c1).size, 1024u);
    EXPECT_TRUE(comp->wait_for_line("control 0 size 256 client 1"));
    EXPECT_TRUE(comp->wait_for_line("control 1 size 1024 client 1"));

    const gamma_table t0 = random_table(256, 1);
    const gamma_table t1 = random_table(1024, 2);
    client.set_gamma(c0, t0);
    client.set_gamma(c1, t1);
    // The table is read from the fd's offset on, not from the file's start.
    gamma_table junk_first(1, 0xdead);
    junk_first.insert(junk_first.end(), t0.rbegin(), t0.rend());
    const int offset_fd = memfd_with(junk_first.data(), junk_first.size() * 2);
    lseek(offset_fd, 2, SEEK_SET);
    client.set_gamma_fd(c0, offset_fd);
    close(offset_fd);
    ASSERT_TRUE(client.roundtrip());
    ASSERT_TRUE(comp->wait_for_line("set 1"));

    const auto tables = comp->set_tables();
    ASSERT_EQ(tables.count(0), 1u);
    ASSERT_EQ(tables.count(1), 1u);
    ASSERT_EQ(tables.at(0).size(), 2u);
    EXPECT_EQ(tables.at(0)[0], t0);
    EXPECT_EQ(tables.at(0)[1], gamma_table(t0.rbegin(), t0.rend()));
    EXPECT_EQ(tables.at(1), std::vector<gamma_table>{t1});
    EXPECT_TRUE(comp->lines("error").empty());
}

TEST(TestCompositor, NoManagerStillHasOutputs) {
    auto comp = start_test_compositor({.manager = false});
    ASSERT_TRUE(comp);
    gamma_client client(comp->socket_path());
    ASSERT_TRUE(client.connected());
    EXPECT_FALSE(client.has_manager());
    EXPECT_EQ(client.outputs().size(), 1u);
}

// An fd to send, and one to keep open until the compositor has read (or -1).
struct fd_pair {
    int send = -1;
    int keep = -1;
};

struct bad_file {
    const char* name;
    std::function<fd_pair(const gamma_table&)> make;  // something other than one table
    const char* logged;                               // the log line's start
};

void PrintTo(const bad_file& file, std::ostream* os) {
    *os << file.name;
}

class BadTableFile : public ::testing::TestWithParam<bad_file> {};

TEST_P(BadTableFile, IsAProtocolErrorThatDisconnects) {
    auto comp = start_test_compositor();
    ASSERT_TRUE(comp);
    gamma_client client(comp->socket_path());
    const std::size_t c = client.get_control(0);
    ASSERT_TRUE(client.roundtrip());
    ASSERT_EQ(client.control(c).size, 256u);

    const fd_pair fds = GetParam().make(random_table(256, 3));
    ASSERT_GE(fds.send, 0);
    client.set_gamma_fd(c, fds.send);
    close(fds.send);
    EXPECT_FALSE(client.roundtrip());
    if (fds.keep >= 0) {
        close(fds.keep);
    }
    std::uint32_t code = 0;
    EXPECT_EQ(client.protocol_error(&code), "zwlr_gamma_control_v1");
    EXPECT_EQ(code, 1u);  // invalid_gamma

    ASSERT_TRUE(comp->wait_for_line("client 1 disconnected"));
    const auto lines = comp->log_lines();
    EXPECT_EQ(comp->lines("error 0").size(), 1u) << comp->log();
    EXPECT_EQ(comp->lines(GetParam().logged).size(), 1u) << comp->log();
    EXPECT_LT(index_of(lines, "restored 0 disconnect"), index_of(lines, "client 1 disconnected"));
    EXPECT_TRUE(comp->set_tables().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Files, BadTableFile,
    ::testing::Values(
        bad_file{
            "Short",
            [](const gamma_table& t) { return fd_pair{memfd_with(t.data(), t.size() * 2 - 2)}; },
            "error 0 short 1534/1536"},
        bad_file{"Long",
                 [](const gamma_table& t) {
                     gamma_table longer = t;
                     longer.push_back(0);
                     return fd_pair{memfd_with(longer.data(), longer.size() * 2)};
                 },
                 "error 0 long >1536"},
        bad_file{"Empty", [](const gamma_table&) { return fd_pair{memfd_with(nullptr, 0)}; },
                 "error 0 short 0/1536"},
        // The right length in all, but two bytes of it already behind the offset.
        bad_file{"PastOffset",
                 [](const gamma_table& t) {
                     const int fd = memfd_with(t.data(), t.size() * 2);
                     lseek(fd, 2, SEEK_SET);
                     return fd_pair{fd};
                 },
                 "error 0 short 1534/1536"},
        bad_file{"WriteOnly",
                 [](const gamma_table&) { return fd_pair{open("/dev/null", O_WRONLY)}; },
                 "error 0 unreadable EBADF"},
        // A pipe whose writer is still open has no end of file to find.
        bad_file{"OpenPipe",
                 [](const gamma_table& t) {
                     int p[2];
                     if (pipe(p) != 0 || write(p[1], t.data(), t.size() * 2) < 0) {
                         return fd_pair{};
                     }
                     return fd_pair{p[0], p[1]};
                 },
                 "error 0 unreadable EAGAIN-after-table"}),
    [](const auto& info) { return std::string(info.param.name); });

// Rewinding between two sends does not help: both requests reach the
// compositor before it reads either, and the file offset is shared, so the
// second read starts where the first ended.
TEST(TestCompositor, ReusedFileFailsEvenWhenRewound) {
    auto comp = start_test_compositor();
    ASSERT_TRUE(comp);
    gamma_client client(comp->socket_path());
    const std::size_t c = client.get_control(0);
    ASSERT_TRUE(client.roundtrip());
    const gamma_table t = random_table(256, 4);
    const int fd = memfd_with(t.data(), t.size() * 2);
    client.set_gamma_fd(c, fd);
    lseek(fd, 0, SEEK_SET);
    client.set_gamma_fd(c, fd);
    close(fd);
    EXPECT_FALSE(client.roundtrip());
    ASSERT_TRUE(comp->wait_for_line("client 1 disconnected"));
    EXPECT_EQ(comp->set_tables()[0], std::vector<gamma_table>{t});
    EXPECT_EQ(comp->lines("error 0 short 0/1536").size(), 1u) << comp->log();
}

TEST(TestCompositor, RefusesNoGammaHeldAndSecondControls) {
    auto comp = start_test_compositor({.outputs = {0, 256, 256}, .held = {2}});
    ASSERT_TRUE(comp);
    gamma_client first(comp->socket_path());
    const std::size_t none = first.get_control(0);
    const std::size_t mine = first.get_control(1);
    const std::size_t held = first.get_control(2);
    const std::size_t again = first.get_control(1);
    ASSERT_TRUE(first.roundtrip());
    EXPECT_TRUE(first.control(none).failed);
    EXPECT_EQ(first.control(mine).size, 256u);
    EXPECT_FALSE(first.control(mine).failed);
    EXPECT_TRUE(first.control(held).failed);
    EXPECT_TRUE(first.control(again).failed);

    gamma_client second(comp->socket_path());
    std::size_t theirs = second.get_control(1);
    ASSERT_TRUE(second.roundtrip());
    EXPECT_TRUE(second.control(theirs).failed);

    // Once the holder lets go, the output is free for the next.
    first.destroy_control(mine);
    ASSERT_TRUE(first.roundtrip());
    theirs = second.get_control(1);
    ASSERT_TRUE(second.roundtrip());
    EXPECT_EQ(second.control(theirs).size, 256u);

    const auto lines = comp->log_lines();
    for (const char* line :
         {"failed 0 no-gamma client 1", "control 1 size 256 client 1", "failed 2 held client 1",
          "failed 1 held client 1", "failed 1 held client 2", "destroy 1", "restored 1 destroy",
          "control 1 size 256 client 2"}) {
        EXPECT_LT(index_of(lines, line), lines.size()) << line << "\n" << comp->log();
    }
}

TEST(TestCompositor, SilentOutputNeverAnswers) {
    auto comp = start_test_compositor({.silent = {0}});
    ASSERT_TRUE(comp);
    gamma_client client(comp->socket_path());
    const std::size_t c = client.get_control(0);
    ASSERT_TRUE(client.roundtrip());
    client.dispatch_for(100);
    EXPECT_EQ(client.control(c).size, 0u);
    EXPECT_FALSE(client.control(c).failed);
    client.set_gamma(c, random_table(256, 5));
    ASSERT_TRUE(client.roundtrip());
    EXPECT_TRUE(comp->wait_for_line("control 0 silent client 1"));
    EXPECT_TRUE(comp->wait_for_line("ignored 0 set_gamma"));
}

TEST(TestCompositor, DisconnectRestoresBeforeTheClientIsGone) {
    auto comp = start_test_compositor({.outputs = {256, 256}});
    ASSERT_TRUE(comp);
    {
        gamma_client client(comp->socket_path());
        client.get_control(0);
        client.get_control(1);
        ASSERT_TRUE(client.roundtrip());
    }
    ASSERT_TRUE(comp->wait_for_line("client 1 disconnected"));
    const auto lines = comp->log_lines();
    const std::size_t gone = index_of(lines, "client 1 disconnected");
    EXPECT_LT(index_of(lines, "restored 0 disconnect"), gone) << comp->log();
    EXPECT_LT(index_of(lines, "restored 1 disconnect"), gone) << comp->log();
}

// remove withdraws the global and sends the control nothing; add brings a
// new output; fail sends failed.
TEST(TestCompositor, RemoveAddAndFailCommands) {
    auto comp = start_test_compositor({.outputs = {256, 256}});
    ASSERT_TRUE(comp);
    gamma_client client(comp->socket_path());
    const std::size_t c0 = client.get_control(0);
    const std::size_t c1 = client.get_control(1);
    ASSERT_TRUE(client.roundtrip());

    ASSERT_TRUE(comp->command("remove 0"));
    ASSERT_TRUE(dispatch_until(client, [&] { return client.outputs()[0].removed; }));
    EXPECT_FALSE(client.control(c0).failed);
    client.set_gamma(c0, random_table(256, 6));
    ASSERT_TRUE(client.roundtrip());

    ASSERT_TRUE(comp->command("fail 1"));
    ASSERT_TRUE(dispatch_until(client, [&] { return client.control(c1).failed; }));

    ASSERT_TRUE(comp->command("add 128"));
    ASSERT_TRUE(dispatch_until(client, [&] { return client.outputs().size() == 3; }));
    ASSERT_TRUE(client.roundtrip());  // the new output's own events
    EXPECT_EQ(client.outputs()[2].name, "TEST-2");
    const std::size_t c2 = client.get_control(2);
    ASSERT_TRUE(client.roundtrip());
    EXPECT_EQ(client.control(c2).size, 128u);

    ASSERT_TRUE(comp->command("remove 0"));  // no longer there
    ASSERT_TRUE(comp->wait_for_line("bad command remove 0"));
    const auto lines = comp->log_lines();
    for (const char* line : {"output removed 0", "restored 0 removed", "ignored 0 set_gamma",
                             "failed 1 command client 1", "restored 1 failed",
                             "output added 2 size 128", "control 2 size 128 client 1"}) {
        EXPECT_LT(index_of(lines, line), lines.size()) << line << "\n" << comp->log();
    }
    EXPECT_TRUE(comp->set_tables().empty());
}

TEST(TestCompositor, StallLeavesRequestsUnreadThenTakesThem) {
    auto comp = start_test_compositor();
    ASSERT_TRUE(comp);
    gamma_client client(comp->socket_path());
    const std::size_t c = client.get_control(0);
    ASSERT_TRUE(client.roundtrip());
    ASSERT_TRUE(comp->command("stall 400"));
    ASSERT_TRUE(comp->wait_for_line("stall 400"));
    const auto sent = std::chrono::steady_clock::now();
    client.set_gamma(c, random_table(256, 7));
    ASSERT_TRUE(client.roundtrip());
    EXPECT_GE(std::chrono::steady_clock::now() - sent, 300ms);
    const auto lines = comp->log_lines();
    EXPECT_LT(index_of(lines, "stall end"), lines.size() - 1);
    EXPECT_EQ(lines.back().rfind("set 0 256 ", 0), 0u);
}

TEST(TestCompositor, QuitDisconnectsClientsAndExits) {
    auto comp = start_test_compositor();
    ASSERT_TRUE(comp);
    gamma_client client(comp->socket_path());
    client.get_control(0);
    ASSERT_TRUE(client.roundtrip());
    const exit_result r = comp->quit();
    EXPECT_TRUE(r.exited);
    EXPECT_EQ(r.code, 0);
    EXPECT_FALSE(client.roundtrip());
    const auto lines = comp->log_lines();
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(std::vector<std::string>(lines.end() - 3, lines.end()),
              (std::vector<std::string>{"quit", "restored 0 disconnect", "client 1 disconnected"}));
}

// What the Wayland backend meets on a real compositor: headless outputs have
// no gamma, so sway answers failed.
TEST(HeadlessSway, WaylandSocketAnswersAndGammaFails) {
    if (!on_path("sway")) {
        GTEST_SKIP() << "sway is not installed";
    }
    std::string why;
    auto sway = start_sway_headless(why);
    if (!sway) {
        GTEST_SKIP() << "sway does not start here: " << why;
    }
    std::cout << "sway headless started in " << sway->startup_time().count() << " ms\n";
    gamma_client client(sway->wayland_socket());
    ASSERT_TRUE(client.connected());
    ASSERT_TRUE(client.has_manager());
    ASSERT_EQ(client.outputs().size(), 1u);
    EXPECT_EQ(client.outputs()[0].name, "HEADLESS-1");
    const std::size_t c = client.get_control(0);
    ASSERT_TRUE(client.roundtrip());
    EXPECT_TRUE(client.control(c).failed);
    EXPECT_EQ(client.control(c).size, 0u);
}

class HeadlessSwayX : public ::testing::TestWithParam<bool> {};

// XWayland takes an X client of sway's user, whether it starts with sway or
// with that client; as root, sway's user is not the test's, and XWayland
// turns the test's own connection away.
TEST_P(HeadlessSwayX, XWaylandAnswersSwaysUserOnly) {
    if (!on_path("sway") || !on_path("Xwayland") || !on_path("xdpyinfo")) {
        GTEST_SKIP() << "needs sway, Xwayland and xdpyinfo";
    }
    std::string why;
    auto sway = start_sway_headless(why, GetParam());
    if (!sway) {
        GTEST_SKIP() << "sway does not start here: " << why;
    }
    ASSERT_FALSE(sway->x_display().empty()) << sway->log();
    const auto started = std::chrono::steady_clock::now();
    const exit_result as_sway = wait_exit(sway->spawn_client({"xdpyinfo"}), 20s);
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - started);
    std::cout << "sway " << sway->startup_time().count() << " ms, then the first X client "
              << took.count() << " ms (XWayland " << (GetParam() ? "at start" : "lazy") << ")\n";
    EXPECT_TRUE(as_sway.exited) << sway->log();
    EXPECT_EQ(as_sway.code, 0) << sway->log();
    if (sway->user()) {
        const exit_result as_root =
            wait_exit(spawn({"xdpyinfo"}, {sway->x_display(), {}, {}, {}}), 20s);
        EXPECT_TRUE(as_root.exited);
        EXPECT_NE(as_root.code, 0);
    }
}

INSTANTIATE_TEST_SUITE_P(XWayland, HeadlessSwayX, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "AtStart" : "Lazy"; });
