// Everything that touches the display device, the signals and the clock. One
// source file per platform implements it; the main routine is shared.
#pragma once

#include <cstdint>

#include "wave.h"

// Takes the whole screen's display handle and saves the ramps in force. On
// failure it has written "Can't get gamma ramp!" and loaded nothing.
bool open_display();

// Guards the saved ramps: SIGSEGV, SIGTERM and SIGINT restore them and end
// the process with the signal's number.
void install_restore_handlers();

// Loads one animated frame into the display and flushes.
void load_frame(const gamma_ramp& ramp);

// The 10 ms pause between frames. Where a handled signal is waiting, the
// restore happens from here, so that no frame can follow it.
void pause_between_frames();

// Puts the saved ramps back, releases the display and exits with `sig`.
[[noreturn]] void restore_and_exit(int sig);

// The process id, for seeding.
std::uint32_t process_id();
