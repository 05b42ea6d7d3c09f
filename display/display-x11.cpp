// The display layer on X11: RandR CRTC gamma through XCB.
//
// Signals. SIGINT, SIGTERM and a SIGSEGV sent by another process only record
// the signal and write a byte to a self-pipe. The frame loop's pause waits on
// that pipe, so it wakes at once, loads no further frame and restores from
// ordinary code: the saved ramps are always the last to reach the server.
// A SIGSEGV raised by the kernel cannot return to the loop. Its handler runs
// on an alternate stack (so stack exhaustion is caught too) and restores with
// async-signal-safe calls only: it writes the restore, encoded at start as
// raw protocol requests, straight to the connection's socket and reads until
// the reply to a trailing GetInputFocus shows the server has processed it.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "display.h"
#include "randr_gamma.h"

namespace {

// Process-wide because the handlers reach them. Written once by
// open_display, before any handler exists, and never changed afterwards.
x_display screen_dc;
std::vector<crtc_ramp> saved_ramp;

// What load_frame sends to one CRTC. A 256-entry CRTC takes the frame's
// blocks as they are; any other size goes through `levels` into `scratch`,
// both sized at start so that the frame loop never allocates.
struct frame_target {
    xcb_randr_crtc_t crtc;
    std::uint16_t size;
    std::vector<std::uint8_t> levels;
    std::vector<std::uint16_t> scratch;
};
std::vector<frame_target> targets;

std::vector<std::uint8_t> restore_requests;  // raw bytes for the fault handler
int connection_fd = -1;

int wake_pipe[2] = {-1, -1};
volatile sig_atomic_t pending_signal = 0;

// The fault handler's own stack; 64 KiB leaves room for the largest signal
// frames x86-64 pushes (AVX-512 state) several times over.
alignas(16) char fault_stack[64 * 1024];

constexpr std::uint8_t randr_set_crtc_gamma = 24;  // RandR 1.2 minor opcode
constexpr std::uint8_t x_get_input_focus = 43;     // core protocol opcode
constexpr std::uint8_t x_reply = 1;
constexpr std::uint8_t x_generic_event = 35;
constexpr long fault_restore_budget_ms = 1000;

// --- Frames -----------------------------------------------------------------

frame_target target_for(const crtc_ramp& saved) {
    frame_target t{saved.crtc, saved.size, {}, {}};
    if (saved.size != 256) {
        for (std::uint32_t j = 0; j < saved.size; ++j) {
            t.levels.push_back(nearest_level(j, saved.size));
        }
        t.scratch.resize(3 * std::size_t{saved.size});
    }
    return t;
}

void send_frame(frame_target& t, const gamma_ramp& ramp) {
    const std::uint16_t* blocks = ramp.data();
    if (t.size == 256) {
        queue_crtc_ramp(screen_dc, t.crtc, 256, blocks, blocks + 256, blocks + 512);
        return;
    }
    for (std::size_t c = 0; c < 3; ++c) {
        for (std::size_t j = 0; j < t.size; ++j) {
            t.scratch[c * t.size + j] = blocks[c * 256 + t.levels[j]];
        }
    }
    const std::uint16_t* s = t.scratch.data();
    queue_crtc_ramp(screen_dc, t.crtc, t.size, s, s + t.size, s + 2 * t.size);
}

// Refused requests come back as error events; left unread they pile up
// without bound. Events XCB has already read are freed every frame at no
// cost. The socket itself is read every 32nd frame, about three times a
// second: often enough that little can gather, rare enough that a frame
// costs no read() and the pause waits on one descriptor, not two.
constexpr int frames_per_socket_read = 32;
int frames_since_socket_read = 0;

void drain_queued_events() {
    while (xcb_generic_event_t* ev = xcb_poll_for_queued_event(screen_dc.conn)) {
        std::free(ev);
    }
}

void drain_socket_events() {
    while (xcb_generic_event_t* ev = xcb_poll_for_event(screen_dc.conn)) {
        std::free(ev);
    }
}

[[noreturn]] void display_lost() {
    std::fputs("gammawave: lost the connection to the display\n", stderr);
    std::exit(1);
}

// --- The restore as raw requests ---------------------------------------------

// X requests travel in the client's byte order, which XCB announced at setup
// as this machine's own, so values are copied as they lie in memory.
template <typename T>
void append(std::vector<std::uint8_t>& out, T value) {
    std::uint8_t bytes[sizeof(T)];
    std::memcpy(bytes, &value, sizeof(T));
    out.insert(out.end(), bytes, bytes + sizeof(T));
}

// SetCrtcGamma: opcode, minor, length in 4-byte units, crtc, size, 2 bytes
// of pad, then red, green and blue, padded to a multiple of 4.
void encode_set_crtc_gamma(std::vector<std::uint8_t>& out, std::uint8_t opcode,
                           const crtc_ramp& r) {
    const std::size_t bytes = 12 + 6 * std::size_t{r.size};
    const std::size_t units = (bytes + 3) / 4;
    if (units > 0xFFFF) {
        return;  // would need BIG-REQUESTS; no real CRTC has such a ramp
    }
    append<std::uint8_t>(out, opcode);
    append<std::uint8_t>(out, randr_set_crtc_gamma);
    append<std::uint16_t>(out, static_cast<std::uint16_t>(units));
    append<std::uint32_t>(out, r.crtc);
    append<std::uint16_t>(out, r.size);
    append<std::uint16_t>(out, 0);
    for (std::uint16_t v : r.entries) {
        append<std::uint16_t>(out, v);
    }
    out.resize(out.size() + (units * 4 - bytes), 0);
}

void encode_get_input_focus(std::vector<std::uint8_t>& out) {
    append<std::uint8_t>(out, x_get_input_focus);
    append<std::uint8_t>(out, 0);
    append<std::uint16_t>(out, 1);
}

void prepare_fault_restore() {
    const std::uint8_t opcode = xcb_get_extension_data(screen_dc.conn, &xcb_randr_id)->major_opcode;
    for (const crtc_ramp& r : saved_ramp) {
        encode_set_crtc_gamma(restore_requests, opcode, r);
    }
    encode_get_input_focus(restore_requests);
    connection_fd = xcb_get_file_descriptor(screen_dc.conn);
}

// --- Async-signal-safe restore -------------------------------------------------

long now_ms() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000 + ts.tv_nsec / 1'000'000;
}

// XCB keeps its socket non-blocking, so every wait is a poll with what is
// left of the budget.
bool wait_fd(int fd, short events, long deadline) {
    for (;;) {
        const long left = deadline - now_ms();
        if (left <= 0) {
            return false;
        }
        pollfd p{fd, events, 0};
        const int n = poll(&p, 1, static_cast<int>(left));
        if (n > 0) {
            return true;
        }
        if (n < 0 && errno != EINTR) {
            return false;
        }
    }
}

bool write_all(int fd, const std::uint8_t* p, std::size_t n, long deadline) {
    while (n > 0) {
        const ssize_t w = write(fd, p, n);
        if (w > 0) {
            p += w;
            n -= static_cast<std::size_t>(w);
        } else if (w < 0 && (errno == EAGAIN || errno == EINTR)) {
            if (!wait_fd(fd, POLLOUT, deadline)) {
                return false;
            }
        } else {
            return false;
        }
    }
    return true;
}

bool read_exact(int fd, std::uint8_t* p, std::size_t n, long deadline) {
    while (n > 0) {
        const ssize_t r = read(fd, p, n);
        if (r > 0) {
            p += r;
            n -= static_cast<std::size_t>(r);
        } else if (r < 0 && (errno == EAGAIN || errno == EINTR)) {
            if (!wait_fd(fd, POLLIN, deadline)) {
                return false;
            }
        } else {
            return false;
        }
    }
    return true;
}

bool skip_bytes(int fd, std::uint32_t n, long deadline) {
    std::uint8_t sink[256];
    while (n > 0) {
        const std::uint32_t chunk = n < sizeof sink ? n : sizeof sink;
        if (!read_exact(fd, sink, chunk, deadline)) {
            return false;
        }
        n -= chunk;
    }
    return true;
}

// Errors and events are 32 bytes; replies and generic events carry 4 * length
// more. The frame loop sends no request that has a reply, so the first reply
// on the wire answers our GetInputFocus.
bool await_first_reply(int fd, long deadline) {
    for (;;) {
        std::uint8_t packet[32];
        if (!read_exact(fd, packet, sizeof packet, deadline)) {
            return false;
        }
        if (packet[0] == x_reply) {
            return true;
        }
        if ((packet[0] & 0x7F) == x_generic_event) {
            std::uint32_t extra = 0;
            std::memcpy(&extra, packet + 4, sizeof extra);
            if (!skip_bytes(fd, extra * 4, deadline)) {
                return false;
            }
        }
    }
}

void restore_from_fault() {
    const long deadline = now_ms() + fault_restore_budget_ms;
    if (write_all(connection_fd, restore_requests.data(), restore_requests.size(), deadline)) {
        await_first_reply(connection_fd, deadline);
    }
    close(connection_fd);
}

// --- Handlers -------------------------------------------------------------------

void note_signal(int sig) {
    const int saved_errno = errno;
    pending_signal = sig;
    const char byte = 1;
    // The pipe is non-blocking: when it is full the loop is already awake.
    [[maybe_unused]] const ssize_t ignored = write(wake_pipe[1], &byte, 1);
    errno = saved_errno;
}

void on_segv(int sig, siginfo_t* info, void*) {
    if (info->si_code <= 0) {  // sent by another process: the loop can restore
        note_signal(sig);
        return;
    }
    restore_from_fault();
    _exit(sig);
}

// The pause is a wait on the self-pipe. The default timer slack of 50 us
// would stretch every 10 ms pause by up to half a percent; 1 us keeps the
// frame rate at what the fixed pause promises.
void prepare_pause() {
    prctl(PR_SET_TIMERSLACK, 1000UL);
    if (pipe2(wake_pipe, O_NONBLOCK | O_CLOEXEC) != 0) {
        // Without a pipe a signal still ends the pause through EINTR, and the
        // pause checks pending_signal before each wait.
        wake_pipe[0] = wake_pipe[1] = -1;
    }
}

void use_fault_stack() {
    stack_t ss{};
    ss.ss_sp = fault_stack;
    ss.ss_size = sizeof fault_stack;
    sigaltstack(&ss, nullptr);
}

void handle(int sig, void (*handler)(int)) {
    struct sigaction sa {};
    sa.sa_handler = handler;
    sa.sa_flags = SA_RESTART;
    sigemptyset(&sa.sa_mask);
    sigaction(sig, &sa, nullptr);
}

void handle_segv() {
    struct sigaction sa {};
    sa.sa_sigaction = on_segv;
    sa.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_RESTART;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGSEGV, &sa, nullptr);
}

bool take_screen_and_save_ramps() {
    if (connect_x_display(screen_dc) != display_status::ok) {
        return false;
    }
    if (read_crtc_ramps(screen_dc, saved_ramp) != display_status::ok) {
        disconnect_x_display(screen_dc);
        return false;
    }
    return true;
}

}  // namespace

bool open_display() {
    // A dead server must end the program through the lost-display path, with
    // its message, rather than by SIGPIPE on the next write.
    signal(SIGPIPE, SIG_IGN);
    if (!take_screen_and_save_ramps()) {
        std::printf("Can't get gamma ramp!\n");
        return false;
    }
    for (const crtc_ramp& r : saved_ramp) {
        targets.push_back(target_for(r));
    }
    prepare_fault_restore();
    return true;
}

void install_restore_handlers() {
    prepare_pause();
    use_fault_stack();
    handle_segv();
    handle(SIGTERM, note_signal);
    handle(SIGINT, note_signal);
}

void load_frame(const gamma_ramp& ramp) {
    if (pending_signal != 0) {
        return;  // the restore is due; nothing may follow it
    }
    for (frame_target& t : targets) {
        send_frame(t, ramp);
    }
    xcb_flush(screen_dc.conn);
    if (++frames_since_socket_read == frames_per_socket_read) {
        frames_since_socket_read = 0;
        drain_socket_events();
    } else {
        drain_queued_events();
    }
    // A server that has gone shows here at once: the flush's write fails.
    if (xcb_connection_has_error(screen_dc.conn)) {
        display_lost();
    }
}

// Waits 10 ms, or less if a signal arrives.
void pause_between_frames() {
    if (pending_signal == 0) {
        pollfd p{wake_pipe[0], POLLIN, 0};
        const timespec pause{0, 10'000'000};
        ppoll(&p, 1, &pause, nullptr);
    }
    if (pending_signal != 0) {
        restore_and_exit(pending_signal);
    }
}

void restore_and_exit(int sig) {
    // Should the server stall the restore, a second interrupt now ends the
    // process the default way instead of being swallowed.
    signal(SIGINT, SIG_DFL);
    signal(SIGTERM, SIG_DFL);
    for (const crtc_ramp& r : saved_ramp) {
        queue_crtc_ramp(screen_dc, r);
    }
    // Hanging up straight after the last request lets the server drop what
    // it has not read yet, so wait until it has answered a round trip.
    wait_for_server(screen_dc);
    disconnect_x_display(screen_dc);
    std::exit(sig);
}

std::uint32_t process_id() {
    return static_cast<std::uint32_t>(getpid());
}
