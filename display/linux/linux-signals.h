// Signals for the Linux backends, shared by all of them.
//
// SIGINT, SIGTERM and a SIGSEGV sent by another process only note the signal
// and write a byte to a self-pipe. The backend's pause waits on that pipe, so
// it wakes at once, loads no further frame and restores from ordinary code:
// the saved ramps are always the last thing sent. A SIGSEGV raised by the
// kernel cannot return to the loop; its handler runs on an alternate stack
// (so stack exhaustion is caught too) and calls the backend's fault restore,
// which may use async-signal-safe calls only, then exits 11.
#pragma once

#include <poll.h>
#include <time.h>

// Opens /dev/null onto whichever of descriptors 0, 1 and 2 is closed, before
// anything else opens a descriptor: otherwise the display's socket or the
// wake pipe would take one, and stdout or stderr lines would go there.
void hold_standard_descriptors();

// The backend's restore from inside the fault handler.
using fault_restore_fn = void (*)();

// Installs the three handlers and unblocks their signals: a mask inherited
// from a shell or a supervisor would otherwise hold SIGTERM pending for ever
// and turn a genuine fault into a kill with no restore.
void install_signal_handlers(fault_restore_fn on_fault);

// The first handled signal, or 0. Later ones never replace it.
int first_signal();

// Waits until `timeout` passes, a handled signal arrives, or `fd` (unless it
// is -1) is ready for `events`. Returns the revents of `fd`, 0 otherwise.
// `also` (unless it is -1) ends the wait too when readable, and says so in
// `also_ready`: a second connection watched in the same wait.
short wait_for_signal_or(int fd, short events, const timespec& timeout, int also = -1,
                         bool* also_ready = nullptr);

// CLOCK_MONOTONIC in milliseconds, the clock of every deadline in the
// display layer. Async-signal-safe.
long monotonic_ms();

// The pause between two frames.
constexpr timespec frame_pause{0, 10'000'000};

// What is left of a pause begun at `start` (CLOCK_MONOTONIC); zero once over.
timespec pause_left(const timespec& start);

// Ends the process once the restore is done or given up: what stdio holds is
// flushed, and then nothing else runs (no library's finalisers, no
// destructors), so the exit takes no longer than the restore.
[[noreturn]] void end_process(int status);

// One line on stderr when a restore could not be confirmed; `how_to_reset`
// tells the user what to do about it. Async-signal-safe.
void warn_restore_unconfirmed(const char* how_to_reset);
