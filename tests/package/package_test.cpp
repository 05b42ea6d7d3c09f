// The Debian package as CPack builds it from this build, unpacked with
// dpkg-deb -x (not installed), and the unpacked gammawave run on Xvfb.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <set>
#include <sstream>

#include "x_server.h"

using namespace std::chrono_literals;

namespace {

struct command_result {
    exit_result exit;
    std::string out;
};

command_result run_command(const std::vector<std::string>& argv, const std::string& dir) {
    const pid_t pid = spawn(argv, {std::nullopt, {}, dir + "/cmd.out", dir + "/cmd.err"});
    const exit_result r = wait_exit(pid, 120s);
    return {r, read_file(dir + "/cmd.out") + read_file(dir + "/cmd.err")};
}

std::string first_line(const std::string& text) {
    return text.substr(0, text.find('\n'));
}

class Package : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir = temp_dir();
        const std::string arch = first_line(run_command({"dpkg", "--print-architecture"}, dir).out);
        deb = dir + "/gammawave_" GAMMAWAVE_VERSION "_" + arch + ".deb";
        built = run_command({CPACK_BIN, "-G", "DEB", "-B", dir, "--config", CPACK_CONFIG}, dir);
        unpacked = dir + "/root";
        run_command({"dpkg-deb", "-x", deb, unpacked}, dir);
    }
    static void TearDownTestSuite() { remove_tree(dir); }
    void SetUp() override {
        ASSERT_EQ(built.exit.code, 0) << built.out;
        ASSERT_FALSE(read_file(deb).empty()) << "no " << deb << " after\n" << built.out;
    }
    static std::string field(const std::string& name) {
        return run_command({"dpkg-deb", "-f", deb, name}, dir).out;
    }
    static std::string dir, deb, unpacked;
    static command_result built;
};
std::string Package::dir, Package::deb, Package::unpacked;
command_result Package::built;

}  // namespace

TEST_F(Package, ControlFieldsNameVersionDependenciesAndDescription) {
    EXPECT_EQ(field("Package"), "gammawave\n");
    EXPECT_EQ(field("Version"), GAMMAWAVE_VERSION "\n");
    // Computed from the binaries: the X and PNG libraries they link.
    const std::string depends = field("Depends");
    for (const char* lib : {"libc6", "libstdc++6", "libxcb1", "libxcb-randr0", "libpng16-16"}) {
        EXPECT_NE(depends.find(lib), std::string::npos) << lib << " missing from " << depends;
    }
    // A short description line, then a long one, each continuation line
    // indented by a space and short enough for a terminal, as Debian wants.
    const std::string description = field("Description");
    std::istringstream lines(description);
    std::string line;
    std::getline(lines, line);
    EXPECT_FALSE(line.empty());
    int long_lines = 0;
    while (std::getline(lines, line)) {
        EXPECT_EQ(line.substr(0, 1), " ") << line;
        EXPECT_LE(line.size(), 80u) << line;
        ++long_lines;
    }
    EXPECT_GE(long_lines, 2) << description;
}

TEST_F(Package, HoldsTheProgramsManPagesAndLicenceOnly) {
    // One line per entry: mode, owner, size, date, time, path.
    std::istringstream listing(run_command({"dpkg-deb", "-c", deb}, dir).out);
    std::set<std::string> files;
    std::string line;
    while (std::getline(listing, line)) {
        if (!line.empty() && line.front() != 'd') {
            files.insert(line.substr(line.rfind(' ') + 1));
            EXPECT_NE(line.find(" root/root "), std::string::npos) << line;
        }
    }
    const std::set<std::string> expected = {"./usr/bin/gammawave",
                                            "./usr/bin/gammawave-view",
                                            "./usr/share/man/man1/gammawave.1.gz",
                                            "./usr/share/man/man1/gammawave-view.1.gz",
                                            "./usr/share/doc/gammawave/copyright",
                                            "./usr/lib/gammawave/gammawave-wayland.so",
                                            "./usr/lib/gammawave/gammawave-mutter.so"};
    EXPECT_EQ(files, expected);

    for (const char* page : {"gammawave", "gammawave-view"}) {
        const std::string text =
            run_command({"gzip", "-dc", unpacked + "/usr/share/man/man1/" + page + ".1.gz"}, dir)
                .out;
        EXPECT_NE(text.find("\"gammawave " GAMMAWAVE_VERSION "\""), std::string::npos) << page;
    }
    EXPECT_NE(read_file(unpacked + "/usr/share/doc/gammawave/copyright").find("MIT License"),
              std::string::npos);
    const command_result version =
        run_command({unpacked + "/usr/bin/gammawave-view", "--version"}, dir);
    EXPECT_EQ(version.out, "gammawave-view " GAMMAWAVE_VERSION "\n");
}

TEST_F(Package, UnpackedGammawaveRestoresTheRampsOnSigint) {
    x_server server = start_xvfb().value_or(x_server{});
    ASSERT_FALSE(server.display.empty()) << "could not start Xvfb";
    test_display d(server.display);
    // Random ramps, so that a restore to anything but what was there shows.
    d.load(random_ramps(d.ramps(), 11));
    auto entries = [&d] {
        std::vector<std::vector<std::uint16_t>> out;
        for (const crtc_ramp& r : d.ramps()) {
            out.push_back(r.entries);
        }
        return out;
    };
    const auto loaded = entries();

    const pid_t pid = spawn({unpacked + "/usr/bin/gammawave"}, {server.display, {}, {}, {}});
    EXPECT_TRUE(eventually([&] { return entries() != loaded; }, 5s)) << "it never animated";
    kill(pid, SIGINT);
    const exit_result r = wait_exit(pid, 10s);
    EXPECT_TRUE(r.exited);
    EXPECT_EQ(r.code, 2);
    EXPECT_EQ(entries(), loaded);
    stop_x_server(server);
}

// libsystemd comes with the Mutter module alone, which the unpacked program
// finds where the package puts it, and loads only when Mutter is tried.
TEST_F(Package, UnpackedGammawaveLoadsTheMutterModuleOnlyForMutter) {
    x_server server = start_xvfb().value_or(x_server{});
    ASSERT_FALSE(server.display.empty()) << "could not start Xvfb";
    test_display d(server.display);
    const auto entries = [&d] {
        std::vector<std::vector<std::uint16_t>> out;
        for (const crtc_ramp& r : d.ramps()) {
            out.push_back(r.entries);
        }
        return out;
    };
    d.load(random_ramps(d.ramps(), 12));
    const auto before = entries();
    // On X11 until the first frame; with no display at all the program tries
    // Mutter, finds no bus, and ends.
    const auto loaded = [&](const std::string& display) {
        const std::string err = dir + "/ld.err";
        const pid_t pid =
            spawn({unpacked + "/usr/bin/gammawave"},
                  {display,
                   {{"LD_DEBUG", "files"}, {"DBUS_SESSION_BUS_ADDRESS", "unix:path=/x"}},
                   dir + "/ld.out",
                   err});
        if (!display.empty()) {
            EXPECT_TRUE(eventually([&] { return entries() != before; }, 5s));
            kill(pid, SIGINT);
        }
        EXPECT_TRUE(wait_exit(pid, 10s).exited);
        return read_file(err);
    };
    const std::string x11 = loaded(server.display);
    EXPECT_EQ(x11.find("libsystemd"), std::string::npos) << x11;
    EXPECT_EQ(x11.find("gammawave-mutter.so"), std::string::npos) << x11;
    const std::string mutter = loaded(std::string{});  // no display: Mutter is tried
    EXPECT_NE(mutter.find("file=" + unpacked + "/usr/bin/../lib/gammawave/gammawave-mutter.so"),
              std::string::npos)
        << mutter;
    EXPECT_NE(mutter.find("libsystemd.so.0 [0];  needed by"), std::string::npos) << mutter;
    stop_x_server(server);
}
