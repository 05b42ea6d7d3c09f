// Preloaded into a process under measurement: counts its calls of cos (768 a
// frame, so frames are counted with no hook in the program), its heap
// allocations and the SetCrtcGamma calls it sends (the frames sent to Mutter,
// with a reply asked for or not). The counters live in a file that
// GAMMAWAVE_COUNTERS names, mapped shared, so the benchmark reads them while
// the process runs.
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "counters.h"
#include "preload_symbol.h"

extern "C" {
void* __libc_malloc(std::size_t);
void* __libc_calloc(std::size_t, std::size_t);
void* __libc_realloc(void*, std::size_t);
void* __libc_memalign(std::size_t, std::size_t);
}

namespace {

process_counters fallback;
process_counters* counters = &fallback;

__attribute__((constructor)) void map_counters() {
    const char* path = std::getenv("GAMMAWAVE_COUNTERS");
    const int fd = path != nullptr ? open(path, O_RDWR | O_CLOEXEC) : -1;
    if (fd < 0) {
        return;
    }
    void* shared =
        mmap(nullptr, sizeof(process_counters), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    close(fd);
    if (shared != MAP_FAILED) {
        counters = static_cast<process_counters*>(shared);
    }
}

// The process is single-threaded: a plain increment (one aligned 64-bit store,
// which a reader never sees torn) keeps the counting from weighing on the frame.
void bump(std::uint64_t& counter) {
    __atomic_store_n(&counter, __atomic_load_n(&counter, __ATOMIC_RELAXED) + 1, __ATOMIC_RELAXED);
}

void count_allocation() {
    bump(counters->allocations);
}

// Looked up again until found: a first call may come before the module that
// links libsystemd is loaded, and a null kept would crash every call.
template <typename Fn>
Fn bus_symbol(Fn& real, const char* name) {
    if (real == nullptr) {
        real = reinterpret_cast<Fn>(next_symbol(name));
    }
    return real;
}

// sd_bus_call_async sends through sd_bus_send, which this library may or may
// not see from inside libsystemd: a call is counted once, where it enters.
bool inside_call = false;

void count_if_frame(void* m) {
    using member_fn = const char* (*)(void*);
    static member_fn member = nullptr;
    const char* name = bus_symbol(member, "sd_bus_message_get_member") ? member(m) : nullptr;
    if (!inside_call && name != nullptr && std::strcmp(name, "SetCrtcGamma") == 0) {
        bump(counters->bus_calls);
    }
}

}  // namespace

extern "C" {

double cos(double x) {
    using cos_fn = double (*)(double);
    static const cos_fn real = reinterpret_cast<cos_fn>(dlsym(RTLD_NEXT, "cos"));
    bump(counters->cos_calls);
    return real(x);
}

int sd_bus_call_async(void* bus, void* slot, void* m, void* callback, void* userdata,
                      std::uint64_t usec) {
    using call_fn = int (*)(void*, void*, void*, void*, void*, std::uint64_t);
    static call_fn real = nullptr;
    if (bus_symbol(real, "sd_bus_call_async") == nullptr) {
        return -ENOSYS;
    }
    count_if_frame(m);
    inside_call = true;
    const int r = real(bus, slot, m, callback, userdata, usec);
    inside_call = false;
    return r;
}

int sd_bus_send(void* bus, void* m, std::uint64_t* cookie) {
    using send_fn = int (*)(void*, void*, std::uint64_t*);
    static send_fn real = nullptr;
    if (bus_symbol(real, "sd_bus_send") == nullptr) {
        return -ENOSYS;
    }
    count_if_frame(m);
    return real(bus, m, cookie);
}

void* malloc(std::size_t n) {
    count_allocation();
    return __libc_malloc(n);
}

void* calloc(std::size_t n, std::size_t size) {
    count_allocation();
    return __libc_calloc(n, size);
}

void* realloc(void* p, std::size_t n) {
    count_allocation();
    return __libc_realloc(p, n);
}

int posix_memalign(void** out, std::size_t alignment, std::size_t n) {
    count_allocation();
    void* p = __libc_memalign(alignment, n);
    if (p == nullptr) {
        return 12;  // ENOMEM
    }
    *out = p;
    return 0;
}

void* aligned_alloc(std::size_t alignment, std::size_t n) {
    count_allocation();
    return __libc_memalign(alignment, n);
}
}
