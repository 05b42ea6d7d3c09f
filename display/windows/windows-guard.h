// The claim on this session's displays and the guard, on Windows.
//
// Both live in one named block of shared memory, `Local\gammawave`, in the
// session's namespace. The block exists while any process holds a handle to
// it: gammawave from before it reads a ramp until it ends, and its guard,
// which inherits a handle, until it has stood down or restored. So a second
// gammawave finds the name taken, and reads there the process that holds it.
// A mutex would not do: it is owned by one thread, and a killed owner leaves
// it to whoever waits first, which could be a new gammawave that then saves
// the frame the guard is about to take off as the original.
//
// The guard is a second copy of gammawave.exe, started with no console and
// no window, that inherits three handles (the block, gammawave's process and
// a stand-down event) and learns their values from the environment variable
// GAMMAWAVE_GUARD. It waits on the event and on the process: the event set
// means gammawave has restored; the process ended without it means it was
// killed (End task, taskkill /F, an unhandled exception), and the guard puts
// back the ramps gammawave last wrote into the block.
#pragma once

#include <windows.h>

#include <cstdint>

#include "wave.h"
#include "windows/windows-display-list.h"

struct guard_display {
    char device[32];  // "": the screen's DC of GetDC(NULL)
    gamma_ramp saved;
};

struct guard_table {
    std::uint32_t count;
    guard_display displays[max_displays];
};

// In a copy started as the guard, does the guard's work and ends the process.
// Returns in any other copy, with GAMMAWAVE_GUARD cleared.
void guard_if_started_as_one();

// Takes the claim before any ramp is read, waiting up to two seconds for a
// guard that is still restoring. False when another gammawave holds it; then
// `holder` is that process's id, or 0 where it cannot be read.
bool claim_displays(DWORD& holder);

// The table for the next publish_guard_table to hand over. Main thread only.
guard_table& next_guard_table();

// Makes the table filled in last the one the guard restores. Either table is
// whole at any moment, so a kill in the middle leaves the previous one.
void publish_guard_table();

// Starts the guard once the first table is published. If it cannot be
// started, gammawave runs unguarded.
void start_guard();

// After a restore whose every SetDeviceGammaRamp was accepted: the guard
// ends without touching a display. Safe from any thread and handler.
void stand_guard_down();
