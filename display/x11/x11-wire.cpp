#include "x11/x11-wire.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

constexpr std::uint8_t x_get_input_focus = 43;  // core protocol opcode
constexpr std::uint8_t x_error = 0, x_reply = 1, x_generic_event = 35;

// X requests travel in the client's byte order, which XCB announced at setup
// as this machine's own, so values are copied as they lie in memory.
template <typename T>
void append(std::vector<std::uint8_t>& out, T value) {
    std::uint8_t bytes[sizeof(T)];
    std::memcpy(bytes, &value, sizeof(T));
    out.insert(out.end(), bytes, bytes + sizeof(T));
}

template <typename T>
T read_at(const std::uint8_t* packet, std::size_t offset) {
    T value;
    std::memcpy(&value, packet + offset, sizeof value);
    return value;
}

// XCB keeps its socket non-blocking, so every wait is a poll with what is
// left of the budget.
bool wait_fd(int fd, short events, long deadline) {
    for (;;) {
        const long left = deadline - monotonic_ms();
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
            return false;  // end of file: the server has gone
        }
    }
    return true;
}

bool skip_bytes(int fd, std::uint64_t n, long deadline) {
    std::uint8_t sink[256];
    while (n > 0) {
        const std::size_t chunk = n < sizeof sink ? static_cast<std::size_t>(n) : sizeof sink;
        if (!read_exact(fd, sink, chunk, deadline)) {
            return false;
        }
        n -= chunk;
    }
    return true;
}

// Errors and core events are 32 bytes; replies and generic events carry
// 4 * length more.
std::uint64_t extra_bytes(const std::uint8_t* packet) {
    if (packet[0] == x_reply || (packet[0] & 0x7F) == x_generic_event) {
        return 4 * std::uint64_t{read_at<std::uint32_t>(packet, 4)};
    }
    return 0;
}

}  // namespace

void encode_get_input_focus(std::vector<std::uint8_t>& out) {
    append<std::uint8_t>(out, x_get_input_focus);
    append<std::uint8_t>(out, 0);
    append<std::uint16_t>(out, 1);
}

bool write_all(int fd, const std::uint8_t* bytes, std::size_t n, long deadline) {
    while (n > 0) {
        const ssize_t w = write(fd, bytes, n);
        if (w > 0) {
            bytes += w;
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

restore_answer await_restore(int fd, std::uint16_t low, std::uint16_t high, std::uint16_t count,
                             long deadline) {
    // Sequence numbers are 16 bits on the wire and wrap, so all of them are
    // taken as distances after `low`.
    const auto last = static_cast<std::uint16_t>(high - low + count);
    bool refused = false;
    for (;;) {
        std::uint8_t packet[32];
        if (!read_exact(fd, packet, sizeof packet, deadline)) {
            return restore_answer::none;
        }
        const auto after = static_cast<std::uint16_t>(read_at<std::uint16_t>(packet, 2) - low);
        if (packet[0] == x_error && after >= 1 && after <= last) {
            refused = true;
        }
        if (packet[0] == x_reply && after >= count && after <= last) {
            return refused ? restore_answer::refused : restore_answer::confirmed;
        }
        if (!skip_bytes(fd, extra_bytes(packet), deadline)) {
            return restore_answer::none;
        }
    }
}
