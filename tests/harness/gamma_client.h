// A minimal client of the wlr gamma-control protocol, for tests that talk to a
// compositor themselves: it binds every wl_output and the manager, asks for
// controls, and sends tables in whatever file it is given.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

struct wl_display;
struct wl_registry;
struct wl_output;
struct zwlr_gamma_control_manager_v1;
struct zwlr_gamma_control_v1;

// A memfd holding `bytes` bytes of `data`, its offset at 0; -1 on failure.
int memfd_with(const void* data, std::size_t bytes);

class gamma_client {
public:
    struct output_info {
        wl_output* proxy = nullptr;
        std::uint32_t global = 0;  // the registry name
        std::string name;          // from wl_output version 4, else empty
        bool removed = false;      // global_remove seen
    };
    struct control_info {
        zwlr_gamma_control_v1* proxy = nullptr;
        std::uint32_t size = 0;  // from gamma_size, 0 until then
        bool failed = false;
    };

    // `display` is a socket name in $XDG_RUNTIME_DIR or an absolute path.
    // Connects and waits until the outputs have sent their first done.
    explicit gamma_client(const std::string& display);
    ~gamma_client();
    gamma_client(const gamma_client&) = delete;
    gamma_client& operator=(const gamma_client&) = delete;

    bool connected() const { return display_ != nullptr; }
    bool has_manager() const { return manager_ != nullptr; }
    const std::deque<output_info>& outputs() const { return outputs_; }

    // Asks for a control on outputs()[output]; returns its handle. Sends
    // nothing until the next roundtrip or flush.
    std::size_t get_control(std::size_t output);
    const control_info& control(std::size_t handle) const { return controls_[handle]; }
    // A fresh memfd holding exactly `table`.
    void set_gamma(std::size_t handle, const std::vector<std::uint16_t>& table);
    // `fd` as it is; the caller still owns it.
    void set_gamma_fd(std::size_t handle, int fd);
    void destroy_control(std::size_t handle);

    // Sends what is queued and waits for the compositor to answer it all.
    // False once the connection is broken.
    bool roundtrip();
    bool flush();
    // Reads and handles whatever events arrive within `ms`.
    bool dispatch_for(int ms);
    // The protocol error the compositor posted, if any: the interface's name
    // and the code; empty when the connection is fine or broke otherwise.
    std::string protocol_error(std::uint32_t* code = nullptr) const;

private:
    static void on_global(void* data, wl_registry* registry, std::uint32_t name,
                          const char* interface, std::uint32_t version);
    static void on_global_remove(void* data, wl_registry* registry, std::uint32_t name);
    static void on_output_name(void* data, wl_output* output, const char* name);
    static void on_size(void* data, zwlr_gamma_control_v1* control, std::uint32_t size);
    static void on_failed(void* data, zwlr_gamma_control_v1* control);

    wl_display* display_ = nullptr;
    wl_registry* registry_ = nullptr;
    zwlr_gamma_control_manager_v1* manager_ = nullptr;
    // deques: listeners hold pointers to the elements
    std::deque<output_info> outputs_;
    std::deque<control_info> controls_;
};
