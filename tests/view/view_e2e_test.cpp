// gammawave-view against a real Xvfb holding ramps the test loaded.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <png.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include "ramp_view.h"
#include "wave.h"
#include "x_server.h"

using namespace std::chrono_literals;

namespace {

struct view_result {
    exit_result exit;
    std::string out;
    std::string err;
};

view_result run_view(std::optional<std::string> display, std::vector<std::string> args,
                     std::vector<std::pair<std::string, std::string>> env = {}) {
    const std::string dir = temp_dir();
    args.insert(args.begin(), GAMMAWAVE_VIEW_BIN);
    const pid_t pid = spawn(args, {std::move(display), std::move(env), dir + "/out", dir + "/err"});
    view_result r{wait_exit(pid, 20s), read_file(dir + "/out"), read_file(dir + "/err")};
    remove_tree(dir);
    return r;
}

class View : public ::testing::Test {
protected:
    static void SetUpTestSuite() { server = start_xvfb().value_or(x_server{}); }
    static void TearDownTestSuite() { stop_x_server(server); }
    void SetUp() override { ASSERT_FALSE(server.display.empty()) << "could not start Xvfb"; }
    static x_server server;
};
x_server View::server;

std::vector<std::uint8_t> decode_png(const std::string& path, png_uint_32& width,
                                     png_uint_32& height) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&image, path.c_str())) {
        return {};
    }
    image.format = PNG_FORMAT_RGB;
    std::vector<std::uint8_t> pixels(PNG_IMAGE_SIZE(image));
    if (!png_image_finish_read(&image, nullptr, pixels.data(), 0, nullptr)) {
        return {};
    }
    width = image.width;
    height = image.height;
    return pixels;
}

}  // namespace

TEST_F(View, PlainTextNamesPeakLevels) {
    test_display d(server.display);
    std::vector<crtc_ramp> ramps = d.ramps();
    ASSERT_EQ(ramps.size(), 1u);
    const std::int32_t phases[] = {0, 90, 270};
    for (std::size_t c = 0; c < 3; ++c) {
        render_channel_curve(phases[c],
                             std::span<std::uint16_t, 256>(ramps[0].entries.data() + c * 256, 256));
    }
    d.load(ramps);

    const view_result r = run_view(server.display, {"--seconds", "0.1"});
    EXPECT_TRUE(r.exit.exited);
    EXPECT_EQ(r.exit.code, 0) << r.err;
    EXPECT_NE(r.out.find("peak red 128 green 48 blue 208"), std::string::npos) << r.out;
}

TEST_F(View, TimelinePictureHoldsTheRamp) {
    test_display d(server.display);
    const std::vector<crtc_ramp> ramps = random_ramps(d.ramps(), 42);
    d.load(ramps);
    const std::string dir = temp_dir();
    const std::string png = dir + "/timeline.png";

    const view_result r = run_view(server.display, {"--png", png, "--seconds", "0.3"});
    ASSERT_EQ(r.exit.code, 0) << r.err;
    png_uint_32 width = 0;
    png_uint_32 height = 0;
    const std::vector<std::uint8_t> pixels = decode_png(png, width, height);
    remove_tree(dir);
    ASSERT_FALSE(pixels.empty());
    EXPECT_EQ(width, 256u);
    EXPECT_GE(height, 4u);  // about 20 samples a second
    EXPECT_LE(height, 8u);
    for (png_uint_32 row : {png_uint_32{0}, height - 1}) {
        for (std::size_t level = 0; level < 256; ++level) {
            for (std::size_t c = 0; c < 3; ++c) {
                ASSERT_EQ(pixels[(row * 256 + level) * 3 + c],
                          to_8bit(ramps[0].entries[c * 256 + level]))
                    << "row " << row << " level " << level << " channel " << c;
            }
        }
    }
}

TEST_F(View, BadArgumentsExitTwoNamingThem) {
    // Each bad command line, and the word its error must name.
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"--bogus"}, "'--bogus'"},
        {{"--seconds", "soon"}, "'soon'"},
        {{"--seconds", "-1"}, "'-1'"},
        {{"--png", "x.png"}, "'--seconds N'"},
        {{"--png"}, "'--png' needs a value"}};
    for (const auto& [args, named] : cases) {
        const view_result r = run_view(server.display, args);
        EXPECT_EQ(r.exit.code, 2) << args[0];
        EXPECT_NE(r.err.find(named), std::string::npos) << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        EXPECT_EQ(r.out, "");
    }
    const view_result help = run_view(server.display, {"--help"});
    EXPECT_EQ(help.exit.code, 0);
    EXPECT_NE(help.out.find("usage: gammawave-view"), std::string::npos);
    const view_result version = run_view(server.display, {"--version"});
    EXPECT_EQ(version.exit.code, 0);
    EXPECT_EQ(version.out, "gammawave-view " GAMMAWAVE_VERSION "\n");
}

// In a terminal the live view hides the cursor while it redraws in place; a
// lost display ends it with status 1, and the cursor must come back.
TEST(ViewInTerminal, LostDisplayShowsTheCursorAgain) {
    x_server own = start_xvfb().value_or(x_server{});
    ASSERT_FALSE(own.display.empty()) << "could not start Xvfb";
    const int terminal = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(terminal, 0);
    ASSERT_EQ(grantpt(terminal), 0);
    ASSERT_EQ(unlockpt(terminal), 0);
    const std::string dir = temp_dir();
    const pid_t pid =
        spawn({GAMMAWAVE_VIEW_BIN}, {own.display, {}, ptsname(terminal), dir + "/err"});

    // Read the terminal all along: a full one would stall the view.
    std::string shown;
    auto drain = [&] {
        pollfd p{terminal, POLLIN, 0};
        char buf[4096];
        while (poll(&p, 1, 0) > 0 && (p.revents & POLLIN) != 0) {
            const ssize_t n = read(terminal, buf, sizeof buf);
            if (n <= 0) {
                break;
            }
            shown.append(buf, static_cast<std::size_t>(n));
        }
    };
    EXPECT_TRUE(eventually(
        [&] {
            drain();
            return shown.find("frames/s") != std::string::npos;
        },
        5s));
    stop_x_server(own);
    int status = 0;
    const bool ended = eventually(
        [&] {
            drain();
            return waitpid(pid, &status, WNOHANG) == pid;
        },
        10s);
    drain();
    close(terminal);
    const std::string err = read_file(dir + "/err");
    remove_tree(dir);

    ASSERT_TRUE(ended);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << err;
    EXPECT_NE(err.find("lost the display"), std::string::npos) << err;
    const std::size_t hidden = shown.rfind("\x1b[?25l");
    const std::size_t back = shown.rfind("\x1b[?25h");
    ASSERT_NE(hidden, std::string::npos);
    EXPECT_TRUE(back != std::string::npos && back > hidden) << "the cursor stays hidden";
}

TEST(ViewWithoutDisplay, ExitsOneWithOneLine) {
    for (const std::string display : {"", ":4999"}) {
        const view_result r = run_view(display, {"--seconds", "0.1"});
        EXPECT_TRUE(r.exit.exited);
        EXPECT_EQ(r.exit.code, 1) << display;
        EXPECT_NE(r.err.find("cannot open the display"), std::string::npos) << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    }
    // Only Wayland here: it says so.
    const view_result r =
        run_view(std::string{}, {"--seconds", "0.1"}, {{"WAYLAND_DISPLAY", "wayland-0"}});
    EXPECT_EQ(r.exit.code, 1);
    EXPECT_NE(r.err.find("reads X11 gamma only"), std::string::npos) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
}
