// Runs a command inside a root made by make-root, as root:
//   enter-root [--own-pids] ROOT [DIR...] -- COMMAND [ARG...]
// with /proc, /dev and /sys, and each DIR (the build tree, the scripts) at
// its own path, all in a mount namespace of the command's own, so that
// nothing stays mounted once it and its children are gone, and nothing but
// what is written to /tmp stays in the root. The command keeps this
// process's id, so its status and signals are its own.
//
// With --own-pids the command runs in a process namespace of its own
// instead, as a child that dies with this process: when the command ends,
// or this process is killed, by the tests or by its parent's end, the
// kernel kills every process left in it (the buses and mocks of Mutter's
// test runner, which would otherwise live on under init).
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

namespace {

bool fail(const char* what, const std::string& path) {
    std::fprintf(stderr, "enter-root: %s %s: %s\n", what, path.c_str(), std::strerror(errno));
    return false;
}

// 1 when the working directory is its own parent (the top), 0 when not, -1
// when either cannot be read: at the top ".." climbs for ever, so an error
// must end the climb rather than count as a step still to take.
int at_top() {
    struct stat here {};
    struct stat up {};
    if (stat(".", &here) != 0 || stat("..", &up) != 0) {
        return -1;
    }
    return here.st_dev == up.st_dev && here.st_ino == up.st_ino ? 1 : 0;
}

// A chroot's / is seldom a mount of its own (a fresh machine's root is a
// plain directory), and the kernel changes propagation only at a mount's own
// root. So, in this namespace only, step out of the chroot to the
// namespace's true root, make everything private from there, and step back.
// `below` is any directory under the current root.
bool private_beyond_chroot(const std::string& below) {
    const int here = open("/", O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (here < 0) {
        return fail("cannot open", "/");
    }
    // With the working directory left above the new root, ".." climbs past it.
    bool ok = chroot(below.c_str()) == 0 && fchdir(here) == 0;
    int top = 0;
    while (ok && (top = at_top()) == 0) {
        ok = chdir("..") == 0;
    }
    ok = ok && top == 1 && chroot(".") == 0 &&
         mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
    const bool back = fchdir(here) == 0 && chroot(".") == 0;
    close(here);
    return (ok && back) || fail("cannot make private the mounts above", below);
}

// Without this, a mount below a shared mount (systemd makes / shared) would
// show in the namespace we came from, and outlive the command.
bool make_mounts_private(const std::string& root) {
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0) {
        return true;
    }
    return errno == EINVAL ? private_beyond_chroot(root) : fail("cannot make private", "/");
}

bool mount_in(const std::string& root, const char* source, const std::string& at, const char* type,
              unsigned long flags) {
    const std::string target = root + at;
    std::error_code ignored;
    std::filesystem::create_directories(target, ignored);
    return mount(source, target.c_str(), type, flags, nullptr) == 0 ||
           fail("cannot mount on", target);
}

// The root seen through an overlay whose writable layer is a tmpfs of this
// namespace's own, so that what the run writes outside /tmp (the DIRs' mount
// points, caches) goes with it; make-root's root on disk stays as it was.
// That tmpfs lies over the root's /tmp, which the overlay does not see (a
// layer does not cross mounts); the root's own /tmp, where the tests and
// the processes in the root meet, is then bound back over the overlay's.
bool overlay_root(const std::string& root) {
    const std::string tmp = root + "/tmp";
    const int shared = open(tmp.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (shared < 0) {
        return fail("cannot open", tmp);
    }
    const std::string upper = tmp + "/upper";
    const std::string work = tmp + "/work";
    const std::string layers = "lowerdir=" + root + ",upperdir=" + upper + ",workdir=" + work;
    // Through the descriptor: its path names the overlay's /tmp by then.
    const std::string shared_path = "/proc/self/fd/" + std::to_string(shared);
    const bool ok = (mount("gammawave-scratch", tmp.c_str(), "tmpfs", 0, "mode=0700") == 0 ||
                     fail("cannot mount a tmpfs on", tmp)) &&
                    (mkdir(upper.c_str(), 0755) == 0 || fail("cannot make", upper)) &&
                    (mkdir(work.c_str(), 0700) == 0 || fail("cannot make", work)) &&
                    (mount("overlay", root.c_str(), "overlay", 0, layers.c_str()) == 0 ||
                     fail("cannot mount an overlay on", root)) &&
                    (mount(shared_path.c_str(), tmp.c_str(), nullptr, MS_BIND, nullptr) == 0 ||
                     fail("cannot bind back", tmp));
    close(shared);
    return ok;
}

// The mounts, in this mount namespace only, then the root and the command.
int enter(const std::string& root, char** dirs, char** dirs_end, char** command) {
    bool ok = make_mounts_private(root) && overlay_root(root) &&
              mount_in(root, "proc", "/proc", "proc", 0) &&
              mount_in(root, "/dev", "/dev", nullptr, MS_BIND | MS_REC) &&
              mount_in(root, "/sys", "/sys", nullptr, MS_BIND | MS_REC);
    for (char** dir = dirs; ok && dir != dirs_end; ++dir) {
        ok = mount_in(root, *dir, *dir, nullptr, MS_BIND);
    }
    if (!ok) {
        return 1;
    }
    if (chroot(root.c_str()) != 0 || chdir("/") != 0) {
        fail("cannot enter", root);
        return 1;
    }
    execvp(command[0], command);
    fail("cannot run", command[0]);
    return 127;
}

// The command's end as a shell reports it: its status, or 128 and its signal.
int wait_for(pid_t child) {
    int status = 0;
    while (waitpid(child, &status, 0) < 0) {
        if (errno != EINTR) {
            return 1;
        }
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Forks, and in this process waits for the child, whose end is this
// process's (exit), while the child goes on (true): the first process of the
// new namespace, with which the kernel ends the rest, and which dies with
// this one. Its parent is in another namespace, so getppid() says 0 there:
// the pipe's other end, closed when this process ends, says whether the
// parent was gone before the death signal was set.
bool first_of_own_pids(const std::string& root) {
    int alive[2];
    if (pipe2(alive, O_CLOEXEC) != 0) {
        return fail("no pipe for", root);
    }
    const pid_t child = fork();
    if (child < 0) {
        return fail("cannot fork for", root);
    }
    if (child > 0) {
        close(alive[0]);
        std::exit(wait_for(child));
    }
    close(alive[1]);
    pollfd gone{alive[0], POLLIN, 0};
    const bool ok = prctl(PR_SET_PDEATHSIG, SIGKILL) == 0 && poll(&gone, 1, 0) == 0;
    close(alive[0]);
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    const bool own_pids = argc > 1 && std::strcmp(argv[1], "--own-pids") == 0;
    if (own_pids) {
        --argc;
        ++argv;
    }
    int cmd = 2;
    while (cmd < argc && std::strcmp(argv[cmd], "--") != 0) {
        ++cmd;
    }
    if (argc < 2 || cmd + 1 >= argc) {
        std::fprintf(stderr, "usage: enter-root [--own-pids] ROOT [DIR...] -- COMMAND [ARG...]\n");
        return 2;
    }
    // Absolute, as stepping out of a chroot leaves the working directory at
    // "/"; and there already, or its mount points would be made as new
    // directories, on the disk, for nothing but a failed exec.
    char* real = realpath(argv[1], nullptr);
    struct stat st {};
    const bool found = real != nullptr && stat(real, &st) == 0;
    if (!found || !S_ISDIR(st.st_mode)) {
        if (found) {
            errno = ENOTDIR;  // it is there, but no directory
        }
        fail("no directory", argv[1]);
        std::free(real);
        return 1;
    }
    const std::string root = real;
    std::free(real);
    for (int i = 2; i < cmd; ++i) {
        if (argv[i][0] != '/') {  // its mount point is the root's path and its own
            std::fprintf(stderr, "enter-root: %s is no absolute path\n", argv[i]);
            return 2;
        }
    }
    if (unshare(CLONE_NEWNS | (own_pids ? CLONE_NEWPID : 0)) != 0) {
        fail("no namespaces for", root);
        return 1;
    }
    if (own_pids && !first_of_own_pids(root)) {
        return 1;
    }
    return enter(root, argv + 2, argv + cmd, argv + cmd + 1);
}
