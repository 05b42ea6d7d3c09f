// A compositor for tests: wl_output globals and the wlr gamma-control
// manager, nothing else. It is as strict as any real compositor might be, and
// it logs every event as one line, written at once, so a test can read what a
// client did while both still run.
//
// gamma_compositor [--socket NAME] [--output SIZE]... [--held INDEX]...
//                  [--silent INDEX]... [--no-manager] [--log FILE] [--no-values]
//
//   --socket NAME   the socket, in $XDG_RUNTIME_DIR (default wayland-gamma-test)
//   --output SIZE   one output with that gamma size; 0: the output has no gamma.
//                   Outputs are numbered from 0. Without any, one of size 256.
//   --held INDEX    another client already holds that output's gamma
//   --silent INDEX  that output's controls never answer, neither size nor failed
//   --no-manager    no gamma-control manager global
//   --log FILE      the log (default stdout)
//   --no-values     log each set without its values (for benchmarks, where
//                   writing them out would be most of the compositor's work)
//
// Log, one event a line; <output> is the output's index, <id> counts clients from 1:
//   ready                            the socket listens
//   output added <output> size <N>
//   output removed <output>
//   client <id> connected
//   client <id> disconnected         after the `restored` lines its leaving caused
//   control <output> size <N> client <id>       gamma_size sent
//   control <output> silent client <id>         nothing sent, nor ever will be
//   failed <output> <why> client <id>           failed sent; why: no-gamma, held,
//                                               removed, command
//   set <output> <N> <3N values>     a table taken: N red, N green, N blue, decimal
//   ignored <output> set_gamma       set_gamma on a control that drives nothing
//                                    (failed, silent, or its output removed)
//   error <output> <why> <detail>    a protocol error, which disconnects the client;
//                                    why: short, long, unreadable
//   destroy <output>                 a control's destroy request
//   restored <output> <why>          the compositor's own table is back; why:
//                                    destroy, disconnect, removed, failed
//   stall <ms> / stall end / queued <bytes>   bytes: what the clients sent meanwhile
//   bad command <line>
//   quit
//
// Commands, one a line on stdin:
//   remove INDEX  withdraw the output's global; its control gets no event, as
//                 with wlroots, and simply stops driving anything
//   add SIZE      a new output
//   fail INDEX    send failed to the control holding the output, and drop it
//   stall MS      stop dispatching for MS milliseconds, so requests pile up
//   quit          disconnect every client and exit (also on SIGTERM, SIGINT)
// End of stdin only ends the commands.
#pragma once

#include <unistd.h>
#include <wayland-server.h>

#include <cstdint>
#include <list>
#include <memory>
#include <string>
#include <vector>

struct control;

struct output {
    int index = 0;
    std::uint32_t gamma_size = 0;
    wl_global* global = nullptr;
    bool removed = false;
    bool held_elsewhere = false;
    bool silent = false;
    control* holder = nullptr;  // the one control driving this output
};

struct control {
    wl_resource* resource = nullptr;
    output* drives = nullptr;  // null once failed, dropped, or never granted
    int output_index = 0;
    int client_id = 0;
};

struct client_record {
    wl_listener destroyed{};
    wl_client* client = nullptr;
    int id = 0;
};

struct compositor {
    wl_display* display = nullptr;
    int log_fd = STDOUT_FILENO;
    std::vector<std::unique_ptr<output>> outputs;
    std::list<client_record> clients;
    int next_client_id = 1;
    wl_listener client_created{};
    wl_event_source* commands = nullptr;
    wl_event_source* signals[2] = {nullptr, nullptr};
    std::string pending_input;
};

extern compositor g;
extern bool log_values;  // each set logged with its values

void log_line(const std::string& text);
std::string str(long value);
// Ends the output's control: its table is the compositor's again.
void release(output& out, const char* why);
output& add_output(std::uint32_t gamma_size);
void client_created(wl_listener*, void* data);
void bind_manager(wl_client* client, void*, uint32_t version, uint32_t id);
