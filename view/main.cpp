// gammawave-view: shows the gamma ramps a display's CRTCs hold right now,
// live in a terminal, as plain text, or as a timeline picture.
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "ramp_view.h"
#include "timeline_png.h"
#include "x11/x11-gamma.h"

namespace {

constexpr auto sample_interval = std::chrono::milliseconds(50);  // about 20 samples a second
constexpr int strip_cells = 64;

const char* const usage =
    "usage: gammawave-view [--seconds N] [--png FILE --seconds N] [--dump] [--help] [--version]\n"
    "Shows the gamma ramps of the display's CRTCs (the display DISPLAY names).\n"
    "  (default)          live view: a grey strip per CRTC as its ramps render it, the\n"
    "                     input level where each channel peaks, and the frame rate seen;\n"
    "                     plain text lines when standard output is not a terminal\n"
    "  --seconds N        stop after N seconds (default: run until interrupted)\n"
    "  --png FILE         write a timeline picture of the first monitor's CRTC: one row per\n"
    "                     sample, 256 columns of (red, green, blue); needs --seconds\n"
    "  --dump             print every CRTC's full ramps once, one line per CRTC\n"
    "  --help             show this help\n"
    "  --version          show the version\n";

enum class mode { live, png, dump, help, version };

struct options {
    mode what = mode::live;
    std::string png_path;
    double seconds = -1;  // negative: until interrupted
};

volatile sig_atomic_t interrupted = 0;
void on_interrupt(int) {
    interrupted = 1;
}

[[noreturn]] void bad_argument(const std::string& message) {
    std::fprintf(stderr, "gammawave-view: %s (try --help)\n", message.c_str());
    std::exit(2);
}

double parse_seconds(const char* text) {
    char* end = nullptr;
    const double v = std::strtod(text, &end);
    if (end == text || *end != '\0' || !(v > 0) || v > 86400) {
        bad_argument(std::string("bad number of seconds '") + text + "'");
    }
    return v;
}

options parse_arguments(int argc, char** argv) {
    options opt;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool has_value = i + 1 < argc;
        if (arg == "--help" || arg == "-h") {
            opt.what = mode::help;
        } else if (arg == "--version") {
            opt.what = mode::version;
        } else if (arg == "--dump") {
            opt.what = mode::dump;
        } else if (arg == "--png" || arg == "--seconds") {
            if (!has_value) {
                bad_argument("'" + arg + "' needs a value");
            }
            if (arg == "--png") {
                opt.what = mode::png;
                opt.png_path = argv[++i];
            } else {
                opt.seconds = parse_seconds(argv[++i]);
            }
        } else {
            bad_argument("unknown argument '" + arg + "'");
        }
    }
    if (opt.what == mode::png && opt.seconds < 0) {
        bad_argument("'--png' needs '--seconds N'");
    }
    return opt;
}

[[noreturn]] void fail(const char* message) {
    std::fprintf(stderr, "gammawave-view: %s\n", message);
    std::exit(1);
}

void open_view(x_display& d, std::vector<crtc_ramp>& ramps) {
    if (connect_x_display(d) != display_status::ok) {
        const char* wayland = std::getenv("WAYLAND_DISPLAY");
        if (wayland != nullptr && *wayland != '\0') {
            fail(
                "reads X11 gamma only, and this Wayland session has no X display (Wayland "
                "offers no way to read gamma back)");
        }
        fail("cannot open the display, or it lacks RandR 1.2 (is DISPLAY set?)");
    }
    if (read_crtc_ramps(d, ramps) != display_status::ok) {
        fail("cannot read a gamma ramp from any CRTC of the display");
    }
}

void sample(const x_display& d, std::vector<crtc_ramp>& ramps) {
    if (read_crtc_ramps(d, ramps) != display_status::ok) {
        fail("lost the display, or its ramps can no longer be read");
    }
}

// --- Frame rate: frames counted from phase steps over the last second -------

struct rate_meter {
    crtc_ramp last;
    std::deque<std::pair<std::chrono::steady_clock::time_point, int>> steps;
};

std::optional<double> measure(rate_meter& m, const crtc_ramp& now,
                              std::chrono::steady_clock::time_point t) {
    const int frames = m.last.size == 0 ? -1 : frames_between(m.last, now);
    m.last = now;
    if (frames < 0) {
        m.steps.clear();
        return std::nullopt;
    }
    m.steps.emplace_back(t, frames);
    while (m.steps.size() > 2 && t - m.steps.front().first > std::chrono::seconds(1)) {
        m.steps.pop_front();
    }
    if (m.steps.size() < 2) {
        return std::nullopt;
    }
    int total = 0;
    for (std::size_t i = 1; i < m.steps.size(); ++i) {
        total += m.steps[i].second;
    }
    const std::chrono::duration<double> span = m.steps.back().first - m.steps.front().first;
    return total / span.count();
}

std::string rate_text(std::optional<double> fps) {
    char buf[32];
    if (!fps) {
        return "-";
    }
    std::snprintf(buf, sizeof buf, "%.1f", *fps);
    return buf;
}

// --- Output -------------------------------------------------------------------

std::string strip_of(const crtc_ramp& ramp) {
    std::string out;
    char cell[48];
    for (int k = 0; k < strip_cells; ++k) {
        const rgb16 v = output_at_level(ramp, k * 255 / (strip_cells - 1));
        std::snprintf(cell, sizeof cell, "\x1b[48;2;%d;%d;%dm ", to_8bit(v.r), to_8bit(v.g),
                      to_8bit(v.b));
        out += cell;
    }
    return out + "\x1b[0m";
}

// A terminal is redrawn at every sample; plain text, meant for logs, gets
// the first sample at once and then one a second.
bool due_for_text(std::chrono::steady_clock::time_point now) {
    static std::chrono::steady_clock::time_point last{};
    if (last != std::chrono::steady_clock::time_point{} && now - last < std::chrono::seconds(1)) {
        return false;
    }
    last = now;
    return true;
}

// The CRTCs that drive a monitor; all of them where none does.
std::vector<std::size_t> shown(const std::vector<crtc_ramp>& ramps) {
    const bool any_active =
        std::any_of(ramps.begin(), ramps.end(), [](const crtc_ramp& r) { return r.active; });
    std::vector<std::size_t> out;
    for (std::size_t i = 0; i < ramps.size(); ++i) {
        if (ramps[i].active || !any_active) {
            out.push_back(i);
        }
    }
    return out;
}

void print_sample(const std::vector<crtc_ramp>& ramps, std::vector<rate_meter>& meters,
                  bool terminal, std::size_t& lines_drawn) {
    const auto now = std::chrono::steady_clock::now();
    meters.resize(ramps.size());
    const bool print = terminal || due_for_text(now);
    if (terminal && lines_drawn > 0) {
        std::printf("\x1b[%zuA", lines_drawn);  // back to the first strip
    }
    lines_drawn = 0;
    for (std::size_t i : shown(ramps)) {
        const std::string fps = rate_text(measure(meters[i], ramps[i], now));
        if (!print) {
            continue;
        }
        const auto peaks = peak_levels(ramps[i]);
        if (terminal) {
            std::printf("%s crtc %-5u peak R %3d G %3d B %3d  %s frames/s\x1b[K\n",
                        strip_of(ramps[i]).c_str(), ramps[i].crtc, peaks[0], peaks[1], peaks[2],
                        fps.c_str());
            ++lines_drawn;
        } else {
            std::printf("crtc %u size %u peak red %d green %d blue %d frames/s %s\n", ramps[i].crtc,
                        ramps[i].size, peaks[0], peaks[1], peaks[2], fps.c_str());
        }
    }
    std::fflush(stdout);
}

void dump(const std::vector<crtc_ramp>& ramps) {
    for (const crtc_ramp& r : ramps) {
        std::printf("crtc %u active %d size %u", r.crtc, r.active ? 1 : 0, r.size);
        for (std::uint16_t v : r.entries) {
            std::printf(" %04x", v);
        }
        std::printf("\n");
    }
}

// --- The sampling loop ------------------------------------------------------------

template <typename OnSample>
void every_sample(const x_display& d, std::vector<crtc_ramp>& ramps, double seconds,
                  OnSample on_sample) {
    const auto start = std::chrono::steady_clock::now();
    auto next = start;
    while (!interrupted) {
        sample(d, ramps);
        on_sample(ramps);
        next += sample_interval;
        const std::chrono::duration<double> elapsed = next - start;
        if (seconds >= 0 && elapsed.count() >= seconds) {
            break;
        }
        std::this_thread::sleep_until(next);
    }
}

}  // namespace

int main(int argc, char** argv) {
    const options opt = parse_arguments(argc, argv);
    if (opt.what == mode::help) {
        std::fputs(usage, stdout);
        return 0;
    }
    if (opt.what == mode::version) {
        std::puts("gammawave-view " GAMMAWAVE_VERSION);
        return 0;
    }
    x_display d;
    std::vector<crtc_ramp> ramps;
    open_view(d, ramps);
    signal(SIGINT, on_interrupt);
    signal(SIGTERM, on_interrupt);

    if (opt.what == mode::dump) {
        dump(ramps);
    } else if (opt.what == mode::png) {
        std::vector<timeline_row> rows;
        every_sample(d, ramps, opt.seconds, [&rows](const auto& now) {
            rows.push_back(timeline_row_of(now[shown(now).front()]));
        });
        const std::string error = write_timeline_png(opt.png_path, rows);
        if (!error.empty()) {
            fail(error.c_str());
        }
    } else {
        const bool terminal = isatty(STDOUT_FILENO) != 0;
        std::vector<rate_meter> meters;
        std::size_t lines_drawn = 0;
        if (terminal) {
            // Hidden while redrawing in place; shown again on every way out,
            // a lost display's exit(1) included.
            std::fputs("\x1b[?25l", stdout);
            std::atexit([] { std::fputs("\x1b[?25h", stdout); });
        }
        every_sample(d, ramps, opt.seconds,
                     [&](const auto& now) { print_sample(now, meters, terminal, lines_drawn); });
    }
    disconnect_x_display(d);
    return 0;
}
