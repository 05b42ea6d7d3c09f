// The display layer on Windows: GDI device gamma of the whole screen.
//
// The C runtime runs a SIGINT handler on a thread of its own (the console's
// control thread) while the frame loop goes on beside it, so a frame could
// reach the device after the restore. One critical section, `device_lock`,
// guards every SetDeviceGammaRamp. The restore takes it and never gives it
// back: once the saved ramp is loaded, the loop's next load_frame blocks on
// the lock until exit ends the process, so the saved ramp is the last to
// reach the device. A fault (SIGSEGV) runs its handler on the faulting
// thread, which may already hold the lock inside load_frame; a critical
// section is re-entrant for its owner, so that restore cannot deadlock.
#include <process.h>
#include <windows.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>

#include "display.h"

namespace {

// Process-wide because the handler reaches them; written once by open_display.
HDC screen_dc = nullptr;
gamma_ramp saved_ramp;
CRITICAL_SECTION device_lock;

void on_signal(int sig) {
    restore_and_exit(sig);
}

}  // namespace

bool open_display() {
    screen_dc = GetDC(nullptr);
    if (!GetDeviceGammaRamp(screen_dc, saved_ramp.data())) {
        std::printf("Can't get gamma ramp!\n");
        if (screen_dc != nullptr) {
            ReleaseDC(nullptr, screen_dc);
        }
        return false;
    }
    InitializeCriticalSection(&device_lock);
    return true;
}

void install_restore_handlers() {
    std::signal(SIGSEGV, on_signal);
    std::signal(SIGTERM, on_signal);
    std::signal(SIGINT, on_signal);
}

void load_frame(const gamma_ramp& ramp) {
    EnterCriticalSection(&device_lock);
    SetDeviceGammaRamp(screen_dc, const_cast<std::uint16_t*>(ramp.data()));
    LeaveCriticalSection(&device_lock);
    GdiFlush();
}

void pause_between_frames() {
    Sleep(10);
}

void restore_and_exit(int sig) {
    EnterCriticalSection(&device_lock);  // held until the process ends
    SetDeviceGammaRamp(screen_dc, saved_ramp.data());
    ReleaseDC(nullptr, screen_dc);
    std::exit(sig);
}

std::uint32_t process_id() {
    return static_cast<std::uint32_t>(_getpid());
}
