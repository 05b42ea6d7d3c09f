// A small X server of the tests' own, in a thread of the test process, for
// what Xvfb and the Xorg dummy cannot offer: ramp sizes other than 256, a
// GetCrtcGamma reply shorter than its size claims, a CRTC whose gamma size
// changes or that vanishes while a client runs. It answers only the requests
// gammawave's start makes (QueryExtension, RandR's version, screen
// resources, CRTC info, gamma size and gamma, GetInputFocus) and reads
// SetCrtcGamma as the X server does: red, green and blue back to back.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "x11/x11-gamma.h"

class fake_x_server {
public:
    // One CRTC of each size, holding random ramps from `seed`.
    explicit fake_x_server(const std::vector<std::uint16_t>& sizes, unsigned seed = 1);
    ~fake_x_server();
    fake_x_server(const fake_x_server&) = delete;
    fake_x_server& operator=(const fake_x_server&) = delete;

    const std::string& display() const { return display_; }  // ":N", empty if it failed
    std::vector<crtc_ramp> ramps() const;                    // the CRTCs there now
    void short_gamma_replies() { short_replies_ = true; }
    void speak_randr_1_2() { randr_1_2_ = true; }     // no GetScreenResourcesCurrent
    void stall(bool stalled) { stalled_ = stalled; }  // stops reading, as a stopped server
    void resize(std::size_t crtc, std::uint16_t size);
    void remove(std::size_t crtc);

private:
    void serve();
    void serve_client(int fd);
    std::vector<std::uint8_t> answer(const std::vector<std::uint8_t>& request);
    std::vector<std::uint8_t> randr(const std::vector<std::uint8_t>& request);
    crtc_ramp* find(std::uint32_t crtc);

    std::string display_;
    int listener_ = -1;
    int stop_[2] = {-1, -1};
    std::uint16_t sequence_ = 0;
    bool short_replies_ = false;
    bool randr_1_2_ = false;
    std::atomic<bool> stalled_{false};
    mutable std::mutex mutex_;
    std::vector<crtc_ramp> crtcs_;
    std::thread thread_;
};
