#include "mutter_test_backend.h"

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>

#include "x_server.h"

using namespace std::chrono_literals;

namespace {

const std::string scripts = MUTTER_ROOTS_DIR;

std::string roots_dir() {
    const char* dir = std::getenv("GAMMAWAVE_TEST_ROOTS");
    return dir ? dir : "/var/cache/gammawave-test-roots";
}

// The driver in the root; its stdout, or nothing when it failed.
std::optional<std::string> driver(const test_backend& m, std::vector<std::string> args,
                                  const std::string& input = {}) {
    args.insert(args.begin(), {"python3", scripts + "/mutter-driver.py"});
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        return std::nullopt;
    }
    process_options opts{std::string{}, m.env, m.dir + "/driver.out", m.dir + "/driver.err"};
    opts.stdin_fd = fds[0];
    const pid_t pid = spawn(m.in_root(args), opts);
    close(fds[0]);
    const bool written = write(fds[1], input.data(), input.size()) == ssize_t(input.size());
    close(fds[1]);
    const exit_result r = wait_exit(pid, 20s);
    if (!written || !r.exited || r.code != 0) {
        return std::nullopt;
    }
    return read_file(m.dir + "/driver.out");
}

std::string find_runner(const std::string& root) {
    for (const auto& e :
         std::filesystem::directory_iterator(root + "/usr/libexec/installed-tests")) {
        const std::string path = e.path().string() + "/mutter-installed-dbus-session.py";
        if (std::filesystem::exists(path)) {
            return path.substr(root.size());
        }
    }
    return {};
}

// The id, as the tests see it, of the process that the runner's namespace
// calls `inner` (the driver writes the one it knows). The runner is the
// first process of that namespace, and its child here.
pid_t host_pid(pid_t runner, pid_t inner) {
    std::istringstream children(read_file("/proc/" + std::to_string(runner) + "/task/" +
                                          std::to_string(runner) + "/children"));
    pid_t first = 0;
    children >> first;
    std::error_code ignored;
    const auto ns_of = [&](const std::string& pid) {
        return std::filesystem::read_symlink("/proc/" + pid + "/ns/pid", ignored).string();
    };
    const std::string ns = first > 0 ? ns_of(std::to_string(first)) : std::string{};
    for (const auto& e : std::filesystem::directory_iterator("/proc", ignored)) {
        const std::string pid = e.path().filename().string();
        std::istringstream status(read_file("/proc/" + pid + "/status"));
        std::string line;
        while (std::getline(status, line) && line.rfind("NSpid:", 0) != 0) {
        }
        const std::string last = line.substr(line.find_last_of(" \t") + 1);
        if (!ns.empty() && last == std::to_string(inner) && ns_of(pid) == ns) {
            return std::stoi(pid);
        }
    }
    return -1;
}

// A run's directory in the root's /tmp is locked for as long as its run
// lives, so one left by a run that was killed is found unlocked, and goes.
// Its prefix is for locked directories alone: a harness that locked none
// named its directories otherwise.
// The lock on /tmp itself keeps a sweep from taking a directory made, and
// not yet locked, beside it.
int make_locked_dir(const std::string& root, std::string& dir) {
    const std::string tmp = root + "/tmp";
    const int all = open(tmp.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (all < 0) {
        return -1;
    }
    flock(all, LOCK_EX);
    std::error_code ignored;
    for (const auto& e : std::filesystem::directory_iterator(tmp, ignored)) {
        if (e.path().filename().string().rfind("gammawave-run-", 0) != 0) {
            continue;
        }
        const int fd = open(e.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0) {
            remove_tree(e.path());
        }
        close(fd);
    }
    dir = tmp + "/gammawave-run-XXXXXX";
    int lock = mkdtemp(dir.data()) ? open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC) : -1;
    if (lock >= 0 && flock(lock, LOCK_SH) != 0) {
        close(lock);
        lock = -1;
    }
    close(all);
    return lock;
}

}  // namespace

test_backend::~test_backend() {
    if (mutter > 0) {
        kill(mutter, SIGTERM);  // the runner then ends its buses and mocks
    }
    if (runner > 0 && wait_exit(runner, 20s).timed_out) {  // kills it when it hangs
        kill(runner, SIGKILL);
    }
    remove_tree(dir);
    if (dir_lock >= 0) {
        close(dir_lock);
    }
}

std::vector<std::string> test_backend::in_root(std::vector<std::string> argv, bool own_pids) const {
    const std::string bin_dir = std::filesystem::path(GAMMAWAVE_BIN).parent_path();
    argv.insert(argv.begin(), {ENTER_ROOT, root, bin_dir, scripts, "--"});
    if (own_pids) {
        argv.insert(argv.begin() + 1, "--own-pids");
    }
    return argv;
}

std::vector<crtc_ramp> test_backend::tables() const {
    std::vector<crtc_ramp> out;
    std::istringstream lines(driver(*this, {"get"}).value_or(""));
    for (std::string line; std::getline(lines, line);) {
        std::istringstream in(line);
        crtc_ramp r;
        in >> r.crtc >> r.size;
        r.entries.resize(3u * r.size);
        for (std::uint16_t& e : r.entries) {
            in >> e;
        }
        r.active = true;
        if (in) {
            out.push_back(r);
        }
    }
    return out;
}

bool test_backend::load(const std::vector<crtc_ramp>& tables) const {
    std::string input;
    for (const crtc_ramp& r : tables) {
        input += std::to_string(r.crtc) + ' ' + std::to_string(r.size);
        for (std::uint16_t e : r.entries) {
            input += ' ' + std::to_string(e);
        }
        input += '\n';
    }
    return driver(*this, {"set"}, input).has_value();
}

bool test_backend::night_light(unsigned kelvin) const {
    return driver(*this, {"night", std::to_string(kelvin)}).has_value();
}

bool test_backend::profile(const std::string& icc) const {
    return driver(*this, {"profile", icc}).has_value();
}

bool test_backend::plug(int monitors) const {
    const std::string flag = dir + "/bus.plug";
    std::ofstream{flag + ".new"} << monitors;
    std::filesystem::rename(flag + ".new", flag);  // never read half written
    const auto handled = [&] { return !std::filesystem::exists(flag); };
    eventually([&] { return handled() || kill(mutter, 0) != 0; }, 20s);  // a crash ends it early
    return handled();
}

bool test_backend::answers() const {
    return kill(mutter, 0) == 0 && driver(*this, {"get"}).has_value();
}

std::string test_backend::log() const {
    return read_file(dir + "/mutter.err") + read_file(dir + "/driver.err");
}

std::unique_ptr<test_backend> start_test_backend(const std::string& release, std::string& why,
                                                 bool& skip, int monitors) {
    auto m = std::make_unique<test_backend>();
    m->release = release;
    m->root = roots_dir() + "/" + release;
    skip = true;
    if (!std::filesystem::exists(m->root + "/.gammawave-key")) {
        why = "no root " + m->root + " (tests/harness/mutter-roots/make-root makes it, as root)";
        return nullptr;
    }
    if (geteuid() != 0) {
        why = "the roots of Mutter's test backend need root";
        return nullptr;
    }
    m->dir_lock = make_locked_dir(m->root, m->dir);
    if (m->dir_lock < 0) {
        why = "no directory in " + m->root + "/tmp";
        skip = false;
        return nullptr;
    }
    const std::string dir = m->dir;
    // In the run's own directory, which goes with it: runs side by side
    // would share a file of a fixed name, and none would remove it.
    const std::string probe_err = dir + "/enter.err";
    const pid_t probe = spawn(m->in_root({"true"}), {std::string{}, {}, {}, probe_err});
    if (wait_exit(probe, 20s).code != 0) {
        why = "cannot enter " + m->root + " here: " + read_file(probe_err);
        return nullptr;
    }
    skip = false;
    // Its buses, mocks and Mutter die with it, and their files are in the
    // run's directory, however the tests end.
    m->runner =
        spawn(m->in_root({find_runner(m->root), "--", "python3", scripts + "/mutter-driver.py",
                          "mutter", m->inside(dir) + "/bus", std::to_string(monitors)},
                         true),
              {std::string{},
               {{"TMPDIR", m->inside(dir)}},
               m->dir + "/mutter.out",
               m->dir + "/mutter.err"});
    const auto up = [&] { return !read_file(m->dir + "/bus").empty(); };
    if (!eventually(up, 60s)) {
        why = "Mutter did not start in " + m->root + ": " + m->log();
        return nullptr;
    }
    std::istringstream bus(read_file(m->dir + "/bus"));
    std::string session, system;
    std::getline(bus, session);
    std::getline(bus, system);
    pid_t inner = -1;
    bus >> inner;
    m->mutter = host_pid(m->runner, inner);
    if (m->mutter <= 0) {
        why = "Mutter's process not found beside the runner: " + m->log();
        return nullptr;
    }
    m->env = {{"DBUS_SESSION_BUS_ADDRESS", session},
              {"DBUS_SYSTEM_BUS_ADDRESS", system},
              {"HOME", m->inside(dir)},
              {"XDG_RUNTIME_DIR", m->inside(dir)},
              {"WAYLAND_DISPLAY", ""}};
    const pid_t wait = spawn(m->in_root({"gdbus", "wait", "--session", "--timeout", "30",
                                         "org.gnome.Mutter.DisplayConfig"}),
                             {std::string{}, m->env, {}, {}});
    if (wait_exit(wait, 40s).code != 0 || !m->profile()) {
        why = "Mutter did not serve DisplayConfig with a profiled monitor: " + m->log();
        return nullptr;
    }
    return m;
}

pid_t hold_calibration(const test_backend& m) {
    const std::string out = m.dir + "/calibrate.out";
    const pid_t pid = spawn(m.in_root({"python3", scripts + "/mutter-driver.py", "calibrate"}),
                            {std::string{}, m.env, out, m.dir + "/calibrate.err"});
    const auto settled = [&] {
        return read_file(out) == "held\n" || waitpid(pid, nullptr, WNOHANG) == pid;
    };
    if (eventually(settled, 20s) && read_file(out) == "held\n") {
        return pid;
    }
    kill(pid, SIGKILL);
    wait_exit(pid, 5s);
    return -1;
}
