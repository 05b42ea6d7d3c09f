// Runs a command inside a root made by make-root, as root:
//   enter-root ROOT [DIR...] -- COMMAND [ARG...]
// with /proc, /dev and /sys, and each DIR (the build tree, the scripts) at
// its own path, all in a mount namespace of the command's own, so that
// nothing stays mounted once it and its children are gone. The command keeps
// this process's id, so its status and signals are its own.
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
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

}  // namespace

int main(int argc, char** argv) {
    int cmd = 2;
    while (cmd < argc && std::strcmp(argv[cmd], "--") != 0) {
        ++cmd;
    }
    if (argc < 2 || cmd + 1 >= argc) {
        std::fprintf(stderr, "usage: enter-root ROOT [DIR...] -- COMMAND [ARG...]\n");
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
    if (unshare(CLONE_NEWNS) != 0) {
        fail("no mount namespace for", root);
        return 1;
    }
    bool ok = make_mounts_private(root) && mount_in(root, "proc", "/proc", "proc", 0) &&
              mount_in(root, "/dev", "/dev", nullptr, MS_BIND | MS_REC) &&
              mount_in(root, "/sys", "/sys", nullptr, MS_BIND | MS_REC);
    for (int i = 2; ok && i < cmd; ++i) {
        ok = mount_in(root, argv[i], argv[i], nullptr, MS_BIND);
    }
    if (!ok) {
        return 1;
    }
    if (chroot(root.c_str()) != 0 || chdir("/") != 0) {
        fail("cannot enter", root);
        return 1;
    }
    execvp(argv[cmd + 1], argv + cmd + 1);
    fail("cannot run", argv[cmd + 1]);
    return 127;
}
