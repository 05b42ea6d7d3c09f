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
// GAMMAWAVE_KEEP_SNDBUF leaves the program's send buffer at the kernel's
// default whatever it asks for, so a large frame is cut short even where
// wmem_max has been raised.
#ifndef _WIN32
#include <dlfcn.h>
#include <sys/socket.h>
#endif

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

bool faults_on_send() {
    return fault_kind != nullptr && std::strcmp(fault_kind, "send") == 0;
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
    if (fault_after > 0 && !faults_on_send() && ++calls > fault_after) {
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
