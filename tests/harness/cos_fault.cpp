// Injects faults into gammawave from outside, with no hook in the program:
// after GAMMAWAVE_FAULT_AFTER calls of cos it either writes through a null
// pointer (GAMMAWAVE_FAULT=null) or recurses until the stack runs out
// (GAMMAWAVE_FAULT=stack). On Linux it is preloaded; Windows has no
// preloading, so a test build links it in place of cos (ld --wrap=cos).
// GAMMAWAVE_FAULT=send counts the calls that hand requests to XCB
// (xcb_send_request, xcb_writev; a frame's xcb_writev only counts requests
// whose bytes have gone, whole or in part) instead, and writes through a null
// pointer just after the last of them: a fault in the middle of a frame's
// requests, before the loop has noted them.
// GAMMAWAVE_FAULT=writev (or write) counts the program's own gathered writes
// to the display's socket once XCB has handed it over (or its plain writes to
// a socket, a frame's rest), and writes through a null pointer just after the
// last of them has returned: the kernel has taken the bytes, the loop has not
// yet noted them.
// GAMMAWAVE_CUT_WRITES=N lets every socket write of the program take at most
// N bytes, as a socket whose buffer is nearly full would.
// GAMMAWAVE_GUARD_DELAY_MS holds the guard this long before it connects (to
// the X server or the session bus), as a machine too busy to run it would.
// Only the program's own process faults and cuts; its guard, a fork, carries
// the counts but neither.
// GAMMAWAVE_KEEP_SNDBUF leaves the program's send buffer at the kernel's
// default whatever it asks for, so a large frame is cut short even where
// wmem_max has been raised.
#ifndef _WIN32
#include <dlfcn.h>
#include <limits.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#include "preload_symbol.h"
#endif

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

using cos_fn = double (*)(double);

long calls = 0;
long fault_after = -1;
const char* fault_kind = nullptr;

void read_settings() {
    const char* after = std::getenv("GAMMAWAVE_FAULT_AFTER");
    fault_after = after != nullptr ? std::atol(after) : 0;
    fault_kind = std::getenv("GAMMAWAVE_FAULT");
}

// Each level keeps a live buffer so the compiler can neither inline the
// recursion away nor turn it into a loop.
__attribute__((noinline)) int exhaust_stack(int depth) {
    volatile char frame[512];
    frame[0] = static_cast<char>(depth);
    return exhaust_stack(depth + 1) + frame[0];
}

bool fault_is(const char* kind) {
    return fault_kind != nullptr && std::strcmp(fault_kind, kind) == 0;
}

bool faults_on_send() {
    return fault_is("send");
}

bool faults_on_cos() {
    return !faults_on_send() && !fault_is("writev") && !fault_is("write");
}

void fault() {
    if (fault_kind != nullptr && std::strcmp(fault_kind, "stack") == 0) {
        exhaust_stack(0);
    }
    volatile int* nowhere = nullptr;
    *nowhere = 1;
}

}  // namespace

#ifdef _WIN32
extern "C" double __real_cos(double);
extern "C" double __wrap_cos(double x) {
    const cos_fn real = __real_cos;
#else
extern "C" double cos(double x) {
    static cos_fn real = reinterpret_cast<cos_fn>(dlsym(RTLD_NEXT, "cos"));
#endif
    if (fault_after < 0) {
        read_settings();
    }
    if (fault_after > 0 && faults_on_cos() && ++calls > fault_after) {
        fault();
    }
    return real(x);
}

#ifndef _WIN32
namespace {

void count_send() {
    if (fault_after < 0) {
        read_settings();
    }
    if (faults_on_send() && ++calls > fault_after) {
        fault();
    }
}

}  // namespace

extern "C" unsigned xcb_send_request(void* c, int flags, void* vector, const void* request) {
    using send_fn = unsigned (*)(void*, int, void*, const void*);
    static send_fn real = reinterpret_cast<send_fn>(dlsym(RTLD_NEXT, "xcb_send_request"));
    const unsigned sequence = real(c, flags, vector, request);
    count_send();
    return sequence;
}

extern "C" int xcb_writev(void* c, void* vector, int count, std::uint64_t requests) {
    using writev_fn = int (*)(void*, void*, int, std::uint64_t);
    static writev_fn real = reinterpret_cast<writev_fn>(dlsym(RTLD_NEXT, "xcb_writev"));
    const int written = real(c, vector, count, requests);
    count_send();
    return written;
}

namespace {

// Set as the preload is loaded, in the program's own process.
const pid_t program_pid = getpid();
bool socket_taken = false;

bool in_program() {
    return getpid() == program_pid;
}

bool is_socket(int fd) {
    struct stat st {};
    return fstat(fd, &st) == 0 && S_ISSOCK(st.st_mode);
}

std::size_t write_cut() {
    const char* cut = std::getenv("GAMMAWAVE_CUT_WRITES");
    return cut != nullptr ? static_cast<std::size_t>(std::atol(cut)) : SIZE_MAX;
}

// Once only: the fault handler's own writes go through here too.
void count_write(const char* kind) {
    static bool faulted = false;
    if (fault_after < 0) {
        read_settings();
    }
    if (!faulted && fault_is(kind) && ++calls > fault_after) {
        faulted = true;
        fault();
    }
}

}  // namespace

extern "C" int xcb_take_socket(void* c, void (*return_socket)(void*), void* closure, int flags,
                               std::uint64_t* sent) {
    using take_fn = int (*)(void*, void (*)(void*), void*, int, std::uint64_t*);
    static take_fn real = reinterpret_cast<take_fn>(dlsym(RTLD_NEXT, "xcb_take_socket"));
    const int taken = real(c, return_socket, closure, flags, sent);
    socket_taken = socket_taken || taken != 0;
    return taken;
}

extern "C" ssize_t writev(int fd, const iovec* parts, int count) {
    using writev_fn = ssize_t (*)(int, const iovec*, int);
    static writev_fn real = reinterpret_cast<writev_fn>(dlsym(RTLD_NEXT, "writev"));
    if (!in_program() || !is_socket(fd)) {
        return real(fd, parts, count);
    }
    iovec cut[IOV_MAX];
    int n = 0;
    for (std::size_t room = write_cut(); n < count && n < IOV_MAX && room > 0; ++n) {
        cut[n] = parts[n];
        cut[n].iov_len = std::min(cut[n].iov_len, room);
        room -= cut[n].iov_len;
    }
    const ssize_t written = real(fd, cut, n);
    if (written > 0 && socket_taken) {
        count_write("writev");
    }
    return written;
}

extern "C" ssize_t write(int fd, const void* bytes, std::size_t size) {
    using write_fn = ssize_t (*)(int, const void*, std::size_t);
    static write_fn real = reinterpret_cast<write_fn>(dlsym(RTLD_NEXT, "write"));
    if (!in_program() || !is_socket(fd)) {
        return real(fd, bytes, size);
    }
    const ssize_t written = real(fd, bytes, std::min(size, write_cut()));
    if (written > 0) {
        count_write("write");
    }
    return written;
}

namespace {

void delay_the_guard() {
    const char* delay = std::getenv("GAMMAWAVE_GUARD_DELAY_MS");
    if (!in_program() && delay != nullptr) {
        const long ms = std::atol(delay);
        const timespec t{ms / 1000, ms % 1000 * 1'000'000};
        nanosleep(&t, nullptr);
    }
}

}  // namespace

extern "C" void* xcb_connect(const char* name, int* screen) {
    using connect_fn = void* (*)(const char*, int*);
    static connect_fn real = reinterpret_cast<connect_fn>(dlsym(RTLD_NEXT, "xcb_connect"));
    delay_the_guard();
    return real(name, screen);
}

extern "C" int sd_bus_open_user(void** bus) {
    using open_fn = int (*)(void**);
    static open_fn real = reinterpret_cast<open_fn>(next_symbol("sd_bus_open_user"));
    delay_the_guard();
    return real != nullptr ? real(bus) : -ENOSYS;
}

extern "C" int setsockopt(int fd, int level, int name, const void* value, socklen_t len) {
    using setsockopt_fn = int (*)(int, int, int, const void*, socklen_t);
    static setsockopt_fn real = reinterpret_cast<setsockopt_fn>(dlsym(RTLD_NEXT, "setsockopt"));
    if (level == SOL_SOCKET && name == SO_SNDBUF &&
        std::getenv("GAMMAWAVE_KEEP_SNDBUF") != nullptr) {
        return 0;
    }
    return real(fd, level, name, value, len);
}
#endif
