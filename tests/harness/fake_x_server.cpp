#include "fake_x_server.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <random>

namespace {

constexpr std::uint8_t randr_opcode = 140, randr_first_error = 147;
constexpr std::uint8_t bad_request = 1, bad_match = 8, bad_length = 16;
constexpr std::uint8_t bad_rr_crtc = randr_first_error + 1;
constexpr std::uint32_t root = 0x100;

template <typename T>
void put(std::vector<std::uint8_t>& p, std::size_t at, T value) {
    if (p.size() < at + sizeof value) {
        p.resize(at + sizeof value);
    }
    std::memcpy(&p[at], &value, sizeof value);
}

template <typename T>
T get(const std::vector<std::uint8_t>& p, std::size_t at) {
    T value{};
    if (at + sizeof value <= p.size()) {
        std::memcpy(&value, &p[at], sizeof value);
    }
    return value;
}

// Reads exactly `n` bytes, or gives up when `stop` becomes readable.
bool read_all(int fd, int stop, std::uint8_t* p, std::size_t n) {
    while (n > 0) {
        pollfd fds[2] = {{fd, POLLIN, 0}, {stop, POLLIN, 0}};
        if (poll(fds, 2, -1) < 0 || fds[1].revents != 0) {
            return false;
        }
        const ssize_t r = read(fd, p, n);
        if (r <= 0) {
            return false;
        }
        p += r;
        n -= static_cast<std::size_t>(r);
    }
    return true;
}

bool write_all(int fd, const std::vector<std::uint8_t>& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t w = write(fd, bytes.data() + done, bytes.size() - done);
        if (w <= 0) {
            return false;
        }
        done += static_cast<std::size_t>(w);
    }
    return true;
}

// One screen of depth 24 with no visuals: all that XCB's setup parsing and
// gammawave's look for a root window need.
std::vector<std::uint8_t> setup_reply() {
    std::vector<std::uint8_t> p(8 + 84, 0);
    p[0] = 1;
    put<std::uint16_t>(p, 2, 11);
    put<std::uint16_t>(p, 6, 84 / 4);
    put<std::uint32_t>(p, 12, 0x00200000);  // resource id base
    put<std::uint32_t>(p, 16, 0x001fffff);  // and mask
    put<std::uint16_t>(p, 24, 4);           // vendor length
    put<std::uint16_t>(p, 26, 0xffff);      // maximum request length
    p[28] = 1;                              // screens
    p[32] = p[33] = 32;                     // scanline unit and pad
    p[34] = 8;                              // keycodes 8 to 255
    p[35] = 255;
    std::memcpy(&p[40], "fake", 4);
    put<std::uint32_t>(p, 44, root);
    put<std::uint16_t>(p, 64, 1024);
    put<std::uint16_t>(p, 66, 768);
    p[82] = 24;  // root depth
    p[83] = 1;   // one depth, of no visuals
    p[84] = 24;
    return p;
}

std::vector<std::uint8_t> reply(std::uint16_t sequence, std::size_t extra = 0) {
    std::vector<std::uint8_t> p(32 + (extra + 3) / 4 * 4, 0);
    p[0] = 1;
    put<std::uint16_t>(p, 2, sequence);
    put<std::uint32_t>(p, 4, static_cast<std::uint32_t>((extra + 3) / 4));
    return p;
}

std::vector<std::uint8_t> error(std::uint16_t sequence, std::uint8_t code,
                                const std::vector<std::uint8_t>& request) {
    std::vector<std::uint8_t> p(32, 0);
    p[1] = code;
    put<std::uint16_t>(p, 2, sequence);
    put<std::uint8_t>(p, 8, request[1]);
    put<std::uint8_t>(p, 10, request[0]);
    return p;
}

}  // namespace

fake_x_server::fake_x_server(const std::vector<std::uint16_t>& sizes, unsigned seed) {
    std::mt19937 gen(seed);
    for (std::size_t i = 0; i < sizes.size(); ++i) {
        crtc_ramp r{static_cast<xcb_randr_crtc_t>(0x200 + i), sizes[i], {}, true};
        for (std::size_t e = 0; e < 3 * std::size_t{sizes[i]}; ++e) {
            r.entries.push_back(static_cast<std::uint16_t>(gen()));
        }
        crtcs_.push_back(r);
    }
    // An abstract socket, which XCB tries first, at a display number far
    // above those real servers take; nothing to clean up on disk.
    listener_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    for (int n = 900; n < 1000 && display_.empty(); ++n) {
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        const int len =
            std::snprintf(addr.sun_path + 1, sizeof addr.sun_path - 1, "/tmp/.X11-unix/X%d", n);
        const auto size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + len);
        if (bind(listener_, reinterpret_cast<sockaddr*>(&addr), size) == 0 &&
            listen(listener_, 4) == 0) {
            display_ = ":" + std::to_string(n);
        }
    }
    if (!display_.empty() && pipe(stop_) == 0) {
        thread_ = std::thread([this] { serve(); });
    }
}

fake_x_server::~fake_x_server() {
    if (thread_.joinable()) {
        [[maybe_unused]] const ssize_t w = write(stop_[1], "x", 1);
        thread_.join();
    }
    for (int fd : {listener_, stop_[0], stop_[1]}) {
        if (fd >= 0) {
            close(fd);
        }
    }
}

std::vector<crtc_ramp> fake_x_server::ramps() const {
    std::lock_guard lock(mutex_);
    return crtcs_;
}

void fake_x_server::resize(std::size_t crtc, std::uint16_t size) {
    std::lock_guard lock(mutex_);
    crtcs_.at(crtc).size = size;
    crtcs_.at(crtc).entries.assign(3 * std::size_t{size}, 0);
}

void fake_x_server::remove(std::size_t crtc) {
    std::lock_guard lock(mutex_);
    crtcs_.erase(crtcs_.begin() + static_cast<std::ptrdiff_t>(crtc));
}

crtc_ramp* fake_x_server::find(std::uint32_t crtc) {
    for (crtc_ramp& r : crtcs_) {
        if (r.crtc == crtc) {
            return &r;
        }
    }
    return nullptr;
}

// One client at a time, each until it hangs up.
void fake_x_server::serve() {
    for (;;) {
        pollfd fds[2] = {{listener_, POLLIN, 0}, {stop_[0], POLLIN, 0}};
        if (poll(fds, 2, -1) < 0 || fds[1].revents != 0) {
            return;
        }
        const int client = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (client >= 0) {
            serve_client(client);
            close(client);
        }
    }
}

void fake_x_server::serve_client(int fd) {
    std::vector<std::uint8_t> head(12);
    if (!read_all(fd, stop_[0], head.data(), 12)) {
        return;
    }
    const std::size_t auth =
        (get<std::uint16_t>(head, 6) + 3u) / 4 * 4 + (get<std::uint16_t>(head, 8) + 3u) / 4 * 4;
    std::vector<std::uint8_t> skipped(auth);
    if (!read_all(fd, stop_[0], skipped.data(), auth) || !write_all(fd, setup_reply())) {
        return;
    }
    sequence_ = 0;
    for (;;) {
        while (stalled_) {
            pollfd stop{stop_[0], POLLIN, 0};
            if (poll(&stop, 1, 5) != 0) {
                return;
            }
        }
        std::vector<std::uint8_t> request(4);
        if (!read_all(fd, stop_[0], request.data(), 4)) {
            return;
        }
        const std::size_t bytes = 4 * std::size_t{get<std::uint16_t>(request, 2)};
        request.resize(std::max<std::size_t>(bytes, 4));
        if (bytes < 4 || !read_all(fd, stop_[0], request.data() + 4, bytes - 4)) {
            return;  // a hang-up, or a request needing BIG-REQUESTS, not offered
        }
        ++sequence_;
        std::vector<std::uint8_t> out;
        {
            std::lock_guard lock(mutex_);
            out = answer(request);
        }
        if (!out.empty() && !write_all(fd, out)) {
            return;
        }
    }
}

std::vector<std::uint8_t> fake_x_server::answer(const std::vector<std::uint8_t>& request) {
    switch (request[0]) {
        case 98: {  // QueryExtension: RandR only
            const std::string name(request.begin() + 8,
                                   request.begin() + 8 + get<std::uint16_t>(request, 4));
            std::vector<std::uint8_t> p = reply(sequence_);
            if (name == "RANDR") {
                p[8] = 1;
                p[9] = randr_opcode;
                p[11] = randr_first_error;
            }
            return p;
        }
        case 43: {  // GetInputFocus
            std::vector<std::uint8_t> p = reply(sequence_);
            put<std::uint32_t>(p, 8, root);
            return p;
        }
        case randr_opcode:
            return randr(request);
        default:
            return error(sequence_, bad_request, request);
    }
}

std::vector<std::uint8_t> fake_x_server::randr(const std::vector<std::uint8_t>& request) {
    const std::uint8_t minor = request[1];
    if (minor == 0) {  // QueryVersion: 1.6, or 1.2
        std::vector<std::uint8_t> p = reply(sequence_);
        put<std::uint32_t>(p, 8, 1);
        put<std::uint32_t>(p, 12, randr_1_2_ ? 2 : 6);
        return p;
    }
    if (minor == 8 || (minor == 25 && !randr_1_2_)) {  // GetScreenResources(Current): CRTCs only
        std::vector<std::uint8_t> p = reply(sequence_, 4 * crtcs_.size());
        put<std::uint16_t>(p, 16, static_cast<std::uint16_t>(crtcs_.size()));
        for (std::size_t i = 0; i < crtcs_.size(); ++i) {
            put<std::uint32_t>(p, 32 + 4 * i, crtcs_[i].crtc);
        }
        return p;
    }
    crtc_ramp* crtc = find(get<std::uint32_t>(request, 4));
    if (crtc == nullptr || minor < 20 || minor > 24) {
        return error(sequence_, crtc == nullptr ? bad_rr_crtc : bad_request, request);
    }
    const std::size_t n = crtc->size;
    std::vector<std::uint8_t> p = reply(sequence_);
    if (minor == 20) {  // GetCrtcInfo: on, in a mode of id 1
        put<std::uint32_t>(p, 20, 1);
    } else if (minor == 22) {  // GetCrtcGammaSize
        put<std::uint16_t>(p, 8, crtc->size);
    } else if (minor == 23) {  // GetCrtcGamma, with half its entries if told so
        const std::size_t sent = short_replies_ ? 3 * n / 2 : 3 * n;
        p = reply(sequence_, 2 * sent);
        put<std::uint16_t>(p, 8, crtc->size);
        std::memcpy(&p[32], crtc->entries.data(), 2 * sent);
    } else if (minor == 24) {  // SetCrtcGamma, read as the X server reads it
        if (get<std::uint16_t>(request, 8) != n) {
            return error(sequence_, bad_match, request);
        }
        if (request.size() < 12 + 6 * n) {
            return error(sequence_, bad_length, request);
        }
        std::memcpy(crtc->entries.data(), &request[12], 6 * n);
        return {};
    } else {
        return error(sequence_, bad_request, request);
    }
    return p;
}
