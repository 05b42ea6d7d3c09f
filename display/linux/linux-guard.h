// The guard: a small process of its own that puts the saved ramps back when
// gammawave ends in a way its handlers never see (SIGKILL, SIGHUP from a
// closed terminal, SIGQUIT, SIGABRT, the OOM killer). Shared by the Linux
// backends whose display keeps a table after its client has gone.
//
// It is made once the ramps are saved, before the first frame, in a session
// of its own, so that the terminal's Ctrl+C and hangup reach gammawave alone.
// It holds no descriptor of gammawave's but the read end of a pipe: a byte
// on it is gammawave's word that it has restored, and the guard ends at once.
// The backend's watch makes its own connection to the display and decides
// when gammawave is truly gone.
#pragma once

// Runs in the guard. `stand_down_fd` gives a byte when gammawave has
// restored; its end of file (no byte) means gammawave has exited without
// restoring. The watch returns when it has restored, stood down, or lost the
// display.
using guard_watch_fn = void (*)(int stand_down_fd);

// Why a run ends when its guard has not taken its place (a claim, a place in
// a queue) within the backend's wait: one line for stderr.
inline constexpr char guard_late_reason[] =
    "the guard that restores the gamma if gammawave is killed did not start in time";

// Makes the guard and returns; the guard runs `watch` and then ends. If the
// guard cannot be made, gammawave runs on without one.
void start_guard(guard_watch_fn watch);

// True once no guard runs: none could be made, or it has ended (it holds
// the pipe's read end until then). Not for a handler.
bool guard_has_ended();

// Tells the guard that the restore is confirmed, so that it ends without
// touching the display. Async-signal-safe; called only after a confirmed
// restore, so that an unconfirmed one is tried again by the guard.
void stand_guard_down();

// Passes the guard more of what it must restore (a table saved after start)
// ahead of the byte; waits for room, at most a second. Not for the frame loop
// or a handler.
void tell_guard(const void* data, unsigned long size);
