// The Windows builds of gammawave under wine, against the Xorg dummy server.
//
// Wine's GDI device gamma drives the server's XFree86-VidMode gamma ramp
// (on the dummy driver a store of its own, apart from the RandR CRTC
// ramps), so that is the ramp these tests load and read, the way wine does.
//
// Wine, like Windows, refuses ramps that do not rise from entry 0 to entry
// 255 and stay between those two; no phase of gammawave's curve passes, so
// under wine every frame is refused and the screen itself never changes.
// What can be shown is that the program loads a frame about every 10 ms,
// that the restore loads exactly the ramp read at start, and that it is the
// last ramp loaded. Wine's relay trace of gdi32's gamma calls shows the calls
// and their results.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <regex>
#include <sstream>

#include "vidmode_gamma.h"
#include "x_server.h"

using namespace std::chrono_literals;

namespace {

std::vector<std::string> windows_builds() {
    std::vector<std::string> exes;
    std::istringstream list(GAMMAWAVE_WINDOWS_EXES);
    for (std::string exe; std::getline(list, exe, '|');) {
        if (!exe.empty()) {
            exes.push_back(exe);
        }
    }
    return exes;
}

bool is_32_bit(const std::string& exe) {
    return exe.find("x86/") != std::string::npos;
}

// Debian's loaders: /usr/bin/wine always starts the 32-bit one first.
std::string loader_for(const std::string& exe) {
    return is_32_bit(exe) ? "/usr/lib/wine/wine" : "/usr/lib/wine/wine64";
}

// The 32-bit loader is a 32-bit Linux program: it needs the kernel's IA-32
// emulation.
bool can_run_32_bit() {
    const pid_t pid = spawn({"/usr/lib/wine/wine", "--version"}, {std::string{}, {}, {}, {}});
    return wait_exit(pid, 20s).code == 0;
}

// A plain gamma curve per channel, which wine accepts.
vidmode_ramp gamma_curves(double base) {
    vidmode_ramp ramp(768);
    for (std::size_t c = 0; c < 3; ++c) {
        const double gamma = base + 0.3 * static_cast<double>(c);
        for (std::size_t i = 0; i < 256; ++i) {
            ramp[c * 256 + i] = static_cast<unsigned short>(65535 * std::pow(i / 255.0, gamma));
        }
    }
    return ramp;
}

// Wine lists one display or several (one per monitor of the server, as it
// chooses); each one's ramp is read at start and loaded once by the restore.
struct gamma_calls {
    int displays = 0;  // ramps read before the first frame
    int refused_frames = 0;
    int loaded = 0;
    bool loaded_last = false;  // the last SetDeviceGammaRamp call was accepted
};

gamma_calls count_calls(const std::string& trace) {
    gamma_calls calls;
    std::istringstream in(trace);
    bool framed = false;
    for (std::string line; std::getline(in, line);) {
        const bool ok = line.find("retval=00000001") != std::string::npos;
        if (line.find("Ret  gdi32.GetDeviceGammaRamp") != std::string::npos) {
            calls.displays += ok && !framed ? 1 : 0;
        }
        if (line.find("Ret  gdi32.SetDeviceGammaRamp") == std::string::npos) {
            continue;
        }
        framed = true;
        calls.refused_frames += ok ? 0 : 1;
        calls.loaded += ok ? 1 : 0;
        calls.loaded_last = ok;
    }
    return calls;
}

int count_of(const std::string& text, const std::string& line) {
    int n = 0;
    for (auto at = text.find(line); at != std::string::npos; at = text.find(line, at + 1)) {
        ++n;
    }
    return n;
}

// Each listing of the displays starts with the first adapter.
int listings_in(const std::string& trace) {
    return count_of(trace, "Call user32.EnumDisplayDevicesA(00000000,00000000,");
}

class UnderWine : public ::testing::TestWithParam<std::string> {
protected:
    static void SetUpTestSuite() {
        server = start_xorg_dummy().value_or(x_server{});
        prefix = temp_dir();
        // Creates the prefix on the display and waits until wine has
        // finished setting it up: a program started while it is still being
        // set up finds no display driver. Then limits the relay trace to the
        // gamma calls.
        wine({"/usr/lib/wine/wine64", "wineboot", "-u"});
        wine({"/usr/lib/wine/wineserver", "-w"});
        wine({"/usr/lib/wine/wine64", "reg", "add", "HKCU\\Software\\Wine\\Debug", "/v",
              "RelayInclude", "/d",
              "gdi32.SetDeviceGammaRamp;gdi32.GetDeviceGammaRamp;user32.EnumDisplayDevicesA",
              "/f"});
    }
    static void TearDownTestSuite() {
        wine({"/usr/lib/wine/wineserver", "-k"});
        stop_x_server(server);
        remove_tree(prefix);
    }
    void SetUp() override {
        if (is_32_bit(GetParam()) && !can_run_32_bit()) {
            GTEST_SKIP() << "this kernel cannot run 32-bit programs (IA-32 emulation is off), "
                            "so 32-bit wine cannot start here";
        }
        if (geteuid() != 0) {
            GTEST_SKIP() << "Xorg with the dummy driver needs root to take our own config";
        }
        ASSERT_FALSE(server.display.empty()) << "could not start Xorg with the dummy driver";
    }
    // A case that failed half-way may leave its copy, or its guard, holding
    // the claim: every later case would then be refused. Ending the prefix's
    // processes keeps one failure one.
    void TearDown() override {
        if (HasFailure()) {
            wine({"/usr/lib/wine/wineserver", "-k"});
        }
    }

    // A private prefix, only the relay trace, and no offer to fetch Mono or Gecko.
    static std::vector<std::pair<std::string, std::string>> wine_env() {
        return {{"WINEPREFIX", prefix},
                {"WINEDEBUG", "-all,+relay"},
                {"WINEDLLOVERRIDES", "mscoree,mshtml="}};
    }

    static void wine(const std::vector<std::string>& argv) {
        wait_exit(spawn(argv, {server.display, wine_env(), {}, {}}), 120s);
    }

    pid_t start(std::optional<std::string> display, const std::string& dir,
                std::vector<std::pair<std::string, std::string>> env = {}) const {
        return start_exe(GetParam(), std::move(display), dir, std::move(env));
    }

    // The build of the same program whose cos faults after about 150 frames
    // (768 calls a frame), built beside it.
    pid_t start_faulting(const std::string& fault, const std::string& dir) const {
        const std::string exe = GetParam();
        const std::string faulting = exe.substr(0, exe.rfind('/')) + "/tests/gammawave_fault.exe";
        return start_exe(faulting, server.display, dir,
                         {{"GAMMAWAVE_FAULT", fault}, {"GAMMAWAVE_FAULT_AFTER", "115200"}});
    }

    static pid_t start_exe(const std::string& exe, std::optional<std::string> display,
                           const std::string& dir,
                           std::vector<std::pair<std::string, std::string>> env) {
        auto all = wine_env();
        for (const auto& entry : env) {  // in place of wine_env's, where it names one
            auto same = std::find_if(all.begin(), all.end(),
                                     [&](const auto& e) { return e.first == entry.first; });
            same != all.end() ? void(*same = entry) : all.push_back(entry);
        }
        return spawn({loader_for(exe), exe},
                     {std::move(display), std::move(all), dir + "/out", dir + "/trace"});
    }

    void loads_frames_then_restores_last(bool session_end) const;

    // The primary display's new size, "W H", set through the build's helper.
    void mode(const std::string& size) const {
        const std::string exe = GetParam();
        const std::string helper = exe.substr(0, exe.rfind('/')) + "/tests/display_mode.exe";
        const auto space = size.find(' ');
        const exit_result r = wait_exit(
            spawn({loader_for(exe), helper, size.substr(0, space), size.substr(space + 1)},
                  {server.display, wine_env(), {}, {}}),
            60s);
        ASSERT_TRUE(r.exited && r.code == 0) << size;
    }

    static x_server server;
    static std::string prefix;
};
x_server UnderWine::server;
std::string UnderWine::prefix;

}  // namespace

// Ends by Ctrl+C, or by the end of the session: wineboot sends every
// top-level window WM_QUERYENDSESSION and WM_ENDSESSION, as Windows does at
// logoff or shutdown, then ends the process.
void UnderWine::loads_frames_then_restores_last(bool session_end) const {
    // The server keeps the ramp at its own precision, so what the program
    // reads at start, and must put back, is the ramp as read back.
    vidmode_ramp loaded = gamma_curves(0.7);
    vidmode_ramp at_start;
    ASSERT_TRUE(vidmode_gamma(server.display, loaded, true));
    ASSERT_TRUE(vidmode_gamma(server.display, at_start, false));
    const std::string dir = temp_dir();
    const pid_t pid = start(server.display, dir);

    // About 100 frames a second once wine is up; wait for a second's worth.
    const auto trace = [&] { return read_file(dir + "/trace"); };
    ASSERT_TRUE(eventually([&] { return count_calls(trace()).refused_frames >= 100; }, 60s))
        << trace().substr(0, 2000);
    if (!session_end) {
        // A mode change there and back: each WM_DISPLAYCHANGE lists the
        // displays again, and the display kept keeps the ramp read at start.
        for (const auto& [size, listings] : {std::pair{"800 600", 2}, std::pair{"1024 768", 3}}) {
            mode(size);
            ASSERT_TRUE(eventually([&] { return listings_in(trace()) >= listings; }, 60s));
        }
    }
    // Change the ramp behind the program's back: only a real restore brings
    // back what it read at start.
    vidmode_ramp meanwhile = gamma_curves(1.2);
    ASSERT_TRUE(vidmode_gamma(server.display, meanwhile, true));

    if (session_end) {
        wine({"/usr/lib/wine/wine64", "wineboot", "--end-session", "--shutdown"});
    } else {
        kill(pid, SIGINT);
    }
    const exit_result r = wait_exit(pid, 20s);
    EXPECT_FALSE(r.timed_out);
    EXPECT_TRUE(session_end || (r.exited && r.code == SIGINT)) << r.code;
    const gamma_calls calls = count_calls(trace());
    EXPECT_GE(calls.displays, 1);
    EXPECT_EQ(calls.loaded, calls.displays);
    EXPECT_TRUE(calls.loaded_last) << "a frame followed the restore";

    vidmode_ramp now;
    ASSERT_TRUE(vidmode_gamma(server.display, now, false));
    EXPECT_EQ(now, at_start);
    EXPECT_EQ(read_file(dir + "/out"), "");
    // Wine refuses every frame, as Windows does within its default band: the
    // user hears of it once, on stderr.
    EXPECT_EQ(count_of(trace(),
                       "gammawave: Windows refuses these gamma ramps; an administrator "
                       "can allow them by setting the DWORD GdiIcmGammaRange to 256"),
              1);
    if (!session_end) {
        // The confirmed restore stood the guard down: once a next copy holds
        // the claim, which the guard held, a ramp set meanwhile is still there.
        vidmode_ramp after = gamma_curves(0.9), after_read;
        ASSERT_TRUE(vidmode_gamma(server.display, after, true));
        ASSERT_TRUE(vidmode_gamma(server.display, after_read, false));
        const std::string next = temp_dir();
        const pid_t second = start(server.display, next);
        ASSERT_TRUE(eventually(
            [&] { return count_calls(read_file(next + "/trace")).refused_frames >= 1; }, 60s));
        ASSERT_TRUE(vidmode_gamma(server.display, now, false));
        EXPECT_EQ(now, after_read) << "the guard restored after a confirmed restore";
        kill(second, SIGINT);
        wait_exit(second, 20s);
        remove_tree(next);
    }
    remove_tree(dir);
}

TEST_P(UnderWine, LoadsFramesThenRestoresLastOnSigint) {
    loads_frames_then_restores_last(false);
}

TEST_P(UnderWine, LoadsFramesThenRestoresLastAtSessionEnd) {
    loads_frames_then_restores_last(true);
}

// An access violation and stack exhaustion: the saved ramp is restored, it
// is the last ramp loaded, and the status is 11.
TEST_P(UnderWine, FaultsRestoreLastWithStatusEleven) {
    vidmode_ramp loaded = gamma_curves(0.8);
    vidmode_ramp at_start;
    ASSERT_TRUE(vidmode_gamma(server.display, loaded, true));
    ASSERT_TRUE(vidmode_gamma(server.display, at_start, false));
    for (const char* fault : {"null", "stack"}) {
        ASSERT_TRUE(vidmode_gamma(server.display, loaded, true));
        const std::string dir = temp_dir();
        const pid_t pid = start_faulting(fault, dir);
        const exit_result r = wait_exit(pid, 60s);
        EXPECT_TRUE(r.exited) << fault;
        EXPECT_EQ(r.code, SIGSEGV) << fault;
        const gamma_calls calls = count_calls(read_file(dir + "/trace"));
        EXPECT_GE(calls.refused_frames, 100) << fault;
        EXPECT_EQ(calls.loaded, calls.displays) << fault;
        EXPECT_TRUE(calls.loaded_last) << fault << ": a frame followed the restore";
        vidmode_ramp now;
        ASSERT_TRUE(vidmode_gamma(server.display, now, false));
        EXPECT_EQ(now, at_start) << fault;
        remove_tree(dir);
    }
}

// A second copy is refused while the first runs. Then the first is killed
// outright (TerminateProcess, as End task does): its guard puts back the ramp
// read at start, as the last gamma call of the two, and a copy started at
// once takes the display only after that, so it saves and restores the
// original rather than the first one's leftovers.
TEST_P(UnderWine, OneCopyAtATimeAndTheGuardRestoresAfterAKill) {
    vidmode_ramp loaded = gamma_curves(0.75);
    vidmode_ramp at_start;
    ASSERT_TRUE(vidmode_gamma(server.display, loaded, true));
    ASSERT_TRUE(vidmode_gamma(server.display, at_start, false));
    const std::string first = temp_dir(), second = temp_dir(), third = temp_dir();
    const auto refused = [](const std::string& dir) {
        return count_calls(read_file(dir + "/trace")).refused_frames;
    };
    const pid_t pid = start(server.display, first);
    ASSERT_TRUE(eventually([&] { return refused(first) >= 100; }, 60s));

    const exit_result r = wait_exit(start(server.display, second, {{"WINEDEBUG", "-all"}}), 60s);
    EXPECT_TRUE(r.exited && r.code == 1) << r.code;
    EXPECT_EQ(read_file(second + "/out"), "Can't get gamma ramp!\r\n");
    EXPECT_TRUE(std::regex_match(read_file(second + "/trace"),
                                 std::regex("gammawave: another gammawave \\(process [0-9]+\\) is "
                                            "already changing the gamma of this display\r\n")))
        << read_file(second + "/trace");

    vidmode_ramp meanwhile = gamma_curves(1.2);
    ASSERT_TRUE(vidmode_gamma(server.display, meanwhile, true));
    kill(pid, SIGKILL);
    wait_exit(pid, 20s);
    const pid_t next = start(server.display, third);
    const auto restored = [&] {
        const gamma_calls calls = count_calls(read_file(first + "/trace"));
        return calls.displays >= 1 && calls.loaded == calls.displays;
    };
    ASSERT_TRUE(eventually(restored, 60s)) << "the guard restored no display";
    EXPECT_TRUE(count_calls(read_file(first + "/trace")).loaded_last)
        << "a frame followed the guard's restore";
    vidmode_ramp now;
    ASSERT_TRUE(vidmode_gamma(server.display, now, false));
    EXPECT_EQ(now, at_start);

    ASSERT_TRUE(eventually([&] { return refused(third) >= 100; }, 60s));
    kill(next, SIGINT);
    const exit_result ended = wait_exit(next, 20s);
    EXPECT_TRUE(ended.exited && ended.code == SIGINT) << ended.code;
    ASSERT_TRUE(vidmode_gamma(server.display, now, false));
    EXPECT_EQ(now, at_start) << "the next copy saved what the first one left";
    for (const auto& dir : {first, second, third}) {
        remove_tree(dir);
    }
}

TEST_P(UnderWine, NoDisplayMessageAndStatusOne) {
    const std::string dir = temp_dir();
    const pid_t pid = start(std::string{}, dir);
    const exit_result r = wait_exit(pid, 60s);
    EXPECT_TRUE(r.exited);
    EXPECT_EQ(r.code, 1);
    // Standard output is in text mode on Windows: the newline becomes CR LF.
    EXPECT_EQ(read_file(dir + "/out"), "Can't get gamma ramp!\r\n");
    remove_tree(dir);
}

INSTANTIATE_TEST_SUITE_P(Builds, UnderWine, ::testing::ValuesIn(windows_builds()),
                         [](const auto& info) {
                             return std::string(is_32_bit(info.param) ? "x86" : "x64");
                         });
