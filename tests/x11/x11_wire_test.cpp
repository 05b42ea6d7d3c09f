// The fault handler's wire logic against a fake server on a socketpair: it
// must take only the reply that answers its own request, and the one
// encoder of SetCrtcGamma must lay it out as the server reads it.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <thread>
#include <vector>

#include "x11/x11-gamma.h"
#include "x11/x11-wire.h"

namespace {

struct socket_pair {
    int client = -1, server = -1;
    socket_pair() {
        int fds[2];
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, fds) == 0) {
            client = fds[0];
            server = fds[1];
        }
    }
    ~socket_pair() {
        close(client);
        close(server);
    }
    void send(const std::vector<std::uint8_t>& bytes) const {
        ASSERT_EQ(write(server, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
};

// A 32-byte packet of `type` with `sequence`, and `extra` 4-byte units after
// it, as replies and generic events carry.
std::vector<std::uint8_t> packet(std::uint8_t type, std::uint16_t sequence,
                                 std::uint32_t extra = 0) {
    std::vector<std::uint8_t> p(32 + 4 * std::size_t{extra}, 0);
    p[0] = type;
    std::memcpy(&p[2], &sequence, 2);
    std::memcpy(&p[4], &extra, 4);
    // Bytes that would pass for our reply if the parser lost its place.
    for (std::size_t i = 32; i < p.size(); i += 4) {
        p[i] = 1;
        std::memcpy(&p[i + 2], &sequence, 2);
    }
    return p;
}

constexpr std::uint8_t reply = 1, error = 0, key_press = 2, generic_event = 35;

long soon() {
    return monotonic_ms() + 200;
}

}  // namespace

TEST(AwaitRestore, SkipsStaleRepliesErrorsAndEvents) {
    socket_pair s;
    ASSERT_GE(s.client, 0);
    s.send(packet(reply, 7, 3));          // XCB's own reply, with a body
    s.send(packet(error, 9));             // a refused frame, before the restore
    s.send(packet(key_press, 9));         // an event
    s.send(packet(generic_event, 9, 5));  // a generic event, with a body
    s.send(packet(reply, 10));
    EXPECT_EQ(await_restore(s.client, 9, 9, 1, soon()), restore_answer::confirmed);
}

TEST(AwaitRestore, NoneWithoutItsOwnReply) {
    socket_pair s;
    ASSERT_GE(s.client, 0);
    s.send(packet(reply, 7));
    s.send(packet(error, 10));  // an error for our sequence is no answer
    EXPECT_EQ(await_restore(s.client, 9, 9, 1, soon()), restore_answer::none);
    close(s.server);  // the server goes away
    s.server = -1;
    EXPECT_EQ(await_restore(s.client, 9, 9, 1, monotonic_ms() + 10'000), restore_answer::none);
}

// A fault as a frame goes out: the server read none to all three of its
// requests (6 to 8) before the restore's three (two ramps and the
// GetInputFocus), so the reply is 8 to 11; the frame's own GetInputFocus
// is 6.
TEST(AwaitRestore, MidFrameRepliesAndRefusals) {
    for (bool refused : {false, true}) {
        socket_pair s;
        ASSERT_GE(s.client, 0);
        s.send(packet(reply, 6));
        if (refused) {
            s.send(packet(error, 9));  // a CRTC that has gone refuses its ramp
        }
        s.send(packet(reply, 10));
        EXPECT_EQ(await_restore(s.client, 5, 8, 3, soon()),
                  refused ? restore_answer::refused : restore_answer::confirmed);
    }
}

// The 16-bit sequence wraps: request 65536 is 0 on the wire.
TEST(AwaitRestore, MatchesAcrossTheWrap) {
    socket_pair s;
    ASSERT_GE(s.client, 0);
    s.send(packet(reply, 65535));
    std::thread late([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        s.send(packet(reply, 0));
    });
    EXPECT_EQ(await_restore(s.client, 65534, 65534, 2, soon()), restore_answer::confirmed);
    late.join();
}

// Read back as the X server reads SetCrtcGamma: red, green and blue back to
// back after the 12-byte head, whatever the size's parity.
TEST(EncodeSetCrtcGamma, AsTheServerReadsItAndItsLimit) {
    for (std::uint16_t size : {1, 2, 3, 256}) {
        std::vector<std::uint16_t> entries(3 * std::size_t{size});
        for (std::size_t i = 0; i < entries.size(); ++i) {
            entries[i] = static_cast<std::uint16_t>(0x1000 + i);
        }
        std::vector<std::uint8_t> out;
        ASSERT_TRUE(encode_set_crtc_gamma(out, 140, 0x42, size, entries.data()));
        std::uint16_t units = 0, read_size = 0;
        std::uint32_t crtc = 0;
        std::memcpy(&units, &out[2], 2);
        std::memcpy(&crtc, &out[4], 4);
        std::memcpy(&read_size, &out[8], 2);
        EXPECT_EQ(4u * units, out.size());
        EXPECT_EQ(out.size(), (12 + 6u * size + 3) / 4 * 4);
        EXPECT_EQ(out[0], 140);
        EXPECT_EQ(out[1], 24);
        EXPECT_EQ(crtc, 0x42u);
        EXPECT_EQ(read_size, size);
        std::vector<std::uint16_t> lists(3 * std::size_t{size});
        std::memcpy(lists.data(), &out[12], 6 * std::size_t{size});
        EXPECT_EQ(lists, entries) << size;
    }
    // 65535 units at most without BIG-REQUESTS: 43,688 entries fit.
    std::vector<std::uint16_t> big(3 * 43689, 0);
    std::vector<std::uint8_t> out;
    EXPECT_TRUE(encode_set_crtc_gamma(out, 140, 1, 43688, big.data()));
    const std::size_t before = out.size();
    EXPECT_FALSE(encode_set_crtc_gamma(out, 140, 1, 43689, big.data()));
    EXPECT_EQ(out.size(), before);
}
