// The fault handler's wire logic against a fake server on a socketpair: it
// must take only the reply that answers its own request.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <thread>
#include <vector>

#include "x11-wire.h"

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

TEST(AwaitReply, SkipsStaleRepliesErrorsAndEvents) {
    socket_pair s;
    ASSERT_GE(s.client, 0);
    s.send(packet(reply, 7, 3));          // XCB's own reply, with a body
    s.send(packet(error, 9));             // a refused SetCrtcGamma
    s.send(packet(key_press, 9));         // an event
    s.send(packet(generic_event, 9, 5));  // a generic event, with a body
    s.send(packet(reply, 10));
    EXPECT_TRUE(await_reply(s.client, 10, soon()));
}

TEST(AwaitReply, FailsWithoutItsOwnReply) {
    socket_pair s;
    ASSERT_GE(s.client, 0);
    s.send(packet(reply, 7));
    s.send(packet(error, 10));  // an error for our sequence is no answer
    EXPECT_FALSE(await_reply(s.client, 10, soon()));
    close(s.server);  // the server goes away
    s.server = -1;
    EXPECT_FALSE(await_reply(s.client, 10, monotonic_ms() + 10'000));
}

// The 16-bit sequence wraps: request 65536 is 0 on the wire.
TEST(AwaitReply, MatchesAcrossTheWrap) {
    socket_pair s;
    ASSERT_GE(s.client, 0);
    s.send(packet(reply, 65535));
    std::thread late([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        s.send(packet(reply, 0));
    });
    EXPECT_TRUE(await_reply(s.client, 0, soon()));
    late.join();
}

TEST(EncodeSetCrtcGamma, LengthPaddingAndLimit) {
    std::vector<std::uint16_t> entries(3 * 4097, 0xABCD);
    std::vector<std::uint8_t> out;
    ASSERT_TRUE(encode_set_crtc_gamma(out, 140, 0x42, 3, entries.data()));
    // 12 bytes of header and 18 of entries, padded to 32: 8 units.
    ASSERT_EQ(out.size(), 32u);
    std::uint16_t units = 0;
    std::memcpy(&units, &out[2], 2);
    EXPECT_EQ(units, 8);
    EXPECT_EQ(out[0], 140);
    EXPECT_EQ(out[1], 24);
    EXPECT_EQ(out[30], 0);
    EXPECT_EQ(out[31], 0);
    // 65535 units at most without BIG-REQUESTS: 43,688 entries fit.
    std::vector<std::uint16_t> big(3 * 43689, 0);
    EXPECT_TRUE(encode_set_crtc_gamma(out, 140, 1, 43688, big.data()));
    const std::size_t before = out.size();
    EXPECT_FALSE(encode_set_crtc_gamma(out, 140, 1, 43689, big.data()));
    EXPECT_EQ(out.size(), before);
}
